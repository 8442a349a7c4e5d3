#pragma once

// Content a page needs that the file no longer holds. MuPDF treats a
// reference to a missing object as null: a page whose content stream was
// cut off a truncated file, or whose image is gone, renders white (or
// without that image) and without an error. The renderer must not pass such
// a page off as rendered, so it looks for the lost part itself.

#include "common/pdfdoc.h"

#include <map>
#include <string>
#include <vector>

namespace rw {

// Checks the page object: it must be in the file (not missing, not free,
// readable) and be a page dictionary. Returns what is wrong ("page object
// 7 0 R is missing from the file"), empty when nothing is.
std::string findLostPage(fz_context *ctx, pdf_document *doc, int pageIndex);

// Checks the page's /Contents: every stream it refers to must exist (not
// missing, not free), be readable and be a stream. No /Contents, or an
// empty stream, is a real blank page and passes. Returns what is lost
// ("content stream 12 0 R is missing"), empty when nothing is.
std::string findLostContents(fz_context *ctx, pdf_document *doc, int pageIndex);

class PageMessages;

// What the pages of one document use, checked page by page, before each
// page runs: every name the page's content (and the forms and tiling
// patterns it draws) uses with Tf, Do, gs, sh, cs/CS or a pattern's
// scn/SCN must be defined in the resources that apply there and lead to an
// object of the right kind that is in the file (not missing, not free,
// readable); so must the objects those lead to (a font's descriptor and
// font program, an image's mask ...). A stream among them whose data runs
// past the end of the file (a cut file) is lost; so is every object kept in
// an object stream that does not decode (a checksum or data error: its
// objects are known to be wrong), and the page whose page tree nodes are.
// MuPDF draws most of these losses without a word: a font it cannot find
// becomes a substitute font, a missing image nothing.
//
// What was found sound is remembered for the document's later pages (a
// font, a form, an object stream is checked once). Not thread-safe: used
// under the document's lock.
class PageNeeds {
public:
    explicit PageNeeds(pdf_document *doc) : doc_(doc) {}

    // What page `pageIndex` has lost, empty when nothing. While an object
    // stream is decoded, `messages` counts (its damage is the page's).
    std::string findLost(fz_context *ctx, int pageIndex, PageMessages &messages);

    // Forgets what was found sound: the file was repaired.
    void forget() { memory_ = {}; }

    struct Memory {
        std::vector<unsigned char> objects;      // by object number, see lostcontent.cpp
        std::vector<signed char> objectStreams;  // 1 sound, -1 damaged, 0 not yet decoded
        std::vector<int> objectStreamMembers;    // objects in each, by the table
        std::map<int, std::string> fontsLost;    // fonts that do not load, and why
    };

private:
    pdf_document *doc_;
    Memory memory_;
};

} // namespace rw
