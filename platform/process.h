#pragma once

#include <QString>
#include <QStringList>
#include <memory>
#include <optional>

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

// Result of opening an item the way a desktop shell does.
struct ShellOpenResult {
    int code = 0;     // > 32: started; 0..32: a shell failure code
    qint64 pid = -1;  // the started process, or -1 when there is nothing to wait for
};

// Starting and watching child processes. The real implementation spawns
// processes without a shell; tests replace it.
class ProcessApi {
public:
    virtual ~ProcessApi() = default;

    // Starts argv[0] with the given arguments. `hidden` is the window style 0;
    // without windows it only decides whether output is discarded.
    virtual StartResult start(const QStringList &argv, const QString &workingFolder, bool hidden) = 0;

    // Opens `target` (surrounding quotes removed): an executable file is
    // started directly; another existing file is handed to the desktop opener;
    // anything else yields a shell failure code (2, 3, 5, 31).
    virtual ShellOpenResult shellOpen(const QString &target, const QString &parameters,
                                      const QString &workingFolder, bool hidden) = 0;

    // StillActive while `pid` runs, then its exit status (128 + signal for a
    // killed one); nothing for a process that is not ours.
    virtual std::optional<int> exitCode(qint64 pid) = 0;

    // Terminates every running child started here, with its own children.
    virtual void terminateAll() = 0;
};

// The real implementation: posix_spawn without a shell, each child in a
// process group of its own so that terminateAll() reaches its children too.
class PosixProcessApi final : public ProcessApi {
public:
    PosixProcessApi();
    ~PosixProcessApi() override;
    PosixProcessApi(const PosixProcessApi &) = delete;
    PosixProcessApi &operator=(const PosixProcessApi &) = delete;

    StartResult start(const QStringList &argv, const QString &workingFolder, bool hidden) override;
    ShellOpenResult shellOpen(const QString &target, const QString &parameters,
                              const QString &workingFolder, bool hidden) override;
    std::optional<int> exitCode(qint64 pid) override;
    void terminateAll() override;

private:
    struct State;
    std::unique_ptr<State> d;
};

// Splits a command line by the Windows rules: arguments separated by blanks,
// double quotes group, backslashes escape quotes only before a quote.
QStringList splitCommandLine(const QString &commandLine);

} // namespace Platform
