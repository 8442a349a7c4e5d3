#include "platform/process.h"

#include "platform/fileops.h"
#include "platform/pathcodec.h"

#include "common/child.h"
#include "common/fd.h"
#include "common/fdio.h"

#include <QCoreApplication>
#include <QProcess>
#include <QSocketNotifier>
#include <QStandardPaths>

#include <array>
#include <atomic>
#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <map>
#include <pthread.h>
#include <sched.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

extern char **environ;

namespace Platform {

namespace {

// Process groups of the running children of every PosixProcessApi, for the
// termination-signal handler: a fixed table of atomics, the only state a
// signal handler may touch.
constexpr std::size_t MaxGroups = 256;
std::array<std::atomic<pid_t>, MaxGroups> runningGroups{};

void rememberGroup(pid_t pid)
{
    for (std::atomic<pid_t> &slot : runningGroups) {
        pid_t empty = 0;
        if (slot.compare_exchange_strong(empty, pid))
            return;
    }
}

void forgetGroup(pid_t pid)
{
    for (std::atomic<pid_t> &slot : runningGroups) {
        pid_t expected = pid;
        if (slot.compare_exchange_strong(expected, 0))
            return;
    }
}

extern "C" void endGroupsAndDie(int signal)
{
    for (std::atomic<pid_t> &slot : runningGroups)
        if (const pid_t pid = slot.load(); pid > 0) {
            ::kill(-pid, SIGTERM);
            ::kill(-pid, SIGCONT);
        }
    // The handler was installed with SA_RESETHAND: the signal, raised again,
    // ends this process the usual way once the handler returns.
    ::raise(signal);
}

StartError classifyMissing(const QString &program, const QString &workingFolder)
{
    if (!workingFolder.isEmpty() && !isFolder(workingFolder))
        return StartError::PathNotFound;
    switch (fileKind(program)) {
    case FileKind::Missing: {
        const QString folder = program.left(program.lastIndexOf(QLatin1Char('/')));
        return (folder.isEmpty() || isFolder(folder)) ? StartError::FileNotFound
                                                      : StartError::PathNotFound;
    }
    case FileKind::Regular:
        return ::access(encodePath(program).constData(), X_OK) == 0 ? StartError::None
                                                                     : StartError::AccessDenied;
    default:
        return StartError::AccessDenied;
    }
}

StartError fromErrno(int e)
{
    switch (e) {
    case ENOENT: return StartError::FileNotFound;
    case ENOTDIR: return StartError::PathNotFound;
    case EACCES:
    case EPERM: return StartError::AccessDenied;
    case ENOEXEC: return StartError::BadFormat;
    case ENOMEM:
    case EAGAIN: return StartError::OutOfMemory;
    default: return StartError::Other;
    }
}

int decodeStatus(int status)
{
    if (WIFEXITED(status))
        return WEXITSTATUS(status);
    if (WIFSIGNALED(status))
        return 128 + WTERMSIG(status);
    return StillActive;
}

// The environment of a child: ours, with `changes` ("NAME=value") set on top.
std::vector<QByteArray> childEnvironment(const QStringList &changes)
{
    std::vector<QByteArray> env;
    for (char **e = environ; *e; ++e)
        env.emplace_back(*e);
    for (const QString &change : changes) {
        const QByteArray entry = encodePath(change);
        const qsizetype eq = entry.indexOf('=');
        if (eq <= 0)
            continue;
        const QByteArray name = entry.left(eq + 1);
        std::erase_if(env, [&](const QByteArray &e) { return e.startsWith(name); });
        env.push_back(entry);
    }
    return env;
}

std::vector<char *> pointers(std::vector<QByteArray> &strings)
{
    std::vector<char *> out;
    out.reserve(strings.size() + 1);
    for (QByteArray &s : strings)
        out.push_back(s.data());
    out.push_back(nullptr);
    return out;
}

// In the child, between its start and exec: only async-signal-safe calls
// (it runs in our memory, see startChild).
// Puts `fd` at `target` (0, 1 or 2) without close-on-exec.
void placeAt(int fd, int target)
{
    if (fd == target)
        ::fcntl(fd, F_SETFD, 0);
    else
        ::dup2(fd, target);
}

[[noreturn]] void childFails(int reportFd)
{
    const int e = errno;
    [[maybe_unused]] const ssize_t n = ::write(reportFd, &e, sizeof e);
    ::_exit(127);
}

struct ChildSetup {
    pid_t parent;
    int devNull;
    int errorFd;       // -1: keep ours
    bool hidden;
    const int *keep;   // the inherited descriptors (inheritedDescriptors())
    std::size_t keepCount;
    const char *workingFolder; // nullptr: ours
    const char *program;
    char *const *argv;
    char *const *envp;
    int reportFd;      // write end of the exec-status pipe (close-on-exec)
};

[[noreturn]] void runChild(const ChildSetup &c)
{
    ::setpgid(0, 0);
    // Die with the program, also when it is killed outright; if it already
    // died before this line, do not start at all.
    if (!rw::tieToParent(c.parent, SIGTERM))
        ::_exit(127);
    struct sigaction fallback {};
    fallback.sa_handler = SIG_DFL;
    for (int signal = 1; signal < NSIG; ++signal)
        ::sigaction(signal, &fallback, nullptr);
    sigset_t none;
    sigemptyset(&none);
    ::sigprocmask(SIG_SETMASK, &none, nullptr);

    // Children never read from us and never prompt.
    placeAt(c.devNull, STDIN_FILENO);
    if (c.hidden)
        placeAt(c.devNull, STDOUT_FILENO);
    if (c.errorFd >= 0)
        placeAt(c.errorFd, STDERR_FILENO);
    for (std::size_t i = 0; i < c.keepCount; ++i)
        if (c.keep[i] > STDERR_FILENO)
            ::fcntl(c.keep[i], F_SETFD, 0);
    if (c.workingFolder && ::chdir(c.workingFolder) != 0)
        childFails(c.reportFd);
    ::execve(c.program, c.argv, c.envp);
    childFails(c.reportFd);
}

int childEntry(void *setup)
{
    runChild(*static_cast<const ChildSetup *>(setup));
}

// Starts the child the way vfork does: it shares our memory until its exec,
// so none of this process's page tables is copied (fork copies them all,
// on every start), and this thread waits until the exec. Signals stay
// blocked meanwhile, so that none of our handlers runs in the child before
// it has reset them.
pid_t startChild(const ChildSetup &setup)
{
    constexpr std::size_t StackBytes = 64 * 1024;
    std::vector<char> stack(StackBytes);
    sigset_t all;
    sigset_t old;
    sigfillset(&all);
    ::pthread_sigmask(SIG_SETMASK, &all, &old);
    const pid_t pid = ::clone(childEntry, stack.data() + StackBytes,
                              CLONE_VM | CLONE_VFORK | SIGCHLD,
                              const_cast<ChildSetup *>(&setup));
    const int cloneErrno = errno;
    ::pthread_sigmask(SIG_SETMASK, &old, nullptr);
    errno = cloneErrno;
    return pid;
}

} // namespace

std::vector<int> inheritedDescriptors(int secretDescriptor, int inheritDescriptor)
{
    std::vector<int> kept;
    for (const int fd : {secretDescriptor, inheritDescriptor})
        if (fd >= 0)
            kept.push_back(fd);
    return kept;
}

// A running child: its pidfd wakes a waiting event loop when it ends.
struct Watched {
    explicit Watched(pid_t pid) : child(pid) {}
    ~Watched() { notifier.reset(); } // before the pidfd it watches closes
    rw::Child child;
    std::unique_ptr<QSocketNotifier> notifier;
};

struct PosixProcessApi::State {
    std::map<pid_t, std::unique_ptr<Watched>> running;
    std::map<pid_t, int> finished;

