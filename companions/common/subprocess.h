#pragma once

#include <chrono>
#include <string>
#include <vector>

namespace rw {

// Outcome of one helper program run.
struct ProcessResult {
    bool started = false;   // false: the program could not be found or started
    bool timedOut = false;  // killed because it ran past its time limit
    int exitCode = -1;      // exit status when it ended normally, else -1
    int signal = 0;         // the signal that ended it, else 0
    std::string output;     // its standard output, when asked for
    std::string errors;     // its standard error, when asked for

    bool succeeded() const { return started && !timedOut && exitCode == 0; }
};

// Runs `argv` (argv[0] is looked up in PATH) with no shell, standard input
// on /dev/null (and output and error, unless captured), and waits at most
// `limit` (zero: no limit) before killing it; time this process spent
// stopped (SIGSTOP) does not count. The child dies with this process, so a
// killed renderer leaves no helper behind.
ProcessResult runProcess(const std::vector<std::string> &argv,
                         std::chrono::milliseconds limit, bool captureOutput = false,
                         bool captureErrors = false);

// A path as a helper's argument: one that starts with '-' gets "./" in
// front so that it can never be read as an option.
std::string pathArgument(const std::string &path);

// Where the program `name` is found on PATH (a name with a slash is taken as
// it is); empty when nowhere. `absoluteFoldersOnly`: relative PATH entries
// (and the empty one, the current folder) are passed over.
std::string findInPath(const std::string &name, bool absoluteFoldersOnly = false);

} // namespace rw
