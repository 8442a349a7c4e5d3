#include "common/pdfdoc.h"

#include "common/subprocess.h"

#include <cstdio>

namespace rw {

namespace {

void dropMessage(void *, const char *) {}

void printMessage(void *, const char *message)
{
    std::fprintf(stderr, "mupdf: %s\n", message);
}

// fz_try blocks live in these small functions: no C++ object with a
// destructor may be alive across them (setjmp/longjmp).

pdf_document *tryOpen(fz_context *ctx, const char *path, char *error, std::size_t errorSize)
{
    pdf_document *volatile doc = nullptr;
    fz_try(ctx)
        doc = pdf_open_document(ctx, path);
    fz_catch(ctx) {
        fz_strlcpy(error, fz_caught_message(ctx), errorSize);
        return nullptr;
    }
    return doc;
}

// 1: the empty password fails, 0: it works, -1: error.
int tryNeedsPassword(fz_context *ctx, pdf_document *doc)
{
    volatile int needs = -1;
    fz_try(ctx)
        needs = pdf_needs_password(ctx, doc) ? 1 : 0;
    fz_catch(ctx)
        needs = -1;
    return needs;
}

// True when neither streams nor strings are encrypted: a crypt filter
// handler (V 4 or 5) whose StmF and StrF are absent or Identity. Such files
// protect only their embedded files.
bool tryContentIsClear(fz_context *ctx, pdf_document *doc)
{
    volatile bool clear = false;
    fz_try(ctx) {
        pdf_obj *encrypt = pdf_dict_get(ctx, pdf_trailer(ctx, doc), PDF_NAME(Encrypt));
        if (pdf_dict_get_int(ctx, encrypt, PDF_NAME(V)) >= 4) {
            pdf_obj *stmf = pdf_dict_get(ctx, encrypt, PDF_NAME(StmF));
            pdf_obj *strf = pdf_dict_get(ctx, encrypt, PDF_NAME(StrF));
            clear = (!stmf || pdf_name_eq(ctx, stmf, PDF_NAME(Identity)))
                    && (!strf || pdf_name_eq(ctx, strf, PDF_NAME(Identity)));
        }
    }
    fz_catch(ctx)
        clear = false;
    return clear;
}

int tryCountPages(fz_context *ctx, pdf_document *doc, char *error, std::size_t errorSize)
{
    volatile int count = -1;
    fz_try(ctx)
        count = pdf_count_pages(ctx, doc);
    fz_catch(ctx) {
        fz_strlcpy(error, fz_caught_message(ctx), errorSize);
        count = -1;
    }
    return count;
}

} // namespace

void setMessageOutput(fz_context *ctx, bool verbose)
{
    fz_set_error_callback(ctx, verbose ? printMessage : dropMessage, nullptr);
    fz_set_warning_callback(ctx, verbose ? printMessage : dropMessage, nullptr);
}

OpenedDocument openDocument(fz_context *ctx, const std::string &path)
{
    OpenedDocument result;
    char error[256] = "";
    pdf_document *doc = tryOpen(ctx, path.c_str(), error, sizeof error);
    if (!doc) {
        result.message = error[0] ? error : "cannot open document";
        return result;
    }
    result.doc = DocumentPtr(doc, DocumentDeleter{ctx});

    const int needs = tryNeedsPassword(ctx, doc);
    if (needs == 0) {
        result.access = Access::Readable;
    } else if (tryContentIsClear(ctx, doc)) {
        result.access = Access::Readable;
    } else {
        // qpdf --requires-password: 0 needs one, 3 encrypted but the empty
        // password works, 2 not encrypted or unreadable. Only 3 overrides
        // MuPDF: after repairing a broken file qpdf may lose the /Encrypt
        // entry and answer 2, and rendering such a file would give garbage.
        const ProcessResult qpdf = runProcess(
            {"qpdf", "--requires-password", pathArgument(path)}, std::chrono::seconds(10));
        result.access = (qpdf.started && !qpdf.timedOut && qpdf.exitCode == 3)
                            ? Access::DecryptWithQpdf
                            : Access::NeedsPassword;
    }
    return result;
}

int countPages(fz_context *ctx, pdf_document *doc, std::string &error)
{
    char message[256] = "";
    const int count = tryCountPages(ctx, doc, message, sizeof message);
    if (count < 0)
        error = message[0] ? message : "cannot count pages";
    return count;
}

} // namespace rw
