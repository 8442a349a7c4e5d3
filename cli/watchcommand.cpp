#include "cli/watchcommand.h"

#include "cli/cliconvert.h"
#include "cli/jsonreport.h"
#include "cli/terminalview.h"
#include "convert/companionfiles.h"
#include "convert/conversionrun.h"
#include "convert/runobserver.h"
#include "convert/runvariables.h"
#include "convert/uptodate.h"
#include "platform/eventpump.h"
#include "platform/filestamp.h"
#include "platform/fileops.h"
#include "platform/folderwatch.h"
#include "platform/pathcodec.h"
#include "platform/process.h"
#include "platform/stopsignals.h"
#include "platform/terminal.h"

#include <QDirIterator>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QTimer>

#include <algorithm>

#include <cstdio>
#include <map>
#include <set>

namespace Cli {

namespace {

// A document must stay unchanged this long after it was closed or moved in
// before it is converted: a copy still under way writes to it again.
constexpr int SettleMilliseconds = 700;
const QString DoneMessage = QStringLiteral("Done.");

QString withoutTrailingSlash(QString folder)
{
    while (folder.size() > 1 && folder.endsWith(QLatin1Char('/')))
        folder.chop(1);
    return folder;
}

// A name the folder walk would take: "*.pdf" in any case, not "~..." and
// not hidden (the run's own partly written files are hidden).
bool isDocumentName(const QString &path)
{
    const QString name = path.section(QLatin1Char('/'), -1);
    return name.endsWith(QLatin1String(".pdf"), Qt::CaseInsensitive) && !name.startsWith(QLatin1Char('~'))
           && !name.startsWith(QLatin1Char('.'));
}

// Holds back the run's "Done.": a watch is done once, when it ends.
class WatchMessages final : public Platform::MessageSink {
public:
    explicit WatchMessages(Platform::MessageSink &to) : to_(to) {}
    void showMessage(const QString &text, const QString &title, Platform::MessageIcon icon) override
    {
        if (text != DoneMessage)
            to_.showMessage(text, title, icon);
    }
    void showProblem(const QString &text, const QString &title) override { to_.showProblem(text, title); }
    void showDetails(const QStringList &lines) override { to_.showDetails(lines); }

private:
    Platform::MessageSink &to_;
};

class Watcher final : public RunObserver {
public:
    Watcher(const CommandLine::Request &request, const QString &appFolder, const QString &workFolder,
            JsonReport *report, const Platform::SecretBytes *passwords)
        : request_(request), appFolder_(appFolder), workFolder_(workFolder), report_(report),
          passwords_(passwords),
          watch_([this](const Platform::FolderWatch::Event &e) { onEvent(e); }),
          stop_([this] { loop_.quit(); })
    {
        settle_.setSingleShot(true);
        QObject::connect(&settle_, &QTimer::timeout, &settle_, [this] { settleDue(); });
        const CompanionFiles files(appFolder, workFolder);
        for (int number = 1; number <= slotCount(); ++number)
            stagingFolders_ << files.slot(number).folder;
    }

    int run(const QStringList &folders)
    {
        if (!watch_.problem().isEmpty()) {
            complain(watch_.problem());
            return CannotRun;
        }
        for (const QString &folder : folders)
            roots_.insert(withoutTrailingSlash(folder));
        // Watched first, so nothing that arrives during the first run is missed.
        for (const QString &root : std::set<QString>(roots_)) {
            watchTree(root, false);
            // A folder named on the command line that cannot be watched is
            // said so (watchTree did); the others are still watched.
            if (!watch_.watches(root))
                roots_.erase(root);
        }
        if (roots_.empty()) {
            complain(QStringLiteral("no folder can be watched"));
            return SomeNotConverted;
        }
        convertAll(folders);
        if (!ending() && status_ != CannotRun && !roots_.empty())
            loop_.exec();
        settle_.stop();
        status_ = std::max(status_, documentsStatus());
        if (status_ != CannotRun) {
            FixedDocuments none({});
            TerminalView view(none, stderr, false);
            TerminalMessages(messageStream(), view).showMessage(DoneMessage, {}, Platform::MessageIcon::None);
        }
        return status_;
    }

    bool stopRequested() const override { return stop_.received(); }

    void documentStarted(int position, const QString &document, int pageCount) override
    {
        Q_UNUSED(position);
        DocumentState &state = documents_[document];
        state.unfinished = true;
        state.pageCount = pageCount;
    }
    void documentEnded(const DocumentEnd &end) override
    {
        DocumentState &state = documents_[end.document];
        endedInRun_.insert(end.document);
        // Cut short: what an earlier conversion left is judged at the end.
        if (end.outcome == DocumentEnd::Outcome::Interrupted) {
            state.unfinished = true;
            return;
        }
        state.converted = end.outcome == DocumentEnd::Outcome::Converted || end.outcome == DocumentEnd::Outcome::UpToDate;
        state.unfinished = false;
        state.pageCount = end.pageCount;
    }

private:
    // Interrupted, or the report's reader has gone: nothing more is watched.
    bool ending() const { return stop_.received() || (report_ && report_->stopRequested()); }

