#pragma once

#include <QList>
#include <QString>

// How one document of a run ended, with everything a report needs.
struct DocumentEnd {
    enum class Outcome {
        Converted, // every page arrived and the converter succeeded
        UpToDate,  // skipped: its images are all there and newer (counts as converted)
        Protected, // the probe says it needs a password
        Partial,   // some pages were written, not all
        Failed,    // no page was written
        Refused,   // never handed to the companions (not a readable regular
                   // file, inside a staging folder, images clash with another's)
        Interrupted, // under way when the run was stopped (INT, TERM, HUP)
    };
    int position = 0; // in the run's list, from 1
    QString document;
    Outcome outcome = Outcome::Converted;
    int pageCount = 0;      // the probe's page count; 0 when unknown
    int imagesWritten = 0;  // images placed beside the document by this run
    QList<int> missingPages;
    QString reason;         // empty for Converted and UpToDate
    double seconds = 0;     // from taking the document up to its end
};

// Watches a run as it goes, for progress and reports. Every call comes from
// the run's own thread, as things happen (several documents may be under
// way at once), not in list order.
class RunObserver {
public:
    virtual ~RunObserver() = default;
    // The converter has started on the document.
    virtual void documentStarted(int position, const QString &document, int pageCount)
    {
        Q_UNUSED(position); Q_UNUSED(document); Q_UNUSED(pageCount);
    }
    // New page images arrived in the document's staging slot: their page
    // numbers, and how many have arrived so far.
    virtual void pagesArrived(int position, const QList<int> &pages, int arrived)
    {
        Q_UNUSED(position); Q_UNUSED(pages); Q_UNUSED(arrived);
    }
    virtual void documentEnded(const DocumentEnd &end) { Q_UNUSED(end); }
    // Asked between steps: true ends the run early, its companions ended and
    // its staging slots cleared.
    virtual bool stopRequested() const { return false; }
};

// Hands every call on to several observers, in the order they were added;
// the run stops when any of them asks.
class RunObservers final : public RunObserver {
public:
    void add(RunObserver *observer)
    {
        if (observer)
            observers_ << observer;
    }
    void documentStarted(int position, const QString &document, int pageCount) override
    {
        for (RunObserver *o : observers_)
            o->documentStarted(position, document, pageCount);
    }
    void pagesArrived(int position, const QList<int> &pages, int arrived) override
    {
        for (RunObserver *o : observers_)
            o->pagesArrived(position, pages, arrived);
    }
    void documentEnded(const DocumentEnd &end) override
    {
        for (RunObserver *o : observers_)
            o->documentEnded(end);
    }
    bool stopRequested() const override
    {
        for (const RunObserver *o : observers_)
            if (o->stopRequested())
                return true;
        return false;
    }

private:
    QList<RunObserver *> observers_;
};
