#include "platform/fileops.h"

#include "platform/folderhandle.h"
#include "platform/pathcodec.h"

#include "common/fdio.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

namespace Platform {

namespace {

QByteArray native(const QString &path)
{
    return encodePath(path);
}

FileKind kindOf(mode_t mode)
{
    if (S_ISREG(mode))
        return FileKind::Regular;
    if (S_ISDIR(mode))
        return FileKind::Folder;
    if (S_ISFIFO(mode))
        return FileKind::Fifo;
    if (S_ISCHR(mode))
        return FileKind::CharacterDevice;
    if (S_ISBLK(mode))
        return FileKind::BlockDevice;
    if (S_ISSOCK(mode))
        return FileKind::Socket;
    return FileKind::Other;
}

// A descriptor closed when it goes out of scope.
class Descriptor {
public:
    explicit Descriptor(int fd = -1) : fd_(fd) {}
    ~Descriptor() { reset(); }
    Descriptor(const Descriptor &) = delete;
    Descriptor &operator=(const Descriptor &) = delete;
    int get() const { return fd_; }
    bool valid() const { return fd_ >= 0; }
    // Closes now; false when the close reported an error (a late write error).
    bool reset()
    {
        const int fd = fd_;
        fd_ = -1;
        return fd < 0 || ::close(fd) == 0;
    }
    // Hands the descriptor over; it is no longer closed here.
    int release()
    {
        const int fd = fd_;
        fd_ = -1;
        return fd;
    }

private:
    int fd_;
};

// Opens `path` for reading without blocking on a FIFO or a device, and
// accepts only a regular file. Returns the descriptor (blocking mode
// restored) or -1 with the reason in `error`.
int openRegularForReading(const QString &path, QString *error)
{
    auto fail = [&](const QString &why) {
        if (error)
            *error = why;
        return -1;
    };
    if (path.isEmpty() || path.contains(QChar(0)))
        return fail(QStringLiteral("not a valid path"));
    // A FIFO is refused before it is opened: opening one blocks for a writer
    // in blocking mode, and even a non-blocking open may wake a waiting writer.
    struct stat st {};
    // A file that is not a link is opened so that it cannot become one
    // between the look and the open.
    const bool isLink = ::lstat(native(path).constData(), &st) == 0 && S_ISLNK(st.st_mode);
    if (::stat(native(path).constData(), &st) != 0)
        return fail(isLink && errno == ENOENT ? QStringLiteral("a link to a file that does not exist")
                                              : errorText(errno));
    if (!S_ISREG(st.st_mode))
        return fail(QStringLiteral("%1, not a regular file").arg(describeKind(kindOf(st.st_mode))));
    const int fd = ::open(native(path).constData(),
                          O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC | (isLink ? 0 : O_NOFOLLOW));
    if (fd < 0)
        return fail(errorText(errno));
    // The path may have been swapped since the stat: check what was opened.
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        ::close(fd);
        return fail(QStringLiteral("%1, not a regular file").arg(describeKind(kindOf(st.st_mode))));
    }
    ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) & ~O_NONBLOCK);
    return fd;
}

// Copies `length` bytes from the current offsets of `in` to `out` (fewer
// when `in` ends first); errno tells what failed.
bool copyRange(int in, int out, off_t length, bool &readFailed)
{
    QByteArray buffer(1 << 20, Qt::Uninitialized);
    while (length > 0) {
        const ssize_t n = rw::fdio::readSome(in, buffer.data(), std::size_t(std::min<off_t>(length, buffer.size())));
        if (n < 0) {
            readFailed = true;
            return false;
        }
        if (n == 0)
            return true;
        if (!rw::fdio::writeAll(out, buffer.constData(), std::size_t(n))) {
            readFailed = false;
            return false;
        }
        length -= n;
    }
    return true;
}