    void watch(pid_t pid)
    {
        auto child = std::make_unique<Watched>(pid);
        if (QCoreApplication::instance()) {
            if (child->child.pidfd() >= 0) {
                child->notifier =
                    std::make_unique<QSocketNotifier>(child->child.pidfd(), QSocketNotifier::Read);
                // Waking the loop is all it is for; the wait then reads the
                // exit code. Disabled at once, or it would fire again and again.
                QSocketNotifier *n = child->notifier.get();
                QObject::connect(n, &QSocketNotifier::activated, n,
                                 [n] { n->setEnabled(false); });
            }
        }
        rememberGroup(pid);
        // A new child may get the number of one that ended long ago: the
        // old one's code is never read as this one's.
        finished.erase(pid);
        running[pid] = std::move(child);
    }

    // The running child `pid`: while it is unreaped its number and its
    // group cannot go to another process, so the group can still be
    // killed safely.
    rw::Child &child(pid_t pid) { return running.at(pid)->child; }

    // Reaps `pid` if it has ended (`wait`: once it has); its code, or
    // nothing while it runs.
    std::optional<int> reap(pid_t pid, bool wait)
    {
        const std::optional<int> status = child(pid).reap(wait);
        if (!status)
            return std::nullopt;
        // A child reaped by someone else is lost: never mistaken for a success.
        const int code = *status == rw::Child::Lost ? 255 : decodeStatus(*status);
        running.erase(pid);
        forgetGroup(pid);
        finished[pid] = code;
        return code;
    }
};

PosixProcessApi::PosixProcessApi() : d(std::make_unique<State>()) {}

PosixProcessApi::~PosixProcessApi()
{
    for (const auto &entry : d->running)
        forgetGroup(entry.first);
}

StartResult PosixProcessApi::start(const QStringList &argv, const StartOptions &options)
{
    StartResult result;
    if (argv.isEmpty() || argv.first().isEmpty()) {
        result.error = StartError::FileNotFound;
        return result;
    }
    QString program = argv.first();
    if (!program.contains(QLatin1Char('/'))) {
        program = QStandardPaths::findExecutable(program);
        if (program.isEmpty()) {
            result.error = StartError::FileNotFound;
            return result;
        }
    }
    if (const StartError e = classifyMissing(program, options.workingFolder); e != StartError::None) {
        result.error = e;
        return result;
    }

    // Everything the child needs is prepared here: after fork it may not
    // allocate.
    std::vector<QByteArray> args;
    for (const QString &a : argv)
        args.push_back(encodePath(a));
    std::vector<QByteArray> env = childEnvironment(options.environment);
    std::vector<char *> argp = pointers(args);
    std::vector<char *> envp = pointers(env);
    const QByteArray programPath = encodePath(program);
    const QByteArray workingFolder = encodePath(options.workingFolder);

    const std::vector<int> kept = inheritedDescriptors(options.secretDescriptor, options.inheritDescriptor);
    rw::Fd devNull(::open("/dev/null", O_RDWR | O_CLOEXEC));
    rw::Fd errorFd;
    if (!options.errorFile.isEmpty()) {
        errorFd.reset(::open(encodePath(options.errorFile).constData(),
                             O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW | O_NOCTTY | O_CLOEXEC, 0644));
        if (!errorFd.isOpen()) {
            result.error = fromErrno(errno);
            return result;
        }
    }
    int report[2];
    if (!devNull.isOpen() || ::pipe2(report, O_CLOEXEC) != 0) {
        result.error = fromErrno(errno);
        return result;
    }
    rw::Fd reportRead(report[0]);
    rw::Fd reportWrite(report[1]);

    const ChildSetup setup{::getpid(),
                           devNull.get(),
                           errorFd.get(),
                           options.hidden,
                           kept.data(),
                           kept.size(),
                           options.workingFolder.isEmpty() ? nullptr : workingFolder.constData(),
                           programPath.constData(),
                           argp.data(),
                           envp.data(),
                           reportWrite.get()};
    const pid_t pid = startChild(setup);
    const int forkErrno = errno;
    reportWrite.reset();
    devNull.reset();
    errorFd.reset();
    if (pid < 0) {
        result.error = fromErrno(forkErrno);
        return result;
    }
    // Also set here, so the group exists before anyone signals it.
    ::setpgid(pid, pid);

    int childErrno = 0;
    const ssize_t n = rw::fdio::readUpTo(reportRead.get(), &childErrno, sizeof childErrno);
    reportRead.reset();
    if (n == ssize_t(sizeof childErrno)) {
        // exec failed: the child has ended; reap it.
        rw::Child(pid).reap(true);
        result.error = fromErrno(childErrno);
        return result;
    }
    d->watch(pid);
    result.pid = pid;
    return result;
}

ShellOpenResult PosixProcessApi::shellOpen(const QString &target, const QStringList &arguments,
                                           const StartOptions &options)
{
    QString path = target;
    path.remove(QLatin1Char('"'));
    ShellOpenResult result;
    const FileKind kind = fileKind(path);
    if (path.isEmpty() || kind == FileKind::Missing) {
        const QString folder = path.left(path.lastIndexOf(QLatin1Char('/')));
        result.code = (!path.isEmpty() && (folder.isEmpty() || isFolder(folder))) ? 2 : 3;
        return result;
    }
    if (kind == FileKind::Regular && ::access(encodePath(path).constData(), X_OK) == 0) {
        const StartResult started = start(QStringList{path} + arguments, options);
        switch (started.error) {
        case StartError::None: result.code = 42; result.pid = started.pid; break;
        case StartError::FileNotFound: result.code = 2; break;
        case StartError::PathNotFound: result.code = 3; break;
        case StartError::AccessDenied: result.code = 5; break;
        case StartError::BadFormat: result.code = 11; break;
        case StartError::OutOfMemory: result.code = 8; break;
        case StartError::Other: result.code = 31; break;
        }
        return result;
    }
    // Any other existing item goes to the desktop's opener; nothing to wait for.
    result.code = QProcess::startDetached(QStringLiteral("xdg-open"), {path}, options.workingFolder)
                      ? 42
                      : 31;
    return result;
}

std::optional<int> PosixProcessApi::exitCode(qint64 pid)
{
    const pid_t p = pid_t(pid);
    if (auto it = d->finished.find(p); it != d->finished.end())
        return it->second;
    if (!d->running.count(p))
        return std::nullopt;
    if (const std::optional<int> code = d->reap(p, false))
        return code;
    return StillActive;
}

void PosixProcessApi::terminate(qint64 pid)
{
    const pid_t p = pid_t(pid);
    if (!d->running.count(p))
        return;
    rw::Child &child = d->child(p);
    child.signalGroup(SIGTERM);
    // A stopped group handles its SIGTERM only once it runs again.
    child.signalGroup(SIGCONT);
    // A moment to clean up, then make sure the whole group is gone: it is
    // killed while its leader is still unreaped, so the group number
    // cannot belong to anyone else yet.
    child.waitEnded(std::chrono::seconds(1));
    child.signalGroup(SIGKILL);
    d->reap(p, true);
}

void PosixProcessApi::terminateAll()
{
    std::vector<pid_t> groups;
    for (const auto &entry : d->running)
        groups.push_back(entry.first);
    for (pid_t p : groups) {
        d->child(p).signalGroup(SIGTERM);
        d->child(p).signalGroup(SIGCONT);
    }
    // Give the groups a moment together to clean up, then make sure they
    // are gone.
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(200);
    for (pid_t p : groups) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0)
            break;
        d->child(p).waitEnded(left);
    }
    for (pid_t p : groups) {
        d->child(p).signalGroup(SIGKILL);
        d->reap(p, true);
    }
}

void endChildrenOnTerminationSignals()
{
    struct sigaction action {};
    action.sa_handler = endGroupsAndDie;
    action.sa_flags = SA_RESETHAND;
    sigemptyset(&action.sa_mask);
    for (const int signal : {SIGINT, SIGTERM, SIGHUP})
        ::sigaction(signal, &action, nullptr);
}

} // namespace Platform
