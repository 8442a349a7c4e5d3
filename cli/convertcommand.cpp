#include "cli/convertcommand.h"

#include "cli/terminalview.h"
#include "convert/companionfiles.h"
#include "convert/conversionrun.h"
#include "doclist/addfolder.h"
#include "platform/eventpump.h"
#include "platform/fileops.h"
#include "platform/pathcodec.h"
#include "platform/process.h"
#include "platform/terminal.h"

#include <cstdio>

namespace Cli {

namespace {

void complain(const QString &line)
{
    std::fprintf(stderr, "rasterwell: %s\n", Platform::encodePath(line).constData());
}

} // namespace

std::optional<QStringList> collectDocuments(const QStringList &paths, Platform::EventPump &pump)
{
    // Every path is checked before anything is converted, so a typing error
    // never leaves a half-done batch.
    for (const QString &path : paths) {
        if (!Platform::pathExists(path)) {
            complain(QStringLiteral("no such file or folder: %1").arg(path));
            return std::nullopt;
        }
    }
    QStringList documents;
    for (const QString &path : paths) {
        if (Platform::isFolder(path)) {
            QString folder = path;
            while (folder.size() > 1 && folder.endsWith(QLatin1Char('/')))
                folder.chop(1);
            documents += AddFolder::CollectDocuments(folder, &pump);
        } else {
            documents << path; // as a drop appends it
        }
    }
    return documents;
}

int convert(const QStringList &paths, const QString &appFolder)
{
    Platform::QtEventPump pump;
    const std::optional<QStringList> documents = collectDocuments(paths, pump);
    if (!documents)
        return CannotRun;

    // The run checks this too; here it goes to the error stream and no
    // document is touched.
    const QString workFolder = chooseWorkFolder(appFolder);
    if (const std::optional<QString> problem = CompanionFiles(appFolder, workFolder).setupProblem()) {
        complain(*problem);
        return CannotRun;
    }

    FixedDocuments source(*documents);
    TerminalView view(source, stderr, Platform::isTerminal(stderr));
    TerminalMessages messages(stdout, view);
    Platform::PosixProcessApi processes;
    // Interrupted, the run ends its companions with it.
    Platform::endChildrenOnTerminationSignals();
    ConversionRun run({.appFolder = appFolder,
                       .documents = source,
                       .view = view,
                       .windowPointer = view,
                       .messages = messages,
                       .pump = pump,
                       .processes = processes,
                       .workFolder = workFolder,
                       .slotCount = defaultSlotCount()});
    const RunSummary summary = run.run();
    view.clearBar();
    return summary.exitStatus();
}

} // namespace Cli
