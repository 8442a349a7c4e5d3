#pragma once

// The worker side of the render service (servicemain.cpp): a process
// forked by the service that runs the jobs it is handed, one at a time, as
// a freshly started companion would, and says after each whether it waits
// for another.

#include "service/servicewire.h"

#include <sys/resource.h>
#include <sys/types.h>
#include <vector>

struct fz_context;

namespace rw {
class BufferStash;
}

namespace rw::service {

// What a worker keeps from the service that forked it: MuPDF made ready
// once, the buffers it keeps from job to job, and the service's own file
// creation mask and resource limits.
struct WorkerSetup {
    fz_context *context;
    BufferStash *spareBuffers;
    mode_t umask;
    std::vector<rlimit> limits;
};

// Runs `first`, then every further job that comes on `channel`, in this
// (forked, already confined) process; replies on `channel` after each job
// and ends when it retires. Never returns.
[[noreturn]] void serveJobs(const WorkerSetup &setup, Request &first, int channel);

// After a job's reply, one byte on the channel: whether the worker waits
// for another job (false: it ends now).
bool receiveReady(int channel);

// This process's resource limits, one per resource, and whether two such
// lists are the same.
std::vector<rlimit> currentLimits();
bool sameLimits(const std::vector<rlimit> &a, const std::vector<rlimit> &b);

} // namespace rw::service
