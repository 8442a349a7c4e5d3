#pragma once

#include "convert/runobserver.h"
#include "platform/fileops.h"

#include <QFile>
#include <QJsonObject>
#include <QString>
#include <QStringList>
#include <optional>

namespace Cli {

// --report FILE: one compact JSON object per line for each document, written
// and flushed as the document ends, so a run killed at any moment leaves
// only whole lines. Fields: "path" (for people, undecodable bytes as \xNN),
// "path_bytes" (base64 of the exact bytes, only when the path is not valid
// UTF-8), "outcome", "pages" (0: unknown), "images", "missing" (page
// numbers), "reason" (empty when converted) and "seconds"; and "options",
// when the run was given any that shape the images: "resolution",
// "quality", "output", "pages", "scale_to", "gray", "format".
class JsonReport final : public RunObserver {
public:
    // "-" writes to standard output. A file is never one the run reads or
    // may write, nor one that holds anything but a report: the report is
    // refused when its file is one of `documents`, an image name of one of
    // them, a link, a file that is neither empty nor JSON Lines, or (for
    // --watch) a document's or an image's name inside `watchedFolders`.
    // Files are compared by device and inode, so no other path to the same
    // file gets past.
    explicit JsonReport(const QString &target, const QStringList &documents = {},
                        const QStringList &watchedFolders = {});
    // Empty when the report can be written; else why not.
    QString openProblem() const { return openProblem_; }
    // Set once a line could not be written in full.
    QString writeProblem() const { return writeProblem_; }

    void documentEnded(const DocumentEnd &end) override;
    // The report goes to a pipe whose reader has gone: the run stops.
    bool stopRequested() const override { return readerGone_; }
    bool readerGone() const { return readerGone_; }
    // The options every document of the run is converted with (none: no
    // "options" field).
    void setOptions(const QJsonObject &options) { options_ = options; }

    // The object written for one document.
    static QJsonObject toJson(const DocumentEnd &end);
    // "converted", "up-to-date", "protected", "partial", "failed", "refused",
    // "interrupted".
    static QString outcomeName(DocumentEnd::Outcome outcome);

private:
    std::optional<QString> refusal(const std::optional<Platform::FileIdentity> &entry, const QStringList &documents,
                                   const QStringList &watchedFolders) const;

    QFile file_;
    QString target_;
    QString openProblem_;
    QString writeProblem_;
    bool readerGone_ = false;
    QJsonObject options_;
};

} // namespace Cli
