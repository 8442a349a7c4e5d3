#include "render/pagemessages.h"

#include <array>
#include <cstdio>

namespace rw {

namespace {

bool contains(std::string_view text, std::string_view part)
{
    return text.find(part) != std::string_view::npos;
}

} // namespace

bool meansLostContent(std::string_view message)
{
    static constexpr std::array<std::string_view, 28> lost{
        "cannot find object",        // a referenced object is not in the file
        "object out of range",       // ... or beyond its cross-reference table
        "cannot load object",        // ... or cannot be parsed where it is said to be
        "cannot parse object",
        "syntax error in object",
        "zlib error",                // scrambled or cut Flate data; also "ignoring
                                     // zlib error": a failed checksum (the bytes are
                                     // known wrong) or a data error at the end
        "premature end of data",     // a stream cut short
        "premature end in",          // (LZW, AES, image formats)
        "premature end of file",
        "syntax error in content stream",
        "unknown keyword",
        "too many syntax errors",
        "cannot load content stream",
        "content stream is not a stream",
        "syntax error in xobject",
        "cannot decode",             // an image that does not decode
        "decode failed",
        "truncated image",
        "padding truncated image",
        "out of range code encountered in lzw decode",
        "resource '",                // a name the page's resources do not define
        "exception stack overflow",  // an engine limit (forms nested too deep)
        // A damaged embedded font: the page would be drawn in a substitute
        // font, or without some of its glyphs.
        "ignored error when loading embedded font",
        "cannot render glyph",
        "FT_New_Memory_Face",
        "FT_Load_Glyph",
        "FT_Render_Glyph",
        "FT_Get_Glyph",
    };
    // Bytes after the end of valid Flate data give no message at all.
    for (std::string_view part : lost)
        if (contains(message, part))
            return true;
    return false;
}

bool meansRepair(std::string_view message)
{
    return contains(message, "repair");
}

PageMessages::PageMessages(fz_context *ctx, bool verbose) : ctx_(ctx), verbose_(verbose)
{
    fz_set_error_callback(ctx_, &PageMessages::onMessage, this);
    fz_set_warning_callback(ctx_, &PageMessages::onMessage, this);
}

PageMessages::~PageMessages()
{
    fz_flush_warnings(ctx_);
    setMessageOutput(ctx_, verbose_);
}

void PageMessages::beginPage(int index)
{
    // A warning held back as a possible repeat belongs to what came before.
    page_ = -1;
    counting_ = false;
    fz_flush_warnings(ctx_);
    lost_.clear();
    repair_.clear();
    page_ = index;
}

void PageMessages::setCounting(bool on)
{
    // A held-back message belongs to the phase it came from; flushed, the
    // same text in the next phase is seen again.
    fz_flush_warnings(ctx_);
    counting_ = on;
}

void PageMessages::endPage()
{
    // MuPDF holds back a message that repeats the previous one; flushed
    // here, the next page's first message of the same text is seen again.
    fz_flush_warnings(ctx_);
    page_ = -1;
    counting_ = false;
}

void PageMessages::onMessage(void *self, const char *message)
{
    static_cast<PageMessages *>(self)->take(message);
}

void PageMessages::take(const char *message)
{
    if (verbose_) {
        if (page_ >= 0)
            std::fprintf(stderr, "mupdf: page %d: %s\n", page_ + 1, message);
        else
            std::fprintf(stderr, "mupdf: %s\n", message);
    }
    if (page_ < 0)
        return;
    // A repair while the page is looked up counts too: the page then comes
    // from a rebuilt structure.
    if (meansRepair(message)) {
        if (repair_.empty())
            repair_ = message;
    } else if (counting_ && lost_.empty() && meansLostContent(message)) {
        lost_ = message;
    }
}

} // namespace rw
