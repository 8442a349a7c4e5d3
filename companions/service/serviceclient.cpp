#include "service/serviceclient.h"

#include "common/child.h"
#include "common/fd.h"
#include "common/fdio.h"
#include "common/files.h"
#include "common/passwords.h"

#include <array>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <string>
#include <sys/syscall.h>
#include <fcntl.h>
#include <poll.h>
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
// A service that says nothing for this long (it says it is alive every
// second) has stopped answering: it is ended, and the job done without it.
constexpr int kSilenceLimitMs = 10'000;
// How long a worker ended here may take to go.
constexpr int kWorkerEndMs = 5'000;

using rw::Fd;

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
        fd_.reset(::signalfd(-1, &set_, SFD_CLOEXEC));
    }
    ~StopSignals()
    {
        fd_.reset();
        ::sigprocmask(SIG_SETMASK, &old_, nullptr);
    }
    StopSignals(const StopSignals &) = delete;
    StopSignals &operator=(const StopSignals &) = delete;
    int fd() const { return fd_.get(); }

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
    Fd fd_;
};

bool isOpen(int fd)
{
    return ::fcntl(fd, F_GETFD) >= 0;
}

bool sendSignal(int pidfd, int signal)
{
    return ::syscall(SYS_pidfd_send_signal, pidfd, signal, nullptr, 0) == 0;
}

// Ends the service behind `sock` that stopped answering, so that no
// client waits for it again (the next ones find no one listening and work
// alone). `service` was opened while the connection was up; the
// connection is still up after, so it names the process that listens.
void endSilentService(int sock, int service)
{
    pollfd p{sock, POLLRDHUP, 0};
    if (service < 0 || ::poll(&p, 1, 0) != 0)
        return;
    sendSignal(service, SIGKILL);
}

// Waits (a bounded time) until the process of `pidfd` has gone.
bool waitGone(int pidfd, int limitMs)
{
    pollfd p{pidfd, POLLIN, 0};
    int r = -1;
    do
        r = ::poll(&p, 1, limitMs);
    while (r < 0 && errno == EINTR);
    return r == 1;
}

