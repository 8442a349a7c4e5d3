#include "convert/rasterisedocument.h"

#include "fileutil/fileutil.h"
#include "convert/directcompanions.h"
#include "convert/imagerecord.h"
#include "convert/launcher/shell32.h"
#include "convert/passwordprobe.h"
#include "convert/runview.h"
#include "platform/secret.h"
#include "convert/runvariables.h"
#include "convert/stagingfolders.h"
#include "platform/appfolder.h"
#include "platform/eventpump.h"
#include "platform/fileops.h"
#include "platform/pathcodec.h"
#include "platform/pointer.h"
#include "platform/process.h"

#include <QFileInfo>
#include <QScopeGuard>

#include <algorithm>

namespace PDF {

namespace {

constexpr int HiddenStyle = 0;
// How often a running converter's progress is looked at.
constexpr int ProgressCheckMilliseconds = 1000;
const QStringList PageImages = {QStringLiteral("current*.jpg"), QStringLiteral("current*.png")};
// What an interrupted conversion can leave besides page images: the
// renderer's and our own partly written files.
const QStringList PartialFiles = {QStringLiteral(".tmp-current*"), QStringLiteral(".current.pdf.rw-*")};

bool removeMatching(const QString &folder, const QString &pattern)
{
    bool removed = true;
    for (const QString &name : FileUtil::ListFiles(folder, pattern))
        removed = Platform::removeFile(folder + name) && removed;
    return removed;
}

} // namespace

bool clearStagingSlot(const StagingSlot &slot)
{
    // Only a staged copy this program put there is removed: a current.pdf
    // of anyone else's stays, and the slot cannot be used.
    bool cleared = true;
    if (!stagedCopyIsOurs(slot))
        cleared = false;
    else if (Platform::entryIdentity(slot.stagedCopy))
        cleared = Platform::removeFile(slot.stagedCopy);
    if (!Platform::entryIdentity(slot.stagedCopy))
        forgetStagedCopy(slot);
    for (const QString &pattern : PageImages)
        cleared = removeMatching(slot.folder, pattern) && cleared;
    for (const QString &pattern : PartialFiles)
        cleared = removeMatching(slot.folder, pattern) && cleared;
    FileUtil::DeleteQuietly(slot.messagesFile);
    removeResultTemporaries(slot.resultFile);
    return cleared;
}

QString RasteriseJob::imagePattern() const
{
    return QStringLiteral("current*.") + settings_.extension();
}

RasteriseJob::RasteriseJob(Context &context, QString documentPath, int pageCount)
    : context_(context), slot_(context.slot), document_(std::move(documentPath)), pageCount_(pageCount)
{
}

RasteriseJob::RasteriseJob(Context &context, QString documentPath, int pageCount,
                           RunVariables::ImageSettings settings)
    : context_(context), slot_(context.slot), document_(std::move(documentPath)), pageCount_(pageCount),
      given_(std::move(settings))
{
}

void RasteriseJob::hourglass()
{
    context_.pointer.setApplicationPointer(Platform::PointerHourglass);
}

bool RasteriseJob::fail(const QString &problem)
{
    done_ = true;
    result_.failed = true;
    if (result_.problem.isEmpty())
        result_.problem = problem;
    clearSlot();
    return false;
}

bool RasteriseJob::clearSlot()
{
    return clearStagingSlot(slot_);
}

bool RasteriseJob::start()
{
    hourglass();
    if (document_.contains(QChar(0)))
        return fail(QStringLiteral("invalid document path"));
    // A document in the staging folder would be deleted or replaced by the
    // staging itself, and its images taken for the converter's.
    const std::optional<Platform::FileIdentity> folder = Platform::fileIdentity(FileUtil::FolderOf(document_));
    if (folder && folder == Platform::fileIdentity(slot_.folder)) {
        done_ = true;
        result_.failed = true;
        result_.problem = QStringLiteral("it is inside the staging folder %1")
                              .arg(Platform::displayPath(slot_.folder));
        return false;
    }
    // A staged copy, page images or partial files left by an interrupted
    // conversion must not be taken for this document's.
    if (!stagedCopyIsOurs(slot_)) {
        done_ = true;
        result_.failed = true;
        result_.problem = QStringLiteral("the staging folder %1 holds a current.pdf this program did not put there")
                              .arg(Platform::displayPath(slot_.folder));
        return false;
    }
    if (!clearSlot())
        return fail(QStringLiteral("cannot clear the staging folder %1").arg(slot_.folder));

    settings_ = given_ ? *given_ : RunVariables::imageSettingsOf(context_.files.script, context_.environment);
    if (!settings_.pages.isEmpty())
        selection_ = PageSelection::parse(settings_.pages).value_or(PageSelection());

    // The images go into the folder opened here, whatever is put in its
    // place meanwhile; they grant no more reading than the document.
    QString error;
    if (context_.output.isBeside()) {
        folder_ = Platform::FolderHandle::open(FileUtil::FolderOf(document_), &error);
    } else {
        // Beneath the output folder, its sub-folders made as needed through
        // its descriptor (a link planted there is never followed), no more
        // readable than the document's own folder.
        Platform::makeFolders(context_.output.folder);
        const Platform::FolderHandle base = Platform::FolderHandle::open(context_.output.folder, &error);
        const unsigned folderMode = (Platform::fileMode(FileUtil::FolderOf(document_)).value_or(0755) & 0555) | 0700;
        if (base.isOpen())
            folder_ = base.openBeneath(context_.output.relativeFolderOf(document_), folderMode, &error);
    }
    if (!folder_.isOpen())
        return fail(error);

    hourglass();
    const auto mark = [this](const Platform::FileIdentity &copy) { return markStagedCopy(slot_, copy); };
    // The document as it stood before it was copied: its images record it.
    Platform::SourceIdentity source;
    if (!Platform::copyReplacing(document_, slot_.stagedCopy, &error, mark, &source))
        return fail(error);
    const std::optional<unsigned> documentMode = Platform::fileMode(document_);
    if (!documentMode)
        return fail(QStringLiteral("cannot read %1").arg(Platform::displayPath(document_)));
    imageMode_ = Platform::modeFollowing(*documentMode);
    if (!FileUtil::FileExists(slot_.stagedCopy))
        return fail(QStringLiteral("%1 did not appear").arg(slot_.stagedCopy));

    // The script is started directly; a file without its run bit would be
    // handed to a desktop application instead, so it is not started at all.
    if (!isRunnableFile(context_.files.script))
        return fail(QStringLiteral("%1 cannot be run").arg(context_.files.script));
    Shell32::ChildOptions options;
    options.inheritDescriptor = context_.lockDescriptor;
    options.errorFile = slot_.messagesFile;
    options.environment = context_.environment;
    options.environment << QStringLiteral("RASTERWELL_RENDERER=") + context_.files.renderer;
    // Set either way, so that a value of the user's own never reaches it.
    options.environment << QStringLiteral("RASTERWELL_RECOVER=") + QLatin1String(context_.recover ? "1" : "0");
    options.environment << QStringLiteral("RASTERWELL_SOURCE=") + sourceIdentityText(source);
    options.environment << RunVariables::furtherSettingsEnvironment(settings_);
    std::optional<Platform::SecretPipe> passwords;
    if (!passPasswords(context_, options, passwords))
        return fail(QStringLiteral("the passwords cannot be passed to the converter"));
    // The shipped script: its job goes straight to the render service.
    if (const std::optional<qint64> direct =
            context_.direct ? context_.direct->startRender(slot_.folder, options, context_.recover) : std::nullopt) {
        pid_ = *direct;
    } else {
        const Shell32::LaunchResult launched = context_.launcher.ShellLaunch(
            QLatin1Char('"') + context_.files.script + QLatin1Char('"'), HiddenStyle, QString(),
            slot_.folder, QStringLiteral("open"), 0, options);
        if (launched.error)
            return fail(QStringLiteral("%1 could not be started (%2)")
                            .arg(context_.files.script, launched.error->description));
        if (launched.pid < 0)
            return fail(QStringLiteral("%1 was not started as a program").arg(context_.files.script));
        pid_ = launched.pid;
    }
    idleLimitMs_ = context_.limits.converterIdleMs >= 0
                       ? context_.limits.converterIdleMs
                       : RunVariables::idleLimitMsFor(RunVariables::pageTimeLimitOf(context_.files.script));
    sinceProgress_.start();
    sinceCheck_.start();
    return true;
}

// True when the converter wrote something since the last look: a new page
// image, or a new line on its error stream.
bool RasteriseJob::progressed()
{
    const qint64 mark = FileUtil::ListFiles(slot_.folder, imagePattern()).size() * qint64(1'000'000'000)
                        + QFileInfo(slot_.messagesFile).size();
    const bool changed = mark != progressMark_;
    progressMark_ = mark;
    return changed;
}

QList<int> RasteriseJob::newPages()
{
    QList<int> pages;
    QList<int> found = placed_;
    if (!done_)
        for (const QString &name : FileUtil::ListFiles(slot_.folder, imagePattern()))
            found << pageNumberOf(name);
    for (const int page : std::as_const(found)) {
        if (page > 0 && !seenPages_.contains(page)) {
            seenPages_.insert(page);
            pages << page;
        }
    }
    std::sort(pages.begin(), pages.end());
    return pages;
}

bool RasteriseJob::poll()
{
    if (done_)
        return true;
    const int code = companionExitCode(context_, pid_);
    if (code != Platform::StillActive) {
        finish(code, {});
        return true;
    }
    const int idleLimit = idleLimitMs_;
    if (idleLimit > 0 && sinceCheck_.elapsed() >= std::min(ProgressCheckMilliseconds, idleLimit)) {
        sinceCheck_.restart();
        if (progressed())
            sinceProgress_.restart();
        else if (sinceProgress_.elapsed() >= idleLimit) {
            endCompanion(context_, pid_);
            finish(companionExitCode(context_, pid_),
                   QStringLiteral("the converter made no progress for %1 s and was ended")
                       .arg(idleLimit / 1000.0));
            return true;
        }
    }
    return false;
}

void RasteriseJob::abandon()
{
    if (!done_)
        endCompanion(context_, pid_);
    done_ = true;
    clearSlot();
}

void RasteriseJob::finish(int exitCode, const QString &stopped)
{
    done_ = true;
    hourglass();
    // The script deletes the staged copy when it has finished; it has ended,
    // so a staged copy still there means it never finished the document.
    const bool finished = !FileUtil::FileExists(slot_.stagedCopy);
    result_.messages = companionMessages(slot_.messagesFile);

    // Every image goes to the number it carries, also after a failure: the
    // pages that were written stay, and never under another page's number.
    result_.pagesCreated = false;
    const QString stem = FileUtil::StripExtension(document_).section(QLatin1Char('/'), -1);
    std::optional<QList<int>> wanted;
    if (!selection_.isAll())
        wanted = selection_.within(pageCount_);
    const Collection collection = collectPageImages(
        slot_.folder, folder_, stem, {.pageCount = pageCount_, .recover = context_.recover, .mode = imageMode_,
                                    .afterPage = context_.afterPagePlaced, .extension = settings_.extension(),
                                    .wanted = wanted});
    result_.pagesCreated = !collection.placed.isEmpty() || (wanted && wanted->isEmpty());
    result_.pagesWritten = int(collection.placed.size());
    result_.missingPages = collection.missing;
    result_.recoveredPages = collection.recovered;
    placed_ = collection.placed;
    result_.messages += collection.problems;
    result_.messages += collection.notes;

    hourglass();
    const bool cleared = clearSlot();

    QString problem;
    if (!stopped.isEmpty())
        problem = stopped;
    else if (!finished)
        problem = QStringLiteral("the converter ended without finishing the document (%1)")
                      .arg(describeExit(exitCode));
    else if (exitCode != 0)
        problem = QStringLiteral("the converter reported a failure (%1)").arg(describeExit(exitCode));
    else if (!collection.problems.isEmpty())
        problem = collection.problems.first();
    else if (collection.placed.isEmpty() && !(wanted && wanted->isEmpty()))
        problem = QStringLiteral("the converter left no page image");
    else if (!result_.missingPages.isEmpty())
        problem = QStringLiteral("the converter left pages out");
    else if (!cleared)
        problem = QStringLiteral("cannot delete page images in %1").arg(slot_.folder);
    // Every page the probe counted is in place: the document is converted,
    // however its converter ended (a render service lost before its reply,
    // a converter ended for silence after its last page).
    const bool everyPage = pageCount_ > 0 && collection.placed.size() == pageCount_
                           && result_.missingPages.isEmpty() && collection.problems.isEmpty();
    if (everyPage && cleared && !problem.isEmpty()) {
        result_.note = QStringLiteral("every page image is in place, though %1").arg(problem);
        problem.clear();
    }
    if (!problem.isEmpty() && !result_.missingPages.isEmpty())
        problem += QStringLiteral("; missing: page%1 %2")
                       .arg(result_.missingPages.size() > 1 ? QStringLiteral("s") : QString(),
                            describePages(result_.missingPages));
    if (!problem.isEmpty()) {
        result_.failed = true;
        result_.problem = problem;
    }
}

RasteriseResult RasteriseDocument(Context &context, const QString &documentPath)
{
    return RasteriseDocumentOfPages(context, documentPath, 0);
}

RasteriseResult RasteriseDocumentOfPages(Context &context, const QString &documentPath, int pageCount)
{
    const auto restorePointer = qScopeGuard(
        [&context] { context.pointer.setApplicationPointer(Platform::PointerDefault); });
    RasteriseJob job(context, documentPath, pageCount);
    runToEnd(job, context);
    return job.result();
}

} // namespace PDF
