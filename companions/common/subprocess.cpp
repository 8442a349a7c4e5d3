#include "common/subprocess.h"

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <fcntl.h>
#include <poll.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

namespace rw {

namespace {

std::string findInPath(const std::string &name)
{
    if (name.find('/') != std::string::npos)
        return name;
    const char *env = std::getenv("PATH");
    std::string path = env ? env : "/usr/local/bin:/usr/bin:/bin";
    std::size_t start = 0;
    while (start <= path.size()) {
        std::size_t end = path.find(':', start);
        if (end == std::string::npos)
            end = path.size();
        // An empty PATH entry means the current folder.
        std::string candidate =
            (end > start ? path.substr(start, end - start) : std::string(1, '.')) + '/' + name;
        if (::access(candidate.c_str(), X_OK) == 0) {
            struct stat st {};
            if (::stat(candidate.c_str(), &st) == 0 && S_ISREG(st.st_mode))
                return candidate;
        }
        start = end + 1;
    }
    return {};
}

void recordStatus(int status, ProcessResult &result)
{
    if (WIFEXITED(status))
        result.exitCode = WEXITSTATUS(status);
    else if (WIFSIGNALED(status))
        result.signal = WTERMSIG(status);
}

} // namespace

std::string pathArgument(const std::string &path)
{
    return (!path.empty() && path[0] == '-') ? "./" + path : path;
}

ProcessResult runProcess(const std::vector<std::string> &argv,
                         std::chrono::milliseconds limit, bool captureOutput)
{
    ProcessResult result;
    if (argv.empty())
        return result;
    const std::string program = findInPath(argv[0]);
    if (program.empty())
        return result;

    // Everything the child needs is prepared here: between fork and exec
    // only async-signal-safe calls are allowed.
    std::vector<char *> args;
    args.reserve(argv.size() + 1);
    for (const std::string &a : argv)
        args.push_back(const_cast<char *>(a.c_str()));
    args.push_back(nullptr);

    int pipeFds[2] = {-1, -1};
    if (captureOutput && ::pipe2(pipeFds, O_CLOEXEC) != 0)
        return result;
    const pid_t parent = ::getpid();

    const pid_t pid = ::fork();
    if (pid < 0) {
        if (captureOutput) {
            ::close(pipeFds[0]);
            ::close(pipeFds[1]);
        }
        return result;
    }
    if (pid == 0) {
        ::prctl(PR_SET_PDEATHSIG, SIGKILL);
        if (::getppid() != parent)
            ::_exit(127);
        const int devNull = ::open("/dev/null", O_RDWR);
        if (devNull >= 0) {
            ::dup2(devNull, 0);
            ::dup2(devNull, 2);
            if (!captureOutput)
                ::dup2(devNull, 1);
        }
        if (captureOutput)
            ::dup2(pipeFds[1], 1);
        ::execv(program.c_str(), args.data());
        ::_exit(127);
    }

    result.started = true;
    if (captureOutput)
        ::close(pipeFds[1]);
    int outFd = captureOutput ? pipeFds[0] : -1;

    using Clock = std::chrono::steady_clock;
    const auto deadline = Clock::now() + limit;
    int status = 0;
    bool reaped = false;
    char buffer[4096];
    while (!reaped) {
        if (limit.count() > 0 && Clock::now() >= deadline) {
            ::kill(pid, SIGKILL);
            result.timedOut = true;
            break;
        }
        if (outFd >= 0) {
            pollfd p{outFd, POLLIN, 0};
            if (::poll(&p, 1, 20) > 0) {
                const ssize_t n = ::read(outFd, buffer, sizeof buffer);
                if (n > 0)
                    result.output.append(buffer, std::size_t(n));
                else if (n == 0 || errno != EINTR) {
                    ::close(outFd);
                    outFd = -1;
                }
            }
        } else {
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
        }
        const pid_t r = ::waitpid(pid, &status, WNOHANG);
        if (r == pid)
            reaped = true;
        else if (r < 0 && errno != EINTR)
            break;
    }
    if (!reaped) {
        while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
        }
    }
    // Output still buffered in the pipe after the child ended.
    while (outFd >= 0) {
        const ssize_t n = ::read(outFd, buffer, sizeof buffer);
        if (n > 0) {
            result.output.append(buffer, std::size_t(n));
            continue;
        }
        if (n < 0 && errno == EINTR)
            continue;
        ::close(outFd);
        outFd = -1;
    }
    if (!result.timedOut)
        recordStatus(status, result);
    if (result.exitCode == 127 && !result.timedOut)
        result.started = false; // exec failed in the child
    return result;
}

} // namespace rw
