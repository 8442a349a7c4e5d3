#include "render/lostcontent.h"

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

// One content stream being scanned for "/Name Do".
struct Scan {
    fz_context *ctx;
    pdf_document *doc;
    std::vector<char> *visited; // forms already scanned, by object number
    char *out;                  // what is lost; empty while nothing is
    std::size_t size;
};

void scanContent(Scan &scan, fz_stream *stm, pdf_obj *resources, int depth);

// Skips an inline image's data after "ID": up to whitespace, "EI", and
// whitespace or the end.
void skipInlineImage(fz_context *ctx, fz_stream *stm)
{
    int previous = ' ';
    for (;;) {
        const int c = fz_read_byte(ctx, stm);
        if (c == EOF)
            return;
        if (c == 'E' && (previous == ' ' || previous == '\n' || previous == '\r'
                         || previous == '\t' || previous == '\0')) {
            if (fz_peek_byte(ctx, stm) == 'I') {
                fz_read_byte(ctx, stm);
                const int after = fz_peek_byte(ctx, stm);
                if (after == EOF || after <= ' ')
                    return;
            }
        }
        previous = c;
    }
}

// Checks the XObject `name` of `resources` that a content stream draws.
void checkXObject(Scan &scan, pdf_obj *resources, const char *name, int depth)
{
    fz_context *ctx = scan.ctx;
    pdf_obj *xobjects = pdf_dict_get(ctx, resources, PDF_NAME(XObject));
    const Ref dictState = tryCheckRef(ctx, scan.doc, xobjects, false);
    if (xobjects && dictState != Ref::Present) {
        describeRef(ctx, "XObject dictionary", xobjects, dictState, scan.out, scan.size);
        return;
    }
    pdf_obj *ref = pdf_dict_gets(ctx, xobjects, name);
    if (!ref)
        return; // never defined: a broken document, not a lost object
    const Ref state = tryCheckRef(ctx, scan.doc, ref, true);
    if (state != Ref::Present) {
        char what[300];
        std::snprintf(what, sizeof what, "XObject /%s", name);
        describeRef(ctx, what, ref, state, scan.out, scan.size);
        return;
    }
    const int num = pdf_to_num(ctx, ref);
    if (depth >= kMaxFormDepth || num <= 0 || num >= int(scan.visited->size())
        || (*scan.visited)[std::size_t(num)])
        return;
    (*scan.visited)[std::size_t(num)] = 1;
    if (!pdf_name_eq(ctx, pdf_dict_get(ctx, ref, PDF_NAME(Subtype)), PDF_NAME(Form)))
        return;
    pdf_obj *formResources = pdf_dict_get(ctx, ref, PDF_NAME(Resources));
    fz_stream *stm = pdf_open_stream(ctx, ref);
    fz_try(ctx)
        scanContent(scan, stm, formResources ? formResources : resources, depth + 1);
    fz_always(ctx)
        fz_drop_stream(ctx, stm);
    fz_catch(ctx)
        fz_rethrow(ctx);
}

void scanContent(Scan &scan, fz_stream *stm, pdf_obj *resources, int depth)
{
    fz_context *ctx = scan.ctx;
    pdf_lexbuf buf;
    pdf_lexbuf_init(ctx, &buf, PDF_LEXBUF_SMALL);
    char name[256] = "";
    fz_try(ctx) {
        bool haveName = false;
        while (!scan.out[0]) {
            const pdf_token token = pdf_lex(ctx, stm, &buf);
            if (token == PDF_TOK_EOF)
                break;
            if (token == PDF_TOK_NAME) {
                fz_strlcpy(name, buf.scratch, sizeof name);
                haveName = true;
                continue;
            }
            if (token == PDF_TOK_KEYWORD) {
                if (haveName && std::strcmp(buf.scratch, "Do") == 0)
                    checkXObject(scan, resources, name, depth);
                else if (std::strcmp(buf.scratch, "ID") == 0)
                    skipInlineImage(ctx, stm);
            }
            haveName = false;
        }
    }
    fz_always(ctx)
        pdf_lexbuf_fin(ctx, &buf);
    fz_catch(ctx)
        fz_rethrow(ctx);
}

void tryFindLostXObjects(fz_context *ctx, pdf_document *doc, int pageIndex,
                         std::vector<char> *visited, char *out, std::size_t size)
{
    fz_stream *volatile stm = nullptr;
    fz_try(ctx) {
        pdf_obj *page = pdf_lookup_page_obj(ctx, doc, pageIndex);
        pdf_obj *resources = pdf_dict_get_inheritable(ctx, page, PDF_NAME(Resources));
        const Ref state = tryCheckRef(ctx, doc, resources, false);
        if (resources && state != Ref::Present) {
            describeRef(ctx, "resource dictionary", resources, state, out, size);
        } else {
            stm = pdf_open_contents_stream(ctx, doc,
                                           pdf_dict_get(ctx, page, PDF_NAME(Contents)));
            Scan scan{ctx, doc, visited, out, size};
            scanContent(scan, stm, resources, 0);
        }
    }
    fz_always(ctx)
        fz_drop_stream(ctx, stm);
    fz_catch(ctx) {
        // A stream that cannot be scanned is left to the renderer: only
        // what is certainly lost fails a page.
    }
}

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

std::string findLostXObjects(fz_context *ctx, pdf_document *doc, int pageIndex)
{
    std::vector<char> visited(std::size_t(objectCount(ctx, doc)) + 1, 0);
    char out[400] = "";
    tryFindLostXObjects(ctx, doc, pageIndex, &visited, out, sizeof out);
    return out;
}

} // namespace rw
