#include "common/pdfdoc.h"

#include "common/fdio.h"
#include "common/files.h"
#include "common/subprocess.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <unordered_set>
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

// True when `password` opens the document (as its user or owner password).
bool tryAuthenticate(fz_context *ctx, pdf_document *doc, const char *password)
{
    volatile bool opened = false;
    fz_try(ctx)
        opened = pdf_authenticate_password(ctx, doc, password) != 0;
    fz_catch(ctx)
        opened = false;
    return opened;
}

bool anyPasswordOpens(fz_context *ctx, pdf_document *doc, const Passwords *passwords)
{
    for (std::size_t i = 0; passwords && i < passwords->size(); ++i)
        if (tryAuthenticate(ctx, doc, (*passwords)[i]))
            return true;
    return false;
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

// One entry of a page-tree node's /Kids: the object it refers to (0: it
// is no reference) and whether that is a node (as MuPDF's page lookup
// tells one: /Type /Pages, or no /Type, a /Kids and no /MediaBox).
struct Kid {
    int num = 0;
    bool node = false;
};

Kid tryReadKid(fz_context *ctx, pdf_obj *kids, int i)
{
    volatile int num = 0;
    volatile bool node = false;
    fz_try(ctx) {
        pdf_obj *kid = pdf_array_get(ctx, kids, i);
        if (pdf_is_indirect(ctx, kid)) {
            num = pdf_to_num(ctx, kid);
            pdf_obj *type = pdf_dict_get(ctx, kid, PDF_NAME(Type));
            node = type ? pdf_name_eq(ctx, type, PDF_NAME(Pages))
                        : pdf_dict_get(ctx, kid, PDF_NAME(Kids))
                              && !pdf_dict_get(ctx, kid, PDF_NAME(MediaBox));
        }
    }
    fz_catch(ctx)
        node = false; // a leaf that leads nowhere: its page fails
    return {num, node};
}

// Reads page-tree node `num` (0: the root as the catalog names it): its
// /Count (-1: none) and its /Kids, in order. False when it is no
// dictionary (what could be read is kept).
bool tryReadNode(fz_context *ctx, pdf_document *doc, int num, int *count, std::vector<Kid> *kids)
{
    pdf_obj *volatile owned = nullptr;
    volatile bool ok = false;
    fz_try(ctx) {
        pdf_obj *node = nullptr;
        if (num > 0) {
            owned = pdf_load_object(ctx, doc, num);
            node = owned;
        } else {
            node = pdf_dict_getp(ctx, pdf_trailer(ctx, doc), "Root/Pages");
        }
        pdf_obj *declared = pdf_dict_get(ctx, node, PDF_NAME(Count));
        *count = pdf_is_int(ctx, declared) ? pdf_to_int(ctx, declared) : -1;
        pdf_obj *array = pdf_dict_get(ctx, node, PDF_NAME(Kids));
        const int n = pdf_array_len(ctx, array);
        for (int i = 0; i < n; ++i)
            kids->push_back(tryReadKid(ctx, array, i));
        ok = pdf_is_dict(ctx, node);
    }
    fz_always(ctx)
        pdf_drop_obj(ctx, owned);
    fz_catch(ctx)
        ok = false;
    return ok;
}

// The page-tree root's object number (0: a direct dictionary); false when
// the catalog names no dictionary.
bool tryPageTreeRootNumber(fz_context *ctx, pdf_document *doc, int *num)
{
    volatile bool found = false;
    fz_try(ctx) {
        pdf_obj *catalog = pdf_dict_get(ctx, pdf_trailer(ctx, doc), PDF_NAME(Root));
        pdf_obj *root = pdf_dict_get(ctx, catalog, PDF_NAME(Pages));
        *num = pdf_is_indirect(ctx, root) ? pdf_to_num(ctx, root) : 0;
        found = pdf_is_dict(ctx, root);
    }
    fz_catch(ctx)
        found = false;
    return found;
}

// Copies what the page inherits (resources, boxes, rotation) into it, so
// that it keeps them under another parent.
void tryFlattenInherited(fz_context *ctx, pdf_obj *page)
{
    fz_try(ctx)
        pdf_flatten_inheritable_page_items(ctx, page);
    fz_catch(ctx) {
        // A broken chain of parents: the page keeps what it has.
    }
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
            if (pdf_is_dict(ctx, page)) {
                tryFlattenInherited(ctx, page);
                pdf_dict_put(ctx, page, PDF_NAME(Parent), pages);
            }
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

// The name a helper program reads `input` under: its /dev/fd name, or,
// where Landlock lets this process (and so the helper) open the file by no
// name, a copy named `scratch` and six random characters, removed when
// this goes.
class HelperInput {
public:
    HelperInput(const InputFile &input, const std::string &scratch) : path_(input.childPath())
    {
        const int fd = ::open(path_.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
        if (fd >= 0) {
            ::close(fd);
            return;
        }
        if (errno != EACCES || scratch.empty())
            return;
        std::string pattern = scratch + "XXXXXX";
        std::vector<char> name(pattern.begin(), pattern.end());
        name.push_back('\0');
        const int out = ::mkostemp(name.data(), O_CLOEXEC);
        if (out < 0)
            return;
        copy_ = name.data();
        const bool copied = copyAll(input.descriptor(), out);
        if (::close(out) == 0 && copied)
            path_ = copy_;
    }
    ~HelperInput()
    {
        if (!copy_.empty())
            ::unlink(copy_.c_str());
    }
    HelperInput(const HelperInput &) = delete;
    HelperInput &operator=(const HelperInput &) = delete;
    const std::string &path() const { return path_; }

private:
    // From the start of `from`, leaving its offset alone.
    static bool copyAll(int from, int to)
    {
        std::vector<char> buffer(1 << 20);
        for (off_t at = 0;;) {
            const ssize_t n = fdio::readSome(from, buffer.data(), buffer.size(), at);
            if (n <= 0)
                return n == 0;
            if (!fdio::writeAll(to, buffer.data(), std::size_t(n)))
                return false;
            at += n;
        }
    }

    std::string path_;
    std::string copy_;
};

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

OpenedDocument openDocument(fz_context *ctx, const InputFile &input, const Passwords *passwords,
                            const std::string &scratchPrefix)
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
    } else if (anyPasswordOpens(ctx, doc, passwords)) {
        result.access = Access::Readable;
    } else {
        // qpdf --requires-password: 0 needs one, 3 encrypted but the empty
        // password works, 2 not encrypted or unreadable. Only 3 overrides
        // MuPDF: after repairing a broken file qpdf may lose the /Encrypt
        // entry and answer 2, and rendering such a file would give garbage.
        const HelperInput named(input, scratchPrefix);
        const ProcessResult qpdf = runProcess(
            {"qpdf", "--requires-password", named.path()}, std::chrono::seconds(10));
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

PageTree walkPageTree(fz_context *ctx, pdf_document *doc)
{
    PageTree tree;
    int rootNum = 0;
    if (!tryPageTreeRootNumber(ctx, doc, &rootNum))
        return tree;
    tree.found = true;

    // Depth first, with a stack of its own: a chain of nodes as deep as the
    // file is long needs no deep recursion. Each node is walked once.
    struct Node {
        int count = -1;
        std::vector<Kid> kids;
        std::size_t next = 0;
        std::size_t firstLeaf = 0;
    };
    std::vector<Node> path(1);
    tryReadNode(ctx, doc, rootNum, &path.back().count, &path.back().kids);
    tree.declared = path.back().count;
    std::unordered_set<int> walked;
    if (rootNum > 0)
        walked.insert(rootNum);
    while (!path.empty()) {
        Node &node = path.back();
        if (node.next == node.kids.size()) {
            if (node.count < 0 || std::size_t(node.count) != tree.leaves.size() - node.firstLeaf)
                tree.irregular = true;
            path.pop_back();
            continue;
        }
        const Kid kid = node.kids[node.next++];
        if (kid.num <= 0) {
            // Not a reference (a null, a number): no page and no node.
            tree.irregular = true;
            continue;
        }
        if (!kid.node) {
            tree.leaves.push_back(kid.num);
            continue;
        }
        if (!walked.insert(kid.num).second) {
            tree.irregular = true; // a loop, or a node listed twice: skipped
            continue;
        }
        Node child;
        child.firstLeaf = tree.leaves.size();
        tryReadNode(ctx, doc, kid.num, &child.count, &child.kids);
        path.push_back(std::move(child)); // `node` is not used after this
    }
    tree.listsPage = std::any_of(tree.leaves.begin(), tree.leaves.end(), [&](int num) {
        return tryPageObjectPosition(ctx, doc, num) >= 0;
    });
    return tree;
}

bool installPageTree(fz_context *ctx, pdf_document *doc, const std::vector<int> &leaves)
{
    return tryInstallPageTree(ctx, doc, leaves.data(), int(leaves.size()));
}

int listedPageCount(fz_context *ctx, pdf_document *doc, const PageTree &tree,
                    std::string &error)
{
    if (tree.listsPage)
        return tree.pages();
    return countPages(ctx, doc, error);
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
