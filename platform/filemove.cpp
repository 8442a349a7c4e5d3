#include "platform/filemove.h"

#include "platform/fileops.h"

#include <QFile>

#include <cerrno>
#include <cstdio>
#include <cstring>

namespace Platform {

bool moveReplacing(const QString &source, const QString &target, QString *error)
{
    const QByteArray from = QFile::encodeName(source);
    const QByteArray to = QFile::encodeName(target);
    if (isFolder(source)) {
        if (error)
            *error = QStringLiteral("%1 is a folder").arg(source);
        return false;
    }
    if (std::rename(from.constData(), to.constData()) == 0)
        return true;
    if (errno != EXDEV) {
        if (error)
            *error = QStringLiteral("cannot move %1 to %2: %3")
                         .arg(source, target, QString::fromLocal8Bit(std::strerror(errno)));
        return false;
    }
    // Another file system: copy beside the target and rename over it.
    if (!copyReplacing(source, target, error))
        return false;
    removeFile(source);
    return true;
}

} // namespace Platform
