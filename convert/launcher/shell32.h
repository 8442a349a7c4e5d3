#pragma once

#include "convert/launcher/failuretable.h"
#include "convert/launcher/launcherror.h"

#include <QString>
#include <QStringList>
#include <optional>

namespace Platform {
class EventPump;
class ProcessApi;
} // namespace Platform

// Starting external programs and waiting for them while the window keeps
// processing its events.
namespace Shell32 {

// The window style every waiting launch falls back to (shown, without focus).
constexpr int DefaultWindowStyle = 6;

// Styles below 0 or above 6, and a missing style, become 6.
int clampWindowStyle(std::optional<int> windowStyle);

// The executable's own file name without its extension ("rasterwell").
QString currentProgramName();

struct LaunchResult {
    int shellResult = 0;             // > 32 or < 0: started; 0..32: failure code
    qint64 pid = -1;                 // the started process; -1 when there is none to wait for
    std::optional<LaunchError> error; // set for a failure code
};

struct WaitResult {
    // The process's exit code, or FailureOffset + the error number when
    // nothing was started.
    qint32 value = 0;
    // Why nothing was started; empty when the launch succeeded.
    std::optional<LaunchError> error;
    // The process ran past its time limit and was ended (value is then the
    // status it ended with).
    bool timedOut = false;
    bool started() const { return !error.has_value(); }
};

// What a started program gets besides its command line.
struct ChildOptions {
    int inheritDescriptor = -1; // kept open in the child (a folder lock)
    QString errorFile = {};     // its standard error goes here
    QStringList environment = {}; // "NAME=value" set on top of ours
    int timeLimitMs = 0;        // a waiting launch ends the process after this long (0: never)
    int secretDescriptor = -1;  // kept open in the child too (its passwords' pipe)
};

class Launcher {
public:
    // `programName` is the source's prefix in launch errors.
    Launcher(Platform::ProcessApi &processes, Platform::EventPump &pump,
             QString programName = currentProgramName());

    // Opens `target` with the verb ("open" is the only one supported). A target
    // naming ".EXE" anywhere, in any case, is always started hidden.
    LaunchResult ShellLaunch(const QString &target, int windowStyle, const QString &parameters,
                             const QString &workingFolder, const QString &verb,
                             quintptr ownerWindow, const ChildOptions &extra = {});

    // Opens `target` and waits until the process it started has ended.
    WaitResult ShellLaunchAndWait(const QString &target, int windowStyle,
                                  const QString &workingFolder, const ChildOptions &extra = {});

    // Starts a command line (program in double quotes first) and waits until
    // the process has ended.
    WaitResult RunAndWait(const QString &commandLine, std::optional<int> windowStyle = std::nullopt,
                          const ChildOptions &extra = {});

    // Starts a command line like RunAndWait without waiting: the process to
    // watch with exitCode(), or (pid -1) the launch error.
    LaunchResult RunStart(const QString &commandLine, std::optional<int> windowStyle,
                          const ChildOptions &extra = {});

    // Waits for a started process: the event loop runs meanwhile and the
    // process's end wakes the wait at once. Past `timeLimitMs` (0: never) the
    // process is ended with everything it started.
    WaitResult waitFor(qint64 pid, int timeLimitMs = 0);

    // Platform::StillActive while the process runs, then its exit code; 255
    // for a process that is not ours.
    int exitCode(qint64 pid);
    // Ends a started process with everything it started.
    void end(qint64 pid);

    const QString &source() const { return source_; }

private:

    Platform::ProcessApi &processes_;
    Platform::EventPump &pump_;
    QString source_;
};

} // namespace Shell32
