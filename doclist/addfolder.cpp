#include "doclist/addfolder.h"

#include "fileutil/fileutil.h"
#include "platform/direnum.h"
#include "platform/eventpump.h"
#include "platform/folderaccess.h"

#include <QSet>

namespace AddFolder {

namespace {

const QString Separator = QStringLiteral("/");

// One walk: where events go, and the folders it could not open.
struct Walk {
    Platform::EventPump *pump = nullptr;
    QStringList *unentered = nullptr;
    QSet<QString> unopened; // folder-list entries, each reported once

    void processEvents() const
    {
        if (pump)
            pump->processEvents();
    }

    // `entry` ends with the separator.
    void reportUnopened(const QString &entry)
    {
        if (unopened.contains(entry))
            return;
        unopened.insert(entry);
        if (!unentered)
            return;
        const QString folder = entry.left(entry.size() - 1);
        const Platform::FolderOpenCheck check = Platform::checkFolderOpens(folder);
        QString reason;
        switch (check.access) {
        case Platform::FolderAccess::PermissionDenied: reason = QStringLiteral("permission denied"); break;
        case Platform::FolderAccess::PathTooLong: reason = QStringLiteral("path too long"); break;
        case Platform::FolderAccess::OtherError: reason = check.systemMessage.toLower(); break;
        case Platform::FolderAccess::Open: reason = QStringLiteral("could not be read"); break;
        }
        *unentered << folder + QStringLiteral(": ") + reason;
    }
};

// The sub-folders of one level, in order: for each folder of `level`, the
// folders directly inside it.
QStringList subfoldersOf(const QStringList &level, Walk &walk)
{
    Platform::EnumOptions options;
    options.includeFolders = true;
    options.includeHidden = false; // hidden folders are never entered

    QStringList found;
    for (const QString &folder : level) {
        // Each listing is read completely and closed before events are
        // processed, so a command that runs meanwhile cannot disturb it.
        bool readable = false;
        const std::vector<Platform::DirEntry> entries =
            Platform::enumerateDirectory(folder, QStringLiteral("*"), options, &readable);
        if (!readable)
            walk.reportUnopened(folder); // skipped; the walk goes on
        walk.processEvents();
        for (const Platform::DirEntry &entry : entries) {
            walk.processEvents();
            if (entry.isFolder && !entry.isLink)
                found << folder + entry.name + Separator;
        }
    }
    return found;
}

void collectSubfolders(QStringList &folderList, bool recurse, Walk &walk)
{
    // Level by level rather than by recursion, so a very deep tree cannot
    // exhaust the stack; the order is the same.
    QStringList found;
    QStringList level = subfoldersOf(folderList, walk);
    while (!level.isEmpty()) {
        found += level;
        if (!recurse)
            break;
        level = subfoldersOf(level, walk);
    }
    folderList.reserve(folderList.size() + found.size());
    for (const QString &entry : std::as_const(found)) {
        walk.processEvents();
        folderList << entry;
    }
}

} // namespace

void CollectSubfolders(QStringList &folderList, bool recurse, Platform::EventPump *pump,
                       QStringList *unentered)
{
    Walk walk{pump, unentered, {}};
    collectSubfolders(folderList, recurse, walk);
}

QStringList CollectDocuments(const QString &folder, Platform::EventPump *pump,
                             QStringList *unentered)
{
    Walk walk{pump, unentered, {}};
    QStringList folderList{folder + Separator};
    collectSubfolders(folderList, true, walk);

    QStringList documents;
    for (const QString &entry : std::as_const(folderList)) {
        const QString path = entry.left(entry.size() - 1); // without the trailing separator
        const QStringList names = FileUtil::ListFiles(path, QStringLiteral("*.pdf"));
        // A folder that vanished or closed up since its sub-folders were read.
        if (names.isEmpty() && !walk.unopened.contains(entry)
            && Platform::checkFolderOpens(path).access != Platform::FolderAccess::Open)
            walk.reportUnopened(entry);
        for (const QString &name : names) {
            if (!name.startsWith(QLatin1Char('~')))
                documents << path + Separator + name;
        }
        walk.processEvents(); // keeps the window alive through a long listing
    }
    return documents;
}

} // namespace AddFolder
