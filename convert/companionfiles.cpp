#include "convert/companionfiles.h"

#include "platform/appfolder.h"
#include "platform/fileops.h"

#include <QFileInfo>

CompanionFiles::CompanionFiles(QString folder) : appFolder(std::move(folder))
{
    const QString sep = Platform::separator();
    // At the root the folder already ends with the separator.
    const QString base = appFolder.endsWith(sep) ? appFolder.chopped(1) : appFolder;
    toolkit = base + sep + QStringLiteral("pdftk.exe");
    resultFile = base + sep + QStringLiteral("2348239bbb.txt");
    stagingFolder = base + sep + QStringLiteral("ps") + sep;
    stagedCopy = stagingFolder + QStringLiteral("current.pdf");
    script = stagingFolder + QStringLiteral("pdf2tiff.bat");
    lockFile = base + sep + QStringLiteral("rasterwell.lock");
}

bool isRunnableFile(const QString &path)
{
    const QFileInfo info(path);
    return info.isFile() && info.isExecutable();
}

namespace {
// Why the companion at `path` cannot be used, or nothing.
std::optional<QString> companionProblem(const QString &path, const QString &what)
{
    if (!Platform::pathExists(path))
        return QStringLiteral("Cannot convert: the %1 %2 is missing.").arg(what, path);
    if (!isRunnableFile(path))
        return QStringLiteral("Cannot convert: the %1 %2 cannot be run.").arg(what, path);
    return std::nullopt;
}
} // namespace

std::optional<QString> CompanionFiles::setupProblem() const
{
    const QString prefix = QStringLiteral("Cannot convert: ");
    // Both companions are named in double quotes on their command lines, so
    // a quote in the folder's name cannot be passed on.
    if (appFolder.contains(QLatin1Char('"')))
        return prefix + QStringLiteral("the name of the application folder %1 contains a double "
                                       "quote.").arg(appFolder);
    if (!Platform::isWritableFolder(appFolder))
        return prefix + QStringLiteral("the application folder %1 is not writable.").arg(appFolder);
    if (auto problem = companionProblem(toolkit, QStringLiteral("password probe")))
        return problem;
    const QString staging = stagingFolder.chopped(1);
    if (!Platform::isFolder(staging))
        return prefix + QStringLiteral("the folder %1 is missing.").arg(staging);
    if (!Platform::isWritableFolder(staging))
        return prefix + QStringLiteral("the folder %1 is not writable.").arg(staging);
    return companionProblem(script, QStringLiteral("converter script"));
}
