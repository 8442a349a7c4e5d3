#include "convert/stagingfolders.h"

#include "fileutil/fileutil.h"

#include <QFile>

namespace {

QString markFile(const StagingSlot &slot)
{
    return slot.folder + QStringLiteral(".staged");
}

QString nameOf(const QString &path)
{
    return path.mid(path.lastIndexOf(QLatin1Char('/')) + 1);
}

} // namespace

bool isStagingFolderName(const QString &name)
{
    if (name == QLatin1String("ps"))
        return true;
    if (!name.startsWith(QLatin1String("ps-")) || name.size() == 3)
        return false;
    return std::all_of(name.begin() + 3, name.end(),
                       [](QChar c) { return c >= QLatin1Char('0') && c <= QLatin1Char('9'); });
}

std::optional<QString> stagingFolderHolding(const QString &document, const QString &workFolder)
{
    const std::optional<QString> work = Platform::resolvedPath(workFolder);
    if (!work)
        return std::nullopt;
    // The folder as the document is named, and the folder its links lead to.
    QStringList folders{FileUtil::FolderOf(document)};
    if (const std::optional<QString> target = Platform::resolvedPath(document))
        folders << FileUtil::FolderOf(*target);
    for (const QString &folder : folders) {
        const std::optional<QString> resolved = Platform::resolvedPath(folder);
        if (resolved && FileUtil::FolderOf(*resolved) == *work && isStagingFolderName(nameOf(*resolved)))
            return *resolved;
    }
    return std::nullopt;
}

bool markStagedCopy(const StagingSlot &slot, const Platform::FileIdentity &copy)
{
    // Replaced in one step, so that it is read whole or not at all, but not
    // flushed to disk: it guards against a run's own kill or crash, which
    // keeps what was written. A system crash may lose it while the copy
    // survives, like the copy itself it is scratch; the slot is then
    // refused, its current.pdf kept: nothing of the user's is ever lost.
    return Platform::writeReplacing(markFile(slot),
                                    QByteArray::number(copy.device) + ' ' + QByteArray::number(copy.inode) + '\n');
}

bool stagedCopyIsOurs(const StagingSlot &slot)
{
    const std::optional<Platform::FileIdentity> copy = Platform::entryIdentity(slot.stagedCopy);
    if (!copy)
        return true;
    QFile file(markFile(slot));
    if (!file.open(QIODevice::ReadOnly))
        return false;
    const QList<QByteArray> fields = file.readLine(64).trimmed().split(' ');
    bool deviceOk = false;
    bool inodeOk = false;
    const Platform::FileIdentity marked{fields.value(0).toULongLong(&deviceOk),
                                        fields.value(1).toULongLong(&inodeOk)};
    return deviceOk && inodeOk && marked == *copy && Platform::isPlainFile(slot.stagedCopy);
}

void forgetStagedCopy(const StagingSlot &slot)
{
    Platform::removeFile(markFile(slot));
}