// Copies everything from `in` to `out`, keeping holes: only the data
// regions are written, so a sparse file stays sparse. errno tells what
// failed.
bool copyContent(int in, int out, bool &readFailed)
{
    struct stat st {};
    if (::fstat(in, &st) != 0) {
        readFailed = true;
        return false;
    }
    const off_t size = st.st_size;
    off_t position = 0;
    while (position < size) {
        off_t data = ::lseek(in, position, SEEK_DATA);
        if (data < 0 && errno == ENXIO)
            break; // only a hole is left
        if (data < 0)
            data = position; // no hole support: copy it all
        off_t hole = ::lseek(in, data, SEEK_HOLE);
        if (hole < 0)
            hole = size;
        if (::lseek(in, data, SEEK_SET) < 0 || ::lseek(out, data, SEEK_SET) < 0) {
            readFailed = true;
            return false;
        }
        if (!copyRange(in, out, hole - data, readFailed))
            return false;
        position = hole;
    }
    // A hole at the end has no data region to write.
    if (::ftruncate(out, size) != 0) {
        readFailed = false;
        return false;
    }
    return true;
}

QString folderPart(const QString &path)
{
    const qsizetype cut = path.lastIndexOf(QLatin1Char('/'));
    if (cut < 0)
        return QStringLiteral(".");
    return cut == 0 ? QStringLiteral("/") : path.left(cut);
}

QString namePart(const QString &path)
{
    return path.mid(path.lastIndexOf(QLatin1Char('/')) + 1);
}

} // namespace

QString errorText(int errorNumber)
{
    return QString::fromLocal8Bit(std::strerror(errorNumber));
}

bool pathExists(const QString &path)
{
    struct stat st {};
    return !path.isEmpty() && ::stat(native(path).constData(), &st) == 0;
}

bool isFolder(const QString &path)
{
    return fileKind(path) == FileKind::Folder;
}

bool isPlainFile(const QString &path)
{
    struct stat st {};
    return !path.isEmpty() && ::lstat(native(path).constData(), &st) == 0 && S_ISREG(st.st_mode);
}

bool isPlainFolder(const QString &path)
{
    struct stat st {};
    return !path.isEmpty() && ::lstat(native(path).constData(), &st) == 0 && S_ISDIR(st.st_mode);
}

bool isExecutable(const QString &path)
{
    return !path.isEmpty() && ::access(native(path).constData(), X_OK) == 0;
}

bool makeFolders(const QString &path)
{
    if (path.isEmpty())
        return false;
    if (isFolder(path))
        return true;
    const qsizetype cut = path.lastIndexOf(QLatin1Char('/'));
    if (cut > 0 && !makeFolders(path.left(cut)))
        return false;
    return ::mkdir(native(path).constData(), 0700) == 0 || isFolder(path);
}

FileKind fileKind(const QString &path)
{
    struct stat st {};
    if (path.isEmpty() || ::stat(native(path).constData(), &st) != 0)
        return FileKind::Missing;
    return kindOf(st.st_mode);
}

QString describeKind(FileKind kind)
{
    switch (kind) {
    case FileKind::Missing: return QStringLiteral("missing");
    case FileKind::Regular: return QStringLiteral("a regular file");
    case FileKind::Folder: return QStringLiteral("a folder");
    case FileKind::Fifo: return QStringLiteral("a FIFO");
    case FileKind::CharacterDevice: return QStringLiteral("a character device");
    case FileKind::BlockDevice: return QStringLiteral("a block device");
    case FileKind::Socket: return QStringLiteral("a socket");
    case FileKind::Other: break;
    }
    return QStringLiteral("a special file");
}

bool isReadableRegularFile(const QString &path, QString *error)
{
    const int fd = openRegularForReading(path, error);
    if (fd < 0)
        return false;
    ::close(fd);
    return true;
}

int openRegularFile(const QString &path, QString *error)
{
    return openRegularForReading(path, error);
}

