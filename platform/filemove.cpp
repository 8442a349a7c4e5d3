#include "platform/filemove.h"

#include "platform/fileops.h"
#include "platform/pathcodec.h"

#include <cerrno>
#include <cstdio>

namespace Platform {

bool moveReplacing(const QString &source, const QString &target, QString *error)
{
    if (isFolder(source)) {
        if (error)
            *error = QStringLiteral("%1 is a folder").arg(displayPath(source));
        return false;
    }
    // rename() replaces whatever stands at the target in one step; a link
    // there is replaced itself, its target is never touched.
    if (std::rename(encodePath(source).constData(), encodePath(target).constData()) == 0)
        return true;
    if (errno != EXDEV) {
        if (error)
            *error = QStringLiteral("cannot move %1 to %2: %3")
                         .arg(displayPath(source), displayPath(target), errorText(errno));
        return false;
    }
    // Another file system: copy beside the target and rename over it.
    if (!copyReplacing(source, target, error))
        return false;
    removeFile(source);
    return true;
}

} // namespace Platform
