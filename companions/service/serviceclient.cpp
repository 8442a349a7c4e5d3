#include "service/serviceclient.h"

#include "common/passwords.h"

#include <array>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/signalfd.h>
#include <sys/stat.h>
#include <unistd.h>

extern char **environ;

namespace rw::service {

namespace {

// Descriptors above 2 that a client passes on when they are inherited
// (not close-on-exec): the converter's staging lock among them.
constexpr int kHighestInherited = 63;

class Fd {
public:
    explicit Fd(int fd = -1) : fd_(fd) {}
    ~Fd()
    {
        if (fd_ >= 0)
            ::close(fd_);
    }
    Fd(const Fd &) = delete;
    Fd &operator=(const Fd &) = delete;
    int get() const { return fd_; }

private:
    int fd_;
};

// Blocks the stop signals for the wait (they are read from a signalfd) and
// restores the mask when the job was not handed over.
class StopSignals {
public:
    StopSignals()
    {
        sigemptyset(&set_);
        for (int s : {SIGTERM, SIGINT, SIGHUP})
            sigaddset(&set_, s);
        ::sigprocmask(SIG_BLOCK, &set_, &old_);
        fd_ = ::signalfd(-1, &set_, SFD_CLOEXEC);
    }
    ~StopSignals()
    {
        if (fd_ >= 0)
            ::close(fd_);
        ::sigprocmask(SIG_SETMASK, &old_, nullptr);
    }
    StopSignals(const StopSignals &) = delete;
    StopSignals &operator=(const StopSignals &) = delete;
    int fd() const { return fd_; }

    // Ends this process by `signal`, as if it had not been caught.
    [[noreturn]] void endBy(int signal)
    {
        std::signal(signal, SIG_DFL);
        ::sigprocmask(SIG_SETMASK, &old_, nullptr);
        sigset_t one;
        sigemptyset(&one);
        sigaddset(&one, signal);
        ::sigprocmask(SIG_UNBLOCK, &one, nullptr);
        ::raise(signal);
        ::_exit(128 + signal);
    }

private:
    sigset_t set_{};
    sigset_t old_{};
    int fd_ = -1;
};

bool isOpen(int fd)
{
    return ::fcntl(fd, F_GETFD) >= 0;
}

} // namespace

const char *serviceFromEnvironment()
{
    const char *service = std::getenv("RASTERWELL_RENDER_SERVICE");
    if (!service || !*service || std::strcmp(service, "off") == 0)
        return nullptr;
    return service;
}

std::optional<int> runThroughService(const char *service, Job job, int argc, char **argv)
{
    sockaddr_un address{};
    socklen_t length = 0;
    if (!socketAddress(service, address, length))
        return std::nullopt;
    Fd sock(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
    if (sock.get() < 0 || ::connect(sock.get(), reinterpret_cast<sockaddr *>(&address), length) != 0)
        return std::nullopt;

    // Like the renderer, never outlive the converter script.
    const pid_t parent = ::getppid();
    ::prctl(PR_SET_PDEATHSIG, SIGTERM);
    StopSignals stop;
    if (::getppid() != parent || stop.fd() < 0)
        return std::nullopt;

    Request request;
    request.job = job;
    request.arguments.assign(argv, argv + argc);
    for (char **e = environ; e && *e; ++e)
        request.environment.emplace_back(*e);
    const mode_t mask = ::umask(0);
    ::umask(mask);
    request.umask = unsigned(mask);
    for (int resource = 0; resource < RLIM_NLIMITS; ++resource) {
        rlimit limit{RLIM_INFINITY, RLIM_INFINITY};
        ::getrlimit(resource, &limit);
        request.limits.push_back(limit);
    }
    // The current folder first, then standard input, output and error (a
    // closed one stands as /dev/null), then the inherited ones.
    Fd here(::open(".", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    Fd herePath(here.get() < 0 ? ::open(".", O_PATH | O_DIRECTORY | O_CLOEXEC) : -1);
    Fd null(::open("/dev/null", O_RDWR | O_CLOEXEC));
    const int cwd = here.get() >= 0 ? here.get() : herePath.get();
    if (cwd < 0 || null.get() < 0)
        return std::nullopt;
    request.descriptors.push_back(cwd);
    for (int fd = 0; fd <= 2; ++fd)
        request.descriptors.push_back(isOpen(fd) ? fd : null.get());
    // The passwords' pipe goes first of the inherited ones: the worker finds
    // it there and names its own number for it.
    const int passwordFd = passwordDescriptor();
    const bool passesPasswords = passwordFd >= 0 && isOpen(passwordFd);
    if (passesPasswords)
        request.descriptors.push_back(passwordFd);
    else if (std::getenv("RASTERWELL_PASSWORD_FD"))
        return std::nullopt; // run here, where the job reports it
    for (int fd = 3; fd <= kHighestInherited && request.descriptors.size() < kMaxDescriptors; ++fd) {
        const int flags = ::fcntl(fd, F_GETFD);
        if (fd != passwordFd && flags >= 0 && !(flags & FD_CLOEXEC))
            request.descriptors.push_back(fd);
    }
    if (!sendRequest(sock.get(), request))
        return std::nullopt;

    int stoppedBy = 0;
    for (;;) {
        std::array<pollfd, 2> polls{{{sock.get(), POLLIN, 0}, {stop.fd(), POLLIN, 0}}};
        if (::poll(polls.data(), stoppedBy ? 1 : 2, -1) < 0) {
            if (errno == EINTR)
                continue;
            break;
        }
        if (!stoppedBy && (polls[1].revents & POLLIN)) {
            signalfd_siginfo info{};
            if (::read(stop.fd(), &info, sizeof info) == ssize_t(sizeof info)) {
                stoppedBy = int(info.ssi_signo);
                ::shutdown(sock.get(), SHUT_WR);
            }
            continue;
        }
        if (polls[0].revents)
            break;
    }
    const std::optional<Reply> reply = receiveReply(sock.get());
    if (stoppedBy)
        stop.endBy(stoppedBy);
    if (!reply) // the service ended under the job: run it here
        return std::nullopt;
    if (reply->how == Reply::How::Exited)
        return reply->value;
    std::fprintf(stderr, "%s: the rendering process was killed by signal %d (%s)\n",
                 job == Job::Probe ? "pdftk.exe" : "rwrender", reply->value,
                 strsignal(reply->value));
    return 128 + reply->value;
}

} // namespace rw::service
