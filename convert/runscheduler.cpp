#include "convert/runscheduler.h"

#include "convert/boxqueue.h"
#include "convert/conversionrun.h"
#include "convert/directcompanions.h"
#include "convert/launcher/shell32.h"
#include "convert/outputclaims.h"
#include "convert/pagecollection.h"
#include "convert/pageselection.h"
#include "convert/passwordprobe.h"
#include "convert/rasterisedocument.h"
#include "convert/runobserver.h"
#include "convert/stagingfolders.h"
#include "convert/uptodate.h"
#include "convert/runview.h"
#include "convert/runvariables.h"
#include "fileutil/fileutil.h"
#include "platform/clock.h"
#include "platform/eventpump.h"
#include "platform/fileops.h"
#include "platform/folderlock.h"
#include "platform/messages.h"
#include "platform/pathcodec.h"
#include "platform/pointer.h"

#include <QElapsedTimer>
#include <QScopeGuard>

#include <map>
#include <memory>
#include <utility>
#include <vector>

namespace {

// A wait for something that cannot wake us (another holder's lock) lasts
// at most this long before we look again.
constexpr int WaitMilliseconds = 100;
// How often a converting slot is looked at for new page images, when
// someone watches the pages.
constexpr int PageLookMilliseconds = 200;
const QString AppTitle = QStringLiteral("Rasterwell");

// How one document of the run ended, kept until its turn to be reported.
struct Outcome {
    enum class Kind { Converted, Protected, Failed };
    Kind kind = Kind::Converted;
    QString document;
    QString reason;       // Failed: one line; Converted: a note, usually empty
    QStringList messages; // what a companion said, with the reason
    DocumentEnd end = {}; // everything the summary at "Done." tells of it
    QStringList notes = {}; // told whatever the outcome (pages asked for past the end)
};

// How to convert a document that needs a password, for its box's details.
QString protectedDetails()
{
    return QStringLiteral(
        "The document needs a password to be opened, and Rasterwell converts only documents "
        "that open without one. To convert it, save a copy without the password and convert "
        "the copy, for example with qpdf:\n"
        "  qpdf --password=PASSWORD --decrypt locked.pdf unlocked.pdf");
}

// One staging slot and the document it works on.
struct Slot {
    Slot(const CompanionFiles &files, const StagingSlot &staging, Shell32::Launcher &launcher,
         Platform::EventPump &pump, ApplicationPointer &pointer, const ConversionServices &s)
        : lock(staging.lockFile),
          context{files, launcher, pump, pointer, staging, s.limits, s.environment, -1, s.recover, s.output}
    {
        context.passwords = s.passwords;
        context.direct = s.direct;
    }
    bool idle() const { return !probe && !rasterise; }
    bool usable() const { return !holdsListedDocument && !holdsForeignCopy; }

