#include "platform/filestamp.h"

#include "platform/pathcodec.h"

#include <sys/stat.h>

namespace Platform {

namespace {

std::optional<FileStamp> stampOf(const QString &path, bool followLinks)
{
    const QByteArray name = encodePath(path);
    if (name.isEmpty())
        return std::nullopt;
    struct stat st {};
    const int status = followLinks ? ::stat(name.constData(), &st) : ::lstat(name.constData(), &st);
    if (status != 0 || !S_ISREG(st.st_mode))
        return std::nullopt;
    return FileStamp{qint64(st.st_mtim.tv_sec) * 1'000'000'000 + st.st_mtim.tv_nsec, qint64(st.st_size)};
}

} // namespace

std::optional<FileStamp> regularFileStamp(const QString &path)
{
    return stampOf(path, true);
}

std::optional<FileStamp> plainFileStamp(const QString &path)
{
    return stampOf(path, false);
}

} // namespace Platform
