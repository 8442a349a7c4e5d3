#include "platform/filestamp.h"

#include "platform/pathcodec.h"

#include "common/fd.h"
#include "common/fdio.h"

#include <QCryptographicHash>

#include <algorithm>
#include <cerrno>
#include <limits>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace Platform {

namespace {

constexpr qint64 NsPerSecond = 1'000'000'000;

// Nanoseconds since the epoch; times past the year 2262 (or before 1678)
// are held near the ends of the range, so that a few seconds more or less
// cannot overflow.
qint64 nanoseconds(const struct timespec &t)
{
    constexpr qint64 Limit = std::numeric_limits<qint64>::max() / NsPerSecond - 100;
    const qint64 seconds = std::clamp<qint64>(t.tv_sec, -Limit, Limit);
    return seconds * NsPerSecond + t.tv_nsec;
}

std::optional<FileStamp> stampOf(const QString &path, bool followLinks)
{
    const QByteArray name = encodePath(path);
    if (name.isEmpty())
        return std::nullopt;
    struct stat st {};
    const int status = followLinks ? ::stat(name.constData(), &st) : ::lstat(name.constData(), &st);
    if (status != 0 || !S_ISREG(st.st_mode))
        return std::nullopt;
    return FileStamp{nanoseconds(st.st_mtim), qint64(st.st_size)};
}

// Opens a regular file: anything else is looked at, never opened (opening
// a device may act on it), and one put there meanwhile is opened without
// blocking and refused; -1 unless it is a regular file.
rw::Fd openRegular(const QString &path, bool followLinks, struct stat &st)
{
    const QByteArray name = encodePath(path);
    if (name.isEmpty())
        return rw::Fd();
    if ((followLinks ? ::stat(name.constData(), &st) : ::lstat(name.constData(), &st)) != 0 || !S_ISREG(st.st_mode))
        return rw::Fd();
    rw::Fd fd(::open(name.constData(),
                     O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY | (followLinks ? 0 : O_NOFOLLOW)));
    if (fd.isOpen() && (::fstat(fd.get(), &st) != 0 || !S_ISREG(st.st_mode)))
        fd.reset();
    return fd;
}

} // namespace

SourceIdentity sourceIdentityOf(const struct stat &st)
{
    return SourceIdentity{qint64(st.st_size), nanoseconds(st.st_mtim), nanoseconds(st.st_ctim), quint64(st.st_dev),
                          quint64(st.st_ino)};
}

std::optional<FileStamp> regularFileStamp(const QString &path)
{
    return stampOf(path, true);
}

std::optional<FileStamp> plainFileStamp(const QString &path)
{
    return stampOf(path, false);
}

std::optional<SourceIdentity> sourceIdentity(const QString &path)
{
    const QByteArray name = encodePath(path);
    struct stat st {};
    if (name.isEmpty() || ::stat(name.constData(), &st) != 0 || !S_ISREG(st.st_mode))
        return std::nullopt;
    return sourceIdentityOf(st);
}

std::optional<FileHead> plainFileHead(const QString &path, int maxBytes)
{
    struct stat st {};
    const rw::Fd file = openRegular(path, false, st);
    if (!file.isOpen())
        return std::nullopt;
    FileHead head{FileStamp{nanoseconds(st.st_mtim), qint64(st.st_size)},
                  QByteArray(qMax(0, maxBytes), Qt::Uninitialized)};
    const ssize_t filled = rw::fdio::readUpTo(file.get(), head.bytes.data(), size_t(head.bytes.size()), 0);
    if (filled < 0)
        return std::nullopt;
    head.bytes.truncate(filled);
    return head;
}

std::optional<FileDigest> fileDigest(const QString &path)
{
    struct stat st {};
    const rw::Fd file = openRegular(path, true, st);
    if (!file.isOpen())
        return std::nullopt;
    QCryptographicHash hash(QCryptographicHash::Sha256);
    QByteArray chunk(256 * 1024, Qt::Uninitialized);
    for (;;) {
        const ssize_t n = rw::fdio::readSome(file.get(), chunk.data(), size_t(chunk.size()));
        if (n < 0)
            return std::nullopt;
        if (n == 0)
            break;
        hash.addData(QByteArrayView(chunk.constData(), n));
    }
    return FileDigest{sourceIdentityOf(st), hash.result()};
}

} // namespace Platform
