#include "platform/gui/dialogs.h"

#include <QFileDialog>
#include <QFileInfo>

namespace Platform {

QString fileDialogResult(const QStringList &paths)
{
    if (paths.isEmpty())
        return {};
    if (paths.size() == 1)
        return paths.first();
    // Several files of one folder: the folder, then the bare names.
    QString folder = QFileInfo(paths.first()).path();
    QString result = folder;
    for (const QString &p : paths)
        result += QChar(0) + QFileInfo(p).fileName();
    return result;
}

QString QtDialogs::openFiles(QWidget *owner, const QString &title, const QString &filter)
{
    return fileDialogResult(QFileDialog::getOpenFileNames(owner, title, QString(), filter));
}

QString QtDialogs::chooseFolder(QWidget *owner, const QString &prompt)
{
    QString folder = QFileDialog::getExistingDirectory(owner, prompt, QString(),
                                                       QFileDialog::ShowDirsOnly);
    while (folder.size() > 1 && folder.endsWith(QLatin1Char('/')))
        folder.chop(1);
    return folder;
}

} // namespace Platform
