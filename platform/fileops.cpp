#include "platform/fileops.h"

#include <QFile>
#include <QFileInfo>
#include <QSaveFile>

#include <cstdlib>
#include <sys/stat.h>
#include <unistd.h>

namespace Platform {

namespace {
QByteArray native(const QString &path)
{
    return QFile::encodeName(path);
}
} // namespace

bool pathExists(const QString &path)
{
    struct stat st {};
    return !path.isEmpty() && ::stat(native(path).constData(), &st) == 0;
}

bool isFolder(const QString &path)
{
    struct stat st {};
    return !path.isEmpty() && ::stat(native(path).constData(), &st) == 0 && S_ISDIR(st.st_mode);
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
    auto fail = [&](const QString &why) {
        if (error)
            *error = why;
        return false;
    };
    if (isFolder(source))
        return fail(QStringLiteral("%1 is a folder").arg(source));
    QFile in(source);
    if (!in.open(QIODevice::ReadOnly))
        return fail(QStringLiteral("cannot read %1: %2").arg(source, in.errorString()));

    // QSaveFile writes beside the target and renames over it on commit.
    QSaveFile out(target);
    out.setDirectWriteFallback(false);
    if (!out.open(QIODevice::WriteOnly))
        return fail(QStringLiteral("cannot write %1: %2").arg(target, out.errorString()));
    QByteArray buffer(1 << 20, Qt::Uninitialized);
    for (;;) {
        const qint64 n = in.read(buffer.data(), buffer.size());
        if (n < 0)
            return fail(QStringLiteral("cannot read %1: %2").arg(source, in.errorString()));
        if (n == 0)
            break;
        if (out.write(buffer.constData(), n) != n)
            return fail(QStringLiteral("cannot write %1: %2").arg(target, out.errorString()));
    }
    if (!out.commit())
        return fail(QStringLiteral("cannot write %1: %2").arg(target, out.errorString()));
    return true;
}

bool isWritableFolder(const QString &folder)
{
    if (!isFolder(folder))
        return false;
    // access() is not enough under root or odd mounts: try to create a file.
    QByteArray probe = native(folder + QStringLiteral("/.rw-write-test-XXXXXX"));
    const int fd = ::mkstemp(probe.data());
    if (fd < 0)
        return false;
    ::close(fd);
    ::unlink(probe.constData());
    return true;
}

} // namespace Platform
