#pragma once

#include "platform/process.h"

#include <QString>
#include <QStringList>

// The render service of one run: the renderer started once as
// "rwrender --serve SOCKET", which keeps MuPDF ready and forks a worker for
// each document the converter script (and the probe) hands it. Started as
// every companion is (its own process group, ended with this program) and
// ended when the run ends. Without it the companions work stand-alone, so
// a service that cannot start is not a problem of the run.
//
// RASTERWELL_RENDER_SERVICE=off in our environment turns it off (to
// measure, or to rule it out); the companions then see "off" too.
class RenderService {
public:
    // `socketPath` names the socket to create (in the working folder);
    // `workers`: at most this many workers at once (one per job the run can
    // have in flight), 0 for the service's own default.
    RenderService(Platform::ProcessApi &processes, const QString &renderer,
                  const QString &socketPath, const QString &workFolder, int workers = 0);
    ~RenderService();
    RenderService(const RenderService &) = delete;
    RenderService &operator=(const RenderService &) = delete;

    // "RASTERWELL_RENDER_SERVICE=<socket>" for the companions' environment;
    // "...=off" when no service runs.
    QString environmentEntry() const;

    // Waits (at most `limitMs`) until the service listens; false when it
    // does not run or did not come up in time.
    bool waitUntilListening(int limitMs) const;
    // The socket of a running service; empty when none runs.
    QString socketPath() const { return pid_ >= 0 ? socketPath_ : QString(); }

    // Whether the service is turned off in our environment.
    static bool turnedOff();

private:
    Platform::ProcessApi &processes_;
    QString socketPath_;
    qint64 pid_ = -1;
};
