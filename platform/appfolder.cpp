#include "platform/appfolder.h"

#include <QCoreApplication>
#include <QFileInfo>

namespace Platform {

QString applicationFolder()
{
    QString dir = QCoreApplication::instance()
                      ? QCoreApplication::applicationDirPath()
                      : QFileInfo(QStringLiteral("/proc/self/exe")).canonicalPath();
    while (dir.size() > 1 && dir.endsWith(QLatin1Char('/')))
        dir.chop(1);
    return dir;
}

QString separator()
{
    return QStringLiteral("/");
}

} // namespace Platform
