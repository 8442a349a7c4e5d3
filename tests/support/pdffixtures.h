#pragma once

#include <QByteArray>
#include <QString>

// Small, valid PDF documents written from scratch for tests.
namespace PdfFixtures {

struct PageSpec {
    double widthPt = 612;   // US Letter by default
    double heightPt = 792;
};

// A document of `pages` pages, each showing "Page N" in large type.
QByteArray makePdf(int pages, PageSpec page = {});

// Writes makePdf(...) to `path`; returns false when the file cannot be written.
bool writePdf(const QString &path, int pages, PageSpec page = {});

// The shapes of a four-page document's page tree. The pages are 200, 250,
// 300 and 350 points wide (300 high), each showing "Page N"; their font
// comes from /Resources inherited from the page-tree node above them, so a
// page that loses its place in the tree loses its text too. All shapes
// draw the same four pages; only Intact and TwoLevel are sound.
enum class PageTreeShape {
    Intact,              // one node listing the four pages
    CountTooLow,         // the same, /Count 2
    CountTooHigh,        // the same, /Count 12
    ListsItself,         // the root's /Kids lists the root between pages 2 and 3
    TwoLevel,            // the root lists two nodes of two pages each
    TwoLevelCountTooLow, // the same, the root's /Count 3
    ListsAncestor,       // two levels; the second node lists the root between pages 3 and 4
};
QByteArray makePageTreePdf(PageTreeShape shape);

// Writes arbitrary bytes to `path` (damaged or non-PDF fixtures).
bool writeBytes(const QString &path, const QByteArray &bytes);

} // namespace PdfFixtures
