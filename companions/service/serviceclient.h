#pragma once

// The thin client: hands one job (this process's command line, environment
// and descriptors) to the render service, waits for the worker that runs it,
// and returns the worker's exit status. It starts nothing of MuPDF.
//
// TERM, INT or HUP here stop the worker; the client then ends by the same
// signal, once the worker is gone, so that whoever waits for the client
// finds no image still being written. Tied to its parent as the renderer
// is (a parent-death signal).

#include "service/servicewire.h"

#include <optional>

namespace rw::service {

// The value of RASTERWELL_RENDER_SERVICE when a service should be used:
// set, not empty and not "off".
const char *serviceFromEnvironment();

// The job's exit status; nothing when the service cannot be reached or
// ended before the job did: the caller then runs the job itself.
std::optional<int> runThroughService(const char *service, Job job, int argc, char **argv);

} // namespace rw::service
