#include "platform/folderhandle.h"

#include "common/fdio.h"

#include "platform/fileops.h"
#include "platform/pathcodec.h"

#include <QList>

#include <cerrno>
#include <cstdio>
#include <fcntl.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <unistd.h>
#include <utility>

namespace Platform {

namespace {

// The longest name most file systems take.
constexpr qsizetype MaxNameBytes = 255;

bool failWith(QString *error, const QString &why)
{
    if (error)
        *error = why;
    return false;
}

// Opens a fresh, exclusively created file beside `name` in the folder `dirFd`;
// its name goes to `temp`.
int createTemporary(int dirFd, const QByteArray &name, QByteArray &temp)
{
    for (int attempt = 0; attempt < 100; ++attempt) {
        temp = temporaryNameFor(name);
        unsigned char bytes[6];
        if (::getrandom(bytes, sizeof bytes, 0) != qsizetype(sizeof bytes))
            return -1;
        static const char letters[] = "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789";
        for (int i = 0; i < 6; ++i)
            temp[temp.size() - 6 + i] = letters[bytes[i] % 62];
        const int fd = ::openat(dirFd, temp.constData(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
        if (fd >= 0 || errno != EEXIST)
            return fd;
    }
    errno = EEXIST;
    return -1;
}

bool copyInto(int in, int out)
{
    QByteArray buffer(1 << 20, Qt::Uninitialized);
    for (;;) {
        const ssize_t n = rw::fdio::readSome(in, buffer.data(), std::size_t(buffer.size()));
        if (n <= 0)
            return n == 0;
        if (!rw::fdio::writeAll(out, buffer.constData(), std::size_t(n)))
            return false;
    }
}

// Opens the folder `part` beneath `fd` without following a link, and
// closes `fd`; the new descriptor, or -1 with errno of the open.
int stepInto(int fd, const QByteArray &part)
{
    const int next = ::openat(fd, part.constData(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    const int openErrno = errno;
    ::close(fd);
    errno = openErrno;
    return next;
}

} // namespace

QByteArray temporaryNameFor(const QByteArray &name)
{
    const QByteArray tail = ".rw-XXXXXX";
    QByteArray stem = name.left(MaxNameBytes - 1 - tail.size());
    // Cut at a character's start, so that a UTF-8 name stays readable.
    while (stem.size() < name.size() && !stem.isEmpty() && (uchar(name[stem.size()]) & 0xC0) == 0x80)
        stem.chop(1);
    return '.' + stem + tail;
}

unsigned modeFollowing(unsigned sourceMode)
{
    const mode_t mask = ::umask(0);
    ::umask(mask);
    return ((sourceMode & 0444) | 0200) & ~unsigned(mask) & 0666;
}

FolderHandle::~FolderHandle()
{
    if (fd_ >= 0)
        ::close(fd_);
}

FolderHandle::FolderHandle(FolderHandle &&other) noexcept
    : fd_(std::exchange(other.fd_, -1)), path_(std::move(other.path_))
{
}

FolderHandle &FolderHandle::operator=(FolderHandle &&other) noexcept
{
    if (this != &other) {
        if (fd_ >= 0)
            ::close(fd_);
        fd_ = std::exchange(other.fd_, -1);
        path_ = std::move(other.path_);
    }
    return *this;
}

FolderHandle FolderHandle::open(const QString &folder, QString *error)
{
    FolderHandle handle;
    const std::optional<QString> resolved = resolvedPath(folder);
    if (!resolved) {
        failWith(error, QStringLiteral("cannot open the folder %1: %2").arg(displayPath(folder), errorText(errno)));
        return handle;
    }
    int fd = ::open("/", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    for (const QByteArray &part : encodePath(*resolved).split('/')) {
        if (fd < 0 || part.isEmpty())
            continue;
        fd = stepInto(fd, part);
    }
    if (fd < 0) {
        const QString why = errno == ELOOP || errno == ENOTDIR
                                ? QStringLiteral("it was replaced while it was opened")
                                : errorText(errno);
        failWith(error, QStringLiteral("cannot open the folder %1: %2").arg(displayPath(*resolved), why));
        return handle;
    }
    handle.fd_ = fd;
    handle.path_ = *resolved;
    return handle;
}

FolderHandle FolderHandle::openBeneath(const QString &relative, unsigned mode, QString *error) const
{
    FolderHandle handle;
    int fd = fd_ < 0 ? -1 : ::fcntl(fd_, F_DUPFD_CLOEXEC, 0);
    QString path = path_;
    for (const QByteArray &part : encodePath(relative).split('/')) {
        if (fd < 0)
            break;
        if (part.isEmpty())
            continue;
        path += QLatin1Char('/') + decodePath(part);
        if (part == "." || part == "..") {
            ::close(fd);
            fd = -1;
            errno = EINVAL;
            break;
        }
        if (::mkdirat(fd, part.constData(), mode_t(mode & 07777)) != 0 && errno != EEXIST) {
            const int mkdirErrno = errno;
            ::close(fd);
            fd = -1;
            errno = mkdirErrno;
            break;
        }
        fd = stepInto(fd, part);
    }
    if (fd < 0) {
        const QString why = errno == ELOOP || errno == ENOTDIR ? QStringLiteral("it is a link or not a folder")
                                                               : errorText(errno);
        failWith(error, QStringLiteral("cannot open the folder %1: %2").arg(displayPath(path), why));
        return handle;
    }
    handle.fd_ = fd;
    handle.path_ = path;
    return handle;
}

FolderHandle::Entry FolderHandle::entry(const QString &name) const
{
    struct stat st {};
    if (fd_ < 0 || ::fstatat(fd_, encodePath(name).constData(), &st, AT_SYMLINK_NOFOLLOW) != 0)
        return Entry::Missing;
    if (S_ISREG(st.st_mode))
        return Entry::File;
    if (S_ISLNK(st.st_mode))
        return Entry::Link;
    if (S_ISDIR(st.st_mode))
        return Entry::Folder;
    return Entry::Other;
}

bool FolderHandle::moveIn(const QString &source, const QString &name, unsigned mode, QString *error) const
{
    const QByteArray from = encodePath(source);
    const QByteArray to = encodePath(name);
    const QString target = path_ + QLatin1Char('/') + name;
    auto fail = [&](int errorNumber) {
        return failWith(error, QStringLiteral("cannot move %1 to %2: %3")
                                   .arg(displayPath(source), displayPath(target), errorText(errorNumber)));
    };
    if (fd_ < 0)
        return fail(EBADF);
    {
        // The mode is set on the file itself before it gets its name: it
        // never stands in the folder with more access than `mode`.
        const int in = ::open(from.constData(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
        struct stat st {};
        if (in < 0)
            return fail(errno);
        if (::fstat(in, &st) != 0 || !S_ISREG(st.st_mode)) {
            ::close(in);
            return failWith(error, QStringLiteral("%1 is not a plain file").arg(displayPath(source)));
        }
        const bool moded = ::fchmod(in, mode_t(mode)) == 0;
        const int modeErrno = errno;
        if (!moded) {
            ::close(in);
            return fail(modeErrno);
        }
        if (::renameat(AT_FDCWD, from.constData(), fd_, to.constData()) == 0) {
            ::close(in);
            return true;
        }
        const int renameErrno = errno;
        if (renameErrno != EXDEV) {
            ::close(in);
            return fail(renameErrno);
        }
        // Another file system: copy beside the target and rename over it.
        QByteArray temp;
        const int out = createTemporary(fd_, to, temp);
        if (out < 0) {
            const int createErrno = errno;
            ::close(in);
            return fail(createErrno);
        }
        ::fchmod(out, mode_t(mode));
        const bool copied = copyInto(in, out);
        const int copyErrno = errno;
        ::close(in);
        const bool closed = ::close(out) == 0;
        const int closeErrno = errno;
        if (!copied || !closed) {
            ::unlinkat(fd_, temp.constData(), 0);
            return fail(copied ? closeErrno : copyErrno);
        }
        if (::renameat(fd_, temp.constData(), fd_, to.constData()) != 0) {
            const int lastErrno = errno;
            ::unlinkat(fd_, temp.constData(), 0);
            return fail(lastErrno);
        }
    }
    ::unlink(from.constData());
    return true;
}

bool FolderHandle::remove(const QString &name, QString *error) const
{
    const Entry kind = entry(name);
    if (kind == Entry::Missing || kind == Entry::Folder)
        return failWith(error, QStringLiteral("%1 is %2").arg(name, kind == Entry::Folder ? QStringLiteral("a folder")
                                                                                            : QStringLiteral("missing")));
    if (::unlinkat(fd_, encodePath(name).constData(), 0) != 0)
        return failWith(error, QStringLiteral("cannot remove %1: %2")
                                   .arg(displayPath(path_ + QLatin1Char('/') + name), errorText(errno)));
    return true;
}

} // namespace Platform