// The service went (or fell silent) after a worker had the job, and the
// worker is gone too: what became of the job. A render job that deleted
// its input (--remove-input) has finished; it cannot be done again, so its
// images in place tell how it went, as the renderer's status would (the
// program names any page missing). Anything else is done again here.
std::optional<int> judgeLostJob(Job job, int argc, char **argv)
{
    if (job != Job::Render || argc < 3)
        return std::nullopt;
    bool removesInput = false;
    std::string extension = ".jpg";
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--remove-input") == 0)
            removesInput = true;
        else if (std::strcmp(argv[i], "--format") == 0 && i + 1 < argc)
            extension = std::string(".") + argv[i + 1];
    }
    const char *input = argv[argc - 2];
    struct stat st {};
    if (!removesInput || ::lstat(input, &st) == 0)
        return std::nullopt;
    const std::string prefix = argv[argc - 1];
    const std::string stem = fileNameOf(prefix) + "-";
    int images = 0;
    if (DIR *d = ::opendir(folderOf(prefix).c_str())) {
        while (const dirent *e = ::readdir(d)) {
            const std::string name = e->d_name;
            if (name.size() > stem.size() + extension.size() && name.compare(0, stem.size(), stem) == 0
                && name.compare(name.size() - extension.size(), extension.size(), extension) == 0)
                ++images;
        }
        ::closedir(d);
    }
    std::fprintf(stderr,
                 "rwrender: %s: the render service ended before it told how the document went; "
                 "%d page image(s) are in place\n",
                 input, images);
    return images > 0 ? 0 : 1;
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
    // Our descriptors go only to a service of our own user.
    ucred peer{};
    socklen_t peerSize = sizeof peer;
    if (::getsockopt(sock.get(), SOL_SOCKET, SO_PEERCRED, &peer, &peerSize) != 0
        || peer.uid != ::getuid() || peer.pid <= 0)
        return std::nullopt;
    const Fd serviceProcess(openPidfd(peer.pid));

    // Like the renderer, never outlive the converter script.
    const bool tied = tieToParent(::getppid(), SIGTERM);
    StopSignals stop;
    if (!tied || stop.fd() < 0)
        return std::nullopt;

    int stoppedBy = 0;
    std::optional<Reply> reply;
    Fd worker;
    // Waits for notices until the reply; false when the service went or
    // fell silent first.
    bool silent = false;
    const auto listen = [&](bool untilAccepted) {
        for (;;) {
            std::array<pollfd, 2> polls{{{sock.get(), POLLIN, 0}, {stop.fd(), POLLIN, 0}}};
            const int r = ::poll(polls.data(), stoppedBy ? 1 : 2, kSilenceLimitMs);
            if (r < 0 && errno == EINTR)
                continue;
            if (r == 0) {
                silent = true;
                return false;
            }
            if (r < 0)
                return false;
            if (!stoppedBy && (polls[1].revents & POLLIN)) {
                signalfd_siginfo info{};
                if (fdio::readSome(stop.fd(), &info, sizeof info) == ssize_t(sizeof info)) {
                    stoppedBy = int(info.ssi_signo);
                    ::shutdown(sock.get(), SHUT_WR);
                }
                if (untilAccepted)
                    return false;
                continue;
            }
            if (!polls[0].revents)
                continue;
            const std::optional<ReceivedNotice> notice = receiveNotice(sock.get());
            if (!notice)
                return false;
            Fd descriptor(notice->descriptor);
            switch (notice->notice) {
            case Notice::Accepted:
                if (untilAccepted)
                    return true;
                break;
            case Notice::Alive:
                break;
            case Notice::Worker:
                worker = std::move(descriptor);
                break;
            case Notice::Reply:
                reply = receiveReply(sock.get());
                return bool(reply);
            }
        }
    };

    // Nothing is sent before the service has taken up the connection: the
    // descriptors (the staging lock among them) never wait in a
    // connection no one accepts.
    if (!listen(true)) {
        if (silent) {
            std::fprintf(stderr,
                         "%s: the render service did not take up the job for %d s and was "
                         "ended; working without it\n",
                         job == Job::Probe ? "pdftk.exe" : "rwrender", kSilenceLimitMs / 1000);
            endSilentService(sock.get(), serviceProcess.get());
        }
        if (stoppedBy)
            stop.endBy(stoppedBy);
        return std::nullopt;
    }

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
    // A probe's document, opened here as the probe would open it: the
    // worker reads no file by path outside the service's folder. One it
    // cannot have (missing, not a regular file) the worker tries by name
    // and gives the probe's reason.
    std::optional<InputFile> document;
    if (job == Job::Probe && argc == 6 && argv[1][0] != '\0') {
        document.emplace(argv[1], true);
        request.withDocument = document->isOpen();
    }
    const std::size_t room = kMaxDescriptors - (request.withDocument ? 1 : 0);
    for (int fd = 3; fd <= kHighestInherited && request.descriptors.size() < room; ++fd) {
        const int flags = ::fcntl(fd, F_GETFD);
        if (fd != passwordFd && flags >= 0 && !(flags & FD_CLOEXEC))
            request.descriptors.push_back(fd);
    }
    if (request.withDocument)
        request.descriptors.push_back(document->descriptor());
    if (!sendRequest(sock.get(), request))
        return std::nullopt;

    const bool answered = listen(false);
    std::optional<int> result;
    if (answered) {
        worker.reset();
        if (stoppedBy)
            stop.endBy(stoppedBy);
        if (reply->how == Reply::How::Exited)
            return reply->value;
        std::fprintf(stderr, "%s: the rendering process was killed by signal %d (%s)\n",
                     job == Job::Probe ? "pdftk.exe" : "rwrender", reply->value,
                     strsignal(reply->value));
        return 128 + reply->value;
    }
    // No reply: the service ended, or stopped answering.
    if (silent) {
        std::fprintf(stderr,
                     "%s: the render service said nothing for %d s and was ended; working "
                     "without it\n",
                     job == Job::Probe ? "pdftk.exe" : "rwrender", kSilenceLimitMs / 1000);
        endSilentService(sock.get(), serviceProcess.get());
    }
    if (worker.isOpen()) {
        // The worker that had the job must be gone before anything else
        // touches its folder.
        sendSignal(worker.get(), SIGKILL);
        const bool gone = waitGone(worker.get(), kWorkerEndMs);
        worker.reset();
        if (!gone) {
            std::fprintf(stderr, "%s: the render service's worker did not end\n",
                         job == Job::Probe ? "pdftk.exe" : "rwrender");
            if (stoppedBy)
                stop.endBy(stoppedBy);
            return 1;
        }
        result = judgeLostJob(job, argc, argv);
    }
    if (stoppedBy)
        stop.endBy(stoppedBy);
    // Otherwise the caller runs the job here.
    return result;
}

} // namespace rw::service
