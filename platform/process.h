#pragma once

#include <QString>
#include <QStringList>
#include <memory>
#include <optional>
#include <vector>

namespace Platform {

// Exit code reported while a process is still running.
constexpr int StillActive = 259;

// Why a process could not be started.
enum class StartError {
    None,
    FileNotFound,   // the program does not exist
    PathNotFound,   // a folder on its path, or the working folder, does not exist
    AccessDenied,   // not executable or not permitted
    BadFormat,      // exists but cannot be executed as a program
    OutOfMemory,
    Other,
};

struct StartResult {
    qint64 pid = -1;
    StartError error = StartError::None;
    bool started() const { return error == StartError::None; }
};

// How a child is started besides its command line.
struct StartOptions {
    QString workingFolder;      // empty: ours
    bool hidden = false;        // the window style 0; here: standard output discarded
    // A descriptor the child keeps open (every other one of ours is closed
    // on exec). Used for a folder lock that must stay held while the child,
    // or anything it starts, still runs.
    int inheritDescriptor = -1;
    // When set, the child's standard error goes to this file, created or
    // truncated (never through a link).
    QString errorFile = {};
    // "NAME=value" entries set in the child's environment on top of ours.
    QStringList environment = {};
    // A second descriptor the child keeps open: the read end of a pipe that
    // holds its passwords (see SecretPipe).
    int secretDescriptor = -1;
};

// The descriptors a child keeps open beyond its standard ones, in the order
// it gets them: the passwords' pipe first (a render service's worker finds
// it there), then the inherited one; -1s are left out. A started child and
// a job handed to the render service both get them so.
std::vector<int> inheritedDescriptors(int secretDescriptor, int inheritDescriptor);

// Result of opening an item the way a desktop shell does.
struct ShellOpenResult {
    int code = 0;     // > 32: started; 0..32: a shell failure code
    qint64 pid = -1;  // the started process, or -1 when there is nothing to wait for
};

// Starting and watching child processes. The real implementation starts
// processes without a shell; tests replace it.
class ProcessApi {
public:
    virtual ~ProcessApi() = default;

    // Starts argv[0] with the given arguments.
    virtual StartResult start(const QStringList &argv, const StartOptions &options) = 0;
    StartResult start(const QStringList &argv, const QString &workingFolder, bool hidden)
    {
        return start(argv, StartOptions{workingFolder, hidden});
    }

    // Opens `target` (surrounding quotes removed): an executable file is
    // started directly with `arguments`; another existing file is handed to the desktop opener;
    // anything else yields a shell failure code (2, 3, 5, 31).
    virtual ShellOpenResult shellOpen(const QString &target, const QStringList &arguments,
                                      const StartOptions &options) = 0;

    // StillActive while `pid` runs, then its exit status (128 + signal for a
    // killed one); nothing for a process that is not ours.
    virtual std::optional<int> exitCode(qint64 pid) = 0;

    // Ends a running child with everything it started (its process group):
    // asked politely first, then killed. Its exit code stays readable.
    virtual void terminate(qint64 pid) = 0;

    // Terminates every running child started here, with its own children.
    virtual void terminateAll() = 0;
};

// The real implementation. Each child runs in a process group of its own, so
// that terminating it reaches what it started too, and dies with this
// process even when this one is killed outright (the parent-death signal).
// While a Qt event loop runs, a child's exit wakes it at once (a pidfd
// watched by the loop), so waits need no fixed pauses.
class PosixProcessApi final : public ProcessApi {
public:
    PosixProcessApi();
    ~PosixProcessApi() override;
    PosixProcessApi(const PosixProcessApi &) = delete;
    PosixProcessApi &operator=(const PosixProcessApi &) = delete;

    using ProcessApi::start;
    StartResult start(const QStringList &argv, const StartOptions &options) override;
    ShellOpenResult shellOpen(const QString &target, const QStringList &arguments,
                              const StartOptions &options) override;
    std::optional<int> exitCode(qint64 pid) override;
    void terminate(qint64 pid) override;
    void terminateAll() override;

private:
    struct State;
    std::unique_ptr<State> d;
};

// Makes INT, TERM and HUP end the process groups of every running child
// started by a PosixProcessApi before this process ends by the signal as
// usual. Safe to call more than once.
void endChildrenOnTerminationSignals();


} // namespace Platform
