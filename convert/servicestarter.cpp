#include "convert/servicestarter.h"

#include "platform/servicejob.h"
#include "platform/socketpath.h"

bool RenderService::turnedOff()
{
    return qEnvironmentVariable("RASTERWELL_RENDER_SERVICE") == QLatin1String("off");
}

RenderService::RenderService(Platform::ProcessApi &processes, const QString &renderer,
                             const QString &socketPath, const QString &workFolder, int workers)
    : processes_(processes), socketPath_(socketPath)
{
    if (turnedOff() || !Platform::fitsSocketAddress(socketPath))
        return;
    Platform::StartOptions options;
    options.workingFolder = workFolder;
    options.hidden = true;
    QStringList argv{renderer, QStringLiteral("--serve"), socketPath};
    if (workers > 0)
        argv << QStringLiteral("--workers") << QString::number(workers);
    const Platform::StartResult started = processes_.start(argv, options);
    if (started.started())
        pid_ = started.pid;
}

RenderService::~RenderService()
{
    if (pid_ >= 0)
        processes_.terminate(pid_);
}

bool RenderService::waitUntilListening(int limitMs) const
{
    if (pid_ < 0)
        return false;
    return Platform::waitForListener(socketPath_, limitMs, [this] {
        const std::optional<int> code = processes_.exitCode(pid_);
        return code && *code == Platform::StillActive;
    });
}

QString RenderService::environmentEntry() const
{
    // Without a service of ours the companions must not use one named in
    // our own environment.
    if (pid_ < 0)
        return QStringLiteral("RASTERWELL_RENDER_SERVICE=off");
    return QStringLiteral("RASTERWELL_RENDER_SERVICE=") + socketPath_;
}
