#include "convert/conversionrun.h"

#include "convert/launcher/shell32.h"
#include "convert/passwordprobe.h"
#include "convert/rasterisedocument.h"
#include "convert/runview.h"
#include "platform/eventpump.h"
#include "platform/folderlock.h"
#include "platform/messages.h"
#include "platform/pointer.h"

#include <QScopeGuard>

namespace {

constexpr int LockPollMilliseconds = 100;
const QString AppTitle = QStringLiteral("Rasterwell");

// Waits, keeping the window alive, until no other instance uses the
// application folder's staging folder and result file.
Platform::FolderLock::State waitForLock(Platform::FolderLock &lock, Platform::EventPump &pump)
{
    for (;;) {
        const Platform::FolderLock::State state = lock.tryLock();
        if (state != Platform::FolderLock::State::Busy)
            return state;
        pump.processEvents();
        pump.pause(LockPollMilliseconds);
    }
}

} // namespace

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
    const int count = s_.documents.count();

    auto stop = [&](const QString &problem) {
        s_.messages.showProblem(problem, AppTitle);
        summary.outcome = RunSummary::Outcome::SetupProblem;
        summary.setupProblem = problem;
        return summary;
    };

    const CompanionFiles files(s_.appFolder);
    if (const std::optional<QString> problem = files.setupProblem())
        return stop(*problem);

    Shell32::Launcher launcher(s_.processes, s_.pump, s_.programName);
    PDF::Context context{files, launcher, s_.pump, s_.view};
    Platform::FolderLock lock(files.lockFile);

    for (int position = 1; position <= count; ++position) {
        // The list may have changed during the last document's waits: a
        // position that no longer exists is skipped.
        const int current = s_.documents.count();
        const std::optional<QString> document =
            position <= current ? s_.documents.textAt(position) : std::nullopt;
        if (!document) {
            ++summary.skipped;
            continue;
        }
        s_.view.setProgress(double(position) / current * 100.0);
        s_.windowPointer.setPointer(Platform::PointerHourglass);

        // The result file and the staging folder serve one document at a
        // time, also across instances sharing this application folder. The
        // lock is released before any message waits for the user.
        if (waitForLock(lock, s_.pump) == Platform::FolderLock::State::Failed)
            return stop(QStringLiteral("Cannot convert: the lock file %1 cannot be opened (%2).")
                            .arg(files.lockFile, lock.errorString()));
        const PDF::ProbeResult probe = PDF::IsPasswordProtected(context, *document);
        if (probe.verdict == PDF::ProbeResult::Verdict::Unusable) {
            lock.unlock();
            return stop(probe.problem);
        }
        if (probe.isProtected()) {
            lock.unlock();
            ++summary.passwordProtected;
            s_.messages.showMessage(*document + QStringLiteral(" is password protected."),
                                    AppTitle, MessageIcon::None);
            continue;
        }
        const PDF::RasteriseResult pages = PDF::RasteriseDocument(context, *document);
        lock.unlock();
        if (pages.succeeded()) {
            ++summary.converted;
        } else {
            ++summary.failed;
            summary.details << *document + QStringLiteral(": ")
                                   + (pages.problem.isEmpty() ? QStringLiteral("no page image")
                                                              : pages.problem);
            s_.messages.showMessage(QStringLiteral("Could not create JPG on ") + *document,
                                    QStringLiteral("Could not create JPG"), MessageIcon::Exclamation);
        }
    }

    s_.messages.showMessage(QStringLiteral("Done."), AppTitle, MessageIcon::None);
    summary.outcome = RunSummary::Outcome::Completed;
    return summary;
}