    Platform::FolderLock lock;
    PDF::Context context;
    int position = 0;
    QString document;
    QElapsedTimer taken;     // since the document was taken up
    QElapsedTimer pageLook;  // since its slot was last looked at for pages
    int pageCount = 0;       // the probe's count; 0 when unknown
    int pagesArrived = 0;
    QStringList notes; // for the document's outcome
    // A document of the run lies at this slot's staged-copy name: staging
    // anything here would delete it, so the slot is not used.
    bool holdsListedDocument = false;
    // Its current.pdf was not staged by this program: it is never deleted,
    // and the slot is not used.
    bool holdsForeignCopy = false;
    std::unique_ptr<PDF::ProbeJob> probe;
    std::unique_ptr<PDF::RasteriseJob> rasterise;
};

// A document taken up from the list, waiting for a free slot.
struct TakenUp {
    int position;
    QString document;
};

class Scheduler {
public:
    Scheduler(const ConversionServices &s, const CompanionFiles &files, Shell32::Launcher &launcher,
              const QStringList &documents, RunSummary &summary, const Platform::Clock &clock,
              double startedAt)
        : s_(s), documents_(documents), summary_(summary), workFolder_(files.workFolder),
          boxes_(s.messages), clock_(clock), startedAt_(startedAt),
          finished_(documents.size() + 1, false)
    {
        const int wanted = std::max(1, s.slotCount);
        for (int number = 1; number <= wanted; ++number) {
            const StagingSlot staging = files.slot(number);
            // A further slot that cannot be made is simply not used.
            if (number > 1 && !prepareSlotFolder(staging))
                continue;
            slots_.push_back(std::make_unique<Slot>(files, staging, launcher, s.pump, s.view, s));
            if (!stagedCopyIsOurs(staging)) {
                slots_.back()->holdsForeignCopy = true;
                s.messages.showDetails({QStringLiteral("%1 was not staged by this program: the staging "
                                                       "folder %2 is not used until it is removed")
                                            .arg(Platform::displayPath(staging.stagedCopy),
                                                 Platform::displayPath(staging.folder))});
            }
        }
        for (const QString &document : documents_)
            keepListedDocument(document);
        // What a run killed outright left in a slot no one holds (a worker
        // of the render service leaves its page images; the script would
        // have removed them) goes now, also from a slot this run may not
        // need.
        for (const auto &slot : slots_) {
            if (slot->usable() && slot->lock.tryLock() == Platform::FolderLock::State::Locked) {
                PDF::clearStagingSlot(slot->context.slot);
                slot->lock.unlock();
            }
        }
    }
    ~Scheduler()
    {
        // A run that stops early ends what its slots still run.
        for (const auto &slot : slots_) {
            if (slot->probe)
                slot->probe->abandon();
            if (slot->rasterise)
                slot->rasterise->abandon();
        }
    }

    // Runs the whole list; a problem that stops the run, or nothing.
    std::optional<QString> run()
    {
        const int count = int(documents_.size());
        // Every box is answered before the run goes on to its end: a problem
        // or "Done." comes after the messages of what was reported before.
        const auto answered = qScopeGuard([this] { boxes_.await(s_.pump, WaitMilliseconds); });
        while (head_ <= count) {
            if (s_.observer && s_.observer->stopRequested()) {
                // What has ended is still told, in list order, though an
                // earlier document is left unfinished.
                for (const auto &[position, outcome] : outcomes_)
                    show(outcome);
                outcomes_.clear();
                interrupted();
                stopped_ = true;
                return std::nullopt;
            }
            bool moved = report(count);
            moved = boxes_.openNext() || moved;
            if (head_ > count)
                break;
            const std::optional<bool> placed = takeUp(count);
            if (!placed)
                return problem_;
            moved = *placed || moved;
            const std::optional<bool> advanced = advance();
            if (!advanced)
                return problem_;
            moved = *advanced || moved;
            if (!moved) {
                s_.pump.processEvents();
                s_.pump.waitForEvents(WaitMilliseconds);
            }
        }
        return std::nullopt;
    }

    bool stopped() const { return stopped_; }

private:
    // Reports the outcomes that are due, in list order; true when any was.
    // Their boxes open one after the other without holding up the run.
    bool report(int count)
    {
        bool any = false;
        for (auto it = outcomes_.find(head_); head_ <= count && it != outcomes_.end();
             it = outcomes_.find(head_)) {
            const Outcome outcome = std::move(it->second);
            outcomes_.erase(it);
            ++head_;
            any = true;
            show(outcome);
        }
        return any;
    }

