#include "platform/sandboxstatus.h"

#include <QProcess>

namespace Platform {

QString sandboxStatus(const QString &appFolder)
{
    QProcess engine;
    engine.setStandardInputFile(QProcess::nullDevice());
    engine.setStandardErrorFile(QProcess::nullDevice());
    engine.start(appFolder + QStringLiteral("/ps/rwengine"), {QStringLiteral("--sandbox-status")});
    if (!engine.waitForFinished(10000) || engine.exitStatus() != QProcess::NormalExit
        || engine.exitCode() != 0) {
        engine.kill();
        engine.waitForFinished(1000);
        return QStringLiteral("unknown (the renderer %1/ps/rwengine cannot be run)").arg(appFolder);
    }
    return QString::fromLocal8Bit(engine.readAllStandardOutput()).trimmed();
}

} // namespace Platform
