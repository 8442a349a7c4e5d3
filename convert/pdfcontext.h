#pragma once

#include "convert/companionfiles.h"

#include <QStringList>

#include <functional>
#include <optional>

class ApplicationPointer;
class DirectCompanions;

namespace Platform {
class EventPump;
class SecretBytes;
class SecretPipe;
} // namespace Platform

namespace Shell32 {
class Launcher;
struct ChildOptions;
} // namespace Shell32

// The password probe and the rasteriser: the PDF work, done by the companion
// programs in the application folder.
namespace PDF {

// Bounds that keep a companion from holding a run for ever.
struct Limits {
    int probeMs = 60'000;                // the probe is ended after this long
    // The converter is ended after this long without writing anything (a
    // page image, a line on its error stream); below 0: a few of the
    // converter script's page time limits.
    int converterIdleMs = -1;
    // A run waits this long at most for a staging folder's lock that
    // someone else holds (another instance, or a converter an ended run
    // left behind), then stops with a message naming the holder.
    int lockWaitMs = 120'000;
};

// Where a run's images go (-o DIR): beneath `folder`, mirroring the tree
// each document was found in. Empty `folder`: beside each document.
struct OutputPlace {
    QString folder;
    // The folders the documents were searched in (no trailing "/"); a
    // document beneath one keeps its folders below it, any other (a file
    // named as it is) goes straight into `folder`.
    QStringList roots;

    bool isBeside() const { return folder.isEmpty(); }
    // The folder beneath `folder` for the images of `document` ("sub" for
    // ROOT/sub/x.pdf; empty: `folder` itself).
    QString relativeFolderOf(const QString &document) const;
    // The folder the images of `document` go to.
    QString imageFolderOf(const QString &document) const;
};

// What both operations work with. They assume that no one else uses the
// slot's result file and staging folder meanwhile (the run holds the
// slot's lock).
struct Context {
    CompanionFiles files;
    Shell32::Launcher &launcher;
    Platform::EventPump &pump;
    ApplicationPointer &pointer;
    StagingSlot slot = files.slot(1);
    Limits limits = {};
    // "NAME=value" settings for the converter script (resolution, quality).
    QStringList environment = {};
    // The slot's lock: every companion keeps it, so the slot stays busy for
    // as long as any of them runs, even past the end of this program.
    int lockDescriptor = -1;
    // Pages the renderer finds only in file order (a lost page tree) are
    // kept as "-recovered-NNN" images; otherwise they are removed.
    bool recover = false;
    // Where the images go.
    OutputPlace output = {};
    // Called after each page image is placed beside the document; a hook
    // for tests (to swap the folder between two pages), empty otherwise.
    std::function<void(int page)> afterPagePlaced = {};
    // Passwords to try on a protected document, one a line; none: nullptr
    // or empty.
    const Platform::SecretBytes *passwords = nullptr;
    // Hands the jobs straight to the render service when the companions
    // are the shipped ones; none: every companion runs as a process.
    DirectCompanions *direct = nullptr;
};

// For a companion about to start: a pipe holding the context's passwords,
// kept open in the child, its number in RASTERWELL_PASSWORD_FD (the
// passwords themselves never go into an argument, the environment or a
// file). Nothing without passwords; false when the pipe cannot be made.
bool passPasswords(const Context &context, Shell32::ChildOptions &options,
                   std::optional<Platform::SecretPipe> &pipe);

// The last lines a companion wrote on its error stream (at most `maxLines`).
QStringList companionMessages(const QString &messagesFile, int maxLines = 20);

// Starts a job (ProbeJob, RasteriseJob) and waits for its end, letting the
// window process its events: each pass reads first, then processes events;
// while the job runs, the next event (a companion's end among them) or at
// most 100 ms wakes the wait.
template <typename Job>
void runToEnd(Job &job, Context &context);

} // namespace PDF

#include "platform/eventpump.h"

template <typename Job>
void PDF::runToEnd(Job &job, Context &context)
{
    constexpr int WakeMilliseconds = 100;
    if (!job.start())
        return;
    for (;;) {
        const bool done = job.poll();
        context.pump.processEvents();
        if (done)
            return;
        context.pump.waitForEvents(WakeMilliseconds);
    }
}