    void show(const Outcome &o)
    {
        using Platform::MessageIcon;
        summary_.imagesWritten += o.end.imagesWritten;
        if (!o.notes.isEmpty())
            s_.messages.showDetails(o.notes);
        if (o.kind != Outcome::Kind::Converted)
            summary_.notConverted << o.end;
        switch (o.kind) {
        case Outcome::Kind::Converted:
            ++summary_.converted;
            // Converted, though the converter said something was wrong: it
            // is passed on, never dropped.
            if (!o.reason.isEmpty()) {
                QStringList lines{o.document + QStringLiteral(": ") + o.reason};
                for (const QString &m : o.messages)
                    lines << QStringLiteral("  ") + m;
                s_.messages.showDetails(lines);
            }
            break;
        case Outcome::Kind::Protected:
            ++summary_.passwordProtected;
            boxes_.add(Platform::displayPath(o.document) + QStringLiteral(" is password protected."),
                       AppTitle, MessageIcon::None, protectedDetails());
            break;
        case Outcome::Kind::Failed: {
            ++summary_.failed;
            const QString reason = o.reason.isEmpty() ? QStringLiteral("no page image") : o.reason;
            summary_.details << o.document + QStringLiteral(": ") + reason;
            QStringList lines{o.document + QStringLiteral(": ") + reason};
            for (const QString &m : o.messages)
                lines << QStringLiteral("  ") + m;
            s_.messages.showDetails(lines);
            boxes_.add(QStringLiteral("Could not create JPG on ") + Platform::displayPath(o.document),
                       QStringLiteral("Could not create JPG"), MessageIcon::Exclamation, lines.join('\n'));
            break;
        }
        }
    }

    void settle(int position, Outcome outcome)
    {
        outcomes_[position] = std::move(outcome);
        finished_[position] = true;
        const int count = int(documents_.size());
        while (firstUnfinished_ <= count && finished_[firstUnfinished_])
            ++firstUnfinished_;
        if (firstUnfinished_ > count && !timed_) {
            timed_ = true;
            summary_.seconds = std::max(0.0, clock_.steadySeconds() - startedAt_);
        }
        showProgress();
    }

    // Settles a document and tells the observer how it ended.
    void settle(int position, Outcome outcome, DocumentEnd end, const QElapsedTimer *taken = nullptr)
    {
        end.position = position;
        end.document = outcome.document;
        if (end.reason.isEmpty() && outcome.kind == Outcome::Kind::Failed)
            end.reason = outcome.reason.isEmpty() ? QStringLiteral("no page image") : outcome.reason;
        end.seconds = taken && taken->isValid() ? taken->nsecsElapsed() / 1e9 : 0.0;
        if (s_.observer)
            s_.observer->documentEnded(end);
        outcome.end = end;
        settle(position, std::move(outcome));
    }

    // The bar: the share of the list up to the first document that has not
    // finished, though no further than the last one taken up; what a run of
    // one document at a time shows, and never full while an earlier
    // document still converts.
    void showProgress()
    {
        const int upTo = std::min(firstUnfinished_, next_ - 1);
        if (upTo < 1 || upTo == shownUpTo_)
            return;
        shownUpTo_ = upTo;
        s_.view.setProgress(double(upTo) / double(documents_.size()) * 100.0);
    }

    // The run stops: each document under way ends unfinished, and the
    // observer is told so (its slot is cleared when the run ends).
    void interrupted()
    {
        if (!s_.observer)
            return;
        auto tell = [this](int position, const QString &document, int pageCount, const QElapsedTimer *taken) {
            DocumentEnd end = ended(DocumentEnd::Outcome::Interrupted, pageCount);
            end.position = position;
            end.document = document;
            end.reason = QStringLiteral("the run was interrupted before the document was finished");
            end.seconds = taken && taken->isValid() ? taken->nsecsElapsed() / 1e9 : 0.0;
            s_.observer->documentEnded(end);
        };
        for (const auto &slot : slots_)
            if (!slot->idle())
                tell(slot->position, slot->document, slot->pageCount, &slot->taken);
        if (waiting_)
            tell(waiting_->position, waiting_->document, 0, nullptr);
    }

    static DocumentEnd ended(DocumentEnd::Outcome kind, int pageCount = 0)
    {
        DocumentEnd end;
        end.outcome = kind;
        end.pageCount = pageCount;
        return end;
    }

    // A listed document that is some slot's staged copy is never staged
    // over: that slot is left out of the run.
    void keepListedDocument(const QString &document)
    {
        const std::optional<Platform::FileIdentity> identity = Platform::fileIdentity(document);
        for (const auto &slot : slots_)
            if (identity && identity == Platform::fileIdentity(slot->context.slot.stagedCopy))
                slot->holdsListedDocument = true;
    }

