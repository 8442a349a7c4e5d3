#pragma once

// The record each page image carries of its making, as a JPEG comment
// right after the JFIF header, so that a later run can tell whether the
// image still shows the document as it is (rasterwell --update). The
// format, version 1, is one line of ASCII:
//
//   rasterwell-image/1 page=P pages=N r=DPI q=QUALITY size=BYTES
//   mtime=NS ctime=NS dev=DEVICE ino=INODE sha256=HEX
//
// (one line; broken here): the page of N, the resolution asked for (%.17g)
// and the JPEG quality, then the document as it stood when it was staged:
// its size, modification and change times (nanoseconds since the epoch),
// device and inode, and the SHA-256 digest of the content rendered.

#include "render/settings.h"

#include <cstddef>
#include <string>

namespace rw {

// The document part of the record for the input open at `fd`: its
// identity as `passed` tells it (RASTERWELL_SOURCE, set by Rasterwell for
// its staged copy: "size=... mtime=... ctime=... dev=... ino=...") when
// that names a file of the input's size, else the input's own; and the
// digest of the input's content. Empty when the input cannot be read.
std::string describeSource(int fd, const char *passed);

// The record of page `page` (from 1) of `pages`; empty when the settings
// hold no source.
std::string imageRecord(const RenderSettings &settings, int page, int pages);

// Where the record goes in a JPEG: after its JFIF header, else after the
// start of image; 0 when `jpeg` is no JPEG.
std::size_t recordOffset(const unsigned char *jpeg, std::size_t size);

// The comment segment holding `record` (at most 65533 bytes).
std::string commentSegment(const std::string &record);

// A PNG's record: a tEXt chunk with the keyword "rasterwell", put right
// after the IHDR chunk. Where it goes in `png`: 0 when `png` is no PNG.
std::size_t pngRecordOffset(const unsigned char *png, std::size_t size);
std::string pngTextChunk(const std::string &record);

// Puts the record into the JPEG (or PNG) file at `path` (one pdftoppm wrote).
bool addRecordToFile(const std::string &path, const std::string &record, std::string &error);

} // namespace rw
