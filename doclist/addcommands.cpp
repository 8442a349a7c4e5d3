#include "doclist/addcommands.h"

#include "doclist/addfolder.h"
#include "doclist/choosefolder.h"
#include "doclist/listview1.h"
#include "platform/gui/dialogs.h"
#include "platform/pointer.h"

#include <QPointer>

namespace AddCommands {

QStringList PathsFromFileDialog(const QString &result)
{
    if (result.isEmpty())
        return {};
    const QStringList parts = result.split(QChar(0));
    if (parts.size() == 1)
        return parts; // one file: its full path, unchanged

    const QString &folder = parts.first();
    QStringList paths;
    for (qsizetype i = 1; i < parts.size(); ++i) {
        if (parts[i].isEmpty())
            continue; // a stray separator names no file
        if (folder.isEmpty()) {
            paths << parts[i]; // a full path of its own
            continue;
        }
        QString path = folder + QLatin1Char('/') + parts[i];
        path.replace(QStringLiteral("//"), QStringLiteral("/")); // left to right, no overlap
        paths << path;
    }
    return paths;
}

void AddFiles(ListView1 &list, Platform::Dialogs &dialogs, QWidget *owner)
{
    const QString result = dialogs.openFiles(owner, FileDialogTitle, FileDialogFilter);
    for (const QString &path : PathsFromFileDialog(result))
        list.append(path);
}

void AddAllInFolder(ListView1 &list, Platform::Dialogs &dialogs, Platform::PointerSetting &window,
                    Platform::EventPump *pump, QWidget *owner)
{
    if (list.folderWalkRunning())
        return; // a walk already fills the list: leave it undisturbed

    const QString folder = AddFolder::ChooseFolder(dialogs, owner, FolderPrompt);
    if (folder.isEmpty() || list.folderWalkRunning())
        return;

    // Another long command (a conversion) may already show the hourglass and
    // is still under way when this walk ends: it clears its own mark.
    const bool busyBefore = window.pointer() == Platform::PointerHourglass;
    window.setPointer(Platform::PointerHourglass);
    list.setFolderWalkRunning(true);

    const QPointer<ListView1> alive(&list);
    const QStringList documents = AddFolder::CollectDocuments(folder, pump);
    if (!alive)
        return; // the window went away while events were processed
    for (const QString &path : documents)
        list.append(path);
    list.setFolderWalkRunning(false);
    if (!busyBefore)
        window.setPointer(Platform::PointerDefault);
}

} // namespace AddCommands