    // Why a document is not even handed to the companions, or nothing.
    std::optional<QString> refusal(const QString &document)
    {
        keepListedDocument(document);
        // Any staging folder, also one this run does not use: another run
        // may stage into it at any time.
        if (const std::optional<QString> staging = stagingFolderHolding(document, workFolder_))
            return QStringLiteral("it is inside the staging folder %1").arg(Platform::displayPath(*staging));
        // Only a regular file is ever handed to a companion; a link that
        // leads nowhere is refused too. A document that is not there at all
        // is left to the rasteriser, which says so.
        QString why;
        if (Platform::entryIdentity(document) && !Platform::isReadableRegularFile(document, &why))
            return QStringLiteral("cannot be read: %1").arg(why);
        return claims_.claim(document, s_.output.isBeside() ? QString() : s_.output.imageFolderOf(document));
    }

    // Takes up documents in list order and places them in free slots. True
    // when anything happened; nothing when the run must stop.
    std::optional<bool> takeUp(int count)
    {
        bool any = false;
        for (;;) {
            if (!waiting_) {
                // A document is taken up only when a slot is free for it (or
                // when no slot can ever take it).
                const bool anyUsable = std::any_of(slots_.begin(), slots_.end(),
                                                   [](const auto &slot) { return slot->usable(); });
                const bool anyFree = std::any_of(slots_.begin(), slots_.end(), [](const auto &slot) {
                    return slot->idle() && slot->usable();
                });
                if (next_ > count || (anyUsable && !anyFree))
                    return any;
                const int position = next_++;
                const QString &document = documents_[position - 1];
                any = true;
                showProgress();
                s_.windowPointer.setPointer(Platform::PointerHourglass);
                if (const std::optional<QString> why = refusal(document)) {
                    settle(position, {Outcome::Kind::Failed, document, *why, {}},
                           ended(DocumentEnd::Outcome::Refused));
                    // Its message is due before the next document starts.
                    return true;
                }
                waiting_ = TakenUp{position, document};
            }
            if (std::none_of(slots_.begin(), slots_.end(), [](const auto &s) { return s->usable(); })) {
                settle(waiting_->position,
                       {Outcome::Kind::Failed, waiting_->document,
                        QStringLiteral("no staging folder can be used: each holds a document of "
                                       "this run or a file this program did not stage"), {}},
                       ended(DocumentEnd::Outcome::Refused));
                waiting_.reset();
                continue;
            }
            Slot *slot = freeSlot();
            if (!slot)
                return problem_.isEmpty() ? std::optional<bool>(any) : std::nullopt;
            place(*slot, *waiting_);
            waiting_.reset();
            any = true;
            // A document that failed at once (missing, not a regular file)
            // gets its message before the next one starts.
            if (slot->idle())
                return true;
        }
    }

    // An idle slot whose lock this run now holds, or none. A wait for a
    // lock held elsewhere says what it waits for, and has a limit.
    Slot *freeSlot()
    {
        Slot *busy = nullptr;
        for (const auto &slot : slots_) {
            if (!slot->idle() || !slot->usable())
                continue;
            // The lock keeps other instances out, and also a converter that
            // an earlier, killed run left behind: it holds the lock until it
            // has ended.
            switch (slot->lock.tryLock()) {
            case Platform::FolderLock::State::Locked:
                lockWait_.invalidate();
                return slot.get();
            case Platform::FolderLock::State::Busy:
                busy = slot.get();
                continue;
            case Platform::FolderLock::State::Failed:
                problem_ = QStringLiteral("Cannot convert: the lock file %1 cannot be opened (%2).")
                               .arg(slot->lock.path(), slot->lock.errorString());
                return nullptr;
            }
        }
        if (busy)
            waitForLock(busy->lock);
        return nullptr;
    }

