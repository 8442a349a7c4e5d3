// pdftk.exe: the password probe.
//
//   pdftk.exe <document> data_dump output <result file> dont_ask
//
// Writes a "Key: value" dump of the document (its information entries and
// NumberOfPages, the pages its page tree lists) to the result file when the
// document can be read without a user password; writes nothing and exits
// with 1 when it needs one. A file that cannot be parsed is not
// "protected": it gets a result file too (with NumberOfPages: 0), and the
// converter then reports the failure. Never asks anything. Exit status: 0 written, 1 needs a password, 2 bad command line,
// 3 the result file could not be written, 4 the document cannot be read at
// all (not a regular file, or it cannot be opened): nothing is written and
// one line on stderr says why.
// Passwords to try (user or owner) come one a line through the inherited
// descriptor RASTERWELL_PASSWORD_FD names; one that opens the document
// gives a result file as for an unprotected one.

#include "common/files.h"
#include "common/pdfdoc.h"
#include "common/sandbox.h"
#include "render/rendercontext.h"
#include "render/rendermain.h"

#include <cstdio>
#include <string>
#include <strings.h>
#include <utility>
#include <vector>

namespace {

constexpr int kWritten = 0;
constexpr int kNeedsPassword = 1;
constexpr int kUsage = 2;
constexpr int kWriteFailed = 3;
constexpr int kCannotRead = 4;

using Entries = std::vector<std::pair<std::string, std::string>>;

// One line per entry: control characters (line breaks included) become spaces.
std::string oneLine(const char *text)
{
    std::string out = text ? text : "";
    for (char &c : out)
        if (static_cast<unsigned char>(c) < 0x20 || c == 0x7f)
            c = ' ';
    return out;
}

std::string hex(const char *data, std::size_t size)
{
    static const char digits[] = "0123456789abcdef";
    std::string out;
    out.reserve(size * 2);
    for (std::size_t i = 0; i < size; ++i) {
        const auto b = static_cast<unsigned char>(data[i]);
        out += digits[b >> 4];
        out += digits[b & 15];
    }
    return out;
}

// Called from inside a MuPDF try block: must not throw.
void addEntry(void *opaque, const char *key, const char *value) noexcept
{
    try {
        static_cast<Entries *>(opaque)->emplace_back(key, oneLine(value));
    } catch (...) {
    }
}

void addId(void *opaque, int index, const char *data, std::size_t size) noexcept
{
    try {
        static_cast<Entries *>(opaque)->emplace_back(index == 0 ? "PdfID0" : "PdfID1",
                                                     hex(data, size));
    } catch (...) {
    }
}

// Reads the Info dictionary's text entries and the file identifiers.
void tryReadMetadata(fz_context *ctx, pdf_document *doc, Entries *info, Entries *ids)
{
    fz_try(ctx) {
        pdf_obj *trailer = pdf_trailer(ctx, doc);
        pdf_obj *dict = pdf_dict_get(ctx, trailer, PDF_NAME(Info));
        const int n = pdf_dict_len(ctx, dict);
        for (int i = 0; i < n; ++i) {
            pdf_obj *key = pdf_dict_get_key(ctx, dict, i);
            pdf_obj *value = pdf_dict_get_val(ctx, dict, i);
            if (pdf_is_string(ctx, value))
                addEntry(info, pdf_to_name(ctx, key), pdf_to_text_string(ctx, value));
            else if (pdf_is_name(ctx, value))
                addEntry(info, pdf_to_name(ctx, key), pdf_to_name(ctx, value));
        }
        pdf_obj *id = pdf_dict_get(ctx, trailer, PDF_NAME(ID));
        for (int i = 0; i < 2 && i < pdf_array_len(ctx, id); ++i) {
            pdf_obj *s = pdf_array_get(ctx, id, i);
            if (pdf_is_string(ctx, s))
                addId(ids, i, pdf_to_str_buf(ctx, s), pdf_to_str_len(ctx, s));
        }
    }
    fz_catch(ctx) {
        // Metadata is a courtesy: a broken Info dictionary leaves it out.
    }
}

std::string dump(const Entries &info, const Entries &ids, int pages, const std::string &warning)
{
    std::string out;
    for (const auto &[key, value] : info)
        out += "InfoBegin\nInfoKey: " + oneLine(key.c_str()) + "\nInfoValue: " + value + "\n";
    for (const auto &[key, value] : ids)
        out += key + ": " + value + "\n";
    out += "NumberOfPages: " + std::to_string(pages) + "\n";
    if (!warning.empty())
        out += "Warning: " + oneLine(warning.c_str()) + "\n";
    return out;
}

bool keyword(const char *arg, const char *expected)
{
    return ::strcasecmp(arg, expected) == 0;
}

int usage()
{
    std::fputs("usage: pdftk.exe <document> data_dump output <result file> dont_ask\n"
               "Writes the document's page count and information to the result file\n"
               "when it can be read without a user password; writes nothing and exits\n"
               "with status 1 when it needs one.\n",
               stderr);
    return kUsage;
}

} // namespace

