#include "service/servicemain.h"

#include "common/child.h"
#include "common/fd.h"
#include "render/pagebuffer.h"
#include "render/rendercontext.h"
#include "service/serviceworker.h"
#include "service/servicewire.h"

#include <algorithm>
#include <chrono>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <memory>
#include <poll.h>
#include <string>
#include <sys/resource.h>
#include <sys/signalfd.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

namespace rw::service {

namespace {

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
    Fd connection;
    RequestReader reader;
    Clock::time_point deadline;
};

// A request read whole, waiting for a worker.
struct Queued {
    Fd connection;
    Request request;
};

struct Worker {
    Child child;         // leads a process group of its own
    Fd channel;          // to the worker: jobs out, replies in
    Fd connection;       // the client served now; closed while idle
    bool stopping = false;
    bool retiring = false; // said it ends after this job
    bool channelEnded = false; // it ended under the job; its pidfd tells how
    Clock::time_point idleSince = Clock::now();
};

void killWorker(Worker &w)
{
    // The worker leads a process group of its own, with whatever it
    // started; it is not reaped yet, so the group is still its own.
    w.child.signalGroup(SIGKILL);
    w.child.signal(SIGKILL);
    w.stopping = true;
}

void closeAll(const std::vector<int> &fds)
{
    for (int fd : fds)
        ::close(fd);
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
    bool start(Fd connection, Request &request);
    [[noreturn]] void becomeWorker(Request &request, int channel);
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
            const bool busy = w.connection.isOpen();
            polls.push_back({w.child.pidfd(), POLLIN, 0});
            polls.push_back({busy && !w.channelEnded ? w.channel.get() : -1, POLLIN, 0});
            polls.push_back({busy && !w.stopping ? w.connection.get() : -1, POLLIN | POLLRDHUP, 0});
        }
        const std::size_t pendingAt = polls.size();
        for (const Pending &p : pending_)
            polls.push_back({p.connection.get(), POLLIN | POLLRDHUP, 0});
        const std::size_t queuedAt = polls.size();
        // A client that goes away while its job waits is forgotten.
        for (const Queued &q : queued_)
            polls.push_back({q.connection.get(), POLLRDHUP, 0});
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
        if (!w.connection.isOpen() && !w.stopping)
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
        sendNotice(p.connection.get(), Notice::Alive);
    for (const Queued &q : queued_)
        sendNotice(q.connection.get(), Notice::Alive);
    for (const Worker &w : workers_)
        if (w.connection.isOpen())
            sendNotice(w.connection.get(), Notice::Alive);
}

void Service::retireIdle()
{
    const Clock::time_point now = Clock::now();
    for (Worker &w : workers_)
        if (!w.connection.isOpen() && !w.stopping && now - w.idleSince >= std::chrono::milliseconds(kIdleRetireMs))
            killWorker(w);
}

void Service::accept()
{
    Fd connection(::accept4(listening_, nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK));
    if (!connection.isOpen())
        return;
    ucred peer{};
    socklen_t size = sizeof peer;
    if (::getsockopt(connection.get(), SOL_SOCKET, SO_PEERCRED, &peer, &size) != 0
        || peer.uid != user_)
        return;
    // The client sends its request (and its descriptors) only now; it has a
    // few seconds for it, and is read piece by piece as it comes, so that a
    // slow client holds up no one else.
    if (!sendNotice(connection.get(), Notice::Accepted))
        return;
    pending_.push_back({std::move(connection), RequestReader{},
                        Clock::now() + std::chrono::milliseconds(kRequestLimitMs)});
}

void Service::readRequest(std::size_t index)
{
    Pending &p = pending_[index];
    const RequestReader::State state = p.reader.readFrom(p.connection.get());
    if (state == RequestReader::State::More && Clock::now() < p.deadline)
        return;
    Fd connection = std::move(p.connection);
    Request request;
    if (state == RequestReader::State::Done)
        request = p.reader.take();
    pending_.erase(pending_.begin() + std::ptrdiff_t(index));
    if (state != RequestReader::State::Done)
        return;
    queued_.push_back({std::move(connection), std::move(request)});
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
            if (w.connection.isOpen() || w.stopping || w.retiring)
                continue;
            if (sendRequest(w.channel.get(), job.request)) {
                closeAll(job.request.descriptors);
                w.connection = std::move(job.connection);
                sendNotice(w.connection.get(), Notice::Worker, w.child.pidfd());
                return true;
            }
            killWorker(w);
        }
    }
    if (workers_.size() >= maxWorkers_) {
        // An idle worker makes room for a job it cannot take.
        for (Worker &w : workers_)
            if (!w.connection.isOpen() && !w.stopping) {
                killWorker(w);
                break;
            }
        return false;
    }
    start(std::move(job.connection), job.request);
    return true;
}

