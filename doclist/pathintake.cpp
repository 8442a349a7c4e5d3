#include "doclist/pathintake.h"

#include "doclist/addfolder.h"
#include "doclist/listview1.h"
#include "platform/fileops.h"
#include "platform/messages.h"
#include "platform/pathcodec.h"
#include "platform/pointer.h"

namespace {

const QString MessageTitle = QStringLiteral("Rasterwell");

// Lines beyond this many are summed up in one "... and N more" line.
constexpr qsizetype MaxListedLines = 20;

QString listed(const QStringList &lines)
{
    // Names are shown with their control characters escaped: each line stays one line.
    QStringList shown;
    for (const QString &line : lines.mid(0, MaxListedLines))
        shown << Platform::displayPath(line);
    if (lines.size() > MaxListedLines)
        shown << QStringLiteral("... and %1 more").arg(lines.size() - MaxListedLines);
    return shown.join(QLatin1Char('\n'));
}

// The folder as the folder picker gives it: no trailing separator except "/".
QString withoutTrailingSeparators(QString folder)
{
    while (folder.size() > 1 && folder.endsWith(QLatin1Char('/')))
        folder.chop(1);
    return folder;
}

} // namespace

namespace AddCommands {

QString LeftOutMessage(const QStringList &missing, const QStringList &unentered)
{
    QStringList parts;
    if (!missing.isEmpty())
        parts << QStringLiteral("Not found, so not added:\n") + listed(missing);
    if (!unentered.isEmpty())
        parts << QStringLiteral("These folders could not be opened; PDF files in them were not added:\n")
                     + listed(unentered);
    return parts.join(QStringLiteral("\n\n"));
}

} // namespace AddCommands

PathIntake::PathIntake(ListView1 &list, Platform::PointerSetting &window, Platform::EventPump *pump,
                       Platform::MessageSink *messages)
    : list_(list), window_(window), pump_(pump), messages_(messages)
{
}

PathIntake::~PathIntake()
{
    *alive_ = false;
}

void PathIntake::add(const QStringList &paths)
{
    const std::shared_ptr<bool> alive = alive_;
    ++serving_;
    serve(paths);
    if (*alive)
        --serving_;
}

void PathIntake::serve(const QStringList &paths)
{
    const std::shared_ptr<bool> alive = alive_;
    QStringList documents, missing, unentered;
    bool walking = false;
    // Another long command (a conversion, or the walk this request arrived
    // in) may already show the hourglass and still be under way when this
    // walk ends: it clears its own mark.
    bool busyBefore = false;
    for (const QString &path : paths) {
        if (!Platform::pathExists(path)) {
            missing << path;
        } else if (Platform::isFolder(path)) {
            if (!walking) {
                walking = true;
                ++walking_;
                busyBefore = window_.pointer() == Platform::PointerHourglass;
                window_.setPointer(Platform::PointerHourglass);
                list_.setFolderWalkRunning(true);
            }
            documents += AddFolder::CollectDocuments(withoutTrailingSeparators(path), pump_, &unentered);
            if (!*alive)
                return; // the window went away while events were processed
        } else {
            documents << path; // as given, like a dropped file
        }
    }
    list_.appendAll(documents);
    if (walking) {
        list_.setFolderWalkRunning(--walking_ > 0);
        if (!busyBefore)
            window_.setPointer(Platform::PointerDefault);
    }
    const QString message = AddCommands::LeftOutMessage(missing, unentered);
    if (!message.isEmpty() && messages_)
        messages_->showMessage(message, MessageTitle, Platform::MessageIcon::Exclamation);
}