int probeMain(int argc, char **argv, const rw::WarmStart *warm)
{
    if (argc != 6 || !keyword(argv[2], "data_dump") || !keyword(argv[3], "output")
        || !keyword(argv[5], "dont_ask") || argv[1][0] == '\0' || argv[4][0] == '\0')
        return usage();
    const std::string document = argv[1];
    const std::string resultFile = argv[4];

    // Confined before the document is opened: it reads the document and
    // writes beside the result file (a service worker is confined already,
    // and reads the document from the descriptor its client opened).
    if (warm)
        rw::sandbox::startJobBudget();
    else
        rw::sandbox::confine({{document}, {rw::folderOf(resultFile)}});

    const rw::InputFile input = warm && warm->document >= 0
                                    ? rw::InputFile(rw::InputFile::Handed{warm->document})
                                    : rw::InputFile(document);
    if (!input.isOpen()) {
        std::fprintf(stderr, "pdftk.exe: %s: cannot read: %s\n", document.c_str(),
                     input.error().c_str());
        return kCannotRead;
    }

    rw::ContextPtr own;
    if (!warm)
        own.reset(fz_new_context(nullptr, nullptr, FZ_STORE_DEFAULT));
    fz_context *const context = warm ? warm->ctx : own.get();
    if (!context) {
        std::fputs("pdftk.exe: cannot initialise MuPDF\n", stderr);
        return kWriteFailed;
    }
    rw::setMessageOutput(context, false);

    Entries info;
    Entries ids;
    int pages = 0;
    std::string warning;
    // The passwords the program passed, tried when the empty one fails.
    rw::Passwords passwords;
    if (!passwords.readInherited()) {
        std::fputs("pdftk.exe: cannot read the passwords passed to it\n", stderr);
        return kCannotRead;
    }
    // Any copy qpdf needs is named as the result's temporary files are, so
    // that the program clears one a killed probe left.
    rw::OpenedDocument opened = rw::openDocument(
        context, input, &passwords, rw::folderOf(resultFile) + "/." + rw::fileNameOf(resultFile) + ".");
    switch (opened.access) {
    case rw::Access::NeedsPassword:
        std::fprintf(stderr, "pdftk.exe: %s: a user password is required\n", document.c_str());
        return kNeedsPassword;
    case rw::Access::Unreadable:
        warning = "cannot parse the document: " + opened.message;
        break;
    case rw::Access::DecryptWithQpdf:
    case rw::Access::Readable: {
        // The pages the renderer renders: those the page tree lists, which
        // its /Count may miscount.
        std::string error;
        const rw::PageTree tree = rw::walkPageTree(context, opened.doc.get());
        pages = rw::listedPageCount(context, opened.doc.get(), tree, error);
        if (pages < 0) {
            pages = 0;
            warning = "cannot read the page tree: " + error;
        } else if (tree.listsPage && tree.miscounted()) {
            warning = "the page tree lists " + std::to_string(tree.pages())
                      + " page(s), its /Count says "
                      + (tree.declared < 0 ? std::string("none")
                                           : std::to_string(tree.declared));
        }
        // With a damaged encryption dictionary MuPDF cannot decrypt the
        // information strings; the converter decrypts through qpdf.
        if (opened.access == rw::Access::Readable)
            tryReadMetadata(context, opened.doc.get(), &info, &ids);
        else
            warning = "damaged encryption dictionary; the empty password opens it";
        break;
    }
    }
    opened.doc.reset();

    std::string error;
    if (!rw::replaceFileAtomically(resultFile, dump(info, ids, pages, warning), error)) {
        std::fprintf(stderr, "pdftk.exe: cannot write %s: %s\n", resultFile.c_str(),
                     error.c_str());
        return kWriteFailed;
    }
    return kWritten;
}