std::optional<FileIdentity> fileIdentity(const QString &path)
{
    struct stat st {};
    if (path.isEmpty() || ::stat(native(path).constData(), &st) != 0)
        return std::nullopt;
    return FileIdentity{quint64(st.st_dev), quint64(st.st_ino)};
}

std::optional<unsigned> fileMode(const QString &path)
{
    struct stat st {};
    if (path.isEmpty() || ::stat(native(path).constData(), &st) != 0)
        return std::nullopt;
    return unsigned(st.st_mode & 07777);
}

int openReplacing(const QString &path, const std::optional<FileIdentity> &expected, QString *error)
{
    auto fail = [error](const QString &why) {
        if (error)
            *error = why;
        return -1;
    };
    const int flags = O_WRONLY | O_CLOEXEC | O_NOCTTY | O_NOFOLLOW | (expected ? 0 : O_CREAT | O_EXCL);
    Descriptor fd(path.isEmpty() ? -1 : ::open(native(path).constData(), flags, 0666));
    if (!fd.valid())
        return fail(errno == ELOOP ? QStringLiteral("it is a link") : errorText(errno));
    struct stat st {};
    if (::fstat(fd.get(), &st) != 0)
        return fail(errorText(errno));
    if (expected && FileIdentity{quint64(st.st_dev), quint64(st.st_ino)} != *expected)
        return fail(QStringLiteral("it was replaced while it was being opened"));
    if (S_ISREG(st.st_mode) && expected && ::ftruncate(fd.get(), 0) != 0)
        return fail(errorText(errno));
    return fd.release();
}

std::optional<FileIdentity> entryIdentity(const QString &path)
{
    struct stat st {};
    if (path.isEmpty() || ::lstat(native(path).constData(), &st) != 0)
        return std::nullopt;
    return FileIdentity{quint64(st.st_dev), quint64(st.st_ino)};
}

std::optional<QString> resolvedPath(const QString &path)
{
    if (path.isEmpty() || path.contains(QChar(0)))
        return std::nullopt;
    char *resolved = ::realpath(native(path).constData(), nullptr);
    if (!resolved)
        return std::nullopt;
    const QString result = decodePath(QByteArray(resolved));
    std::free(resolved);
    return result;
}

bool removeFile(const QString &path)
{
    struct stat st {};
    const QByteArray p = native(path);
    if (path.isEmpty() || ::lstat(p.constData(), &st) != 0 || S_ISDIR(st.st_mode))
        return false;
    return ::unlink(p.constData()) == 0;
}

bool copyReplacing(const QString &source, const QString &target, QString *error)
{
    return copyReplacing(source, target, error, {});
}

