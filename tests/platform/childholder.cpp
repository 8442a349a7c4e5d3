// Test helper: starts one child through the process layer and then waits to
// be ended. The child writes its process id to the file named by argv[1] and
// sleeps. Used to check that a child dies with a program that is
// interrupted or killed outright.
#include "platform/process.h"

#include <QCoreApplication>
#include <unistd.h>

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    if (argc != 2)
        return 2;
    Platform::PosixProcessApi processes;
    Platform::endChildrenOnTerminationSignals();
    const Platform::StartResult started = processes.start(
        {QStringLiteral("/bin/sh"), QStringLiteral("-c"),
         QStringLiteral("echo $$ > \"$1.tmp\" && mv \"$1.tmp\" \"$1\" && exec sleep 60"),
         QStringLiteral("sh"), QString::fromLocal8Bit(argv[1])},
        Platform::StartOptions{});
    if (!started.started())
        return 1;
    for (;;)
        ::pause();
}
