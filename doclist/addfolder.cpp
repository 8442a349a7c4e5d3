#include "doclist/addfolder.h"

#include "app/fileutil/fileutil.h"
#include "platform/direnum.h"
#include "platform/eventpump.h"

namespace AddFolder {

namespace {

const QString Separator = QStringLiteral("/");

void processEvents(Platform::EventPump *pump)
{
    if (pump)
        pump->processEvents();
}

// The sub-folders of one level, in order: for each folder of `level`, the
// folders directly inside it.
QStringList subfoldersOf(const QStringList &level, Platform::EventPump *pump)
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
        processEvents(pump);
        if (!readable)
            continue; // unreadable or vanished: skip it and go on
        for (const Platform::DirEntry &entry : entries) {
            processEvents(pump);
            if (entry.isFolder && !entry.isLink)
                found << folder + entry.name + Separator;
        }
    }
    return found;
}

} // namespace

void CollectSubfolders(QStringList &folderList, bool recurse, Platform::EventPump *pump)
{
    // Level by level rather than by recursion, so a very deep tree cannot
    // exhaust the stack; the order is the same.
    QStringList found;
    QStringList level = subfoldersOf(folderList, pump);
    while (!level.isEmpty()) {
        found += level;
        if (!recurse)
            break;
        level = subfoldersOf(level, pump);
    }
    folderList.reserve(folderList.size() + found.size());
    for (const QString &entry : std::as_const(found)) {
        processEvents(pump);
        folderList << entry;
    }
}

QStringList CollectDocuments(const QString &folder, Platform::EventPump *pump)
{
    QStringList folderList{folder + Separator};
    CollectSubfolders(folderList, true, pump);

    QStringList documents;
    for (const QString &entry : std::as_const(folderList)) {
        const QString path = entry.left(entry.size() - 1); // without the trailing separator
        const QStringList names = FileUtil::ListFiles(path, QStringLiteral("*.pdf"));
        for (const QString &name : names) {
            if (!name.startsWith(QLatin1Char('~')))
                documents << path + Separator + name;
        }
        processEvents(pump); // keeps the window alive through a long listing
    }
    return documents;
}

} // namespace AddFolder
