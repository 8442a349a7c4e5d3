#include "common/pdfdoc.h"

#include "common/files.h"
#include "common/subprocess.h"

#include <algorithm>
#include <cstdio>
#include <fcntl.h>
#include <unistd.h>
#include <utility>
#include <vector>

namespace rw {

namespace {

void dropMessage(void *, const char *) {}

void printMessage(void *, const char *message)
{
    std::fprintf(stderr, "mupdf: %s\n", message);
}

// fz_try blocks live in these small functions: no C++ object with a
// destructor may be alive across them (setjmp/longjmp).

pdf_document *tryOpen(fz_context *ctx, std::FILE *file, char *error, std::size_t errorSize)
{
    pdf_document *volatile doc = nullptr;
    fz_stream *volatile stream = nullptr;
    fz_try(ctx) {
        stream = fz_open_file_ptr_no_close(ctx, file);
        doc = pdf_open_document_with_stream(ctx, stream);
    }
    fz_always(ctx)
        fz_drop_stream(ctx, stream); // the document keeps its own reference
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

// Where object `num` sits in the file, for ordering (-1: not a page).
long long tryPageObjectPosition(fz_context *ctx, pdf_document *doc, int num)
{
    volatile long long position = -1;
    fz_try(ctx) {
        pdf_xref_entry *entry = pdf_get_xref_entry(ctx, doc, num);
        if (entry && (entry->type == 'n' || entry->type == 'o')) {
            pdf_obj *obj = pdf_load_object(ctx, doc, num);
            const bool page = pdf_is_dict(ctx, obj)
                              && pdf_name_eq(ctx, pdf_dict_get(ctx, obj, PDF_NAME(Type)),
                                             PDF_NAME(Page));
            pdf_drop_obj(ctx, obj);
            if (page) {
                if (entry->type == 'n') {
                    position = entry->ofs;
                } else {
                    // In an object stream: the stream's place in the file.
                    pdf_xref_entry *stream = pdf_get_xref_entry(ctx, doc, int(entry->ofs));
                    position = stream ? stream->ofs : 0;
                }
            }
        }
    }
    fz_catch(ctx)
        position = -1;
    return position;
}

// Collects the leaves of the page tree under `node`, in tree order, as the
// references the tree holds (also those that lead nowhere: their pages
// fail when rendered, and the pages after them keep their numbers).
void tryCollectKids(fz_context *ctx, pdf_obj *node, int depth, std::vector<int> &seen,
                    std::vector<pdf_obj *> &leaves)
{
    fz_try(ctx) {
        pdf_obj *kids = pdf_dict_get(ctx, node, PDF_NAME(Kids));
        const int n = pdf_array_len(ctx, kids);
        for (int i = 0; i < n; ++i) {
            pdf_obj *kid = pdf_array_get(ctx, kids, i);
            const int num = pdf_to_num(ctx, kid);
            if (!pdf_is_indirect(ctx, kid) || num <= 0)
                continue;
            if (std::find(seen.begin(), seen.end(), num) != seen.end())
                continue; // a cycle, or a page listed twice
            seen.push_back(num);
            if (pdf_is_array(ctx, pdf_dict_get(ctx, kid, PDF_NAME(Kids))) && depth < 64)
                tryCollectKids(ctx, kid, depth + 1, seen, leaves);
            else
                leaves.push_back(kid);
        }
    }
    fz_catch(ctx) {
        // What could be read is kept.
    }
}

pdf_obj *tryPageTreeRoot(fz_context *ctx, pdf_document *doc)
{
    pdf_obj *volatile root = nullptr;
    fz_try(ctx)
        root = pdf_dict_getp(ctx, pdf_trailer(ctx, doc), "Root/Pages");
    fz_catch(ctx)
        root = nullptr;
    return root;
}

bool tryInstallPageTree(fz_context *ctx, pdf_document *doc, const int *nums, int count)
{
    pdf_obj *volatile pages = nullptr;
    volatile bool ok = false;
    fz_try(ctx) {
        pages = pdf_add_new_dict(ctx, doc, 4);
        pdf_dict_put(ctx, pages, PDF_NAME(Type), PDF_NAME(Pages));
        pdf_dict_put_int(ctx, pages, PDF_NAME(Count), count);
        pdf_obj *kids = pdf_dict_put_array(ctx, pages, PDF_NAME(Kids), count);
        for (int i = 0; i < count; ++i) {
            pdf_obj *ref = pdf_new_indirect(ctx, doc, nums[i], 0);
            pdf_array_push_drop(ctx, kids, ref);
            pdf_obj *page = pdf_resolve_indirect(ctx, ref);
            if (pdf_is_dict(ctx, page))
                pdf_dict_put(ctx, page, PDF_NAME(Parent), pages);
        }
        pdf_obj *trailer = pdf_trailer(ctx, doc);
        pdf_obj *root = pdf_dict_get(ctx, trailer, PDF_NAME(Root));
        if (!pdf_is_dict(ctx, root)) {
            root = pdf_add_new_dict(ctx, doc, 2);
            pdf_dict_put_drop(ctx, trailer, PDF_NAME(Root), root);
            pdf_dict_put(ctx, root, PDF_NAME(Type), PDF_NAME(Catalog));
        }
        pdf_dict_put(ctx, root, PDF_NAME(Pages), pages);
        ok = true;
    }
    fz_always(ctx)
        pdf_drop_obj(ctx, pages);
    fz_catch(ctx)
        ok = false;
    return ok;
}

} // namespace

int objectCount(fz_context *ctx, pdf_document *doc)
{
    volatile int length = 0;
    fz_try(ctx)
        length = pdf_xref_len(ctx, doc);
    fz_catch(ctx)
        length = 0;
    return length;
}

void setMessageOutput(fz_context *ctx, bool verbose)
{
    fz_set_error_callback(ctx, verbose ? printMessage : dropMessage, nullptr);
    fz_set_warning_callback(ctx, verbose ? printMessage : dropMessage, nullptr);
}

OpenedDocument openDocument(fz_context *ctx, const InputFile &input)
{
    OpenedDocument result;
    // A descriptor of its own (closed with the FILE), reading from the start.
    const int fd = ::fcntl(input.descriptor(), F_DUPFD_CLOEXEC, 3);
    if (fd < 0 || !(result.file = FilePtr(::fdopen(fd, "rb")))) {
        if (fd >= 0)
            ::close(fd);
        result.message = "cannot read the file";
        return result;
    }
    std::rewind(result.file.get());
    char error[256] = "";
    pdf_document *doc = tryOpen(ctx, result.file.get(), error, sizeof error);
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
            {"qpdf", "--requires-password", input.childPath()}, std::chrono::seconds(10));
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

namespace rw {

bool isEncrypted(pdf_document *doc)
{
    return doc && doc->crypt != nullptr;
}

int flattenPageTree(fz_context *ctx, pdf_document *doc)
{
    pdf_obj *root = tryPageTreeRoot(ctx, doc);
    if (!root)
        return 0;
    std::vector<pdf_obj *> leaves;
    std::vector<int> seen;
    tryCollectKids(ctx, root, 0, seen, leaves);
    // A tree that lists no page, or whose every entry leads nowhere, is as
    // good as lost.
    std::vector<int> nums;
    bool anyPage = false;
    for (pdf_obj *leaf : leaves) {
        nums.push_back(pdf_to_num(ctx, leaf));
        anyPage = anyPage || tryPageObjectPosition(ctx, doc, nums.back()) >= 0;
    }
    if (!anyPage || !tryInstallPageTree(ctx, doc, nums.data(), int(nums.size())))
        return 0;
    std::string error;
    return std::max(0, countPages(ctx, doc, error));
}

int rebuildPageTree(fz_context *ctx, pdf_document *doc)
{
    std::vector<std::pair<long long, int>> found; // (place in file, object number)
    const int objects = objectCount(ctx, doc);
    for (int num = 1; num < objects; ++num) {
        const long long position = tryPageObjectPosition(ctx, doc, num);
        if (position >= 0)
            found.emplace_back(position, num);
    }
    if (found.empty())
        return 0;
    std::sort(found.begin(), found.end());
    std::vector<int> nums;
    nums.reserve(found.size());
    for (const auto &[position, num] : found)
        nums.push_back(num);
    if (!tryInstallPageTree(ctx, doc, nums.data(), int(nums.size())))
        return 0;
    std::string error;
    return std::max(0, countPages(ctx, doc, error));
}

} // namespace rw
