#include "convert/launcher/shell32.h"
#include "convert/launcher/commandquoting.h"

#include "platform/eventpump.h"
#include "platform/process.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QFileInfo>

namespace Shell32 {

namespace {
constexpr int PollMilliseconds = 100;
constexpr int HiddenStyle = 0;
} // namespace

int clampWindowStyle(std::optional<int> windowStyle)
{
    const int style = windowStyle.value_or(DefaultWindowStyle);
    return (style < 0 || style > 6) ? DefaultWindowStyle : style;
}

QString currentProgramName()
{
    if (QCoreApplication::instance())
        return QFileInfo(QCoreApplication::applicationFilePath()).completeBaseName();
    return QStringLiteral("rasterwell");
}

Launcher::Launcher(Platform::ProcessApi &processes, Platform::EventPump &pump, QString programName)
    : processes_(processes), pump_(pump), source_(programName + QStringLiteral(".GShell"))
{
}

namespace {
Platform::StartOptions startOptions(const QString &workingFolder, bool hidden,
                                    const ChildOptions &extra)
{
    return {workingFolder, hidden, extra.inheritDescriptor, extra.errorFile, extra.environment,
            extra.secretDescriptor};
}
} // namespace

LaunchResult Launcher::ShellLaunch(const QString &target, int windowStyle,
                                   const QString &parameters, const QString &workingFolder,
                                   const QString &verb, quintptr /*ownerWindow*/,
                                   const ChildOptions &extra)
{
    // Programs (anything naming ".EXE") never get a window of their own.
    if (target.toUpper().contains(QLatin1String(".EXE")))
        windowStyle = HiddenStyle;

    LaunchResult result;
    if (verb.compare(QLatin1String("open"), Qt::CaseInsensitive) != 0) {
        result.shellResult = 31; // no handler for any other verb
    } else {
        const Platform::ShellOpenResult opened =
            processes_.shellOpen(target, splitArguments(parameters),
                                 startOptions(workingFolder, windowStyle == HiddenStyle, extra));
        result.shellResult = opened.code;
        result.pid = opened.pid;
    }
    if (result.shellResult >= 0 && result.shellResult <= 32) {
        result.error = errorForShellResult(result.shellResult, source_);
        result.pid = -1;
    }
    return result;
}

WaitResult Launcher::ShellLaunchAndWait(const QString &target, int windowStyle,
                                        const QString &workingFolder, const ChildOptions &extra)
{
    windowStyle = clampWindowStyle(windowStyle);
    const LaunchResult launched = ShellLaunch(target, windowStyle, QString(), workingFolder,
                                              QStringLiteral("open"), 0, extra);
    if (launched.error)
        return {withFailureOffset(launched.error->number), launched.error};
    if (launched.pid < 0)
        return {0, std::nullopt}; // handed to a desktop application: nothing to wait for
    return waitFor(launched.pid, extra.timeLimitMs);
}

LaunchResult Launcher::RunStart(const QString &commandLine, std::optional<int> windowStyle,
                                const ChildOptions &extra)
{
    const int style = clampWindowStyle(windowStyle);
    const Platform::StartResult started =
        processes_.start(splitCommandLine(commandLine),
                         startOptions(QString(), style == HiddenStyle, extra));
    LaunchResult result;
    if (!started.started()) {
        result.error = errorForStartError(started.error, source_);
        return result;
    }
    result.shellResult = 42;
    result.pid = started.pid;
    return result;
}

WaitResult Launcher::RunAndWait(const QString &commandLine, std::optional<int> windowStyle,
                                const ChildOptions &extra)
{
    const LaunchResult started = RunStart(commandLine, windowStyle, extra);
    if (started.error)
        return {withFailureOffset(started.error->number), started.error};
    return waitFor(started.pid, extra.timeLimitMs);
}

int Launcher::exitCode(qint64 pid)
{
    // Exit statuses are 0..255 (128 + signal for a killed one), so the
    // running mark 259 is never a real exit code. A process that is not ours
    // cannot be judged: it reads as a failure, never as a success.
    return processes_.exitCode(pid).value_or(255);
}

void Launcher::end(qint64 pid)
{
    processes_.terminate(pid);
}

// Reads the exit code and lets the window process its events; while the
// process runs, waits for the next event (its end wakes the wait at once;
// without such a wake-up the wait lasts at most 100 ms) and reads again.
WaitResult Launcher::waitFor(qint64 pid, int timeLimitMs)
{
    QElapsedTimer clock;
    clock.start();
    for (;;) {
        const int code = exitCode(pid);
        pump_.processEvents();
        if (code != Platform::StillActive)
            return {code, std::nullopt};
        int wait = PollMilliseconds;
        if (timeLimitMs > 0) {
            const qint64 left = timeLimitMs - clock.elapsed();
            if (left <= 0) {
                end(pid);
                WaitResult ended{exitCode(pid), std::nullopt};
                ended.timedOut = true;
                return ended;
            }
            wait = int(std::min<qint64>(wait, left));
        }
        pump_.waitForEvents(wait);
    }
}

} // namespace Shell32
