#include "convert/companionfiles.h"

#include "platform/appfolder.h"
#include "platform/fileops.h"
#include "platform/pathcodec.h"

#include <QDir>

namespace {

QString withoutTrailingSeparator(const QString &folder)
{
    return folder.size() > 1 && folder.endsWith(Platform::separator()) ? folder.chopped(1) : folder;
}

// A folder to put in front of "/name": the root gives "", so that
// "/" + "/name" does not double the separator.
QString prefixOf(const QString &folder)
{
    const QString base = withoutTrailingSeparator(folder);
    return base == Platform::separator() ? QString() : base;
}

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

CompanionFiles::CompanionFiles(QString folder, QString work)
    : appFolder(std::move(folder)), workFolder(work.isEmpty() ? appFolder : std::move(work))
{
    const QString sep = Platform::separator();
    // At the root a folder already ends with the separator.
    const QString app = prefixOf(appFolder);
    toolkit = app + sep + QStringLiteral("pdftk.exe");
    renderer = app + sep + QStringLiteral("ps") + sep + QStringLiteral("rwrender");
    const StagingSlot first = slot(1);
    resultFile = first.resultFile;
    stagingFolder = first.folder;
    stagedCopy = first.stagedCopy;
    lockFile = first.lockFile;
    const QString installed = app + sep + QStringLiteral("ps") + sep + QStringLiteral("pdf2tiff.bat");
    const QString ownCopy = stagingFolder + QStringLiteral("pdf2tiff.bat");
    script = usesOwnWorkFolder() && Platform::pathExists(ownCopy) ? ownCopy : installed;
}

StagingSlot CompanionFiles::slot(int number) const
{
    const QString sep = Platform::separator();
    const QString work = prefixOf(workFolder);
    StagingSlot s;
    s.number = number;
    if (number <= 1) {
        s.folder = work + sep + QStringLiteral("ps") + sep;
        s.resultFile = work + sep + QStringLiteral("2348239bbb.txt");
        s.lockFile = work + sep + QStringLiteral("rasterwell.lock");
    } else {
        s.folder = work + sep + QStringLiteral("ps-%1").arg(number) + sep;
        s.resultFile = s.folder + QStringLiteral("2348239bbb.txt");
        s.lockFile = work + sep + QStringLiteral("rasterwell-%1.lock").arg(number);
    }
    s.stagedCopy = s.folder + QStringLiteral("current.pdf");
    s.messagesFile = s.folder + QStringLiteral(".messages");
    return s;
}

bool isRunnableFile(const QString &path)
{
    return Platform::fileKind(path) == Platform::FileKind::Regular && Platform::isExecutable(path);
}

std::optional<QString> CompanionFiles::setupProblem() const
{
    const QString prefix = QStringLiteral("Cannot convert: ");
    // Both companions are named in double quotes on their command lines, so
    // a quote in a folder's name cannot be passed on.
    for (const QString &folder : {appFolder, workFolder})
        if (folder.contains(QLatin1Char('"')))
            return prefix + QStringLiteral("the name of the folder %1 contains a double quote.")
                                .arg(Platform::displayPath(folder));
    if (!Platform::isWritableFolder(workFolder)) {
        if (usesOwnWorkFolder())
            return prefix + QStringLiteral("neither the application folder %1 nor the working "
                                           "folder %2 is writable.")
                                .arg(appFolder, workFolder);
        const QString home = qEnvironmentVariable("HOME");
        if (!qEnvironmentVariable("XDG_STATE_HOME").startsWith(QLatin1Char('/'))
            && (!home.startsWith(QLatin1Char('/')) || withoutTrailingSeparator(home) == Platform::separator()))
            return prefix + QStringLiteral("the application folder %1 is not writable, and no home folder is "
                                           "known for a working folder (HOME is not set).")
                                .arg(appFolder);
        return prefix + QStringLiteral("the application folder %1 is not writable.").arg(appFolder);
    }
    if (auto problem = companionProblem(toolkit, QStringLiteral("password probe")))
        return problem;
    const QString staging = stagingFolder.chopped(1);
    if (!Platform::isFolder(staging))
        return prefix + QStringLiteral("the folder %1 is missing.").arg(staging);
    if (!Platform::isWritableFolder(staging))
        return prefix + QStringLiteral("the folder %1 is not writable.").arg(staging);
    return companionProblem(script, QStringLiteral("converter script"));
}

QString chooseWorkFolder(const QString &appFolder)
{
    const CompanionFiles inPlace(appFolder);
    if (Platform::isWritableFolder(appFolder) && Platform::isWritableFolder(inPlace.stagingFolder.chopped(1)))
        return appFolder;
    QString state = qEnvironmentVariable("XDG_STATE_HOME");
    // Only an absolute path counts; otherwise the default applies, under a
    // home folder that is known: never at the root.
    if (!state.startsWith(QLatin1Char('/'))) {
        const QString home = qEnvironmentVariable("HOME");
        if (!home.startsWith(QLatin1Char('/')) || withoutTrailingSeparator(home) == Platform::separator())
            return appFolder;
        state = withoutTrailingSeparator(home) + QStringLiteral("/.local/state");
    }
    const QString work = withoutTrailingSeparator(state) + QStringLiteral("/rasterwell");
    Platform::makeFolders(work + QStringLiteral("/ps"));
    return work;
}

bool prepareSlotFolder(const StagingSlot &slot)
{
    const QString folder = slot.folder.chopped(1);
    if (slot.number <= 1)
        return Platform::isWritableFolder(folder);
    if (!Platform::pathExists(folder))
        Platform::makeFolders(folder);
    return Platform::isPlainFolder(folder) && Platform::isWritableFolder(folder);
}
