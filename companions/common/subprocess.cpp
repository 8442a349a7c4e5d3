#include "common/subprocess.h"

#include "common/sandbox.h"

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
    int pipes[2][2] = {{-1, -1}, {-1, -1}};
    const bool capture[2] = {captureOutput, captureErrors};
    auto closeAll = [&] {
        for (auto &pair : pipes)
            for (int &fd : pair)
                if (fd >= 0) {
                    ::close(fd);
                    fd = -1;
                }
    };
    for (int i = 0; i < 2; ++i)
        if (capture[i] && ::pipe2(pipes[i], O_CLOEXEC) != 0) {
            closeAll();
            return result;
        }
    const pid_t parent = ::getpid();

    const pid_t pid = ::fork();
    if (pid < 0) {
        closeAll();
        return result;
    }
    if (pid == 0) {
        ::prctl(PR_SET_PDEATHSIG, SIGKILL);
        if (::getppid() != parent)
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
            ::dup2(pipes[0][1], 1);
        if (captureErrors)
            ::dup2(pipes[1][1], 2);
        if (!confinement.applyInChild())
            ::_exit(127);
        ::execv(program.c_str(), args.data());
        ::_exit(127);
    }

    result.started = true;
    for (auto &pair : pipes)
        if (pair[1] >= 0) {
            ::close(pair[1]);
            pair[1] = -1;
        }
    std::string *into[2] = {&result.output, &result.errors};

    using Clock = std::chrono::steady_clock;
    auto deadline = Clock::now() + limit;
    auto lastLook = Clock::now();
    int status = 0;
    bool reaped = false;
    char buffer[4096];
    // Reads what is there; false once neither pipe is open.
    auto drain = [&](int timeoutMs) {
        pollfd fds[2];
        int count = 0;
        int which[2];
        for (int i = 0; i < 2; ++i)
            if (pipes[i][0] >= 0) {
                fds[count] = pollfd{pipes[i][0], POLLIN, 0};
                which[count++] = i;
            }
        if (count == 0)
            return false;
        if (::poll(fds, nfds_t(count), timeoutMs) <= 0)
            return true;
        for (int k = 0; k < count; ++k) {
            if (!(fds[k].revents & (POLLIN | POLLHUP | POLLERR)))
                continue;
            const int i = which[k];
            const ssize_t n = ::read(pipes[i][0], buffer, sizeof buffer);
            if (n > 0) {
                into[i]->append(buffer, std::size_t(n));
            } else if (n == 0 || errno != EINTR) {
                ::close(pipes[i][0]);
                pipes[i][0] = -1;
            }
        }
        return true;
    };
    while (!reaped) {
        const auto now = Clock::now();
        // A long gap between two looks: this process was stopped, and that
        // time is not the child's.
        if (now - lastLook > std::chrono::milliseconds(500))
            deadline += now - lastLook;
        lastLook = now;
        if (limit.count() > 0 && now >= deadline) {
            ::kill(pid, SIGKILL);
            result.timedOut = true;
            break;
        }
        if (!drain(20))
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
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
    // Output still buffered in the pipes after the child ended; a pipe kept
    // open by something the child left running is let go after a moment.
    const auto drainUntil = Clock::now() + std::chrono::seconds(2);
    for (auto now = Clock::now(); now < drainUntil; now = Clock::now()) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(drainUntil - now);
        if (!drain(int(left.count()) + 1))
            break;
    }
    closeAll();
    if (!result.timedOut)
        recordStatus(status, result);
    if (result.exitCode == 127 && !result.timedOut)
        result.started = false; // exec failed in the child
    return result;
}

} // namespace rw
