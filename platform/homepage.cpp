#include "platform/homepage.h"

#include <QProcess>

namespace Platform {

bool XdgHomePageOpener::open(const QString &url)
{
    return QProcess::startDetached(QStringLiteral("xdg-open"), {url});
}

} // namespace Platform
