#include "service/renderservice.h"

#include "common/sandbox.h"
#include "render/pagebuffer.h"
#include "render/rendercontext.h"
#include "render/rendermain.h"
#include "service/servicewire.h"

#include <algorithm>
#include <chrono>
#include <dirent.h>
#include <malloc.h>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <memory>
#include <poll.h>
#include <string>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/signalfd.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

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
// Workers at most when the program does not say (--workers N): one per
// job it can have in flight.
constexpr std::size_t kDefaultMaxWorkers = 16;

// A client has this long to send its request once accepted.
constexpr int kRequestLimitMs = 5000;
// An idle worker ends after this long without a job.
constexpr int kIdleRetireMs = 30'000;

using Clock = std::chrono::steady_clock;

// An accepted connection whose request is still coming in.
struct Pending {
    int connection = -1;
    RequestReader reader;
    Clock::time_point deadline;
};

// A request read whole, waiting for a worker.
struct Queued {
    int connection = -1;
    Request request;
};

struct Worker {
    pid_t pid = -1;
    int pidfd = -1;
    int channel = -1;    // to the worker: jobs out, replies in
    int connection = -1; // the client served now; -1 while idle
    bool stopping = false;
    bool retiring = false; // said it ends after this job
    bool channelEnded = false; // it ended under the job; its pidfd tells how
    Clock::time_point idleSince = Clock::now();
};

int openPidfd(pid_t pid)
{
    return int(::syscall(SYS_pidfd_open, pid, 0));
}

void killWorker(Worker &w)
{
    // The worker leads a process group of its own, with whatever it started.
    ::kill(-w.pid, SIGKILL);
    ::kill(w.pid, SIGKILL);
    w.stopping = true;
}

void closeAll(const std::vector<int> &fds)
{
    for (int fd : fds)
        ::close(fd);
}

// After a job's reply, one byte: whether the worker waits for another.
bool sendReady(int channel, bool ready)
{
    const char byte = ready ? 'R' : 'E';
    return ::send(channel, &byte, 1, MSG_NOSIGNAL) == 1;
}

