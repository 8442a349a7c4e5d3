#pragma once

#include "convert/companionfiles.h"
#include "platform/servicejob.h"

#include <QByteArray>
#include <QString>
#include <QStringList>

#include <map>
#include <memory>
#include <optional>

namespace Shell32 {
struct ChildOptions;
} // namespace Shell32

// The direct way: when the companions are the shipped ones (the probe and
// the renderer as built, the converter script as shipped but for the values
// of its setting lines), the run hands each probe and render job straight
// to its render service, with what the launchers and the script would have
// passed, instead of starting a launcher (and a shell) per document. Any
// other companion runs as a process, as does every job when
// RASTERWELL_COMPANIONS=process is set, or when the service cannot take a
// job.
//
// Jobs are named by numbers below -1, so that they never meet a process id.
class DirectCompanions {
public:
    // `socketPath` empty: no service runs, so every job is a process.
    DirectCompanions(const CompanionFiles &files, const QString &socketPath);
    DirectCompanions(const DirectCompanions &) = delete;
    DirectCompanions &operator=(const DirectCompanions &) = delete;
    ~DirectCompanions();

    // The companions are checked at the first of these calls.
    bool enabled();
    // Why the process way runs ("" when it does not).
    const QString &whyProcesses();

    // The probe's command line (as the launcher would split it) handed to
    // the service; nothing when it must run as a process.
    std::optional<qint64> startProbe(const QString &commandLine, const Shell32::ChildOptions &options);
    // What the converter script would do in `stagingFolder`: the renderer
    // with the script's settings, removing the staged copy when done.
    std::optional<qint64> startRender(const QString &stagingFolder, const Shell32::ChildOptions &options,
                                      bool recover);

    static bool isJob(qint64 id) { return id < -1; }
    bool owns(qint64 id) const { return jobs_.count(id) != 0; }
    // Platform::StillActive while the job runs, then its exit status as
    // the launcher and the script would end.
    int exitCode(qint64 id);
    // Whether the job ended because the service went (or fell silent)
    // before it told how the job went.
    bool lost(qint64 id) const
    {
        const auto it = jobs_.find(id);
        return it != jobs_.end() && it->second.lost;
    }
    // Stops a job as the run ends a companion (its status is then the
    // script's on TERM, 143).
    void end(qint64 id);

    // The script's body with the values of its setting lines left out, and
    // the raw value of a setting ("" when the script has none).
    static QByteArray normalisedConverterScript(const QByteArray &script);
    static QString settingText(const QByteArray &script, const QByteArray &name);

private:
    struct Job {
        std::unique_ptr<Platform::ServiceJob> job;
        QString stagingFolder; // a render job's; empty for the probe
        bool ended = false;
        bool lost = false;
        std::optional<int> status;
    };
    std::optional<qint64> add(Platform::ServiceJob::Request request, const QString &stagingFolder);
    void cleanUp(const Job &job) const;
    void decide();

    QString socketPath_;
    QString renderer_;
    CompanionFiles files_;
    bool decided_ = false;
    bool enabled_ = false;
    QString why_;
    QString resolution_, quality_, pageTimeLimit_;
    std::map<qint64, Job> jobs_;
    qint64 nextId_ = -2;
};

namespace PDF {
struct Context;
// A companion's exit status, or Platform::StillActive, whichever way it runs.
int companionExitCode(Context &context, qint64 id);
// Ends a companion, whichever way it runs.
void endCompanion(Context &context, qint64 id);
} // namespace PDF
