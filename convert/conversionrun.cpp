#include "convert/conversionrun.h"

#include "convert/boxqueue.h"
#include "convert/companionfiles.h"
#include "convert/directcompanions.h"
#include "convert/launcher/shell32.h"
#include "convert/pagecollection.h"
#include "convert/servicestarter.h"
#include "convert/runscheduler.h"
#include "convert/runview.h"
#include "convert/runvariables.h"
#include "platform/clock.h"
#include "platform/eventpump.h"
#include "platform/fileops.h"
#include "platform/messages.h"
#include "platform/pointer.h"

#include <QCoreApplication>
#include <QScopeGuard>
#include <QThread>

#include <algorithm>

namespace {

// How long the "Done." box is waited on between looks.
constexpr int WaitMilliseconds = 100;
// How long a run waits for its render service to listen.
constexpr int ServiceStartMs = 3000;
const QString AppTitle = QStringLiteral("Rasterwell");

QString countOf(int n, const QString &one, const QString &many)
{
    return QString::number(n) + QLatin1Char(' ') + (n == 1 ? one : many);
}

QString durationText(double seconds)
{
    if (seconds < 60)
        return QStringLiteral("%1 seconds").arg(seconds, 0, 'f', 1);
    const qint64 whole = qint64(seconds + 0.5);
    if (whole < 3600)
        return QStringLiteral("%1 min %2 s").arg(whole / 60).arg(whole % 60, 2, 10, QLatin1Char('0'));
    return QStringLiteral("%1 h %2 min").arg(whole / 3600).arg(whole % 3600 / 60, 2, 10, QLatin1Char('0'));
}

// The details of the "Done." box: what the run converted, every document it
// did not convert with its outcome, and the time it took.
QString doneDetails(const RunSummary &summary)
{
    QStringList lines;
    lines << countOf(summary.converted, QStringLiteral("document converted"),
                     QStringLiteral("documents converted"))
                 + QStringLiteral(", ")
                 + countOf(summary.imagesWritten, QStringLiteral("image written."),
                           QStringLiteral("images written."));
    if (!summary.notConverted.isEmpty())
        lines << countOf(int(summary.notConverted.size()), QStringLiteral("document not converted:"),
                         QStringLiteral("documents not converted:"));
    for (const DocumentEnd &end : summary.notConverted) {
        QString outcome;
        switch (end.outcome) {
        case DocumentEnd::Outcome::Protected:
            outcome = QStringLiteral("password protected");
            break;
        case DocumentEnd::Outcome::Partial:
            outcome = QStringLiteral("partly converted (%1 written); missing: page%2 %3")
                          .arg(countOf(end.imagesWritten, QStringLiteral("image"), QStringLiteral("images")),
                               end.missingPages.size() > 1 ? QStringLiteral("s") : QString(),
                               PDF::describePages(end.missingPages));
            break;
        case DocumentEnd::Outcome::Refused:
            outcome = QStringLiteral("refused: ") + end.reason;
            break;
        default:
            outcome = QStringLiteral("failed: ") + end.reason;
            break;
        }
        lines << QStringLiteral("  ") + end.document + QStringLiteral(": ") + outcome;
    }
    lines << QStringLiteral("Time taken: ") + durationText(summary.seconds) + QLatin1Char('.');
    return lines.join(QLatin1Char('\n'));
}

} // namespace

int defaultSlotCount()
{
    bool ok = false;
    const int fromEnvironment = qEnvironmentVariableIntValue("RASTERWELL_JOBS", &ok);
    if (ok && fromEnvironment >= 1 && fromEnvironment <= RunVariables::MaxJobs)
        return fromEnvironment;
    return std::clamp(QThread::idealThreadCount(), 1, RunVariables::MaxJobs);
}

ConversionRun::ConversionRun(ConversionServices services) : s_(std::move(services))
{
    if (s_.programName.isEmpty())
        s_.programName = Shell32::currentProgramName();
}

RunSummary ConversionRun::run()
{
    if (running_) {
        RunSummary busy;
        busy.outcome = RunSummary::Outcome::AlreadyRunning;
        return busy;
    }
    running_ = true;
    // However the run ends: bar at 0, default pointer, ready for the next.
    const auto atRest = qScopeGuard([this] {
        s_.view.setProgress(0);
        s_.windowPointer.setPointer(Platform::PointerDefault);
        running_ = false;
    });
    return convertAll();
}

RunSummary ConversionRun::convertAll()
{
    using Platform::MessageIcon;
    RunSummary summary;
    if (s_.documents.count() < 1) {
        s_.messages.showMessage(QStringLiteral("No files added."), AppTitle, MessageIcon::None);
        summary.outcome = RunSummary::Outcome::EmptyList;
        return summary;
    }

    s_.windowPointer.setPointer(Platform::PointerHourglass);
    const Platform::SystemClock systemClock;
    const Platform::Clock &clock = s_.clock ? *s_.clock : systemClock;
    const double startedAt = clock.steadySeconds();
    // The run converts the list as it stands now: rows removed, moved or
    // added while it works change nothing for it.
    QStringList documents;
    for (int position = 1; position <= s_.documents.count(); ++position)
        if (const std::optional<QString> document = s_.documents.textAt(position))
            documents << *document;

    auto stop = [&](const QString &problem) {
        s_.messages.showProblem(problem, AppTitle);
        summary.outcome = RunSummary::Outcome::SetupProblem;
        summary.setupProblem = problem;
        return summary;
    };

    const CompanionFiles files(s_.appFolder, s_.workFolder);
    if (const std::optional<QString> problem = files.setupProblem())
        return stop(*problem);
    // Renderers of every slot share the cores through this folder.
    ConversionServices services = s_;
    const QString tokens = files.workFolder + QStringLiteral("/.render-tokens");
    if (Platform::makeFolders(tokens))
        services.environment << QStringLiteral("RASTERWELL_RENDER_TOKENS=") + tokens;

    Shell32::Launcher launcher(s_.processes, s_.pump, s_.programName);
    {
        // One warm renderer serves the run's documents; it ends with the run.
        const RenderService renderService(
            s_.processes, files.renderer,
            files.workFolder + QStringLiteral("/.render-service-")
                + QString::number(QCoreApplication::applicationPid()),
            files.workFolder, std::max(1, s_.slotCount));
        if (const QString entry = renderService.environmentEntry(); !entry.isEmpty())
            services.environment << entry;
        // No job comes before the service listens (one that did would be
        // done by a stand-alone engine).
        const bool listening = renderService.waitUntilListening(ServiceStartMs);
        DirectCompanions direct(files, listening ? renderService.socketPath() : QString());
        services.direct = &direct;
        RunScheduler scheduler(services, files, launcher, documents, summary, clock, startedAt);
        if (const std::optional<QString> problem = scheduler.run()) {
            s_.view.setApplicationPointer(Platform::PointerDefault);
            return stop(*problem);
        }
        if (scheduler.stopped()) {
            s_.view.setApplicationPointer(Platform::PointerDefault);
            summary.outcome = RunSummary::Outcome::Stopped;
            return summary;
        }
    }

    BoxQueue done(s_.messages);
    done.add(QStringLiteral("Done."), AppTitle, MessageIcon::None, doneDetails(summary));
    done.await(s_.pump, WaitMilliseconds);
    summary.outcome = RunSummary::Outcome::Completed;
    return summary;
}
