#include "convert/launcher/shell32.h"

#include "platform/eventpump.h"
#include "platform/process.h"

#include <QCoreApplication>
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

LaunchResult Launcher::ShellLaunch(const QString &target, int windowStyle,
                                   const QString &parameters, const QString &workingFolder,
                                   const QString &verb, quintptr /*ownerWindow*/)
{
    // Programs (anything naming ".EXE") never get a window of their own.
    if (target.toUpper().contains(QLatin1String(".EXE")))
        windowStyle = HiddenStyle;

    LaunchResult result;
    if (verb.compare(QLatin1String("open"), Qt::CaseInsensitive) != 0) {
        result.shellResult = 31; // no handler for any other verb
    } else {
        const Platform::ShellOpenResult opened =
            processes_.shellOpen(target, parameters, workingFolder, windowStyle == HiddenStyle);
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
                                        const QString &workingFolder)
{
    windowStyle = clampWindowStyle(windowStyle);
    const LaunchResult launched =
        ShellLaunch(target, windowStyle, QString(), workingFolder, QStringLiteral("open"), 0);
    if (launched.error)
        return {withFailureOffset(launched.error->number), launched.error};
    return {waitFor(launched.pid), std::nullopt};
}

WaitResult Launcher::RunAndWait(const QString &commandLine, std::optional<int> windowStyle)
{
    const int style = clampWindowStyle(windowStyle);
    const Platform::StartResult started = processes_.start(Platform::splitCommandLine(commandLine),
                                                           QString(), style == HiddenStyle);
    if (!started.started()) {
        LaunchError error = errorForStartError(started.error, source_);
        return {withFailureOffset(error.number), std::move(error)};
    }
    return {waitFor(started.pid), std::nullopt};
}

// Reads the exit code, lets the window process its events, and pauses 100 ms
// before reading again while the process still runs. A process that has
// ended is not paused for. Exit statuses here are 0..255 (128 + signal for a
// killed one), so the running mark 259 can never be a real exit code. A
// process that is not ours, or no process at all (the item was handed to a
// desktop application), reads as 0 and ends the wait at once.
qint32 Launcher::waitFor(qint64 pid)
{
    int exitCode = 0;
    for (;;) {
        exitCode = pid >= 0 ? processes_.exitCode(pid).value_or(0) : 0;
        pump_.processEvents();
        if (exitCode != Platform::StillActive)
            return exitCode;
        pump_.pause(PollMilliseconds);
    }
}

} // namespace Shell32
