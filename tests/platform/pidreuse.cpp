// Test helper, run as root in a PID namespace of its own (unshare --pid
// --fork --mount-proc): a child ends with status 7; the next child is made
// to get the same process number (ns_last_pid), and must read as running,
// then as ended by the signal it was ended with, never with the old 7.
// Exit status 0 when it does; it prints "same number" once the number was
// handed out again.
#include "platform/process.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QFile>
#include <csignal>
#include <cstdio>
#include <sys/wait.h>
#include <thread>

namespace {

// Waits until `pid` has ended, without reaping it.
bool waitEnded(pid_t pid)
{
    siginfo_t info{};
    return ::waitid(P_PID, id_t(pid), &info, WEXITED | WNOWAIT) == 0;
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    Platform::PosixProcessApi processes;
    const Platform::StartResult first =
        processes.start({QStringLiteral("/bin/sh"), QStringLiteral("-c"), QStringLiteral("exit 7")},
                        Platform::StartOptions{});
    if (!first.started() || !waitEnded(pid_t(first.pid))) {
        std::fputs("pidreuse: the first child did not run\n", stderr);
        return 2;
    }
    if (processes.exitCode(first.pid) != std::optional<int>(7)) {
        std::fputs("pidreuse: the first child's status is not 7\n", stderr);
        return 2;
    }
    QFile last(QStringLiteral("/proc/sys/kernel/ns_last_pid"));
    if (!last.open(QIODevice::WriteOnly) || last.write(QByteArray::number(first.pid - 1)) <= 0) {
        std::fputs("pidreuse: cannot write ns_last_pid\n", stderr);
        return 2;
    }
    last.close();
    const Platform::StartResult second = processes.start(
        {QStringLiteral("/bin/sleep"), QStringLiteral("30")}, Platform::StartOptions{});
    if (!second.started() || second.pid != first.pid) {
        std::fprintf(stderr, "pidreuse: the second child got %lld, not %lld\n",
                     static_cast<long long>(second.pid), static_cast<long long>(first.pid));
        return 2;
    }
    std::puts("same number");
    const std::optional<int> running = processes.exitCode(second.pid);
    if (running != std::optional<int>(Platform::StillActive)) {
        std::fprintf(stderr, "pidreuse: the running second child reads as ended with %d\n",
                     running.value_or(-1));
        return 1;
    }
    processes.terminate(second.pid);
    const std::optional<int> ended = processes.exitCode(second.pid);
    if (ended != std::optional<int>(128 + SIGTERM)) {
        std::fprintf(stderr, "pidreuse: the ended second child reads as %d\n", ended.value_or(-1));
        return 1;
    }
    return 0;
}
