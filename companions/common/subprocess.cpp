#include "common/subprocess.h"

#include "common/child.h"
#include "common/fd.h"
#include "common/fdio.h"
#include "common/sandbox.h"

#include <algorithm>
#include <optional>

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

namespace rw {

std::string findInPath(const std::string &name, bool absoluteFoldersOnly)
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
        const std::string folder = end > start ? path.substr(start, end - start) : std::string(1, '.');
        const std::string candidate = folder + '/' + name;
        struct stat st {};
        if ((!absoluteFoldersOnly || folder[0] == '/') && ::access(candidate.c_str(), X_OK) == 0
            && ::stat(candidate.c_str(), &st) == 0 && S_ISREG(st.st_mode))
            return candidate;
        start = end + 1;
    }
    return {};
}

namespace {

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
                         std::chrono::milliseconds limit, bool captureOutput, bool captureErrors)
{
    ProcessResult result;
    if (argv.empty())
        return result;
    // A helper program by the path the sandbox lets execve run.
    const std::string &helper = sandbox::helperPath(argv[0]);
    const std::string found = helper.empty() ? findInPath(argv[0]) : std::string();
    const std::string &program = helper.empty() ? found : helper;
    if (program.empty())
        return result;
    // The child may execute this program and nothing else.
    const sandbox::ChildConfinement confinement(program);

    // Everything the child needs is prepared here: between fork and exec
    // only async-signal-safe calls are allowed.
    std::vector<char *> args;
    args.reserve(argv.size() + 1);
    for (const std::string &a : argv)
        args.push_back(const_cast<char *>(a.c_str()));
    args.push_back(nullptr);

    // [0]: standard output, [1]: standard error; read end, write end.
    Fd pipes[2][2];
    const bool capture[2] = {captureOutput, captureErrors};
    for (int i = 0; i < 2; ++i) {
        int fds[2];
        if (!capture[i])
            continue;
        if (::pipe2(fds, O_CLOEXEC) != 0)
            return result;
        pipes[i][0].reset(fds[0]);
        pipes[i][1].reset(fds[1]);
    }
    const pid_t parent = ::getpid();

    const pid_t pid = ::fork();
    if (pid < 0)
        return result;
    if (pid == 0) {
        if (!tieToParent(parent, SIGKILL))
            ::_exit(127);
        const int devNull = ::open("/dev/null", O_RDWR);
        if (devNull >= 0) {
            ::dup2(devNull, 0);
            if (!captureOutput)
                ::dup2(devNull, 1);
            if (!captureErrors)
                ::dup2(devNull, 2);
        }
        if (captureOutput)
            ::dup2(pipes[0][1].get(), 1);
        if (captureErrors)
            ::dup2(pipes[1][1].get(), 2);
        if (!confinement.applyInChild())
            ::_exit(127);
        ::execv(program.c_str(), args.data());
        ::_exit(127);
    }
    Child child(pid);

    result.started = true;
    for (auto &pair : pipes)
        pair[1].reset();
    std::string *into[2] = {&result.output, &result.errors};

    using Clock = std::chrono::steady_clock;
    auto deadline = Clock::now() + limit;
    auto lastLook = Clock::now();
    char buffer[4096];
    // Waits up to `timeoutMs` for output, or for the child's end when
    // `untilEnd`, and reads what is there; false once there is nothing
    // left to wait for.
    auto drain = [&](int timeoutMs, bool untilEnd) {
        pollfd fds[3];
        int count = 0;
        int which[2];
        for (int i = 0; i < 2; ++i)
            if (pipes[i][0].isOpen()) {
                fds[count] = pollfd{pipes[i][0].get(), POLLIN, 0};
                which[count++] = i;
            }
        const int outputs = count;
        if (untilEnd && child.pidfd() >= 0)
            fds[count++] = pollfd{child.pidfd(), POLLIN, 0};
        if (count == 0)
            return false;
        if (::poll(fds, nfds_t(count), timeoutMs) <= 0)
            return true;
        for (int k = 0; k < outputs; ++k) {
            if (!(fds[k].revents & (POLLIN | POLLHUP | POLLERR)))
                continue;
            const int i = which[k];
            const ssize_t n = fdio::readSome(pipes[i][0].get(), buffer, sizeof buffer);
            if (n > 0)
                into[i]->append(buffer, std::size_t(n));
            else
                pipes[i][0].reset();
        }
        return true;
    };
    std::optional<int> status;
    for (;;) {
        status = child.reap(false);
        if (status)
            break;
        const auto now = Clock::now();
        // A long gap between two looks: this process was stopped, and that
        // time is not the child's.
        if (now - lastLook > std::chrono::milliseconds(500))
            deadline += now - lastLook;
        lastLook = now;
        if (limit.count() > 0 && now >= deadline) {
            child.signal(SIGKILL);
            result.timedOut = true;
            break;
        }
        // Until the child ends (its pidfd) or its output comes, looking
        // at the clock at least every 100 ms.
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - now);
        const int waitMs = int(limit.count() > 0 ? std::clamp<long long>(left.count() + 1, 1, 100) : 100);
        if (!drain(waitMs, true))
            child.waitEnded(std::chrono::milliseconds(waitMs)); // no pidfd, no output
    }
    if (!status)
        status = child.reap(true);
    // Output still buffered in the pipes after the child ended; a pipe kept
    // open by something the child left running is let go after a moment.
    const auto drainUntil = Clock::now() + std::chrono::seconds(2);
    for (auto now = Clock::now(); now < drainUntil; now = Clock::now()) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(drainUntil - now);
        if (!drain(int(left.count()) + 1, false))
            break;
    }
    if (!result.timedOut && status && *status != Child::Lost)
        recordStatus(*status, result);
    if (result.exitCode == 127 && !result.timedOut)
        result.started = false; // exec failed in the child
    return result;
}

} // namespace rw
