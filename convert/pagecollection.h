#pragma once

#include <QList>
#include <QString>
#include <QStringList>

namespace PDF {

// The page number an image name carries: the last run of digits before the
// extension ("current-007.jpg" gives 7, "current12.jpg" 12); 0 when there is
// none.
int pageNumberOf(const QString &imageName);

// What collecting a converter's images gave.
struct Collection {
    QList<int> placed;     // page numbers now beside the document, ascending
    QStringList problems;  // images that could not be placed, one line each
};

// Moves every page image ("current*.jpg") of the staging folder beside the
// document, each to the output name of the page number its name carries, and
// removes what cannot be placed. Only plain files are collected.
Collection collectPageImages(const QString &stagingFolder, const QString &documentPath);

// The pages below the highest placed one that did not arrive.
QList<int> missingPages(const QList<int> &placed);

// "3", "2, 5-7": page numbers for people.
QString describePages(const QList<int> &pages);

// The output file for a page: "/d/report.pdf", 1 gives "/d/report-001.jpg";
// page 1000 gives "-1000".
QString outputName(const QString &documentPath, int page);

} // namespace PDF
