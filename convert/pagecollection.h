#pragma once

#include <QList>
#include <QString>
#include <QStringList>

#include <functional>
#include <optional>

namespace Platform {
class FolderHandle;
}

namespace PDF {

// The page number an image name carries: the last run of digits before the
// extension ("current-007.jpg" gives 7, "current12.jpg" 12); 0 when there is
// none.
int pageNumberOf(const QString &imageName);

// True for the name of a page the renderer found only in file order
// ("current-recovered-003.jpg"): its number is its place in the file, not a
// page number.
bool isRecoveredImage(const QString &imageName);

// How the images of one document are collected.
struct CollectOptions {
    int pageCount = 0;       // the document's pages; 0: not known (the highest page that arrived)
    bool recover = false;    // keep pages found only in file order, as "-recovered-NNN"
    unsigned mode = 0644;    // every image's mode
    // Called after each page-numbered image is placed (tests use it to
    // change the folder between two pages); may be empty.
    std::function<void(int page)> afterPage = {};
    QString extension = QStringLiteral("jpg"); // the images' format: "jpg" or "png"
    // Only these pages were asked for (ascending, none past pageCount): only
    // they can be missing. Empty: every page of the document.
    std::optional<QList<int>> wanted = std::nullopt;
};

// What collecting a converter's images gave.
struct Collection {
    QList<int> placed;     // page numbers now beside the document, ascending
    QList<int> recovered;  // file-order numbers of the recovered pages kept
    QList<int> missing;    // pages of the document that did not arrive
    QStringList problems;  // images that could not be placed, one line each
    QStringList notes;     // what else was done: older images removed, recovered pages left out
};

// Moves every page image ("current*.jpg", or .png) of the staging folder into the
// document's folder (opened once, `folder`), each to the image name of the
// page number its name carries, and removes what cannot be placed. Only
// plain files are collected. For each missing page, an older image of that
// name (a file or a link, never a folder) is removed, so the folder never
// holds a mixed set.
Collection collectPageImages(const QString &stagingFolder, const Platform::FolderHandle &folder,
                             const QString &stem, const CollectOptions &options);

// The pages up to `last` that are not in `placed`.
QList<int> missingPages(const QList<int> &placed, int last);
// The pages below the highest placed one that did not arrive.
inline QList<int> missingPages(const QList<int> &placed)
{
    return missingPages(placed, 0);
}

// "3", "2, 5-7": page numbers for people.
QString describePages(const QList<int> &pages);

// The image name for a page: "report", 1 gives "report-001.jpg"; page 1000
// gives "-1000". `extension`: "jpg" or "png".
QString imageName(const QString &stem, int page, const QString &extension = QStringLiteral("jpg"));
// The same for a page found only in file order: "report-recovered-001.jpg".
QString recoveredImageName(const QString &stem, int position, const QString &extension = QStringLiteral("jpg"));

// The output file for a page: "/d/report.pdf", 1 gives "/d/report-001.jpg";
// with `folder` ("/out"), "/out/report-001.jpg".
QString outputName(const QString &documentPath, int page, const QString &folder = {},
                   const QString &extension = QStringLiteral("jpg"));

} // namespace PDF
