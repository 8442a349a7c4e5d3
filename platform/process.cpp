#include "platform/process.h"

#include <QFile>
#include <QFileInfo>
#include <QProcess>

#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <map>
#include <set>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

extern char **environ;

namespace Platform {

QStringList splitCommandLine(const QString &commandLine)
{
    QStringList args;
    const qsizetype n = commandLine.size();
    qsizetype i = 0;
    auto isBlank = [](QChar c) { return c == QLatin1Char(' ') || c == QLatin1Char('\t'); };

    // The program name: up to the closing quote, or up to the first blank.
    while (i < n && isBlank(commandLine[i]))
        ++i;
    if (i >= n)
        return args;
    QString program;
    if (commandLine[i] == QLatin1Char('"')) {
        ++i;
        while (i < n && commandLine[i] != QLatin1Char('"'))
            program += commandLine[i++];
        if (i < n)
            ++i;
    } else {
        while (i < n && !isBlank(commandLine[i]))
            program += commandLine[i++];
    }
    args << program;

    // The arguments, with the backslash-and-quote rules.
    for (;;) {
        while (i < n && isBlank(commandLine[i]))
            ++i;
        if (i >= n)
            break;
        QString arg;
        bool quoted = false;
        while (i < n && (quoted || !isBlank(commandLine[i]))) {
            if (commandLine[i] == QLatin1Char('\\')) {
                qsizetype count = 0;
                while (i < n && commandLine[i] == QLatin1Char('\\')) {
                    ++count;
                    ++i;
                }
                if (i < n && commandLine[i] == QLatin1Char('"')) {
                    arg += QString(count / 2, QLatin1Char('\\'));
                    if (count % 2) {
                        arg += QLatin1Char('"');
                        ++i;
                    }
                } else {
                    arg += QString(count, QLatin1Char('\\'));
                }
            } else if (commandLine[i] == QLatin1Char('"')) {
                if (quoted && i + 1 < n && commandLine[i + 1] == QLatin1Char('"')) {
                    arg += QLatin1Char('"'); // "" inside quotes is one quote
                    i += 2;
                } else {
                    quoted = !quoted;
                    ++i;
                }
            } else {
                arg += commandLine[i++];
            }
        }
        args << arg;
    }
    return args;
}

struct PosixProcessApi::State {
    std::set<pid_t> running;
    std::map<pid_t, int> finished;
};

PosixProcessApi::PosixProcessApi() : d(std::make_unique<State>()) {}

PosixProcessApi::~PosixProcessApi() = default;

namespace {

StartError classifyMissing(const QString &program, const QString &workingFolder)
{
    if (!workingFolder.isEmpty() && !QFileInfo(workingFolder).isDir())
        return StartError::PathNotFound;
    if (!program.contains(QLatin1Char('/')))
        return StartError::None; // searched on PATH by the spawn itself
    QFileInfo info(program);
    if (!info.exists())
        return QFileInfo(info.path()).isDir() ? StartError::FileNotFound : StartError::PathNotFound;
    if (info.isDir() || !info.isExecutable())
        return StartError::AccessDenied;
    return StartError::None;
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

} // namespace

StartResult PosixProcessApi::start(const QStringList &argv, const QString &workingFolder, bool hidden)
{
    StartResult result;
    if (argv.isEmpty() || argv.first().isEmpty()) {
        result.error = StartError::FileNotFound;
        return result;
    }
    if (const StartError e = classifyMissing(argv.first(), workingFolder); e != StartError::None) {
        result.error = e;
        return result;
    }

    std::vector<QByteArray> storage;
    storage.reserve(argv.size());
    for (const QString &a : argv)
        storage.push_back(QFile::encodeName(a));
    std::vector<char *> cargv;
    for (QByteArray &a : storage)
        cargv.push_back(a.data());
    cargv.push_back(nullptr);

    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    // Children never read from us and never prompt.
    posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
    if (hidden)
        posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, "/dev/null", O_WRONLY, 0);
    const QByteArray wd = QFile::encodeName(workingFolder);
    if (!workingFolder.isEmpty())
        posix_spawn_file_actions_addchdir_np(&actions, wd.constData());

    posix_spawnattr_t attr;
    posix_spawnattr_init(&attr);
    sigset_t none, all;
    sigemptyset(&none);
    sigfillset(&all);
    posix_spawnattr_setsigmask(&attr, &none);
    posix_spawnattr_setsigdefault(&attr, &all);
    posix_spawnattr_setpgroup(&attr, 0);
    posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETPGROUP | POSIX_SPAWN_SETSIGMASK
                                        | POSIX_SPAWN_SETSIGDEF);

    pid_t pid = -1;
    const int rc = posix_spawnp(&pid, cargv[0], &actions, &attr, cargv.data(), environ);
    posix_spawnattr_destroy(&attr);
    posix_spawn_file_actions_destroy(&actions);

    if (rc != 0) {
        result.error = fromErrno(rc);
        return result;
    }
    d->running.insert(pid);
    result.pid = pid;
    return result;
}

ShellOpenResult PosixProcessApi::shellOpen(const QString &target, const QString &parameters,
                                           const QString &workingFolder, bool hidden)
{
    QString path = target;
    path.remove(QLatin1Char('"'));
    ShellOpenResult result;
    const QFileInfo info(path);
    if (path.isEmpty() || !info.exists()) {
        result.code = (!path.isEmpty() && QFileInfo(info.path()).isDir()) ? 2 : 3;
        return result;
    }
    if (info.isFile() && info.isExecutable()) {
        const StartResult started = start(QStringList{path} + splitCommandLine(
                                              QStringLiteral("x ") + parameters).mid(1),
                                          workingFolder, hidden);
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
    result.code = QProcess::startDetached(QStringLiteral("xdg-open"), {path}, workingFolder) ? 42 : 31;
    return result;
}

std::optional<int> PosixProcessApi::exitCode(qint64 pid)
{
    const pid_t p = pid_t(pid);
    if (auto it = d->finished.find(p); it != d->finished.end())
        return it->second;
    if (!d->running.count(p))
        return std::nullopt;
    int status = 0;
    const pid_t r = ::waitpid(p, &status, WNOHANG);
    if (r == 0)
        return StillActive;
    d->running.erase(p);
    if (r < 0)
        return std::nullopt;
    const int code = decodeStatus(status);
    d->finished[p] = code;
    return code;
}

void PosixProcessApi::terminateAll()
{
    for (pid_t p : d->running)
        ::kill(-p, SIGTERM);
    for (pid_t p : d->running) {
        // Give each group a moment to clean up, then make sure it is gone.
        for (int i = 0; i < 20; ++i) {
            int status = 0;
            if (::waitpid(p, &status, WNOHANG) != 0)
                break;
            ::usleep(10000);
        }
        ::kill(-p, SIGKILL);
    }
    d->running.clear();
}

} // namespace Platform
