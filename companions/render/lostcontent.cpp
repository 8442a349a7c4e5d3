#include "render/lostcontent.h"

#include "render/pagemessages.h"

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <vector>

namespace rw {

namespace {

// Forms nest; deeper chains than this are not followed (MuPDF stops far
// earlier when it renders).
constexpr int kMaxFormDepth = 32;

enum class Ref { Present, Missing, Free, Unreadable, NotStream };

const char *describe(Ref state)
{
    switch (state) {
    case Ref::Missing:
        return "is missing from the file";
    case Ref::Free:
        return "is missing from the file (a free object)";
    case Ref::Unreadable:
        return "cannot be read";
    case Ref::NotStream:
        return "has lost its data (not a stream)";
    case Ref::Present:
        break;
    }
    return "is present";
}

// fz_try blocks live in these small functions: no C++ object with a
// destructor may be alive across them (setjmp/longjmp).

// Where the reference `ref` leads. A direct object is Present (it cannot be
// lost on its own); `mustBeStream` asks for stream data behind it.
Ref tryCheckRef(fz_context *ctx, pdf_document *doc, pdf_obj *ref, bool mustBeStream)
{
    volatile Ref state = Ref::Present;
    fz_try(ctx) {
        if (pdf_is_indirect(ctx, ref)) {
            const int num = pdf_to_num(ctx, ref);
            pdf_xref_entry *entry = num > 0 && num < pdf_xref_len(ctx, doc)
                                        ? pdf_get_xref_entry(ctx, doc, num)
                                        : nullptr;
            if (!entry || entry->type == 0) {
                state = Ref::Missing;
            } else if (entry->type == 'f') {
                state = Ref::Free;
            } else {
                // Throws when the object cannot be parsed where the xref says.
                pdf_obj *obj = pdf_load_object(ctx, doc, num);
                const bool null = pdf_is_null(ctx, obj);
                pdf_drop_obj(ctx, obj);
                if (null)
                    state = Ref::Missing;
                else if (mustBeStream && !pdf_is_stream(ctx, ref))
                    state = Ref::NotStream;
            }
        }
    }
    fz_catch(ctx)
        state = Ref::Unreadable;
    return state;
}

void describeRef(fz_context *ctx, const char *what, pdf_obj *ref, Ref state, char *out,
                 std::size_t size)
{
    std::snprintf(out, size, "%s %d 0 R %s", what, pdf_to_num(ctx, ref), describe(state));
}

// /Contents: absent, null or an empty array is no content; otherwise every
// stream named must be there.
void tryFindLostContents(fz_context *ctx, pdf_document *doc, int pageIndex, char *out,
                         std::size_t size)
{
    fz_try(ctx) {
        pdf_obj *page = pdf_lookup_page_obj(ctx, doc, pageIndex);
        pdf_obj *contents = pdf_dict_get(ctx, page, PDF_NAME(Contents));
        const Ref arrayState = tryCheckRef(ctx, doc, contents, false);
        if (contents && arrayState != Ref::Present) {
            describeRef(ctx, "content stream", contents, arrayState, out, size);
        } else if (pdf_is_array(ctx, contents)) {
            const int n = pdf_array_len(ctx, contents);
            for (int i = 0; i < n && !out[0]; ++i) {
                pdf_obj *part = pdf_array_get(ctx, contents, i);
                const Ref state = tryCheckRef(ctx, doc, part, true);
                if (state != Ref::Present)
                    describeRef(ctx, "content stream", part, state, out, size);
            }
        } else if (pdf_is_indirect(ctx, contents)) {
            const Ref state = tryCheckRef(ctx, doc, contents, true);
            if (state != Ref::Present)
                describeRef(ctx, "content stream", contents, state, out, size);
        }
    }
    fz_catch(ctx) {
        // The page itself cannot be found: loading it reports that.
    }
}

// --- what a page's content uses ----------------------------------------------

// Bits of PageNeeds::Memory::objects.
constexpr unsigned char kSound = 1;   // the object and what it leads to are there
constexpr unsigned char kScanned = 2; // a form or pattern with resources of its own: its
                                      // content's names resolve
constexpr unsigned char kVisiting = 4; // being checked (a loop leads back to it)
constexpr unsigned char kLoaded = 8;   // a font that loads without a word

// Objects below an object a page uses are followed this deep.
constexpr int kMaxObjectDepth = 12;

// The resource categories content operators name.
enum class Kind { Any, Font, XObject, ExtGState, Shading, ColorSpace, Pattern };

const char *categoryName(Kind kind)
{
    switch (kind) {
    case Kind::Font:
        return "font";
    case Kind::XObject:
        return "XObject";
    case Kind::ExtGState:
        return "graphics state";
    case Kind::Shading:
        return "shading";
    case Kind::ColorSpace:
        return "colour space";
    case Kind::Pattern:
        return "pattern";
    case Kind::Any:
        break;
    }
    return "object";
}

pdf_obj *categoryKey(Kind kind)
{
    switch (kind) {
    case Kind::Font:
        return PDF_NAME(Font);
    case Kind::XObject:
        return PDF_NAME(XObject);
    case Kind::ExtGState:
        return PDF_NAME(ExtGState);
    case Kind::Shading:
        return PDF_NAME(Shading);
    case Kind::ColorSpace:
        return PDF_NAME(ColorSpace);
    case Kind::Pattern:
        return PDF_NAME(Pattern);
    case Kind::Any:
        break;
    }
    return nullptr;
}

// True when `ref` (`obj` resolved) is what a name of `kind` must lead to.
bool rightKind(fz_context *ctx, pdf_obj *ref, pdf_obj *obj, Kind kind)
{
    switch (kind) {
    case Kind::Font:
    case Kind::ExtGState:
        return pdf_is_dict(ctx, obj);
    case Kind::XObject: {
        // An image, a form or (ignored by every reader) PostScript.
        pdf_obj *subtype = pdf_dict_get(ctx, obj, PDF_NAME(Subtype));
        return pdf_is_stream(ctx, ref)
               && (pdf_name_eq(ctx, subtype, PDF_NAME(Image))
                   || pdf_name_eq(ctx, subtype, PDF_NAME(Form))
                   || pdf_name_eq(ctx, subtype, PDF_NAME(PS)));
    }
    case Kind::Shading:
    case Kind::Pattern:
        return pdf_is_dict(ctx, obj); // a stream's dictionary is a dictionary too
    case Kind::ColorSpace:
        return pdf_is_array(ctx, obj) || pdf_is_name(ctx, obj);
    case Kind::Any:
        break;
    }
    return true;
}

// Keys below which nothing is drawn (or that lead elsewhere: the parent,
// another page): not followed.
bool followed(fz_context *ctx, pdf_obj *key)
{
    static const char *const skipped[] = {
        "Parent",        "P",      "Metadata", "ToUnicode", "PieceInfo", "StructParent",
        "StructParents", "Thumb",  "Resources", "Annots",   "B",         "Dest",
        "A",             "AA",     "Length",
    };
    const char *name = pdf_to_name(ctx, key);
    for (const char *skip : skipped)
        if (std::strcmp(name, skip) == 0)
            return false;
    return true;
}

// One page being checked.
struct Needs {
    fz_context *ctx;
    pdf_document *doc;
    PageNeeds::Memory &memory;
    PageMessages &messages;
    char *out; // what is lost; empty while nothing is
    std::size_t size;
    // The streams below the name being checked are decoded once: MuPDF
    // keeps a font, an image or a shading it decoded for later pages, and
    // says what was wrong with its data only on the first.
    bool decode = false;