    void waitForLock(const Platform::FolderLock &lock)
    {
        const auto heldBy = [&lock] {
            const QString holders = lock.holders();
            return holders.isEmpty() ? QStringLiteral("no running process (a descriptor in flight)")
                                     : holders;
        };
        // While a document of ours converts, the run is not held up.
        if (std::any_of(slots_.begin(), slots_.end(), [](const auto &s) { return !s->idle(); }))
            return;
        if (!lockWait_.isValid()) {
            lockWait_.start();
            s_.messages.showDetails({QStringLiteral("Waiting for the lock file %1, held by %2 (at most %3 s)")
                                         .arg(Platform::displayPath(lock.path()), heldBy())
                                         .arg(s_.limits.lockWaitMs / 1000.0)});
        } else if (lockWait_.elapsed() >= s_.limits.lockWaitMs) {
            problem_ = QStringLiteral("Cannot convert: the lock file %1 is still held by %2 after %3 s.")
                           .arg(Platform::displayPath(lock.path()), heldBy())
                           .arg(s_.limits.lockWaitMs / 1000.0);
        }
    }

    void place(Slot &slot, const TakenUp &taken)
    {
        slot.position = taken.position;
        slot.document = taken.document;
        slot.taken.start();
        slot.pageCount = 0;
        slot.pagesArrived = 0;
        slot.notes.clear();
        slot.context.lockDescriptor = slot.lock.descriptor();
        slot.probe = std::make_unique<PDF::ProbeJob>(slot.context, taken.document);
        if (!slot.probe->start())
            afterProbe(slot);
    }

    // Polls every busy slot; true when any moved on, nothing to stop the run.
    std::optional<bool> advance()
    {
        bool any = false;
        for (const auto &slot : slots_) {
            if (slot->probe && slot->probe->poll()) {
                any = true;
                afterProbe(*slot);
            } else if (slot->rasterise) {
                lookForPages(*slot);
                if (slot->rasterise->poll()) {
                    any = true;
                    lookForPages(*slot, true);
                    afterRasterise(*slot);
                }
            }
            if (!problem_.isEmpty())
                return std::nullopt;
        }
        return any;
    }

    // Tells the observer about page images new in a converting slot.
    void lookForPages(Slot &slot, bool now = false)
    {
        if (!s_.observer || !slot.rasterise)
            return;
        if (!now && slot.pageLook.isValid() && slot.pageLook.elapsed() < PageLookMilliseconds)
            return;
        slot.pageLook.start();
        const QList<int> pages = slot.rasterise->newPages();
        if (pages.isEmpty())
            return;
        slot.pagesArrived += int(pages.size());
        s_.observer->pagesArrived(slot.position, pages, slot.pagesArrived);
    }

    void afterProbe(Slot &slot)
    {
        using Verdict = PDF::ProbeResult::Verdict;
        const PDF::ProbeResult probe = slot.probe->result();
        slot.probe.reset();
        switch (probe.verdict) {
        case Verdict::Unusable:
            problem_ = probe.problem;
            release(slot);
            return;
        case Verdict::Protected: {
            DocumentEnd end = ended(DocumentEnd::Outcome::Protected);
            end.reason = QStringLiteral("the password probe says it needs a password to be opened");
            release(slot, Outcome{Outcome::Kind::Protected, slot.document, {}, {}}, end);
            return;
        }
        case Verdict::Failed:
            release(slot, Outcome{Outcome::Kind::Failed, slot.document, probe.reason, probe.messages},
                    ended(DocumentEnd::Outcome::Failed));
            return;
        case Verdict::Readable:
            break;
        }
        slot.pageCount = probe.pageCount;
        const RunVariables::ImageSettings settings =
            RunVariables::imageSettingsOf(slot.context.files.script, slot.context.environment);
        QStringList notes;
        if (const std::optional<PageSelection> selection = PageSelection::parse(settings.pages);
            selection && probe.pageCount > 0)
            if (const QString past = selection->pastEnd(probe.pageCount); !past.isEmpty())
                notes << QStringLiteral("%1: pages asked for past its last page (%2) left out: %3")
                             .arg(Platform::displayPath(slot.document))
                             .arg(probe.pageCount)
                             .arg(past);
        slot.notes = notes;
        if (s_.skipUpToDate
            && PDF::IsUpToDate(slot.document, probe.pageCount, settings,
                               s_.output.isBeside() ? QString() : s_.output.imageFolderOf(slot.document))) {
            release(slot, Outcome{Outcome::Kind::Converted, slot.document, {}, {}},
                    ended(DocumentEnd::Outcome::UpToDate, probe.pageCount));
            return;
        }
        slot.rasterise = std::make_unique<PDF::RasteriseJob>(slot.context, slot.document, probe.pageCount, settings);
        const bool started = slot.rasterise->start();
        if (started && s_.observer)
            s_.observer->documentStarted(slot.position, slot.document, slot.pageCount);
        if (!started)
            afterRasterise(slot);
    }