    int slotCount() const { return request_.jobs > 0 ? request_.jobs : defaultSlotCount(); }

    // 0 when every document the watch took up ended converted (its last
    // outcome counts: a later full conversion replaces an earlier failure);
    // a document whose last conversion was cut short counts as converted
    // only when its images still show it as it is now.
    int documentsStatus() const
    {
        const RunVariables::ImageSettings settings =
            RunVariables::imageSettingsOf(CompanionFiles(appFolder_, workFolder_).script, scriptSettings(request_));
        for (const auto &[document, state] : documents_) {
            if (!state.converted
                || (state.unfinished
                    && !PDF::IsUpToDate(document, state.pageCount, settings,
                                        imageFolderFor(outputPlace(request_), document))))
                return SomeNotConverted;
        }
        return AllConverted;
    }
    std::FILE *messageStream() const { return request_.report == QLatin1String("-") ? stderr : stdout; }

    bool isStagingFolder(const QString &folder) const
    {
        // Looked up each time: a further slot's folder is made by the run.
        const auto identity = Platform::fileIdentity(folder);
        return identity && std::any_of(stagingFolders_.begin(), stagingFolders_.end(), [&](const QString &f) {
                   return Platform::fileIdentity(f) == identity;
               });
    }

    // Watches the folder and every folder below it that the folder walk
    // would enter; with `queue`, the documents found there wait to be
    // converted (a folder moved in with documents in it).
    void watchTree(const QString &top, bool queue)
    {
        QStringList folders{top};
        while (!folders.isEmpty()) {
            const QString folder = folders.takeFirst();
            // A folder named on the command line may be a link to one; below
            // it, links to folders are not entered (as the folder walk).
            const bool named = roots_.count(folder) > 0;
            if (!(named ? Platform::isFolder(folder) : Platform::isPlainFolder(folder)) || isStagingFolder(folder))
                continue;
            QString error;
            if (!watch_.add(folder, &error, named)) {
                complain(QStringLiteral("cannot watch %1: %2").arg(Platform::displayPath(folder), error));
                if (status_ == AllConverted)
                    status_ = SomeNotConverted;
                continue;
            }
            QDirIterator entries(folder, QDir::Dirs | QDir::Files | QDir::NoDotAndDotDot | QDir::NoSymLinks);
            while (entries.hasNext()) {
                const QString path = entries.next();
                const QString name = entries.fileName();
                if (entries.fileInfo().isDir()) {
                    if (!name.startsWith(QLatin1Char('.')))
                        folders << path;
                } else if (queue && isDocumentName(path)) {
                    note(path);
                }
            }
        }
    }

    void onEvent(const Platform::FolderWatch::Event &e)
    {
        using Kind = Platform::FolderWatch::Event::Kind;
        switch (e.kind) {
        case Kind::FileWritten:
            if (isDocumentName(e.path))
                note(e.path);
            break;
        case Kind::FileModified:
            // Still being written: its settle time starts again.
            if (const auto it = pending_.find(e.path); it != pending_.end())
                it->second.since.start();
            break;
        case Kind::FolderAdded:
            if (!e.path.section(QLatin1Char('/'), -1).startsWith(QLatin1Char('.')))
                watchTree(e.path, true);
            break;
        case Kind::FolderGone:
            if (roots_.erase(e.path)) {
                complain(QStringLiteral("the watched folder %1 is gone; watching the others")
                             .arg(Platform::displayPath(e.path)));
                if (status_ == AllConverted)
                    status_ = SomeNotConverted;
                if (roots_.empty()) {
                    complain(QStringLiteral("no watched folder is left"));
                    loop_.quit();
                }
            }
            break;
        case Kind::Overflow:
            // Events were lost: everything is looked at again; what is up to
            // date is skipped.
            for (const QString &root : roots_)
                watchTree(root, true);
            break;
        }
    }

    // A document was closed or moved in: it is converted once it has stayed
    // as it is for the settle time.
    void note(const QString &path)
    {
        if (!pickedByShard(path))
            return;
        Pending &p = pending_[path];
        p.stamp = Platform::regularFileStamp(path);
        p.since.start();
        if (!settle_.isActive())
            settle_.start(SettleMilliseconds);
    }

    void settleDue()
    {
        if (converting_)
            return; // looked at again when the run ends
        QStringList ready;
        qint64 nextDue = -1;
        for (auto it = pending_.begin(); it != pending_.end();) {
            const qint64 waited = it->second.since.elapsed();
            if (waited < SettleMilliseconds) {
                const qint64 left = SettleMilliseconds - waited;
                nextDue = nextDue < 0 ? left : std::min(nextDue, left);
                ++it;
                continue;
            }
            const std::optional<Platform::FileStamp> now = Platform::regularFileStamp(it->first);
            if (!now) { // gone again, or not a regular file: nothing to convert
                it = pending_.erase(it);
            } else if (now != it->second.stamp) {
                it->second.stamp = now;
                it->second.since.start();
                nextDue = nextDue < 0 ? SettleMilliseconds : std::min<qint64>(nextDue, SettleMilliseconds);
                ++it;
            } else {
                ready << it->first;
                it = pending_.erase(it);
            }
        }
        if (!ready.isEmpty())
            convertDocuments(ready);
        if (nextDue >= 0 && !ending())
            settle_.start(int(nextDue));
    }

