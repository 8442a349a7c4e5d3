#include "platform/gui/dialogs.h"

#include <QFileDialog>
#include <QFileInfo>

namespace Platform {

namespace {

// Folder + "/" + name with doubled separators collapsed, as the adding
// command joins them.
QString joined(const QString &folder, const QString &name)
{
    QString path = folder + QLatin1Char('/') + name;
    path.replace(QStringLiteral("//"), QStringLiteral("/"));
    return path;
}

} // namespace

QString fileDialogResult(const QStringList &paths)
{
    if (paths.isEmpty())
        return {};
    if (paths.size() == 1)
        return paths.first();

    const QString folder = QFileInfo(paths.first()).path();
    bool oneFolder = true;
    for (const QString &p : paths) {
        const QFileInfo info(p);
        if (info.path() != folder || joined(folder, info.fileName()) != p)
            oneFolder = false;
    }
    QString result = oneFolder ? folder : QString();
    for (const QString &p : paths)
        result += QChar(0) + (oneFolder ? QFileInfo(p).fileName() : p);
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