// Forks a worker for the job; false when none could be made (the client
// then renders by itself).
bool Service::start(Fd connection, Request &request)
{
    // Ending the connection without a reply (it closes when this returns
    // false) makes the client render the document itself.
    int pair[2];
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, pair) != 0) {
        closeAll(request.descriptors);
        return false;
    }
    Fd channel(pair[0]);
    Fd workerEnd(pair[1]);
    const pid_t pid = ::fork();
    if (pid == 0) {
        connection.reset();
        channel.reset();
        becomeWorker(request, workerEnd.release());
    }
    workerEnd.reset();
    closeAll(request.descriptors);
    if (pid < 0)
        return false;
    ::setpgid(pid, pid);
    Worker w;
    w.child = Child(pid);
    if (w.child.pidfd() < 0) {
        w.child.killGroupAndReap();
        return false;
    }
    w.channel = std::move(channel);
    w.connection = std::move(connection);
    sendNotice(w.connection.get(), Notice::Worker, w.child.pidfd());
    workers_.push_back(std::move(w));
    return true;
}

void Service::becomeWorker(Request &request, int channel)
{
    // Die with the service; the service kills the worker when its client
    // stops or goes away.
    if (!tieToParent(self_, SIGKILL))
        ::_exit(127);
    ::setpgid(0, 0);
    ::close(listening_);
    ::close(signals_);
    // The other workers' and clients' descriptors are closed; the other
    // workers are not this one's to reap.
    workers_.clear();
    pending_.clear();
    for (const Queued &q : queued_)
        closeAll(q.request.descriptors);
    queued_.clear();
    const WorkerSetup setup{context_->get(), &spareBuffers_, umask_, limits_};
    serveJobs(setup, request, channel);
}

// The busy worker `index` replied: the reply goes to its client.
void Service::jobDone(std::size_t index)
{
    Worker &w = workers_[index];
    const std::optional<Reply> reply = receiveReply(w.channel.get());
    if (!reply) {
        w.channelEnded = true;
        return;
    }
    w.retiring = !receiveReady(w.channel.get());
    sendClientReply(w.connection.get(), *reply);
    w.connection.reset();
    w.idleSince = Clock::now();
}

// Worker `index` ended; a client it was serving learns how.
void Service::finish(std::size_t index)
{
    Worker w = std::move(workers_[index]);
    workers_.erase(workers_.begin() + std::ptrdiff_t(index));
    // Anything the worker started goes with it: killed while the worker is
    // still unreaped, so the group number is still its own.
    const int status = w.child.killGroupAndReap();
    if (w.connection.isOpen()) {
        // A reply already sent by the worker comes first.
        std::optional<Reply> reply;
        if (!w.retiring && !w.channelEnded) {
            pollfd p{w.channel.get(), POLLIN, 0};
            if (::poll(&p, 1, 0) == 1)
                reply = receiveReply(w.channel.get());
        }
        if (!reply) {
            if (status == Child::Lost)
                reply = Reply{Reply::How::Exited, 1}; // never a success unseen
            else if (WIFSIGNALED(status))
                reply = Reply{Reply::How::Killed, WTERMSIG(status)};
            else
                reply = Reply{Reply::How::Exited, WEXITSTATUS(status)};
        }
        sendClientReply(w.connection.get(), *reply);
    }
}

void Service::endAll()
{
    for (Worker &w : workers_)
        killWorker(w);
    for (Worker &w : workers_)
        w.child.reap(true);
    workers_.clear();
    pending_.clear();
    for (const Queued &q : queued_)
        closeAll(q.request.descriptors);
    queued_.clear();
    if (!name_.empty() && name_[0] != '@')
        ::unlink(name_.c_str());
}

} // namespace

int serveMain(const char *socketName, int maxWorkers)
{
    const std::string name = socketName;
    // Ends with the program that started it.
    const bool tied = tieToParent(::getppid(), SIGTERM);
    sigset_t stops;
    sigemptyset(&stops);
    for (int s : {SIGTERM, SIGINT, SIGHUP})
        sigaddset(&stops, s);
    ::sigprocmask(SIG_BLOCK, &stops, nullptr);
    if (!tied)
        return 1;
    std::signal(SIGPIPE, SIG_IGN);
    const Fd signals(::signalfd(-1, &stops, SFD_CLOEXEC));

    sockaddr_un address{};
    socklen_t length = 0;
    if (!signals.isOpen() || !socketAddress(name, address, length)) {
        std::fprintf(stderr, "rwrender: render service: cannot use %s\n", socketName);
        return 1;
    }
    const Fd listening(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
    if (name[0] != '@')
        ::unlink(name.c_str());
    // Only the user may connect (the peer is checked too).
    const mode_t oldMask = ::umask(077);
    const bool bound =
        listening.isOpen() && ::bind(listening.get(), reinterpret_cast<sockaddr *>(&address), length) == 0;
    ::umask(oldMask);
    if (!bound || ::listen(listening.get(), 128) != 0) {
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
    Service service(name, listening.get(), signals.get(), std::move(context),
                    maxWorkers > 0 ? std::size_t(maxWorkers) : kDefaultMaxWorkers);
    return service.run();
}

} // namespace rw::service