bool receiveReady(int channel)
{
    char byte = 0;
    ssize_t n = -1;
    do
        n = ::recv(channel, &byte, 1, 0);
    while (n < 0 && errno == EINTR);
    return n == 1 && byte == 'R';
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

class Service {
public:
    Service(std::string name, int listening, int signals, std::unique_ptr<RenderContext> context,
            std::size_t maxWorkers)
        : name_(std::move(name)), listening_(listening), signals_(signals),
          context_(std::move(context)), maxWorkers_(std::max<std::size_t>(1, maxWorkers))
    {
    }

    int run();

private:
    void accept();
    void readRequest(std::size_t index);
    bool dispatch(Queued &job);
    void dispatchQueued();
    void sayAlive();
    int pollTimeoutMs() const;
    void retireIdle();
    bool start(int connection, Request &request);
    [[noreturn]] void becomeWorker(Request &request, int channel);
    int runJob(Request &request, bool &reusable);
    void jobDone(std::size_t index);
    void finish(std::size_t index);
    void endAll();

    std::string name_;
    int listening_;
    int signals_;
    std::unique_ptr<RenderContext> context_;
    std::size_t maxWorkers_;
    std::vector<Worker> workers_;
    std::vector<Pending> pending_;
    std::vector<Queued> queued_;
    Clock::time_point lastAlive_ = Clock::now();
    const pid_t self_ = ::getpid();
    const uid_t user_ = ::getuid();
    const mode_t umask_ = [] {
        const mode_t mask = ::umask(0);
        ::umask(mask);
        return mask;
    }();
    const std::vector<rlimit> limits_ = currentLimits();
    BufferStash spareBuffers_; // a worker's, kept from job to job
};

int Service::run()
{
    for (;;) {
        std::vector<pollfd> polls;
        polls.push_back({signals_, POLLIN, 0});
        polls.push_back({listening_, POLLIN, 0});
        for (const Worker &w : workers_) {
            const bool busy = w.connection >= 0;
            polls.push_back({w.pidfd, POLLIN, 0});
            polls.push_back({busy && !w.channelEnded ? w.channel : -1, POLLIN, 0});
            polls.push_back({busy && !w.stopping ? w.connection : -1, POLLIN | POLLRDHUP, 0});
        }
        const std::size_t pendingAt = polls.size();
        for (const Pending &p : pending_)
            polls.push_back({p.connection, POLLIN | POLLRDHUP, 0});
        const std::size_t queuedAt = polls.size();
        // A client that goes away while its job waits is forgotten.
        for (const Queued &q : queued_)
            polls.push_back({q.connection, POLLRDHUP, 0});
        if (::poll(polls.data(), polls.size(), pollTimeoutMs()) < 0) {
            if (errno == EINTR)
                continue;
            std::fprintf(stderr, "rwrender: render service: %s\n", std::strerror(errno));
            endAll();
            return 1;
        }
        if (polls[0].revents) {
            endAll();
            return 0;
        }
        // From the back, so that indexes stay valid as entries go.
        for (std::size_t i = queued_.size(); i-- > 0;) {
            if (polls[queuedAt + i].revents) {
                ::close(queued_[i].connection);
                closeAll(queued_[i].request.descriptors);
                queued_.erase(queued_.begin() + std::ptrdiff_t(i));
            }
        }
        for (std::size_t i = pending_.size(); i-- > 0;)
            if (polls[pendingAt + i].revents || Clock::now() >= pending_[i].deadline)
                readRequest(i);
        for (std::size_t i = workers_.size(); i-- > 0;) {
            const pollfd *p = &polls[2 + 3 * i];
            if (p[0].revents)
                finish(i);
            else if (p[1].revents)
                jobDone(i);
            else if (p[2].revents)
                killWorker(workers_[i]); // the client stopped or is gone
        }
        if (polls[1].revents)
            accept();
        retireIdle();
        dispatchQueued();
        sayAlive();
    }
}

int Service::pollTimeoutMs() const
{
    using std::chrono::duration_cast;
    using std::chrono::milliseconds;
    const Clock::time_point now = Clock::now();
    Clock::time_point next = lastAlive_ + milliseconds(kAliveIntervalMs);
    for (const Pending &p : pending_)
        next = std::min(next, p.deadline);
    for (const Worker &w : workers_)
        if (w.connection < 0 && !w.stopping)
            next = std::min(next, w.idleSince + milliseconds(kIdleRetireMs));
    const long long ms = duration_cast<milliseconds>(next - now).count();
    return int(std::clamp<long long>(ms + 1, 0, kAliveIntervalMs));
}

// Every client waiting or served hears that the service still answers.
void Service::sayAlive()
{
    const Clock::time_point now = Clock::now();
    if (now - lastAlive_ < std::chrono::milliseconds(kAliveIntervalMs))
        return;
    lastAlive_ = now;
    for (const Pending &p : pending_)
        sendNotice(p.connection, Notice::Alive);
    for (const Queued &q : queued_)
        sendNotice(q.connection, Notice::Alive);
    for (const Worker &w : workers_)
        if (w.connection >= 0)
            sendNotice(w.connection, Notice::Alive);
}

void Service::retireIdle()
{
    const Clock::time_point now = Clock::now();
    for (Worker &w : workers_)
        if (w.connection < 0 && !w.stopping && now - w.idleSince >= std::chrono::milliseconds(kIdleRetireMs))
            killWorker(w);
}

void Service::accept()
{
    const int connection = ::accept4(listening_, nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK);
    if (connection < 0)
        return;
    ucred peer{};
    socklen_t size = sizeof peer;
    if (::getsockopt(connection, SOL_SOCKET, SO_PEERCRED, &peer, &size) != 0
        || peer.uid != user_) {
        ::close(connection);
        return;
    }
    // The client sends its request (and its descriptors) only now; it has a
    // few seconds for it, and is read piece by piece as it comes, so that a
    // slow client holds up no one else.
    if (!sendNotice(connection, Notice::Accepted)) {
        ::close(connection);
        return;
    }
    pending_.push_back({connection, RequestReader{},
                        Clock::now() + std::chrono::milliseconds(kRequestLimitMs)});
}

void Service::readRequest(std::size_t index)
{
    Pending &p = pending_[index];
    const RequestReader::State state = p.reader.readFrom(p.connection);
    if (state == RequestReader::State::More && Clock::now() < p.deadline)
        return;
    const int connection = p.connection;
    Request request;
    if (state == RequestReader::State::Done)
        request = p.reader.take();
    pending_.erase(pending_.begin() + std::ptrdiff_t(index));
    if (state != RequestReader::State::Done) {
        ::close(connection);
        return;
    }
    queued_.push_back({connection, std::move(request)});
}

void Service::dispatchQueued()
{
    // Out of the queue while it is handed on: a worker forked for it must
    // not find it among the jobs it closes.
    while (!queued_.empty()) {
        Queued job = std::move(queued_.front());
        queued_.erase(queued_.begin());
        if (!dispatch(job)) {
            queued_.insert(queued_.begin(), std::move(job));
            return;
        }
    }
}

// Hands the job to a worker, when one can have it now; false when it must
// wait (every worker there may be is busy).
bool Service::dispatch(Queued &job)
{
    const bool ownLimits = !sameLimits(job.request.limits, limits_);
    if (!ownLimits) {
        for (Worker &w : workers_) {
            if (w.connection >= 0 || w.stopping || w.retiring)
                continue;
            if (sendRequest(w.channel, job.request)) {
                closeAll(job.request.descriptors);
                w.connection = job.connection;
                sendNotice(w.connection, Notice::Worker, w.pidfd);
                return true;
            }
            killWorker(w);
        }
    }
    if (workers_.size() >= maxWorkers_) {
        // An idle worker makes room for a job it cannot take.
        for (Worker &w : workers_)
            if (w.connection < 0 && !w.stopping) {
                killWorker(w);
                break;
            }
        return false;
    }
    start(job.connection, job.request);
    return true;
}

// Forks a worker for the job; false when none could be made (the client
// then renders by itself).
bool Service::start(int connection, Request &request)
{
    int pair[2];
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, pair) != 0) {
        closeAll(request.descriptors);
        ::close(connection); // the client renders the document itself
        return false;
    }
    const pid_t pid = ::fork();
    if (pid == 0) {
        ::close(connection);
        ::close(pair[0]);
        becomeWorker(request, pair[1]);
    }
    ::close(pair[1]);
    closeAll(request.descriptors);
    if (pid < 0) {
        // Ending the connection without a reply makes the client render
        // the document itself.
        ::close(pair[0]);
        ::close(connection);
        return false;
    }
    ::setpgid(pid, pid);
    Worker w{pid, openPidfd(pid), pair[0], connection};
    if (w.pidfd < 0) {
        ::kill(-pid, SIGKILL);
        ::kill(pid, SIGKILL);
        ::waitpid(pid, nullptr, 0);
        ::close(pair[0]);
        ::close(connection);
        return false;
    }
    sendNotice(connection, Notice::Worker, w.pidfd);
    workers_.push_back(w);
    return true;
}

