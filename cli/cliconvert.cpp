#include "cli/cliconvert.h"

#include "cli/documentlist.h"
#include "cli/jsonreport.h"
#include "cli/terminalview.h"
#include "cli/watchcommand.h"
#include "convert/companionfiles.h"
#include "fileutil/fileutil.h"
#include "convert/conversionrun.h"
#include "convert/outputclaims.h"
#include "convert/runvariables.h"
#include "doclist/addfolder.h"
#include "platform/eventpump.h"
#include "platform/fileops.h"
#include "platform/pathcodec.h"
#include "platform/process.h"
#include "platform/sandboxstatus.h"
#include "platform/secret.h"
#include "platform/stopsignals.h"
#include "platform/terminal.h"

#include <cstdio>

namespace Cli {

void complain(const QString &line)
{
    // Undecodable bytes and control characters in names are shown escaped.
    std::fprintf(stderr, "rasterwell: %s\n", Platform::displayPath(line).toUtf8().constData());
    std::fflush(stderr);
}

namespace {

// Stops the run once a stop signal has come.
class StopObserver final : public RunObserver {
public:
    explicit StopObserver(const Platform::StopSignals &stop) : stop_(stop) {}
    bool stopRequested() const override { return stop_.received(); }

private:
    const Platform::StopSignals &stop_;
};

} // namespace

bool prepareRun(const CommandLine::Request &request, const QString &appFolder,
                QString &workFolder, std::optional<JsonReport> &report, const QStringList &documents)
{
    // The run checks this too; here it goes to the error stream and no
    // document is touched.
    workFolder = chooseWorkFolder(appFolder);
    if (const std::optional<QString> problem = CompanionFiles(appFolder, workFolder).setupProblem()) {
        complain(*problem);
        return false;
    }
    if (!request.report.isEmpty() && !request.output.isEmpty() && request.report != QLatin1String("-")
        && isImageName(request.report.section(QLatin1Char('/'), -1))) {
        // Beneath the output folder, an image name may be any document's.
        const std::optional<QString> folder = Platform::resolvedPath(FileUtil::FolderOf(request.report));
        const std::optional<QString> output = Platform::resolvedPath(outputPlace(request).folder);
        if (folder && output
            && (*folder == *output || folder->startsWith(*output + QLatin1Char('/')) || *output == QLatin1String("/"))) {
            complain(QStringLiteral("cannot write the report %1: it lies in the output folder %2 under the name "
                                    "of a page image")
                         .arg(request.report, *output));
            return false;
        }
    }
    if (!request.report.isEmpty()) {
        report.emplace(request.report, documents, request.watch ? request.paths : QStringList{});
        if (!report->openProblem().isEmpty()) {
            complain(report->openProblem());
            return false;
        }
        // What shapes the images, as given.
        QJsonObject options;
        if (!request.resolution.isEmpty())
            options.insert(QStringLiteral("resolution"), request.resolution.toDouble());
        if (!request.quality.isEmpty())
            options.insert(QStringLiteral("quality"), request.quality.toInt());
        if (!request.output.isEmpty())
            options.insert(QStringLiteral("output"), outputPlace(request).folder);
        if (!request.pages.isEmpty())
            options.insert(QStringLiteral("pages"), request.pages);
        if (request.scaleTo > 0)
            options.insert(QStringLiteral("scale_to"), request.scaleTo);
        if (request.gray)
            options.insert(QStringLiteral("gray"), true);
        if (request.png)
            options.insert(QStringLiteral("format"), QStringLiteral("png"));
        report->setOptions(options);
    }
    return true;
}

QStringList scriptSettings(const CommandLine::Request &request)
{
    QStringList settings;
    if (!request.resolution.isEmpty())
        settings << QStringLiteral("RASTERWELL_RESOLUTION=") + request.resolution;
    if (!request.quality.isEmpty())
        settings << QStringLiteral("RASTERWELL_QUALITY=") + request.quality;
    RunVariables::ImageSettings further;
    further.pages = request.pages;
    further.scaleTo = request.scaleTo;
    further.gray = request.gray;
    further.png = request.png;
    settings << RunVariables::furtherSettingsEnvironment(further);
    return settings;
}

namespace {

QString withoutTrailingSlash(QString path)
{
    while (path.size() > 1 && path.endsWith(QLatin1Char('/')))
        path.chop(1);
    return path;
}

} // namespace

PDF::OutputPlace outputPlace(const CommandLine::Request &request)
{
    PDF::OutputPlace place;
    if (request.output.isEmpty())
        return place;
    place.folder = withoutTrailingSlash(request.output);
    // As collectDocuments names what it finds: "<folder>/sub/x.pdf".
    for (const QString &path : request.paths)
        if (Platform::isFolder(path))
            place.roots << withoutTrailingSlash(path);
    return place;
}

QString imageFolderFor(const PDF::OutputPlace &place, const QString &document)
{
    return place.isBeside() ? QString() : place.imageFolderOf(document);
}

std::optional<QStringList> collectDocuments(const QStringList &paths, Platform::EventPump &pump,
                                            QStringList *unentered, const Shard &shard)
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
            // Each machine of a shard run picks by the path below the
            // folder, wherever the folder is mounted.
            const qsizetype below = folder == QLatin1String("/") ? 1 : folder.size() + 1;
            for (const QString &document : AddFolder::CollectDocuments(folder, &pump, unentered))
                if (shard.picks(document.mid(below)))
                    documents << document;
        } else if (shard.picks(path)) {
            documents << path; // as a drop appends it
        }
    }
    return documents;
}