    void convertAll(const QStringList &folders)
    {
        Platform::QtEventPump pump;
        QStringList unentered;
        const std::optional<QStringList> documents =
            collectDocuments(folders, pump, &unentered, {request_.shardIndex, request_.shardCount});
        for (const QString &folder : std::as_const(unentered))
            complain(QStringLiteral("cannot search %1").arg(folder));
        if (!unentered.isEmpty() && status_ == AllConverted)
            status_ = SomeNotConverted;
        if (documents && !documents->isEmpty())
            convertDocuments(*documents);
    }

    // One run over the documents, with the progress and messages of a
    // normal run.
    void convertDocuments(const QStringList &documents)
    {
        converting_ = true;
        endedInRun_.clear();
        FixedDocuments source(documents);
        TerminalView view(source, stderr, Platform::isTerminal(stderr), request_.progress,
                          Platform::terminalColumns(stderr));
        TerminalMessages printed(messageStream(), view);
        WatchMessages messages(printed);
        RunObservers observers;
        observers.add(&view);
        observers.add(report_);
        observers.add(this);
        Platform::QtEventPump pump;
        Platform::PosixProcessApi processes;
        ConversionRun run({.appFolder = appFolder_,
                           .documents = source,
                           .view = view,
                           .windowPointer = view,
                           .messages = messages,
                           .pump = pump,
                           .processes = processes,
                           .workFolder = workFolder_,
                           .slotCount = slotCount(),
                           .environment = scriptSettings(request_),
                           .recover = request_.recover,
                           .output = outputPlace(request_),
                           .observer = &observers,
                           .skipUpToDate = true,
                           .passwords = passwords_});
        const RunSummary summary = run.run();
        view.clearBar();
        converting_ = false;
        if (report_ && !report_->writeProblem().isEmpty() && !reportComplained_) {
            complain(report_->writeProblem());
            reportComplained_ = true;
        }
        const int status = summary.exitStatus();
        if (report_ && !report_->writeProblem().isEmpty())
            status_ = std::max(status_, int(SomeNotConverted));
        // What the documents come to is counted per document, at the end.
        if (status == CannotRun)
            status_ = CannotRun;
        if (summary.outcome == RunSummary::Outcome::Stopped) {
            for (const QString &document : documents)
                if (!endedInRun_.count(document))
                    documents_[document].unfinished = true;
        }
        if (status == CannotRun || ending()) {
            loop_.quit();
            return;
        }
        // What settled during the run is converted next.
        if (!pending_.empty() && !settle_.isActive())
            settle_.start(0);
    }

    struct Pending {
        std::optional<Platform::FileStamp> stamp;
        QElapsedTimer since;
    };
    struct DocumentState {
        bool converted = false;  // its last conversion ended with every page
        bool unfinished = false; // a later one was cut short (or never reached)
        int pageCount = 0;
    };

    const CommandLine::Request &request_;
    QString appFolder_;
    QString workFolder_;
    JsonReport *report_;
    const Platform::SecretBytes *passwords_;
    QEventLoop loop_;
    Platform::FolderWatch watch_;
    Platform::StopSignals stop_;
    QTimer settle_;
    // True when the document belongs to this run's shard, by its path below
    // the watched folder that holds it.
    bool pickedByShard(const QString &path) const
    {
        const Shard shard{request_.shardIndex, request_.shardCount};
        for (const QString &root : roots_) {
            const QString prefix = root.endsWith(QLatin1Char('/')) ? root : root + QLatin1Char('/');
            if (path.startsWith(prefix))
                return shard.picks(path.mid(prefix.size()));
        }
        return shard.picks(path);
    }

    std::set<QString> roots_;
    QStringList stagingFolders_;
    std::map<QString, Pending> pending_;
    std::map<QString, DocumentState> documents_;
    std::set<QString> endedInRun_;
    bool converting_ = false;
    bool reportComplained_ = false;
    int status_ = AllConverted;
};

} // namespace

int watch(const CommandLine::Request &request, const QString &appFolder,
          const Platform::SecretBytes *passwords)
{
    for (const QString &path : request.paths) {
        if (!Platform::isFolder(path)) {
            complain(QStringLiteral("--watch needs folders; %1 is not one").arg(Platform::displayPath(path)));
            return CannotRun;
        }
    }
    QString workFolder;
    std::optional<JsonReport> report;
    if (!prepareRun(request, appFolder, workFolder, report))
        return CannotRun;
    Watcher watcher(request, appFolder, workFolder, report ? &*report : nullptr, passwords);
    return watcher.run(request.paths);
}

} // namespace Cli
