#include "app/windowstart.h"

#include "app/form1.h"
#include "platform/gui/singleinstance.h"

#include <QDir>
#include <QTimer>

namespace WindowStart {

QStringList absolutePaths(const QStringList &paths, const QString &workingFolder)
{
    QStringList full;
    full.reserve(paths.size());
    for (const QString &p : paths) {
        if (p.isEmpty() || QDir::isAbsolutePath(p))
            full << p; // "" names nothing: it stays, to be reported as not found
        else if (workingFolder.endsWith(QLatin1Char('/')))
            full << workingFolder + p;
        else
            full << workingFolder + QLatin1Char('/') + p;
    }
    return full;
}

Result start(Form1 &form, Platform::InstanceChannel &channel, const QStringList &paths)
{
    const auto outcome = channel.start(paths, !paths.isEmpty(), [&form](const QStringList &later) {
        form.takeHandedOverPaths(later);
    });
    if (outcome == Platform::InstanceChannel::Outcome::HandedOver)
        return Result::HandedOver;

    form.load();
    form.show();
    if (!paths.isEmpty()) {
        // Once the window is up, so a folder walk shows its hourglass and a
        // message box has its window.
        QTimer::singleShot(0, &form, [&form, paths] { form.addPaths(paths); });
    }
    return Result::Opened;
}

} // namespace WindowStart