int convert(const CommandLine::Request &request, const QString &appFolder)
{
    // A variable out of range is a usage error, as the option would be.
    QStringList overridden;
    if (request.jobs > 0)
        overridden << QStringLiteral("RASTERWELL_JOBS");
    if (!request.resolution.isEmpty())
        overridden << QStringLiteral("RASTERWELL_RESOLUTION");
    if (!request.quality.isEmpty())
        overridden << QStringLiteral("RASTERWELL_QUALITY");
    if (const std::optional<QString> problem = RunVariables::problem(overridden)) {
        complain(*problem);
        std::fputs(Platform::encodePath(CommandLine::usage()).constData(), stderr);
        return CannotRun;
    }
    // The passwords are read once, kept in one buffer and cleared at the end.
    Platform::SecretBytes passwords;
    if (!request.passwordFile.isEmpty()) {
        QByteArray why;
        if (!passwords.readFrom(Platform::encodePath(request.passwordFile), Platform::MaxSecretBytes, &why)) {
            complain(QStringLiteral("cannot read the password file %1: %2")
                         .arg(request.passwordFile, QString::fromLocal8Bit(why)));
            return CannotRun;
        }
    }
    // A closed report pipe stops a run (or a watch) as an interruption
    // does, with a message (no SIGPIPE).
    Platform::ignoreBrokenPipes();
    if (request.watch)
        return watch(request, appFolder, passwords.isEmpty() ? nullptr : &passwords);
    QStringList paths = request.paths;
    if (!request.filesFrom.isEmpty()) {
        QString why;
        const std::optional<QStringList> listed = readDocumentList(request.filesFrom, request.nulSeparated, &why);
        if (!listed) {
            complain(QStringLiteral("cannot read the list %1: %2").arg(request.filesFrom, why));
            return CannotRun;
        }
        paths += *listed;
    }
    Platform::QtEventPump pump;
    QStringList unentered;
    const std::optional<QStringList> documents =
        collectDocuments(paths, pump, &unentered, {request.shardIndex, request.shardCount});
    if (!documents)
        return CannotRun;
    // Nothing is passed over without a word.
    for (const QString &folder : std::as_const(unentered))
        complain(QStringLiteral("cannot search %1").arg(folder));

    QString workFolder;
    std::optional<JsonReport> report;
    if (!prepareRun(request, appFolder, workFolder, report, *documents))
        return CannotRun;
    if (request.progress == CommandLine::Request::Progress::Verbose)
        std::fprintf(stderr, "rasterwell: sandbox: %s\n",
                     qPrintable(Platform::sandboxStatus(appFolder)));
    FixedDocuments source(*documents);
    TerminalView view(source, stderr, Platform::isTerminal(stderr), request.progress,
                      Platform::terminalColumns(stderr));
    // With the report on standard output, the messages go to the error stream.
    TerminalMessages messages(request.report == QLatin1String("-") ? stderr : stdout, view);
    // Interrupted (INT, TERM, HUP), the run stops cleanly: its companions
    // ended, its staging folders cleared, a report line for each document
    // under way; then the program ends by that signal.
    Platform::StopSignals stop(nullptr);
    StopObserver stopping(stop);
    RunObservers observers;
    observers.add(&view);
    observers.add(report ? &*report : nullptr);
    observers.add(&stopping);
    Platform::PosixProcessApi processes;
    ConversionRun run({.appFolder = appFolder,
                       .documents = source,
                       .view = view,
                       .windowPointer = view,
                       .messages = messages,
                       .pump = pump,
                       .processes = processes,
                       .workFolder = workFolder,
                       .slotCount = request.jobs > 0 ? request.jobs : defaultSlotCount(),
                       .environment = scriptSettings(request),
                       .recover = request.recover,
                       .output = outputPlace(request),
                       .observer = &observers,
                       .skipUpToDate = request.update,
                       .passwords = passwords.isEmpty() ? nullptr : &passwords});
    const RunSummary summary = run.run();
    view.clearBar();
    if (summary.outcome == RunSummary::Outcome::Stopped && stop.received())
        Platform::endBySignal(stop.signal());
    int status = summary.exitStatus();
    if (report && !report->writeProblem().isEmpty()) {
        complain(report->writeProblem());
        status = std::max(status, int(SomeNotConverted));
    }
    return status == AllConverted && !unentered.isEmpty() ? int(SomeNotConverted) : status;
}

} // namespace Cli