void Service::becomeWorker(Request &request, int channel)
{
    // Die with the service; the service kills the worker when its client
    // stops or goes away.
    ::prctl(PR_SET_PDEATHSIG, SIGKILL);
    if (::getppid() != self_)
        ::_exit(127);
    ::setpgid(0, 0);
    ::close(listening_);
    ::close(signals_);
    for (const Worker &w : workers_) {
        ::close(w.connection);
        ::close(w.channel);
        ::close(w.pidfd);
    }
    for (const Pending &p : pending_)
        ::close(p.connection);
    for (const Queued &q : queued_) {
        ::close(q.connection);
        closeAll(q.request.descriptors);
    }
    // Confined for good before the first job's document is opened: it
    // reads and writes beneath the service's folder, the run's working
    // folder, which holds every staging folder and result file of the run;
    // a probe's document, which may lie anywhere, comes as a descriptor.
    sandbox::confine({{}, {"."}});
    const int ownDescriptors = descriptorCount() - int(request.descriptors.size());
    for (int jobs = 1;; ++jobs) {
        bool reusable = true;
        const int status = runJob(request, reusable);
        request = {};
        // Between jobs: no folder, no environment, no memory of the last one
        // beyond MuPDF's empty caches.
        fz_empty_store(context_->get());
        fz_purge_glyph_cache(context_->get());
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

// Runs one job in the client's folder, with its standard descriptors,
// environment, file creation mask and resource limits, as a freshly
// started companion would; afterwards none of these is left in place.
int Service::runJob(Request &request, bool &reusable)
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
        if (!sameLimits(request.limits, limits_)) {
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
        const WarmStart warm{context_->get(), &spareBuffers_,
                             request.withDocument ? fds.back() : -1};
        const int argc = int(request.arguments.size());
        status = request.job == Job::Probe ? probeMain(argc, argv.data(), &warm)
                                           : renderMain(argc, argv.data(), &warm);
        std::fflush(nullptr);
        ::clearenv();
    }
    // Let go of the client: its folder, its output and error pipes and
    // whatever it passed on (a staging lock) are closed before the reply.
    const int null = ::open("/dev/null", O_RDWR | O_CLOEXEC);
    for (int target = 0; target <= 2; ++target)
        if (null < 0 || ::dup2(null, target) < 0)
            reusable = false;
    if (null >= 0)
        ::close(null);
    for (std::size_t i = 0; i < fds.size(); ++i)
        if (i >= 4 || fds[i] > 2)
            ::close(fds[i]);
    if (::chdir("/") != 0)
        reusable = false;
    ::umask(umask_);
    return status;
}

// The busy worker `index` replied: the reply goes to its client.
void Service::jobDone(std::size_t index)
{
    Worker &w = workers_[index];
    const std::optional<Reply> reply = receiveReply(w.channel);
    if (!reply) {
        w.channelEnded = true;
        return;
    }
    w.retiring = !receiveReady(w.channel);
    sendClientReply(w.connection, *reply);
    ::close(w.connection);
    w.connection = -1;
    w.idleSince = Clock::now();
}

// Worker `index` ended; a client it was serving learns how.
void Service::finish(std::size_t index)
{
    Worker w = workers_[index];
    workers_.erase(workers_.begin() + std::ptrdiff_t(index));
    // Anything the worker started goes with it: killed while the worker is
    // still unreaped, so the group number is still its own.
    ::kill(-w.pid, SIGKILL);
    int status = 0;
    while (::waitpid(w.pid, &status, 0) < 0 && errno == EINTR) {
    }
    if (w.connection >= 0) {
        // A reply already sent by the worker comes first.
        std::optional<Reply> reply;
        if (!w.retiring && !w.channelEnded) {
            pollfd p{w.channel, POLLIN, 0};
            if (::poll(&p, 1, 0) == 1)
                reply = receiveReply(w.channel);
        }
        if (!reply) {
            if (WIFSIGNALED(status))
                reply = Reply{Reply::How::Killed, WTERMSIG(status)};
            else
                reply = Reply{Reply::How::Exited, WEXITSTATUS(status)};
        }
        sendClientReply(w.connection, *reply);
        ::close(w.connection);
    }
    ::close(w.channel);
    ::close(w.pidfd);
}

void Service::endAll()
{
    for (Worker &w : workers_)
        killWorker(w);
    for (Worker &w : workers_) {
        while (::waitpid(w.pid, nullptr, 0) < 0 && errno == EINTR) {
        }
        if (w.connection >= 0)
            ::close(w.connection);
        ::close(w.channel);
        ::close(w.pidfd);
    }
    workers_.clear();
    for (const Pending &p : pending_)
        ::close(p.connection);
    pending_.clear();
    for (const Queued &q : queued_) {
        ::close(q.connection);
        closeAll(q.request.descriptors);
    }
    queued_.clear();
    if (!name_.empty() && name_[0] != '@')
        ::unlink(name_.c_str());
}

} // namespace

