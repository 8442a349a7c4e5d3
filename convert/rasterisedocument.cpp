#include "convert/rasterisedocument.h"

#include "app/fileutil/fileutil.h"
#include "convert/launcher/shell32.h"
#include "convert/runview.h"
#include "platform/eventpump.h"
#include "platform/filemove.h"
#include "platform/fileops.h"
#include "platform/pointer.h"

#include <QScopeGuard>

namespace PDF {

namespace {

constexpr int HiddenStyle = 0;
constexpr int PollMilliseconds = 100;
// The staged copy is written by us and visible at once; if it is still
// missing after this many polls (five seconds) something else removed it.
constexpr int AppearPolls = 50;
const QString PageImages = QStringLiteral("current*.jpg");

class Rasteriser {
public:
    Rasteriser(Context &context, const QString &documentPath)
        : context_(context), files_(context.files), document_(documentPath)
    {
    }

    RasteriseResult run();

private:
    void hourglass() { context_.pointer.setApplicationPointer(Platform::PointerHourglass); }
    RasteriseResult fail(const QString &problem);
    bool removeStagedCopy();
    bool removePageImages();
    bool waitUntilStagedCopyPresent();
    void collectPages();

    Context &context_;
    const CompanionFiles &files_;
    const QString document_;
    RasteriseResult result_;
};

RasteriseResult Rasteriser::fail(const QString &problem)
{
    result_.failed = true;
    if (result_.problem.isEmpty())
        result_.problem = problem;
    removeStagedCopy();
    removePageImages();
    return result_;
}

bool Rasteriser::removeStagedCopy()
{
    return !FileUtil::FileExists(files_.stagedCopy) || Platform::removeFile(files_.stagedCopy);
}

bool Rasteriser::removePageImages()
{
    bool removed = true;
    for (const QString &name : FileUtil::ListFiles(files_.stagingFolder, PageImages))
        removed = Platform::removeFile(files_.stagingFolder + name) && removed;
    return removed;
}

bool Rasteriser::waitUntilStagedCopyPresent()
{
    for (int polls = 0; !FileUtil::FileExists(files_.stagedCopy); ++polls) {
        if (polls >= AppearPolls)
            return false;
        context_.pump.processEvents();
        context_.pump.pause(PollMilliseconds);
    }
    return true;
}

void Rasteriser::collectPages()
{
    const QStringList pages = FileUtil::ListFiles(files_.stagingFolder, PageImages);
    hourglass();
    result_.pagesCreated = false;
    for (int page = 1; page <= pages.size(); ++page) {
        result_.pagesCreated = true;
        QString error;
        // Moved rather than copied: the same end state (the image beside the
        // document, none left in the staging folder) without writing every
        // page twice.
        if (!Platform::moveReplacing(files_.stagingFolder + pages[page - 1],
                                     outputName(document_, page), &error)) {
            result_.failed = true;
            result_.problem = error;
            break;
        }
        ++result_.pagesWritten;
    }
}

RasteriseResult Rasteriser::run()
{
    hourglass();
    // A staged copy or page images left by an interrupted conversion must not
    // be taken for this document's.
    if (!removeStagedCopy())
        return fail(QStringLiteral("cannot delete %1").arg(files_.stagedCopy));
    if (!removePageImages())
        return fail(QStringLiteral("cannot delete old page images in %1").arg(files_.stagingFolder));

    hourglass();
    if (document_.contains(QChar(0)))
        return fail(QStringLiteral("invalid document path"));
    QString error;
    if (!Platform::copyReplacing(document_, files_.stagedCopy, &error))
        return fail(error);
    if (!waitUntilStagedCopyPresent())
        return fail(QStringLiteral("%1 did not appear").arg(files_.stagedCopy));

    // The script is started directly; a file without its run bit would be
    // handed to a desktop application instead, so it is not started at all.
    if (!isRunnableFile(files_.script))
        return fail(QStringLiteral("%1 cannot be run").arg(files_.script));
    const Shell32::WaitResult ran = context_.launcher.ShellLaunchAndWait(
        QLatin1Char('"') + files_.script + QLatin1Char('"'), HiddenStyle, files_.stagingFolder);
    if (!ran.started())
        return fail(QStringLiteral("%1 could not be started (%2)")
                        .arg(files_.script, ran.error->description));

    // The script deletes the staged copy when it has finished. It has ended
    // by now, so a staged copy that is still there will never go away.
    hourglass();
    if (FileUtil::FileExists(files_.stagedCopy))
        return fail(QStringLiteral("%1 ended without finishing the document").arg(files_.script));

    collectPages();

    hourglass();
    if (!removePageImages() && !result_.failed) {
        result_.failed = true;
        result_.problem = QStringLiteral("cannot delete page images in %1").arg(files_.stagingFolder);
    }
    return result_;
}

} // namespace

QString outputName(const QString &documentPath, int page)
{
    return FileUtil::StripExtension(documentPath)
           + QStringLiteral("-%1.jpg").arg(page, 3, 10, QLatin1Char('0'));
}

RasteriseResult RasteriseDocument(Context &context, const QString &documentPath)
{
    const auto restorePointer = qScopeGuard(
        [&context] { context.pointer.setApplicationPointer(Platform::PointerDefault); });
    return Rasteriser(context, documentPath).run();
}

} // namespace PDF
