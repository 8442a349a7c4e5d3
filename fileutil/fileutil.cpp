#include "fileutil/fileutil.h"

#include "platform/appfolder.h"
#include "platform/direnum.h"
#include "platform/fileops.h"

namespace FileUtil {

namespace {
// Splits at the last separator: ("/a/b", "c*.jpg").
std::pair<QString, QString> splitLast(const QString &path)
{
    const qsizetype cut = path.lastIndexOf(Platform::separator());
    if (cut < 0)
        return {QStringLiteral("."), path};
    return {cut == 0 ? Platform::separator() : path.left(cut), path.mid(cut + 1)};
}

bool hasWildcard(const QString &name)
{
    return name.contains(QLatin1Char('*')) || name.contains(QLatin1Char('?'));
}
} // namespace

bool FileExists(const QString &path)
{
    return Platform::pathExists(path);
}

void DeleteQuietly(const QString &path)
{
    if (path.isEmpty())
        return;
    const auto [folder, name] = splitLast(path);
    if (!hasWildcard(name)) {
        Platform::removeFile(path);
        return;
    }
    for (const Platform::DirEntry &e : Platform::enumerateDirectory(folder, name))
        Platform::removeFile(folder + Platform::separator() + e.name);
}

QStringList ListFiles(const QString &folder, const QString &pattern)
{
    QStringList names;
    for (const Platform::DirEntry &e : Platform::enumerateDirectory(folder, pattern))
        names << e.name;
    return names;
}

QString FolderOf(const QString &path)
{
    return splitLast(path).first;
}

QString StripExtension(const QString &path)
{
    const qsizetype sep = path.lastIndexOf(Platform::separator());
    const qsizetype dot = path.lastIndexOf(QLatin1Char('.'));
    if (dot < 0 || dot < sep)
        return path;
    return path.left(dot);
}

} // namespace FileUtil
