#pragma once

// MuPDF documents for the companion programs: ownership, quiet messages,
// and the one decision both programs must agree on: can this document be
// read without a password?

#include <cstdio>
#include <memory>
#include <string>
#include <utility>

extern "C" {
#include <mupdf/fitz.h>
#include <mupdf/pdf.h>
}

namespace rw {

class InputFile;

struct ContextDeleter {
    void operator()(fz_context *ctx) const noexcept { fz_drop_context(ctx); }
};
using ContextPtr = std::unique_ptr<fz_context, ContextDeleter>;

struct DocumentDeleter {
    fz_context *ctx = nullptr;
    void operator()(pdf_document *doc) const noexcept { pdf_drop_document(ctx, doc); }
};
using DocumentPtr = std::unique_ptr<pdf_document, DocumentDeleter>;

struct FileCloser {
    void operator()(std::FILE *f) const noexcept { std::fclose(f); }
};
using FilePtr = std::unique_ptr<std::FILE, FileCloser>;

// MuPDF prints every warning and every thrown error on stderr. The
// companions report problems themselves, one line each, so MuPDF's own
// messages are dropped unless `verbose` is set.
void setMessageOutput(fz_context *ctx, bool verbose);

enum class Access {
    Readable,         // opens without a password (possibly none set at all)
    NeedsPassword,    // a user password is required
    DecryptWithQpdf,  // qpdf verifies the empty password where MuPDF cannot
    Unreadable,       // MuPDF cannot parse the file
};

struct OpenedDocument {
    FilePtr file;        // what MuPDF reads; outlives the document
    DocumentPtr doc;     // null when Unreadable
    Access access = Access::Unreadable;
    std::string message; // the parser's reason when Unreadable

    OpenedDocument() = default;
    OpenedDocument(OpenedDocument &&) = default;
    // The old document goes before the file it reads.
    OpenedDocument &operator=(OpenedDocument &&other) noexcept
    {
        doc = std::move(other.doc);
        file = std::move(other.file);
        access = other.access;
        message = std::move(other.message);
        return *this;
    }
};

// Opens `input` as PDF and classifies it:
// - the empty user password works (or there is no encryption): Readable;
// - only embedded files are encrypted (streams and strings use the Identity
//   crypt filter, the password guards attachments only): Readable, pages
//   need no key;
// - MuPDF rejects the empty password but qpdf accepts it (a damaged
//   encryption dictionary qpdf still understands): DecryptWithQpdf;
// - otherwise NeedsPassword.
OpenedDocument openDocument(fz_context *ctx, const InputFile &input);

// The number of object slots in the document's cross-reference table (0
// when it cannot be read).
int objectCount(fz_context *ctx, pdf_document *doc);

// The page count, or -1 with the reason in `error`.
int countPages(fz_context *ctx, pdf_document *doc, std::string &error);

// True when the document is encrypted (whether or not a password is needed).
// Another PDF library reading a damaged encrypted file may miss its
// encryption dictionary and show undecrypted content.
bool isEncrypted(pdf_document *doc);

// For a document whose page tree is there but in which MuPDF counts no
// page (a wrong /Count): puts the pages the tree lists, in the tree's own
// order, under a new page tree; entries that lead nowhere keep their place
// (those pages fail). Returns the number of pages (0: the tree lists no
// page, nothing changed). In memory only.
int flattenPageTree(fz_context *ctx, pdf_document *doc);

// For a document whose page tree is lost (a truncated or damaged file that
// MuPDF opens but finds no page in): collects the page objects still in the
// file, in file order, under a new page tree. Returns the number of pages
// found (0: none, nothing changed). In memory only.
int rebuildPageTree(fz_context *ctx, pdf_document *doc);

} // namespace rw
