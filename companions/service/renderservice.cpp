#include "service/renderservice.h"

#include "render/rendercontext.h"
#include "render/rendermain.h"
#include "service/servicewire.h"

#include <algorithm>
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

struct Worker {
    pid_t pid = -1;
    int connection = -1;
    int pidfd = -1;
    bool stopping = false;
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

class Service {
public:
    Service(std::string name, int listening, int signals, std::unique_ptr<RenderContext> context)
        : name_(std::move(name)), listening_(listening), signals_(signals),
          context_(std::move(context))
    {
    }

    int run();

private:
    void accept();
    void start(int connection, Request &request);
    [[noreturn]] void becomeWorker(Request &request);
    void finish(std::size_t index);
    void endAll();

    std::string name_;
    int listening_;
    int signals_;
    std::unique_ptr<RenderContext> context_;
    std::vector<Worker> workers_;
    const pid_t self_ = ::getpid();
    const uid_t user_ = ::getuid();
};

int Service::run()
{
    for (;;) {
        std::vector<pollfd> polls;
        polls.push_back({signals_, POLLIN, 0});
        polls.push_back({listening_, POLLIN, 0});
        for (const Worker &w : workers_) {
            polls.push_back({w.pidfd, POLLIN, 0});
            polls.push_back({w.stopping ? -1 : w.connection, POLLIN | POLLRDHUP, 0});
        }
        if (::poll(polls.data(), polls.size(), -1) < 0) {
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
        // Finished workers first, from the back so indexes stay valid.
        for (std::size_t i = workers_.size(); i-- > 0;) {
            if (polls[2 + 2 * i].revents)
                finish(i);
            else if (polls[3 + 2 * i].revents)
                killWorker(workers_[i]); // the client stopped or is gone
        }
        if (polls[1].revents)
            accept();
    }
}

void Service::accept()
{
    const int connection = ::accept4(listening_, nullptr, nullptr, SOCK_CLOEXEC);
    if (connection < 0)
        return;
    ucred peer{};
    socklen_t size = sizeof peer;
    if (::getsockopt(connection, SOL_SOCKET, SO_PEERCRED, &peer, &size) != 0
        || peer.uid != user_) {
        ::close(connection);
        return;
    }
    // A client sends its request at once; one that stalls is dropped
    // rather than holding up the others.
    const timeval limit{5, 0};
    ::setsockopt(connection, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
    std::optional<Request> request = receiveRequest(connection);
    if (!request) {
        ::close(connection);
        return;
    }
    start(connection, *request);
}

void Service::start(int connection, Request &request)
{
    const pid_t pid = ::fork();
    if (pid == 0) {
        ::close(connection);
        becomeWorker(request);
    }
    for (int fd : request.descriptors)
        ::close(fd);
    if (pid < 0) {
        // Ending the connection without a reply makes the client render
        // the document itself.
        ::close(connection);
        return;
    }
    ::setpgid(pid, pid);
    Worker w{pid, connection, openPidfd(pid), false};
    if (w.pidfd < 0) {
        ::kill(pid, SIGKILL);
        ::waitpid(pid, nullptr, 0);
        ::close(connection);
        return;
    }
    workers_.push_back(w);
}

void Service::becomeWorker(Request &request)
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
        ::close(w.pidfd);
    }
    // The signals as a freshly started program has them.
    for (int s : {SIGTERM, SIGINT, SIGHUP, SIGPIPE, SIGCHLD})
        std::signal(s, SIG_DFL);
    sigset_t none;
    sigemptyset(&none);
    ::sigprocmask(SIG_SETMASK, &none, nullptr);

    const std::vector<int> &fds = request.descriptors;
    if (::fchdir(fds[0]) != 0)
        ::_exit(127);
    for (int target = 0; target <= 2; ++target)
        if (::dup2(fds[std::size_t(target) + 1], target) < 0)
            ::_exit(127);
    for (std::size_t i = 0; i < 4; ++i)
        if (fds[i] > 2)
            ::close(fds[i]);
    // The inherited ones (a staging lock) stay open until the worker ends.

    // The client's file creation mask and resource limits (as far as ours
    // allow: a hard limit cannot be raised).
    ::umask(mode_t(request.umask) & 0777);
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
    ::clearenv();
    for (std::string &entry : request.environment)
        ::putenv(entry.data());
    std::vector<char *> argv;
    for (std::string &a : request.arguments)
        argv.push_back(a.data());
    argv.push_back(nullptr);
    const WarmStart warm{context_->get()};
    const int argc = int(request.arguments.size());
    const int status = request.job == Job::Probe ? probeMain(argc, argv.data(), &warm)
                                                 : renderMain(argc, argv.data(), &warm);
    std::fflush(nullptr);
    ::_exit(status);
}

void Service::finish(std::size_t index)
{
    Worker w = workers_[index];
    workers_.erase(workers_.begin() + std::ptrdiff_t(index));
    int status = 0;
    while (::waitpid(w.pid, &status, 0) < 0 && errno == EINTR) {
    }
    // Anything the worker started goes with it.
    ::kill(-w.pid, SIGKILL);
    Reply reply;
    if (WIFSIGNALED(status))
        reply = {Reply::How::Killed, WTERMSIG(status)};
    else
        reply = {Reply::How::Exited, WEXITSTATUS(status)};
    sendReply(w.connection, reply);
    ::close(w.connection);
    ::close(w.pidfd);
}

void Service::endAll()
{
    for (Worker &w : workers_)
        killWorker(w);
    for (Worker &w : workers_) {
        while (::waitpid(w.pid, nullptr, 0) < 0 && errno == EINTR) {
        }
        ::close(w.connection);
        ::close(w.pidfd);
    }
    workers_.clear();
    if (!name_.empty() && name_[0] != '@')
        ::unlink(name_.c_str());
}

} // namespace

int serveMain(const char *socketName)
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
    Service service(name, listening, signals, std::move(context));
    return service.run();
}

} // namespace rw::service