bool copyReplacing(const QString &source, const QString &target, QString *error,
                   const std::function<bool(const FileIdentity &)> &beforeRename, SourceIdentity *sourceBefore)
{
    auto fail = [&](const QString &why) {
        if (error)
            *error = why;
        return false;
    };
    QString why;
    Descriptor in(openRegularForReading(source, &why));
    if (!in.valid())
        return fail(QStringLiteral("cannot read %1: %2").arg(displayPath(source), why));

    // A fresh name beside the target, created exclusively and never through
    // a link, so nothing but this new file is ever written.
    // A copy that cannot fit fails before anything is written.
    struct stat sourceStat {};
    struct statvfs space {};
    const bool statted = ::fstat(in.get(), &sourceStat) == 0;
    if (sourceBefore) {
        if (!statted)
            return fail(QStringLiteral("cannot read %1: %2").arg(displayPath(source), errorText(errno)));
        *sourceBefore = sourceIdentityOf(sourceStat);
    }
    if (statted && ::statvfs(native(folderPart(target)).constData(), &space) == 0) {
        const double needed = double(sourceStat.st_blocks) * 512;
        const double free = double(space.f_bavail) * double(space.f_frsize);
        if (needed > free)
            return fail(QStringLiteral("%1 does not fit in %2: it needs %3 MB, %4 MB are free")
                            .arg(displayPath(source), displayPath(folderPart(target)))
                            .arg(needed / 1e6, 0, 'f', 1)
                            .arg(free / 1e6, 0, 'f', 1));
    }
    QByteArray temp = native(folderPart(target)) + "/" + temporaryNameFor(native(namePart(target)));
    Descriptor out(::mkostemp(temp.data(), O_CLOEXEC));
    if (!out.valid())
        return fail(QStringLiteral("cannot write %1: %2").arg(displayPath(target), errorText(errno)));
    // mkstemp creates the file 0600; the copy gets the usual mode for new
    // files, but never grants more reading than its source.
    ::fchmod(out.get(), modeFollowing(sourceStat.st_mode));

    bool readFailed = false;
    const bool copied = copyContent(in.get(), out.get(), readFailed);
    const int copyErrno = errno;
    const bool closed = out.reset();
    const int closeErrno = errno;
    if (!copied || !closed) {
        ::unlink(temp.constData());
        if (!copied && readFailed)
            return fail(QStringLiteral("cannot read %1: %2").arg(displayPath(source), errorText(copyErrno)));
        return fail(QStringLiteral("cannot write %1: %2")
                        .arg(displayPath(target), errorText(copied ? closeErrno : copyErrno)));
    }
    if (beforeRename) {
        struct stat st {};
        if (::lstat(temp.constData(), &st) != 0
            || !beforeRename(FileIdentity{quint64(st.st_dev), quint64(st.st_ino)})) {
            ::unlink(temp.constData());
            return fail(QStringLiteral("cannot write %1: its copy could not be recorded").arg(displayPath(target)));
        }
    }
    if (::rename(temp.constData(), native(target).constData()) != 0) {
        const int renameErrno = errno;
        ::unlink(temp.constData());
        return fail(QStringLiteral("cannot write %1: %2").arg(displayPath(target), errorText(renameErrno)));
    }
    return true;
}

bool writeReplacing(const QString &path, const QByteArray &content, QString *error)
{
    auto fail = [&](int errorNumber) {
        if (error)
            *error = QStringLiteral("cannot write %1: %2").arg(displayPath(path), errorText(errorNumber));
        return false;
    };
    QByteArray temp = native(folderPart(path)) + "/" + temporaryNameFor(native(namePart(path)));
    Descriptor out(::mkostemp(temp.data(), O_CLOEXEC));
    if (!out.valid())
        return fail(errno);
    // mkstemp creates the file 0600; it gets the usual mode for new files.
    const mode_t mask = ::umask(0);
    ::umask(mask);
    ::fchmod(out.get(), 0666 & ~mask);
    const char *data = content.constData();
    qsizetype left = content.size();
    while (left > 0) {
        const ssize_t written = ::write(out.get(), data, size_t(left));
        if (written < 0 && errno == EINTR)
            continue;
        if (written <= 0) {
            const int writeErrno = written < 0 ? errno : ENOSPC;
            ::unlink(temp.constData());
            return fail(writeErrno);
        }
        data += written;
        left -= written;
    }
    if (!out.reset()) {
        const int closeErrno = errno;
        ::unlink(temp.constData());
        return fail(closeErrno);
    }
    if (::rename(temp.constData(), native(path).constData()) != 0) {
        const int renameErrno = errno;
        ::unlink(temp.constData());
        return fail(renameErrno);
    }
    return true;
}

bool isWritableFolder(const QString &folder)
{
    if (!isFolder(folder))
        return false;
    // access() is not enough under root or odd mounts: try to create a file.
    QByteArray probe = native(folder + QStringLiteral("/.rw-write-test-XXXXXX"));
    const int fd = ::mkostemp(probe.data(), O_CLOEXEC);
    if (fd < 0)
        return false;
    ::close(fd);
    ::unlink(probe.constData());
    return true;
}

} // namespace Platform