    bool lost() const { return out[0] != '\0'; }
    unsigned char &bits(int num) { return memory.objects[std::size_t(num)]; }
};

// 1: object stream `num` decodes and lists the `members` objects the
// cross-reference table places in it; -1: it does not. Messages count
// meanwhile (see objectStreamSound).
int tryDecodeObjectStream(fz_context *ctx, pdf_document *doc, int num, int members,
                          std::vector<int> &numbers)
{
    fz_buffer *volatile data = nullptr;
    volatile int verdict = -1;
    fz_try(ctx) {
        pdf_obj *dict = pdf_load_object(ctx, doc, num);
        const int count = pdf_dict_get_int(ctx, dict, PDF_NAME(N));
        const int first = pdf_dict_get_int(ctx, dict, PDF_NAME(First));
        pdf_drop_obj(ctx, dict);
        data = pdf_load_stream_number(ctx, doc, num);
        unsigned char *bytes = nullptr;
        const std::size_t length = fz_buffer_storage(ctx, data, &bytes);
        // The header: `count` pairs of object number and offset.
        numbers.clear();
        std::size_t at = 0;
        bool sound = count >= 0 && first >= 0 && std::size_t(first) <= length;
        for (int i = 0; sound && i < 2 * count; ++i) {
            while (at < length && (bytes[at] == ' ' || bytes[at] == '\n' || bytes[at] == '\r'
                                   || bytes[at] == '\t' || bytes[at] == '\f' || bytes[at] == 0))
                ++at;
            long value = -1;
            while (at < length && bytes[at] >= '0' && bytes[at] <= '9' && value < 1000000000) {
                value = (value < 0 ? 0 : value * 10) + (bytes[at] - '0');
                ++at;
            }
            if (value < 0 || at > std::size_t(first))
                sound = false;
            else if (i % 2 == 0)
                numbers.push_back(int(value));
            else if (std::size_t(value) > length - std::size_t(first))
                sound = false;
        }
        // Every object the cross-reference table places in this stream is
        // listed in its header.
        int listed = 0;
        const int xrefLength = pdf_xref_len(ctx, doc);
        for (int obj : numbers) {
            pdf_xref_entry *entry =
                obj > 0 && obj < xrefLength ? pdf_get_xref_entry(ctx, doc, obj) : nullptr;
            if (entry && entry->type == 'o' && entry->ofs == num)
                ++listed;
        }
        if (listed < members)
            sound = false;
        verdict = sound ? 1 : -1;
    }
    fz_always(ctx)
        fz_drop_buffer(ctx, data);
    fz_catch(ctx)
        verdict = -1;
    return verdict;
}

// How many objects the cross-reference table places in each object stream,
// by the stream's number.
void tryCountObjectStreamMembers(fz_context *ctx, pdf_document *doc, std::vector<int> &members)
{
    fz_try(ctx) {
        const int length = pdf_xref_len(ctx, doc);
        members.assign(std::size_t(std::max(length, 1)), 0);
        for (int obj = 1; obj < length; ++obj) {
            pdf_xref_entry *entry = pdf_get_xref_entry(ctx, doc, obj);
            if (entry && entry->type == 'o' && entry->ofs > 0 && entry->ofs < length)
                ++members[std::size_t(entry->ofs)];
        }
    }
    fz_catch(ctx) {
        // Unknown: each stream must then list at least nothing.
    }
}

// Whether object stream `num` is sound; decoded once per document.
bool objectStreamSound(Needs &needs, int num)
{
    std::vector<signed char> &known = needs.memory.objectStreams;
    if (num <= 0 || std::size_t(num) >= known.size())
        return false;
    if (known[std::size_t(num)] == 0) {
        // A checksum that fails is only a warning: it counts like one
        // during the page's run.
        needs.messages.setCounting(true);
        std::vector<int> &members = needs.memory.objectStreamMembers;
        if (members.empty())
            tryCountObjectStreamMembers(needs.ctx, needs.doc, members);
        std::vector<int> numbers;
        int verdict = tryDecodeObjectStream(
            needs.ctx, needs.doc, num,
            std::size_t(num) < members.size() ? members[std::size_t(num)] : 0, numbers);
        needs.messages.setCounting(false);
        if (!needs.messages.lost().empty())
            verdict = -1;
        known[std::size_t(num)] = static_cast<signed char>(verdict);
    }
    return known[std::size_t(num)] > 0;
}

// True when stream object `num`'s data runs past the end of the file: its
// /Length reaches beyond it, or no "endstream" follows the data anywhere
// (a cut file; MuPDF reads what is there, and a cut JBIG2 image, for one,
// decodes without a word).
bool tryStreamIsCut(fz_context *ctx, pdf_document *doc, int num, pdf_obj *stream)
{
    volatile bool cut = false;
    fz_try(ctx) {
        pdf_xref_entry *entry = pdf_get_xref_entry(ctx, doc, num);
        const std::int64_t size = doc->file_size;
        if (entry && entry->type == 'n' && !entry->stm_buf && entry->stm_ofs > 0 && size > 0
            && pdf_is_stream(ctx, stream)) { // `stream`: a reference
            const std::int64_t length =
                pdf_to_int64(ctx, pdf_dict_get(ctx, stream, PDF_NAME(Length)));
            const std::int64_t end = entry->stm_ofs + std::max<std::int64_t>(length, 0);
            if (end > size) {
                cut = true;
            } else {
                // "endstream" right after the data, or (a wrong /Length)
                // somewhere after its start.
                static const char keyword[] = "endstream";
                const std::size_t keywordLength = sizeof keyword - 1;
                unsigned char window[4096];
                std::int64_t at = end;
                bool found = false;
                bool retried = false;
                std::size_t carried = 0;
                fz_seek(ctx, doc->file, at, SEEK_SET);
                for (;;) {
                    const std::size_t n = fz_read(ctx, doc->file, window + carried,
                                                  sizeof window - carried);
                    const std::size_t have = carried + n;
                    for (std::size_t i = 0; i + keywordLength <= have && !found; ++i)
                        found = std::memcmp(window + i, keyword, keywordLength) == 0;
                    if (found)
                        break;
                    if (n == 0) {
                        if (retried)
                            break;
                        // Not after the data: the /Length may be too long.
                        retried = true;
                        carried = 0;
                        fz_seek(ctx, doc->file, entry->stm_ofs, SEEK_SET);
                        continue;
                    }
                    carried = std::min(have, keywordLength - 1);
                    std::memmove(window, window + have - carried, carried);
                }
                cut = !found;
            }
        }
    }
    fz_catch(ctx)
        cut = false;
    return cut;
}

// True when the stream's filters end in an image codec (JPEG, JPEG 2000,
// JBIG2, CCITT): those decode only while the page is drawn.
bool tryEndsInImageCodec(fz_context *ctx, pdf_obj *dict)
{
    volatile bool codec = false;
    fz_try(ctx) {
        pdf_obj *filter = pdf_dict_get(ctx, dict, PDF_NAME(Filter));
        if (pdf_is_array(ctx, filter))
            filter = pdf_array_get(ctx, filter, pdf_array_len(ctx, filter) - 1);
        static const char *const codecs[] = {"DCTDecode",   "DCT",            "JPXDecode",
                                             "JBIG2Decode", "CCITTFaxDecode", "CCF"};
        const char *name = pdf_to_name(ctx, filter);
        for (const char *c : codecs)
            if (std::strcmp(name, c) == 0)
                codec = true;
    }
    fz_catch(ctx)
        codec = true;
    return codec;
}

// Decodes stream `num` through its filters (a failed checksum, a data
// error, data cut short are messages that count); false when it throws.
bool tryDecodeStream(fz_context *ctx, pdf_document *doc, int num)
{
    fz_stream *volatile stm = nullptr;
    volatile bool decoded = true;
    fz_try(ctx) {
        stm = pdf_open_stream_number(ctx, doc, num);
        while (fz_skip(ctx, stm, 1 << 16) > 0) {
        }
    }
    fz_always(ctx)
        fz_drop_stream(ctx, stm);
    fz_catch(ctx)
        decoded = false;
    return decoded;
}

// Whether stream `num` (dictionary `dict`), below a name whose objects
// MuPDF keeps for later pages, decodes without a word.
bool streamDecodes(Needs &needs, int num, pdf_obj *dict)
{
    fz_context *ctx = needs.ctx;
    if (!needs.decode || !pdf_dict_get(ctx, dict, PDF_NAME(Filter))
        || pdf_name_eq(ctx, pdf_dict_get(ctx, dict, PDF_NAME(Subtype)), PDF_NAME(Form))
        || tryEndsInImageCodec(ctx, dict))
        return true;
    needs.messages.setCounting(true);
    const bool decoded = tryDecodeStream(ctx, needs.doc, num);
    needs.messages.setCounting(false);
    return decoded && needs.messages.lost().empty();
}

bool checkObject(Needs &needs, pdf_obj *obj, const char *what, Kind kind, int depth);

// Follows what the dictionary or array `obj` (direct) leads to.
bool checkChildren(Needs &needs, pdf_obj *obj, const char *what, int depth)
{
    fz_context *ctx = needs.ctx;
    if (depth >= kMaxObjectDepth)
        return true;
    if (pdf_is_dict(ctx, obj)) {
        const int n = pdf_dict_len(ctx, obj);
        for (int i = 0; i < n; ++i) {
            pdf_obj *key = pdf_dict_get_key(ctx, obj, i);
            if (!followed(ctx, key))
                continue;
            pdf_obj *value = pdf_dict_get_val(ctx, obj, i);
            if ((pdf_is_indirect(ctx, value) || pdf_is_dict(ctx, value)
                 || pdf_is_array(ctx, value))
                && !checkObject(needs, value, what, Kind::Any, depth + 1))
                return false;
        }
    } else if (pdf_is_array(ctx, obj)) {
        // An ICC profile whose data cannot be read gives way to its
        // alternate colour space, by design; the profile's stream must be
        // there all the same.
        if (pdf_name_eq(ctx, pdf_array_get(ctx, obj, 0), PDF_NAME(ICCBased))) {
            pdf_obj *profile = pdf_array_get(ctx, obj, 1);
            const Ref state = tryCheckRef(ctx, needs.doc, profile, true);
            if (state == Ref::Present)
                return true;
            char named[360];
            fz_strlcpy(named, what, sizeof named);
            if (char *below = std::strstr(named, ": object"))
                *below = '\0';
            fz_strlcat(named, ": ICC profile", sizeof named);
            describeRef(ctx, named, profile, state, needs.out, needs.size);
            return false;
        }
        const int n = pdf_array_len(ctx, obj);
        for (int i = 0; i < n; ++i) {
            pdf_obj *value = pdf_array_get(ctx, obj, i);
            if ((pdf_is_indirect(ctx, value) || pdf_is_dict(ctx, value)
                 || pdf_is_array(ctx, value))
                && !checkObject(needs, value, what, Kind::Any, depth + 1))
                return false;
        }
    }
    return true;
}

// Checks `obj` (`what`, for the message) and what it leads to: it must be
// in the file, outside damaged object streams, of the right kind, and a
// stream's data must be whole. False (with `out` set) when lost.
bool checkObject(Needs &needs, pdf_obj *obj, const char *what, Kind kind, int depth)
{
    fz_context *ctx = needs.ctx;
    if (!pdf_is_indirect(ctx, obj)) {
        if (!rightKind(ctx, obj, obj, kind)) {
            std::snprintf(needs.out, needs.size, "%s is not a valid %s", what, categoryName(kind));
            return false;
        }
        return checkChildren(needs, obj, what, depth);
    }
    const int num = pdf_to_num(ctx, obj);
    if (num > 0 && std::size_t(num) < needs.memory.objects.size()
        && (needs.bits(num) & (kSound | kVisiting)))
        return true;
    const Ref state = tryCheckRef(ctx, needs.doc, obj, false);
    // Below the named object: "font /F1: object 12 0 R is missing ...".
    char below[360];
    if (depth > 0 && depth < kMaxObjectDepth && !std::strstr(what, ": object")) {
        std::snprintf(below, sizeof below, "%s: object", what);
        what = below;
    }
    if (state != Ref::Present) {
        describeRef(ctx, what, obj, state, needs.out, needs.size);
        return false;
    }
    if (num <= 0 || std::size_t(num) >= needs.memory.objects.size())
        return true;
    pdf_xref_entry *entry = pdf_get_xref_entry_no_null(ctx, needs.doc, num);
    if (entry->type == 'o' && !objectStreamSound(needs, int(entry->ofs))) {
        std::snprintf(needs.out, needs.size,
                      "%s %d 0 R is kept in object stream %d 0 R, which is damaged", what, num,
                      int(entry->ofs));
        return false;
    }
    pdf_obj *resolved = pdf_resolve_indirect(ctx, obj);
    if (!rightKind(ctx, obj, resolved, kind)) {
        std::snprintf(needs.out, needs.size, "%s %d 0 R is not a valid %s", what, num,
                      categoryName(kind));
        return false;
    }
    if (pdf_is_stream(ctx, obj) && tryStreamIsCut(ctx, needs.doc, num, obj)) {
        std::snprintf(needs.out, needs.size,
                      "%s %d 0 R is cut off: its data runs to the end of the file", what, num);
        return false;
    }
    if (pdf_is_stream(ctx, obj) && !streamDecodes(needs, num, resolved)) {
        std::snprintf(needs.out, needs.size, "%s %d 0 R does not decode%s%s", what, num,
                      needs.messages.lost().empty() ? "" : ": ",
                      needs.messages.lost().c_str());
        return false;
    }
    needs.bits(num) |= kVisiting;
    const bool sound = checkChildren(needs, resolved, what, depth);
    needs.bits(num) &= static_cast<unsigned char>(~kVisiting);
    if (sound)
        needs.bits(num) |= kSound;
    return sound;
}

void scanContent(Needs &needs, fz_stream *stm, pdf_obj *resources, int depth);
void checkName(Needs &needs, pdf_obj *resources, Kind kind, const char *name, int depth);

// Scans the content of form or tiling pattern `obj` (checked already) with
// its own resources, else with `inherited`.
void tryScanNested(Needs &needs, pdf_obj *obj, pdf_obj *inherited, int depth)
{
    fz_context *ctx = needs.ctx;
    fz_stream *volatile stm = nullptr;
    fz_try(ctx) {
        pdf_obj *own = pdf_dict_get(ctx, obj, PDF_NAME(Resources));
        stm = pdf_open_stream(ctx, obj);
        scanContent(needs, stm, own ? own : inherited, depth + 1);
    }
    fz_always(ctx)
        fz_drop_stream(ctx, stm);
    fz_catch(ctx) {
        // Content that does not decode is the renderer's to report.
    }
}

// A form or tiling pattern: its content's names are checked too.
void scanNested(Needs &needs, pdf_obj *obj, pdf_obj *inherited, int depth)
{
    fz_context *ctx = needs.ctx;
    if (depth >= kMaxFormDepth || !pdf_is_stream(ctx, obj))
        return;
    const int num = pdf_to_num(ctx, obj);
    const bool own = pdf_dict_get(ctx, obj, PDF_NAME(Resources)) != nullptr;
    const bool remembered = num > 0 && std::size_t(num) < needs.memory.objects.size();
    // With resources of its own a form resolves the same on every page.
    if (own && remembered && (needs.bits(num) & (kScanned | kVisiting)))
        return;
    if (remembered)
        needs.bits(num) |= kVisiting;
    tryScanNested(needs, obj, inherited, depth);
    if (remembered) {
        needs.bits(num) &= static_cast<unsigned char>(~kVisiting);
        if (own && !needs.lost())
            needs.bits(num) |= kScanned;
    }
}

// Loads font `font` as the page will (MuPDF keeps it for later pages): an
// embedded font that does not load is drawn in a substitute font, and says
// so only the first time. Throws as MuPDF does.
void tryLoadFont(fz_context *ctx, pdf_document *doc, pdf_obj *resources, pdf_obj *font)
{
    pdf_font_desc *loaded = pdf_load_font(ctx, doc, resources, font);
    pdf_drop_font(ctx, loaded);
}

bool tryLoadFontCaught(fz_context *ctx, pdf_document *doc, pdf_obj *resources, pdf_obj *font,
                       char *error, std::size_t size)
{
    volatile bool loaded = true;
    fz_try(ctx)
        tryLoadFont(ctx, doc, resources, font);
    fz_catch(ctx) {
        fz_strlcpy(error, fz_caught_message(ctx), size);
        loaded = false;
    }
    return loaded;
}

// Whether the font `ref` (`what`) loads without a word; what it said is
// remembered for the document's later pages.
void fontLoads(Needs &needs, pdf_obj *resources, pdf_obj *ref, const char *what)
{
    fz_context *ctx = needs.ctx;
    const int num = pdf_is_indirect(ctx, ref) ? pdf_to_num(ctx, ref) : 0;
    const bool remembered = num > 0 && std::size_t(num) < needs.memory.objects.size();
    if (remembered && (needs.bits(num) & kLoaded))
        return;
    if (remembered) {
        const auto known = needs.memory.fontsLost.find(num);
        if (known != needs.memory.fontsLost.end()) {
            fz_strlcpy(needs.out, known->second.c_str(), needs.size);
            return;
        }
    }
    char error[256] = "";
    needs.messages.setCounting(true);
    const bool loaded = tryLoadFontCaught(ctx, needs.doc, resources, ref, error, sizeof error);
    needs.messages.setCounting(false);
    if (loaded && needs.messages.lost().empty()) {
        if (remembered)
            needs.bits(num) |= kLoaded;
        return;
    }
    std::snprintf(needs.out, needs.size, "%s does not load: %s", what,
                  loaded ? needs.messages.lost().c_str() : error);
    if (remembered)
        needs.memory.fontsLost.emplace(num, needs.out);
}

// A font whose name says it is an embedded subset ("ABCDEF+Name") but whose
// descriptor leads to no font program: its entries were damaged, and MuPDF
// would draw it in a substitute font without a word.
bool lostFontProgram(fz_context *ctx, pdf_obj *font)
{
    if (pdf_name_eq(ctx, pdf_dict_get(ctx, font, PDF_NAME(Subtype)), PDF_NAME(Type0)))
        font = pdf_array_get(ctx, pdf_dict_get(ctx, font, PDF_NAME(DescendantFonts)), 0);
    const char *name = pdf_to_name(ctx, pdf_dict_get(ctx, font, PDF_NAME(BaseFont)));
    for (int i = 0; i < 6; ++i)
        if (name[i] < 'A' || name[i] > 'Z')
            return false;
    if (name[6] != '+')
        return false;
    pdf_obj *descriptor = pdf_dict_get(ctx, font, PDF_NAME(FontDescriptor));
    return !pdf_dict_get(ctx, descriptor, PDF_NAME(FontFile))
           && !pdf_dict_get(ctx, descriptor, PDF_NAME(FontFile2))
           && !pdf_dict_get(ctx, descriptor, PDF_NAME(FontFile3));
}

// An image (not a mask, not JPEG 2000, which carries its own) without the
// colour space it must name: a damaged dictionary, which MuPDF draws in a
// guessed one.
bool lacksColourSpace(fz_context *ctx, pdf_obj *xobject)
{
    if (!pdf_name_eq(ctx, pdf_dict_get(ctx, xobject, PDF_NAME(Subtype)), PDF_NAME(Image))
        || pdf_dict_get(ctx, xobject, PDF_NAME(ColorSpace))
        || pdf_to_bool(ctx, pdf_dict_get(ctx, xobject, PDF_NAME(ImageMask))))
        return false;
    pdf_obj *filter = pdf_dict_get(ctx, xobject, PDF_NAME(Filter));
    if (pdf_is_array(ctx, filter))
        filter = pdf_array_get(ctx, filter, pdf_array_len(ctx, filter) - 1);
    return !pdf_name_eq(ctx, filter, PDF_NAME(JPXDecode));
}

bool isDeviceColourSpace(const char *name)
{
    return std::strcmp(name, "DeviceGray") == 0 || std::strcmp(name, "DeviceRGB") == 0
           || std::strcmp(name, "DeviceCMYK") == 0 || std::strcmp(name, "Pattern") == 0
           || std::strcmp(name, "G") == 0 || std::strcmp(name, "RGB") == 0
           || std::strcmp(name, "CMYK") == 0;
}

// The name `name` of category `kind` that the content uses.
void checkName(Needs &needs, pdf_obj *resources, Kind kind, const char *name, int depth)
{
    fz_context *ctx = needs.ctx;
    if (kind == Kind::ColorSpace && isDeviceColourSpace(name))
        return;
    char what[320];
    pdf_obj *category = pdf_dict_get(ctx, resources, categoryKey(kind));
    if (category
        && !checkObject(needs, category, "resource dictionary", Kind::Any, kMaxObjectDepth))
        return;
    pdf_obj *ref = pdf_dict_gets(ctx, category, name);
    if (!ref) {
        std::snprintf(needs.out, needs.size, "%s /%s is not in the resources", categoryName(kind),
                      name);
        return;
    }
    std::snprintf(what, sizeof what, "%s /%s", categoryName(kind), name);
    // (A font's streams are decoded as it is loaded, below.)
    needs.decode = kind == Kind::XObject || kind == Kind::Shading || kind == Kind::Pattern;
    const bool sound = checkObject(needs, ref, what, kind, 0);
    needs.decode = false;
    if (!sound)
        return;
    pdf_obj *obj = pdf_resolve_indirect(ctx, ref);
    if (kind == Kind::Font) {
        if (lostFontProgram(ctx, obj))
            std::snprintf(needs.out, needs.size,
                          "%s names an embedded subset but has no font program", what);
        else
            fontLoads(needs, resources, ref, what);
        return;
    }
    if (kind == Kind::XObject && lacksColourSpace(ctx, obj)) {
        std::snprintf(needs.out, needs.size, "%s is an image without a colour space", what);
        return;
    }
    if (kind == Kind::XObject
        && pdf_name_eq(ctx, pdf_dict_get(ctx, obj, PDF_NAME(Subtype)), PDF_NAME(Form)))
        scanNested(needs, obj, resources, depth);
    else if (kind == Kind::Pattern && pdf_dict_get_int(ctx, obj, PDF_NAME(PatternType)) == 1)
        scanNested(needs, obj, resources, depth);
}

bool isSpace(unsigned char c)
{
    return c == ' ' || c == '\n' || c == '\r' || c == '\t' || c == '\f' || c == '\0';
}

bool isDelimiter(unsigned char c)
{
    return c == '(' || c == ')' || c == '<' || c == '>' || c == '[' || c == ']' || c == '{'
           || c == '}' || c == '/' || c == '%';
}

int hexValue(unsigned char c)
{
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

// Where the inline image data starting at `at` (after "ID" and its space)
// ends: after "EI" between white space (or the end).
std::size_t skipInlineImage(const unsigned char *data, std::size_t n, std::size_t at)
{
    for (std::size_t i = at; i + 1 < n; ++i)
        if (data[i] == 'E' && data[i + 1] == 'I' && (i == at || isSpace(data[i - 1]))
            && (i + 2 == n || isSpace(data[i + 2]) || isDelimiter(data[i + 2])))
            return i + 2;
    return n;
}

// Scans decoded content for the operators that name resources. Only the
// tokens' kinds matter: a name, another operand, or an operator.
void scanBytes(Needs &needs, const unsigned char *data, std::size_t n, pdf_obj *resources,
               int depth)
{
    char name[256] = "";
    // Operands since the last name: a font name comes before the size;
    // the other names are the last operand.
    int sinceName = -1;
    std::size_t i = 0;
    while (i < n && !needs.lost()) {
        const unsigned char c = data[i];
        if (isSpace(c)) {
            ++i;
        } else if (c == '%') {
            while (i < n && data[i] != '\n' && data[i] != '\r')
                ++i;
        } else if (c == '(') {
            int nesting = 1;
            for (++i; i < n && nesting > 0; ++i) {
                if (data[i] == '\\')
                    ++i;
                else if (data[i] == '(')
                    ++nesting;
                else if (data[i] == ')')
                    --nesting;
            }
            sinceName += sinceName >= 0;
        } else if (c == '<' && i + 1 < n && data[i + 1] == '<') {
            i += 2;
            sinceName += sinceName >= 0;
        } else if (c == '<') {
            while (i < n && data[i] != '>')
                ++i;
            ++i;
            sinceName += sinceName >= 0;
        } else if (c == '/') {
            std::size_t length = 0;
            for (++i; i < n && !isSpace(data[i]) && !isDelimiter(data[i]); ++i) {
                int value = data[i];
                if (data[i] == '#' && i + 2 < n && hexValue(data[i + 1]) >= 0
                    && hexValue(data[i + 2]) >= 0) {
                    value = hexValue(data[i + 1]) * 16 + hexValue(data[i + 2]);
                    i += 2;
                }
                if (length + 1 < sizeof name)
                    name[length++] = char(value);
            }
            name[length] = '\0';
            sinceName = 0;
        } else if (isDelimiter(c)) {
            ++i; // [ ] { } > : not names, not operators
            sinceName += sinceName >= 0;
        } else {
            const std::size_t start = i;
            while (i < n && !isSpace(data[i]) && !isDelimiter(data[i]))
                ++i;
            const std::size_t length = i - start;
            const char *op = reinterpret_cast<const char *>(data + start);
            const auto is = [&](const char *word) {
                return std::strlen(word) == length && std::memcmp(op, word, length) == 0;
            };
            if ((c >= '0' && c <= '9') || c == '-' || c == '+' || c == '.') {
                sinceName += sinceName >= 0; // a number
                continue;
            }
            Kind kind = Kind::Any;
            if (sinceName == 1 && is("Tf"))
                kind = Kind::Font;
            else if (sinceName == 0 && is("Do"))
                kind = Kind::XObject;
            else if (sinceName == 0 && is("gs"))
                kind = Kind::ExtGState;
            else if (sinceName == 0 && is("sh"))
                kind = Kind::Shading;
            else if (sinceName == 0 && (is("cs") || is("CS")))
                kind = Kind::ColorSpace;
            else if (sinceName == 0 && (is("scn") || is("SCN")))
                kind = Kind::Pattern;
            else if (is("ID"))
                i = skipInlineImage(data, n, std::min(n, i + 1));
            else if (is("true") || is("false") || is("null")) {
                sinceName += sinceName >= 0;
                continue;
            }
            if (kind != Kind::Any)
                checkName(needs, resources, kind, name, depth);
            sinceName = -1;
        }
    }
}

// Reads the content of `stm` whole and scans it; throws as MuPDF does.
void scanContent(Needs &needs, fz_stream *stm, pdf_obj *resources, int depth)
{
    fz_context *ctx = needs.ctx;
    fz_buffer *content = fz_read_all(ctx, stm, 4096);
    fz_try(ctx) {
        unsigned char *data = nullptr;
        const std::size_t n = fz_buffer_storage(ctx, content, &data);
        scanBytes(needs, data, n, resources, depth);
    }
    fz_always(ctx)
        fz_drop_buffer(ctx, content);
    fz_catch(ctx)
        fz_rethrow(ctx);
}

// The page's node in the page tree and its ancestors: objects of a damaged
// object stream there put the page's place in doubt.
bool checkAncestors(Needs &needs, pdf_obj *page)
{
    fz_context *ctx = needs.ctx;
    pdf_obj *node = page;
    for (int depth = 0; node && depth < 64; ++depth) {
        if (pdf_is_indirect(ctx, node)) {
            const int num = pdf_to_num(ctx, node);
            pdf_xref_entry *entry = num > 0 && num < pdf_xref_len(ctx, needs.doc)
                                        ? pdf_get_xref_entry(ctx, needs.doc, num)
                                        : nullptr;
            if (entry && entry->type == 'o' && !objectStreamSound(needs, int(entry->ofs))) {
                std::snprintf(needs.out, needs.size,
                              "%s %d 0 R is kept in object stream %d 0 R, which is damaged",
                              depth == 0 ? "page object" : "page tree node", num,
                              int(entry->ofs));
                return false;
            }
        }
        node = pdf_dict_get(ctx, node, PDF_NAME(Parent));
    }
    return true;
}

void tryFindLostResources(Needs &needs, int pageIndex)
{
    fz_context *ctx = needs.ctx;
    fz_stream *volatile stm = nullptr;
    fz_try(ctx) {
        pdf_obj *page = pdf_lookup_page_obj(ctx, needs.doc, pageIndex);
        pdf_obj *resources = pdf_dict_get_inheritable(ctx, page, PDF_NAME(Resources));
        if (checkAncestors(needs, page)
            && (!resources
                || checkObject(needs, resources, "resource dictionary", Kind::Any,
                               kMaxObjectDepth))) {
            pdf_obj *contents = pdf_dict_get(ctx, page, PDF_NAME(Contents));
            const int parts = pdf_is_array(ctx, contents) ? pdf_array_len(ctx, contents) : 1;
            for (int i = 0; i < parts && !needs.lost(); ++i)
                checkObject(needs,
                            pdf_is_array(ctx, contents) ? pdf_array_get(ctx, contents, i)
                                                        : contents,
                            "content stream", Kind::Any, 0);
            if (!needs.lost() && contents) {
                stm = pdf_open_contents_stream(ctx, needs.doc, contents);
                scanContent(needs, stm, resources, 0);
            }
        }
    }
    fz_always(ctx)
        fz_drop_stream(ctx, stm);
    fz_catch(ctx) {
        // A stream that cannot be scanned is left to the renderer: only
        // what is certainly lost fails a page.
    }
}

} // namespace

std::string PageNeeds::findLost(fz_context *ctx, int pageIndex, PageMessages &messages)
{
    const std::size_t objects = std::size_t(std::max(0, objectCount(ctx, doc_))) + 1;
    if (memory_.objects.size() < objects)
        memory_.objects.resize(objects, 0);
    if (memory_.objectStreams.size() < objects)
        memory_.objectStreams.resize(objects, 0);
    char out[400] = "";
    Needs needs{ctx, doc_, memory_, messages, out, sizeof out};
    tryFindLostResources(needs, pageIndex);
    return out;
}

namespace {

// The page object itself: the page tree's entry must lead to a page
// dictionary that is in the file. MuPDF turns a missing one into an empty
// US-Letter page.
void tryFindLostPage(fz_context *ctx, pdf_document *doc, int pageIndex, char *out,
                     std::size_t size)
{
    fz_try(ctx) {
        pdf_obj *page = pdf_lookup_page_obj(ctx, doc, pageIndex);
        const Ref state = tryCheckRef(ctx, doc, page, false);
        pdf_obj *type = pdf_dict_get(ctx, page, PDF_NAME(Type));
        if (state != Ref::Present)
            describeRef(ctx, "page object", page, state, out, size);
        else if (!page || pdf_is_null(ctx, page))
            std::snprintf(out, size, "the page object is missing from the file");
        else if (!pdf_is_dict(ctx, page) || (type && !pdf_name_eq(ctx, type, PDF_NAME(Page))))
            std::snprintf(out, size, "page object %d 0 R is not a page dictionary",
                          pdf_to_num(ctx, page));
    }
    fz_catch(ctx)
        std::snprintf(out, size, "the page tree has no object for it (%s)",
                      fz_caught_message(ctx));
}

} // namespace

std::string findLostPage(fz_context *ctx, pdf_document *doc, int pageIndex)
{
    char out[400] = "";
    tryFindLostPage(ctx, doc, pageIndex, out, sizeof out);
    return out;
}

std::string findLostContents(fz_context *ctx, pdf_document *doc, int pageIndex)
{
    char out[400] = "";
    tryFindLostContents(ctx, doc, pageIndex, out, sizeof out);
    return out;
}

} // namespace rw
