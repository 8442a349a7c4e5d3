#pragma once

#include "convert/pagecollection.h"
#include "convert/pageselection.h"
#include "convert/pdfcontext.h"
#include "convert/runvariables.h"
#include "platform/folderhandle.h"

#include <QElapsedTimer>
#include <QList>
#include <QSet>
#include <QString>
#include <QStringList>

#include <optional>

namespace PDF {

struct RasteriseResult {
    // Set to false when the collection of page images begins and to true
    // before the first image is placed: true when the converter left at
    // least one image.
    bool pagesCreated = false; // (also true when none of the pages asked for exists)
    int pagesWritten = 0; // images placed beside the document
    // The document is not completely converted: a file operation failed, the
    // converter could not be run, reported a failure, or left pages out. The
    // pages it did write stay beside the document under their numbers.
    bool failed = false;
    QString problem;       // one line on what went wrong
    QList<int> missingPages; // pages of the document that did not arrive
    QList<int> recoveredPages; // file-order numbers of the recovered pages kept
    QStringList messages;  // what the converter said on its error stream
    // Converted although the converter reported a problem (every page is in
    // place): what it reported, passed on with its messages.
    QString note;

    bool succeeded() const { return pagesCreated && !failed; }
};

// One conversion of one document through a staging slot, started and then
// watched without blocking, so several slots can work side by side.
class RasteriseJob {
public:
    // `pageCount`: the document's pages as the probe counted them (0: not
    // known; the highest page that arrives counts then).
    RasteriseJob(Context &context, QString documentPath, int pageCount = 0);
    // With the image settings the run has already worked out for the
    // document (else start() reads them from the script and environment).
    RasteriseJob(Context &context, QString documentPath, int pageCount,
                 RunVariables::ImageSettings settings);

    // Clears the slot, stages the document and starts the converter script.
    // False when the job has already ended (a failure; see result()).
    bool start();
    // True once the job has ended and its pages are collected; ends a
    // converter that has made no progress for too long.
    bool poll();
    const RasteriseResult &result() const { return result_; }
    // Ends a running converter and clears the slot (the run is stopping).
    void abandon();
    // The page numbers of images that arrived in the slot since the last
    // call, ascending (for page progress); once the job has ended, the pages
    // placed that no call has named yet.
    QList<int> newPages();

private:
    void hourglass();
    bool fail(const QString &problem);
    bool clearSlot();
    void finish(int exitCode, const QString &stopped);
    bool progressed();
    QString imagePattern() const;

    Context &context_;
    const StagingSlot &slot_;
    QString document_;
    int pageCount_ = 0;
    Platform::FolderHandle folder_; // the document's folder, opened once
    unsigned imageMode_ = 0644;
    qint64 pid_ = -1;
    int idleLimitMs_ = 0;
    bool done_ = false;
    QElapsedTimer sinceProgress_;
    QElapsedTimer sinceCheck_;
    qint64 progressMark_ = -1;
    QSet<int> seenPages_;
    QList<int> placed_; // pages placed beside the document at the end
    RasteriseResult result_;
    std::optional<RunVariables::ImageSettings> given_;
    RunVariables::ImageSettings settings_; // what the converter makes of the document
    PageSelection selection_;
};

// Converts one document into "<path less extension>-001.jpg", ... beside it,
// through the slot's staging folder and the converter script, and waits for
// it. Each image goes to the number its name carries. Every failure is
// turned into the result; the staging folder is left without staged copy and
// page images in every case it can be cleaned.
RasteriseResult RasteriseDocument(Context &context, const QString &documentPath);
// The same for a document of `pageCount` pages (as the probe counted them).
RasteriseResult RasteriseDocumentOfPages(Context &context, const QString &documentPath, int pageCount);

// Removes what an interrupted conversion may have left in a staging slot:
// the staged copy, page images and partly written files.
bool clearStagingSlot(const StagingSlot &slot);

} // namespace PDF
