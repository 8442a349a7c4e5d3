#pragma once

// MuPDF documents for the companion programs: ownership, quiet messages,
// and the one decision both programs must agree on: can this document be
// read without a password?

#include <cstdio>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "common/passwords.h"

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
// - one of `passwords` (user or owner password, tried in turn) opens it:
//   Readable;
// - otherwise NeedsPassword.
// Tries `passwords` (user or owner) when the empty one fails. qpdf reads
// the file by name (/dev/fd/N); where this process may not open it by any
// name (a service worker given the document as a descriptor), it reads a
// private copy, `scratchPrefix` and six random characters, removed at once.
OpenedDocument openDocument(fz_context *ctx, const InputFile &input,
                            const Passwords *passwords = nullptr,
                            const std::string &scratchPrefix = {});

// The number of object slots in the document's cross-reference table (0
// when it cannot be read).
int objectCount(fz_context *ctx, pdf_document *doc);

// The page count, or -1 with the reason in `error`.
int countPages(fz_context *ctx, pdf_document *doc, std::string &error);

// True when the document is encrypted (whether or not a password is needed).
// Another PDF library reading a damaged encrypted file may miss its
// encryption dictionary and show undecrypted content.
bool isEncrypted(pdf_document *doc);

// The page tree as walked from its root, every node once. MuPDF trusts
// the root's /Count: its page map has that many entries whatever the tree
// holds, and its page lookup follows each node's /Count. Walked, the tree
// gives each page its true number, its place among the leaves.
struct PageTree {
    bool found = false;       // the catalog names a page-tree root
    int declared = -1;        // the root's /Count (-1: none, or not a number)
    std::vector<int> leaves;  // each page entry's object number, in tree order
                              // (an entry that is no reference is skipped)
    bool listsPage = false;   // some leaf is a page object in the file
    // A node listed itself, an ancestor or a node walked already (the
    // repeat was skipped), a node's /Count differs from the pages under it,
    // or an entry is no reference (skipped).
    bool irregular = false;

    int pages() const { return int(leaves.size()); }
    // The root's /Count is not the number of pages the tree lists.
    bool miscounted() const { return found && pages() != declared; }
    // MuPDF's own page map and lookup give exactly these leaves.
    bool trusted() const { return found && !irregular && !miscounted(); }
};

PageTree walkPageTree(fz_context *ctx, pdf_document *doc);

// Puts the walked leaves under a new page tree, in their order, with the
// right count; entries that lead nowhere keep their place (those pages
// fail). Each page keeps what it inherited from the old tree (resources,
// boxes, rotation). In memory only. False when it cannot be built.
bool installPageTree(fz_context *ctx, pdf_document *doc, const std::vector<int> &leaves);

// The number of pages both companions count: the pages the walked tree
// lists when it lists any page object, else the root's /Count (-1 with the
// reason in `error` when it cannot be read).
int listedPageCount(fz_context *ctx, pdf_document *doc, const PageTree &tree,
                    std::string &error);

// For a document whose page tree is lost (a truncated or damaged file that
// MuPDF opens but finds no page in): collects the page objects still in the
// file, in file order, under a new page tree. Returns the number of pages
// found (0: none, nothing changed). In memory only.
int rebuildPageTree(fz_context *ctx, pdf_document *doc);

} // namespace rw
