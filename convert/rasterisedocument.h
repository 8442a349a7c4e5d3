#pragma once

#include "convert/pdfcontext.h"

#include <QString>

namespace PDF {

struct RasteriseResult {
    // Set to false when the collection of page images begins and to true
    // before the first image is placed: true when the converter left at
    // least one image.
    bool pagesCreated = false;
    int pagesWritten = 0; // images placed beside the document
    // A file operation failed, or the converter could not be run; the
    // document counts as failed even when some pages were placed.
    bool failed = false;
    QString problem; // one line on what went wrong, for logs

    bool succeeded() const { return pagesCreated && !failed; }
};

// Converts one document into "<path less extension>-001.jpg", ... beside it,
// through the staging folder and the converter script. Every failure is
// turned into the result; the staging folder is left without staged copy and
// page images in every case it can be cleaned.
RasteriseResult RasteriseDocument(Context &context, const QString &documentPath);

// The output file for a page: "/d/report.pdf", 1 gives "/d/report-001.jpg";
// page 1000 gives "-1000".
QString outputName(const QString &documentPath, int page);

} // namespace PDF
