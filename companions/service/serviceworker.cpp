#include "service/serviceworker.h"

#include "common/fd.h"
#include "common/fdio.h"
#include "common/sandbox.h"
#include "render/pagebuffer.h"
#include "render/rendercontext.h"
#include "render/rendermain.h"

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <dirent.h>
#include <fcntl.h>
#include <malloc.h>
#include <string>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

namespace rw::service {

namespace {

// A worker serves one job at a time and, when the job ended well, waits
// for the next: its heap, page tables and MuPDF caches are already warm,
// so a small document costs no fork and far fewer page faults. It is
// retired (it exits) after a job that did not end with status 0, after
// kMaxJobsPerWorker jobs, when it holds more memory than kMaxRetainedBytes
// or a thread or descriptor too many, and when a job needed resource
// limits other than its own; a job never shares a process with another one
// at the same time, and a crash or a kill ends one job only.
constexpr int kMaxJobsPerWorker = 100;
constexpr long kMaxRetainedBytes = 256L << 20;
// Above this, freed memory goes back to the system between jobs.
constexpr long kTrimAboveBytes = 48L << 20;
// Threads and open descriptors of this process, and its resident memory.
int threadCount()
{
    int count = 0;
    if (DIR *d = ::opendir("/proc/self/task")) {
        while (const dirent *e = ::readdir(d))
            count += e->d_name[0] != '.';
        ::closedir(d);
    }
    return count;
}

int descriptorCount()
{
    int count = -1; // the listing's own
    if (DIR *d = ::opendir("/proc/self/fd")) {
        while (const dirent *e = ::readdir(d))
            count += e->d_name[0] != '.';
        ::closedir(d);
    }
    return count;
}

long residentBytes()
{
    long pages = 0;
    long resident = 0;
    if (FILE *f = std::fopen("/proc/self/statm", "re")) {
        if (std::fscanf(f, "%ld %ld", &pages, &resident) != 2)
            resident = 0;
        std::fclose(f);
    }
    return resident * ::sysconf(_SC_PAGESIZE);
}

// After a job's reply, one byte: whether this worker waits for another.
bool sendReady(int channel, bool ready)
{
    const char byte = ready ? 'R' : 'E';
    return fdio::sendAll(channel, &byte, 1);
}

// Runs one job in the client's folder, with its standard descriptors,
// environment, file creation mask and resource limits, as a freshly
// started companion would; afterwards none of these is left in place.
int runJob(const WorkerSetup &setup, Request &request, bool &reusable)
{
    // The signals as a freshly started program has them.
    for (int s : {SIGTERM, SIGINT, SIGHUP, SIGPIPE, SIGCHLD, SIGXFSZ})
        std::signal(s, SIG_DFL);
    sigset_t none;
    sigemptyset(&none);
    ::sigprocmask(SIG_SETMASK, &none, nullptr);

    const std::vector<int> &fds = request.descriptors;
    int status = 127;
    bool placed = ::fchdir(fds[0]) == 0;
    for (int target = 0; placed && target <= 2; ++target)
        placed = ::dup2(fds[std::size_t(target) + 1], target) >= 0;
    if (placed) {
        ::umask(mode_t(request.umask) & 0777);
        // The client's limits (as far as ours allow: a hard limit cannot be
        // raised); limits other than the service's stay, so the worker ends
        // with this job.
        if (!sameLimits(request.limits, setup.limits)) {
            reusable = false;
            for (std::size_t resource = 0; resource < request.limits.size(); ++resource) {
                const auto which = static_cast<__rlimit_resource>(resource);
                if (::setrlimit(which, &request.limits[resource]) != 0) {
                    rlimit current{};
                    ::getrlimit(which, &current);
                    rlimit lowered = request.limits[resource];
                    lowered.rlim_max = std::min(lowered.rlim_max, current.rlim_max);
                    lowered.rlim_cur = std::min(lowered.rlim_cur, lowered.rlim_max);
                    ::setrlimit(which, &lowered);
                }
            }
        }
        ::clearenv();
        for (std::string &entry : request.environment)
            ::putenv(entry.data());
        // The client sends its passwords' pipe first after the standard
        // descriptors; here it has another number.
        if (std::getenv("RASTERWELL_PASSWORD_FD"))
            ::setenv("RASTERWELL_PASSWORD_FD",
                     fds.size() > 4 ? std::to_string(fds[4]).c_str() : "", 1);
        std::vector<char *> argv;
        for (std::string &a : request.arguments)
            argv.push_back(a.data());
        argv.push_back(nullptr);
        const WarmStart warm{setup.context, setup.spareBuffers,
                             request.withDocument ? fds.back() : -1};
        const int argc = int(request.arguments.size());
        status = request.job == Job::Probe ? probeMain(argc, argv.data(), &warm)
                                           : renderMain(argc, argv.data(), &warm);
        std::fflush(nullptr);
        ::clearenv();
    }
    // Let go of the client: its folder, its output and error pipes and
    // whatever it passed on (a staging lock) are closed before the reply.
    const Fd null(::open("/dev/null", O_RDWR | O_CLOEXEC));
    for (int target = 0; target <= 2; ++target)
        if (!null.isOpen() || ::dup2(null.get(), target) < 0)
            reusable = false;
    for (std::size_t i = 0; i < fds.size(); ++i)
        if (i >= 4 || fds[i] > 2)
            ::close(fds[i]);
    if (::chdir("/") != 0)
        reusable = false;
    ::umask(setup.umask);
    return status;
}

} // namespace

bool receiveReady(int channel)
{
    char byte = 0;
    return fdio::receiveAll(channel, &byte, 1) && byte == 'R';
}

std::vector<rlimit> currentLimits()
{
    std::vector<rlimit> limits;
    for (int resource = 0; resource < RLIM_NLIMITS; ++resource) {
        rlimit limit{RLIM_INFINITY, RLIM_INFINITY};
        ::getrlimit(static_cast<__rlimit_resource>(resource), &limit);
        limits.push_back(limit);
    }
    return limits;
}

bool sameLimits(const std::vector<rlimit> &a, const std::vector<rlimit> &b)
{
    return a.size() == b.size()
           && std::equal(a.begin(), a.end(), b.begin(), [](const rlimit &x, const rlimit &y) {
                  return x.rlim_cur == y.rlim_cur && x.rlim_max == y.rlim_max;
              });
}

void serveJobs(const WorkerSetup &setup, Request &request, int channel)
{
    // Confined for good before the first job's document is opened: it
    // reads and writes beneath the service's folder, the run's working
    // folder, which holds every staging folder and result file of the run;
    // a probe's document, which may lie anywhere, comes as a descriptor.
    sandbox::confine({{}, {"."}});
    const int ownDescriptors = descriptorCount() - int(request.descriptors.size());
    for (int jobs = 1;; ++jobs) {
        bool reusable = true;
        const int status = runJob(setup, request, reusable);
        request = {};
        // Between jobs: no folder, no environment, no memory of the last one
        // beyond MuPDF's empty caches.
        fz_empty_store(setup.context);
        fz_purge_glyph_cache(setup.context);
        if (residentBytes() > kTrimAboveBytes)
            malloc_trim(0);
        const bool ready = reusable && status == 0 && jobs < kMaxJobsPerWorker
                           && threadCount() == 1 && descriptorCount() == ownDescriptors
                           && residentBytes() <= kMaxRetainedBytes;
        if (!sendReply(channel, {Reply::How::Exited, status}) || !sendReady(channel, ready)
            || !ready)
            ::_exit(status);
        std::optional<Request> next = receiveRequest(channel);
        if (!next)
            ::_exit(0);
        request = std::move(*next);
    }
}


} // namespace rw::service