int serveMain(const char *socketName, int maxWorkers)
{
    const std::string name = socketName;
    // Ends with the program that started it.
    const pid_t parent = ::getppid();
    ::prctl(PR_SET_PDEATHSIG, SIGTERM);
    sigset_t stops;
    sigemptyset(&stops);
    for (int s : {SIGTERM, SIGINT, SIGHUP})
        sigaddset(&stops, s);
    ::sigprocmask(SIG_BLOCK, &stops, nullptr);
    if (::getppid() != parent)
        return 1;
    std::signal(SIGPIPE, SIG_IGN);
    const int signals = ::signalfd(-1, &stops, SFD_CLOEXEC);

    sockaddr_un address{};
    socklen_t length = 0;
    if (signals < 0 || !socketAddress(name, address, length)) {
        std::fprintf(stderr, "rwrender: render service: cannot use %s\n", socketName);
        return 1;
    }
    const int listening = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (name[0] != '@')
        ::unlink(name.c_str());
    // Only the user may connect (the peer is checked too).
    const mode_t oldMask = ::umask(077);
    const bool bound =
        listening >= 0 && ::bind(listening, reinterpret_cast<sockaddr *>(&address), length) == 0;
    ::umask(oldMask);
    if (!bound || ::listen(listening, 128) != 0) {
        std::fprintf(stderr, "rwrender: render service: cannot listen on %s: %s\n", socketName,
                     std::strerror(errno));
        return 1;
    }
    // Listening first: a client that comes while MuPDF is made ready waits
    // in the queue rather than rendering by itself.
    std::unique_ptr<RenderContext> context = RenderContext::create();
    if (!context) {
        std::fputs("rwrender: render service: cannot initialise MuPDF\n", stderr);
        if (name[0] != '@')
            ::unlink(name.c_str());
        return 1;
    }
    Service service(name, listening, signals, std::move(context),
                    maxWorkers > 0 ? std::size_t(maxWorkers) : kDefaultMaxWorkers);
    return service.run();
}

} // namespace rw::service
