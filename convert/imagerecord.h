#pragma once

#include "platform/filestamp.h"

#include <QByteArray>
#include <QString>
#include <optional>

// What the renderer records in each page image it writes (a JPEG comment
// right after the JFIF header): the document it was made from, as that
// stood when it was staged, the page, and the output settings. One line of
// ASCII, version 1:
//
//   rasterwell-image/1 page=2 pages=5 r=150 q=90 [sel=1,3-] [long=PX] [gray=1] size=48213
//   mtime=1700000000123456789 ctime=1700000000123456789 dev=2049 ino=1234
//   sha256=<64 hex digits of the staged copy's content>
//
// (one line; broken here). Times are nanoseconds since the epoch; r is
// printed as %.17g, so it reads back as the very number the renderer used.
// The bracketed settings stand only when they were asked for: the pages
// (as PageSelection::text() writes them), the long side in pixels, grey.
// A PNG carries the same line in a tEXt chunk "rasterwell" after its IHDR.
namespace PDF {

struct ImageRecord {
    int page = 0;
    int pages = 0;
    double resolution = 0;
    int quality = 0;
    QString selection; // the pages asked for; empty: every page
    int scaleTo = 0;
    bool gray = false;
    Platform::SourceIdentity source;
    QByteArray sha256; // 32 bytes
};

// How many bytes of an image the record is looked for in.
constexpr int ImageRecordSearchBytes = 4096;

// The record among the first segments of a JPEG, or the first chunks of a
// PNG (`head`: its first bytes);
// nothing when there is none that this version reads. Any bytes may come
// in: an image beside a document may be anyone's.
std::optional<ImageRecord> readImageRecord(const QByteArray &head);

// The value of RASTERWELL_SOURCE, which hands a staged document's identity
// to the renderer ("size=... mtime=... ctime=... dev=... ino=..."): the
// staged copy is another file, and the images must name the document.
QString sourceIdentityText(const Platform::SourceIdentity &identity);

} // namespace PDF
