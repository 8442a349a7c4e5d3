#include "doclist/addcommands.h"

#include "doclist/choosefolder.h"
#include "doclist/listview1.h"
#include "doclist/pathintake.h"
#include "platform/gui/dialogs.h"

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
    list.appendAll(PathsFromFileDialog(result));
}

void AddAllInFolder(ListView1 &list, Platform::Dialogs &dialogs, PathIntake &intake, QWidget *owner)
{
    if (intake.busy() || list.folderWalkRunning())
        return; // a walk already fills the list: leave it undisturbed

    const QString folder = AddFolder::ChooseFolder(dialogs, owner, FolderPrompt);
    if (folder.isEmpty())
        return;
    intake.add({folder});
}

} // namespace AddCommands
