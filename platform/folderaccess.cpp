#include "platform/folderaccess.h"

#include "platform/pathcodec.h"

#include <cerrno>
#include <cstring>
#include <dirent.h>

namespace Platform {

FolderOpenCheck checkFolderOpens(const QString &folder)
{
    const QByteArray native = encodePath(folder.isEmpty() ? QStringLiteral("/") : folder);
    const int error = [&] {
        DIR *dir = opendir(native.constData());
        if (!dir)
            return errno;
        closedir(dir);
        return 0;
    }();
    if (error == 0)
        return {};
    FolderOpenCheck check;
    check.systemMessage = QString::fromLocal8Bit(std::strerror(error));
    switch (error) {
    case EACCES:
    case EPERM: check.access = FolderAccess::PermissionDenied; break;
    case ENAMETOOLONG: check.access = FolderAccess::PathTooLong; break;
    default: check.access = FolderAccess::OtherError; break;
    }
    return check;
}

} // namespace Platform
