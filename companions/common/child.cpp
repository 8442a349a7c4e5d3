#include "common/child.h"

#include <cerrno>
#include <fcntl.h>
#include <poll.h>
#include <sys/prctl.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <utility>

namespace rw {

int openPidfd(pid_t pid)
{
#ifdef SYS_pidfd_open
    const int fd = int(::syscall(SYS_pidfd_open, pid, 0));
    // pidfds are close-on-exec from the start; said again for old kernels.
    if (fd >= 0)
        ::fcntl(fd, F_SETFD, FD_CLOEXEC);
    return fd;
#else
    (void)pid;
    errno = ENOSYS;
    return -1;
#endif
}

bool tieToParent(pid_t parent, int signal)
{
    ::prctl(PR_SET_PDEATHSIG, signal);
    return ::getppid() == parent;
}

Child::Child(pid_t pid) : pid_(pid), pidfd_(pid > 0 ? openPidfd(pid) : -1) {}

Child::Child(Child &&other) noexcept
    : pid_(std::exchange(other.pid_, -1)), pidfd_(std::move(other.pidfd_))
{
}

Child &Child::operator=(Child &&other) noexcept
{
    if (this != &other) {
        pid_ = std::exchange(other.pid_, -1);
        pidfd_ = std::move(other.pidfd_);
    }
    return *this;
}

bool Child::ended() const
{
    if (pid_ <= 0)
        return true;
    siginfo_t info{};
    int r;
    do
        r = ::waitid(P_PID, id_t(pid_), &info, WEXITED | WNOHANG | WNOWAIT);
    while (r < 0 && errno == EINTR);
    return r < 0 || info.si_pid == pid_;
}

bool Child::waitEnded(std::chrono::milliseconds limit) const
{
    using Clock = std::chrono::steady_clock;
    const auto deadline = Clock::now() + limit;
    for (;;) {
        if (ended())
            return true;
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
        if (limit.count() >= 0 && left.count() <= 0)
            return false;
        if (pidfd_.isOpen()) {
            // The pidfd becomes readable when the child ends.
            pollfd p{pidfd_.get(), POLLIN, 0};
            const int r = ::poll(&p, 1, limit.count() < 0 ? -1 : int(left.count()) + 1);
            if (r < 0 && errno != EINTR)
                return ended();
        } else {
            // A kernel without pidfds: look again shortly.
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
    }
}

bool Child::signal(int signal) const
{
    if (pid_ <= 0)
        return false;
    return ::kill(pid_, signal) == 0;
}

bool Child::signalGroup(int signal) const
{
    if (pid_ <= 0)
        return false;
    return ::kill(-pid_, signal) == 0;
}

std::optional<int> Child::reap(bool wait)
{
    if (pid_ <= 0)
        return std::nullopt;
    int status = 0;
    pid_t r;
    do
        r = ::waitpid(pid_, &status, wait ? 0 : WNOHANG);
    while (r < 0 && errno == EINTR);
    if (r == 0)
        return std::nullopt;
    pid_ = -1;
    pidfd_.reset();
    return r < 0 ? Lost : status;
}

int Child::killGroupAndReap()
{
    signalGroup(SIGKILL);
    signal(SIGKILL); // should it have left its group
    return reap(true).value_or(Lost);
}

} // namespace rw
