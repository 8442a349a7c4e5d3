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

// Writes arbitrary bytes to `path` (damaged or non-PDF fixtures).
bool writeBytes(const QString &path, const QByteArray &bytes);

} // namespace PdfFixtures