    void afterRasterise(Slot &slot)
    {
        const PDF::RasteriseResult pages = slot.rasterise->result();
        slot.rasterise.reset();
        if (std::none_of(slots_.begin(), slots_.end(), [](const auto &s) { return bool(s->rasterise); }))
            s_.view.setApplicationPointer(Platform::PointerDefault);
        using Kind = DocumentEnd::Outcome;
        DocumentEnd end = ended(pages.succeeded() ? Kind::Converted
                                : pages.pagesWritten > 0 && !pages.missingPages.isEmpty() ? Kind::Partial
                                                         : Kind::Failed,
                                slot.pageCount);
        end.imagesWritten = pages.pagesWritten;
        // Also the pages past the last one that arrived, when the probe told
        // how many there are.
        end.missingPages = pages.missingPages;
        if (pages.succeeded())
            release(slot, Outcome{Outcome::Kind::Converted, slot.document, pages.note,
                                  pages.note.isEmpty() ? QStringList{} : pages.messages}, end);
        else
            release(slot, Outcome{Outcome::Kind::Failed, slot.document, pages.problem, pages.messages}, end);
    }

    // The slot is done with its document; the lock is released before any
    // message waits for the user.
    void release(Slot &slot, std::optional<Outcome> outcome = std::nullopt,
                 std::optional<DocumentEnd> end = std::nullopt)
    {
        slot.lock.unlock();
        slot.context.lockDescriptor = -1;
        if (outcome)
            outcome->notes = std::exchange(slot.notes, {});
        if (outcome && end)
            settle(slot.position, std::move(*outcome), std::move(*end), &slot.taken);
        else if (outcome)
            settle(slot.position, std::move(*outcome));
    }

    const ConversionServices &s_;
    const QStringList &documents_; // the list as it stood when the run began
    RunSummary &summary_;
    std::vector<std::unique_ptr<Slot>> slots_;
    QString workFolder_;
    OutputClaims claims_;
    std::map<int, Outcome> outcomes_;
    std::optional<TakenUp> waiting_;
    QElapsedTimer lockWait_; // since no slot's lock could be had
    bool stopped_ = false;
    int next_ = 1; // the next position to take up
    int head_ = 1; // the next position to report
    QString problem_;
    BoxQueue boxes_;
    const Platform::Clock &clock_;
    double startedAt_;
    std::vector<bool> finished_; // by position: the document has ended
    int firstUnfinished_ = 1;
    int shownUpTo_ = 0;          // the bar's last position
    bool timed_ = false;
};

} // namespace

struct RunScheduler::Impl {
    template <typename... Args>
    explicit Impl(Args &&...args) : scheduler(std::forward<Args>(args)...)
    {
    }
    Scheduler scheduler;
};

RunScheduler::RunScheduler(const ConversionServices &s, const CompanionFiles &files,
                           Shell32::Launcher &launcher, const QStringList &documents,
                           RunSummary &summary, const Platform::Clock &clock, double startedAt)
    : d_(std::make_unique<Impl>(s, files, launcher, documents, summary, clock, startedAt))
{
}

RunScheduler::~RunScheduler() = default;

std::optional<QString> RunScheduler::run()
{
    return d_->scheduler.run();
}

bool RunScheduler::stopped() const
{
    return d_->scheduler.stopped();
}
