// rwrender: renders every page of a PDF document to an RGB JPEG.
//
//   rwrender [-r DPI] [-q QUALITY] [-t PAGE_SECONDS] [-j THREADS] [-v] [--recover]
//            [--pages RANGE] [--scale-to PX] [--gray] [--format jpg|png]
//            [--remove-input] input.pdf PREFIX
//
// --pages renders only those pages (the others are neither written nor
// missing; pages past the end are named in one note); --scale-to makes the
// long side PX pixels; --gray renders and encodes one grey channel;
// --format png writes lossless PREFIX-NNN.png.
//
// Page i goes to PREFIX-NNN.jpg, NNN zero-padded to the digit count of the
// page count and at least 3 digits. Each image is written under a hidden
// temporary name and renamed as soon as it is complete, in whatever order
// the pages finish. A page that fails (its page object is lost, it cannot
// be loaded, interpreted or written, it runs past the time limit, or it
// needs content the file has lost or that does not decode) is left out and
// reported; nothing stands in for it. After three pages over the time limit
// the document is given up: its remaining pages are reported missing.
//
// Pages are numbered by their place in the page tree, walked node by node
// (a node listed again, a loop, is skipped); when the root's /Count
// disagrees with the pages the tree lists, every listed page is rendered
// all the same and the document fails (status 1).
//
// MuPDF renders. A document it cannot open or finds no page in goes to
// poppler (unless it is encrypted). When poppler finds no page either, the
// page tree is lost: the page objects left in the file can be found only
// in file order, which is not page order, so no image is written under a
// page number. With --recover they are written as
// PREFIX-recovered-001.jpg ... in file order (the status stays 1). A
// document whose damaged encryption dictionary only qpdf understands is
// decrypted by qpdf first. A document that needs a user password is
// refused.
//
// Each image records what it was made from in a JPEG comment (see
// render/imagerecord.h): the input file as it is, or, when
// RASTERWELL_SOURCE names one of its size, the document Rasterwell staged
// the input from.
//
// With RASTERWELL_RENDER_TOKENS naming a folder, the renderers of one run
// share one rendering token per core (see render/tokens.h).
//
// Exit status: 0 every page written, 1 a problem (one line each on stderr;
// the last line names the missing pages), 2 bad command line.

#include "common/child.h"
#include "common/files.h"
#include "common/pdfdoc.h"
#include "common/sandbox.h"
#include "common/subprocess.h"
#include "render/imagerecord.h"
#include "render/mupdf_engine.h"
#include "render/poppler_engine.h"
#include "render/rendercontext.h"
#include "render/rendermain.h"

#include <array>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <malloc.h>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

constexpr int kOk = 0;
constexpr int kFailed = 1;
constexpr int kUsage = 2;

struct Arguments {
    rw::RenderSettings settings;
    bool recover = false; // write pages found only in file order, as recovered
    bool removeInput = false; // delete input.pdf at the end, whatever the outcome
    std::string input;
    std::string prefix;
};

int usage(const char *problem)
{
    if (problem)
        std::fprintf(stderr, "rwrender: %s\n", problem);
    std::fputs(
        "usage: rwrender [-r DPI] [-q QUALITY] [-t PAGE_SECONDS] [-j THREADS] [-v] [--recover] "
        "[--pages RANGE] [--scale-to PX] [--gray] [--format jpg|png] [--remove-input] input.pdf PREFIX\n"
        "  -r DPI           resolution, 1 to 2400 (default 150)\n"
        "  -q QUALITY       JPEG quality, 1 to 100 (default 90)\n"
        "  -t PAGE_SECONDS  abandon a page after this long, 0 for no limit (default 60)\n"
        "  -j THREADS       rendering threads (default: one per core)\n"
        "  -v               show the PDF libraries' own messages\n"
        "  --pages RANGE    only these pages, e.g. 1,3,5-7,10- (open end: to the last)\n"
        "  --scale-to PX    the long side of every image is PX pixels (-r is ignored)\n"
        "  --gray           grey-scale images (one channel)\n"
        "  --format FORMAT  jpg (default) or png (lossless; -q does not apply)\n"
        "  --recover        when the page tree is lost, write the pages left in the file,\n"
        "                   in file order, as PREFIX-recovered-001.jpg, ...\n"
        "  --remove-input   delete input.pdf once every image is in place (or the\n"
        "                   rendering failed), as a converter script does\n"
        "Writes PREFIX-001.jpg, PREFIX-002.jpg, ... one per page.\n",
        stderr);
    return kUsage;
}

bool parseNumber(const char *text, double low, double high, double &value)
{
    char *end = nullptr;
    errno = 0;
    const double v = std::strtod(text, &end);
    if (errno != 0 || end == text || *end != '\0' || !(v >= low && v <= high))
        return false;
    value = v;
    return true;
}

std::optional<Arguments> parse(int argc, char **argv, const char *&problem)
{
    Arguments args;
    const unsigned cores = std::thread::hardware_concurrency();
    args.settings.threads = cores > 0 ? int(cores) : 1;
    std::vector<std::string> positional;
    bool options = true;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (options && arg == "--") {
            options = false;
            continue;
        }
        if (options && arg == "-v") {
            args.settings.verbose = true;
            continue;
        }
        if (options && arg == "--recover") {
            args.recover = true;
            continue;
        }
        if (options && arg == "--gray") {
            args.settings.gray = true;
            continue;
        }
        if (options && (arg == "--pages" || arg == "--scale-to" || arg == "--format")) {
            if (i + 1 >= argc) {
                problem = "an option is missing its value";
                return std::nullopt;
            }
            const std::string text = argv[++i];
            double value = 0;
            if (arg == "--pages" && rw::parsePageRanges(text, args.settings.pageRanges))
                continue;
            if (arg == "--scale-to" && parseNumber(text.c_str(), 1, 65000, value) && value == int(value)) {
                args.settings.scaleTo = int(value);
                continue;
            }
            if (arg == "--format" && (text == "jpg" || text == "png")) {
                args.settings.png = text == "png";
                continue;
            }
            problem = arg == "--pages"      ? "--pages wants page numbers and ranges such as 1,3,5-7,10-"
                      : arg == "--scale-to" ? "--scale-to wants a whole number of pixels from 1 to 65000"
                                            : "--format wants jpg or png";
            return std::nullopt;
        }
        if (options && arg == "--remove-input") {
            args.removeInput = true;
            continue;
        }
        if (options && (arg == "-r" || arg == "-q" || arg == "-t" || arg == "-j")) {
            double value = 0;
            if (i + 1 >= argc) {
                problem = "an option is missing its value";
                return std::nullopt;
            }
            const char *text = argv[++i];
            if (arg == "-r" && parseNumber(text, 1, 2400, value))
                args.settings.dpi = value;
            else if (arg == "-q" && parseNumber(text, 1, 100, value) && value == int(value))
                args.settings.quality = int(value);
            else if (arg == "-t" && parseNumber(text, 0, 1e6, value))
                args.settings.pageSeconds = value;
            else if (arg == "-j" && parseNumber(text, 1, 256, value) && value == int(value))
                args.settings.threads = int(value);
            else {
                problem = "an option has a value out of range";
                return std::nullopt;
            }
            continue;
        }
        if (options && arg.size() > 1 && arg[0] == '-') {
            problem = "unknown option";
            return std::nullopt;
        }
        positional.push_back(arg);
    }
    if (positional.size() != 2) {
        problem = "expected an input file and an output prefix";
        return std::nullopt;
    }
    if (positional[0].empty() || positional[1].empty() || positional[1].back() == '/') {
        problem = "the input and the output prefix must name files (e.g. out/page)";
        return std::nullopt;
    }
    args.input = positional[0];
    args.prefix = positional[1];
    args.settings.tokens = rw::RenderTokens::fromEnvironment();
    return args;
}

// A file removed when this goes out of scope (the qpdf-decrypted copy).
struct TemporaryFile {
    std::string path;
    ~TemporaryFile()
    {
        if (!path.empty())
            ::unlink(path.c_str());
    }
};

// The pages asked for, and the image format.
void prepareSink(rw::PageSink &sink, const rw::RenderSettings &settings)
{
    sink.wantOnly(settings.pageRanges);
    sink.setExtension(settings.png ? ".png" : ".jpg");
}

// The last line names the pages that are missing; 0 when none is.
int finishWith(const rw::PageSink &sink)
{
    sink.reportMissing();
    return sink.complete() ? kOk : kFailed;
}

// Renders through poppler (reading `input`); nullopt when poppler finds no
// page either.
std::optional<int> renderWithPoppler(const Arguments &args, const std::string &input,
                                     const std::string &why, std::string &popplerError)
{
    const rw::PopplerDocument info = rw::inspectWithPoppler(input);
    if (info.pageCount <= 0) {
        popplerError = info.error;
        return std::nullopt;
    }
    if (args.settings.verbose)
        std::fprintf(stderr, "rwrender: %s: %s; rendering with poppler\n", args.input.c_str(),
                     why.c_str());
    rw::PageSink sink(args.prefix, info.pageCount);
    prepareSink(sink, args.settings);
    rw::renderWithPoppler(input, info, sink, args.settings);
    return finishWith(sink);
}

// Renders with MuPDF. `worthRetrying` is set when no page came out and none
// failed for a reason another engine would not overcome (a time limit, or
// content the file has lost); the missing pages are not reported then.
// With `onlyEngine` no other engine is tried: the missing pages are
// reported.
int renderWithMupdf(const Arguments &args, fz_context *ctx, pdf_document *doc, int pages,
                    bool &worthRetrying, bool onlyEngine)
{
    rw::PageSink sink(args.prefix, pages);
    prepareSink(sink, args.settings);
    const rw::EngineOutcome outcome = rw::renderWithMupdf(ctx, doc, sink, args.settings);
    worthRetrying = !onlyEngine && sink.wantedCount() > 0 && sink.writtenCount() == 0 && !outcome.timedOut
                    && outcome.lost == 0;
    if (worthRetrying)
        return kFailed;
    return finishWith(sink);
}

// The page tree is lost and `found` page objects were gathered in file
// order: their page numbers are unknown. Without --recover nothing is
// written; with it they go to PREFIX-recovered-NNN.jpg, never to a page
// number's name. Either way the document failed.
int renderRecovered(const Arguments &args, fz_context *ctx, pdf_document *doc, int found)
{
    std::fprintf(stderr,
                 "rwrender: %s: the page tree is lost: %d page(s) are left in the file, in file "
                 "order, but their page numbers are unknown\n",
                 args.input.c_str(), found);
    if (!args.recover) {
        std::fputs("rwrender: no page written under a page number; --recover writes the pages "
                   "found as -recovered-NNN images\n",
                   stderr);
        return kFailed;
    }
    // Pages in file order have no page numbers to select by.
    rw::PageSink sink(args.prefix + "-recovered", found);
    sink.setExtension(args.settings.png ? ".png" : ".jpg");
    rw::renderWithMupdf(ctx, doc, sink, args.settings);
    std::fprintf(stderr,
                 "rwrender: %d of %d page(s) recovered in file order as %s-recovered-NNN.jpg; "
                 "the page numbers are unknown\n",
                 sink.writtenCount(), found, rw::fileNameOf(args.prefix).c_str());
    return kFailed;
}

int cannotRender(const Arguments &args, const std::string &why, const std::string &popplerError,
                 int pages)
{
    std::fprintf(stderr, "rwrender: %s: cannot render: %s; %s\n", args.input.c_str(),
                 why.c_str(), popplerError.c_str());
    if (pages > 0)
        std::fprintf(stderr, "rwrender: %d of %d pages could not be rendered: %s\n", pages,
                     pages, pages == 1 ? "1" : ("1-" + std::to_string(pages)).c_str());
    return kFailed;
}

} // namespace

namespace {

int renderDocument(Arguments args, const rw::WarmStart *warm);

} // namespace

int renderMain(int argc, char **argv, const rw::WarmStart *warm)
{
    const char *problem = nullptr;
    const std::optional<Arguments> parsed = parse(argc, argv, problem);
    if (!parsed)
        return usage(problem);
    Arguments args = *parsed;
    args.settings.spareBuffers = warm ? warm->spareBuffers : nullptr;
    // Confined before the document is opened (a service worker is confined
    // already): it reads the document and writes beneath the output folder.
    if (warm) {
        rw::sandbox::startJobBudget();
    } else {
        rw::sandbox::Rules rules{{args.input}, {rw::folderOf(args.prefix)}};
        if (args.removeInput)
            rules.writeFolders.push_back(rw::folderOf(args.input));
        if (const char *tokens = std::getenv("RASTERWELL_RENDER_TOKENS"); tokens && *tokens)
            rules.writeFolders.emplace_back(tokens);
        rw::sandbox::confine(rules);
    }
    const int status = renderDocument(args, warm);
    // Every image is renamed into place by now (or the document failed):
    // the converter script need not start rm for the staged copy.
    if (args.removeInput && ::unlink(args.input.c_str()) != 0 && errno != ENOENT) {
        std::fprintf(stderr, "rwrender: %s: cannot delete: %s\n", args.input.c_str(),
                     std::strerror(errno));
        return kFailed;
    }
    return status;
}

namespace {

int renderDocument(Arguments args, const rw::WarmStart *warm)
{

    // Never outlive the converter script: a renderer left running after the
    // script was killed could drop stale pages into the staging folder.
    // (A worker of the render service is tied to its client instead.)
    if (!warm && !rw::tieToParent(::getppid(), SIGTERM))
        return kFailed;
    // A page image over the file size limit is a page that cannot be
    // written (EFBIG), not a reason to die.
    std::signal(SIGXFSZ, SIG_IGN);

    std::optional<rw::InputFile> input(std::in_place, args.input);
    if (!input->isOpen()) {
        std::fprintf(stderr, "rwrender: %s: cannot read: %s\n", args.input.c_str(),
                     input->error().c_str());
        return kFailed;
    }
    const std::string outputFolder = rw::folderOf(args.prefix);
    if (::access(outputFolder.c_str(), W_OK | X_OK) != 0) {
        std::fprintf(stderr, "rwrender: %s: output folder not writable: %s\n",
                     outputFolder.c_str(), std::strerror(errno));
        return kFailed;
    }

    const rw::ContextInUse ctx(warm);
    if (!ctx) {
        std::fputs("rwrender: cannot initialise MuPDF\n", stderr);
        return kFailed;
    }
    rw::setMessageOutput(ctx.get(), args.settings.verbose);

    TemporaryFile decrypted;
    // The passwords the program passed (the one the probe found among them
    // is found again by trying them in turn).
    rw::Passwords passwords;
    if (!passwords.readInherited()) {
        std::fputs("rwrender: cannot read the passwords passed to it\n", stderr);
        return kFailed;
    }
    // Each image records what it was made from: Rasterwell names the
    // document it staged this copy of; run on a file directly, the file
    // itself (hashed once the checks that may end the run
    // have passed, before a decrypted copy takes the input's place).
    args.settings.source = rw::describeSource(input->descriptor(), std::getenv("RASTERWELL_SOURCE"));
    rw::OpenedDocument opened = rw::openDocument(ctx.get(), *input, &passwords);
    if (opened.access == rw::Access::NeedsPassword) {
        std::fprintf(stderr, "rwrender: %s: a user password is required\n", args.input.c_str());
        return kFailed;
    }
    if (opened.access == rw::Access::DecryptWithQpdf) {
        // MuPDF cannot derive the key from a damaged encryption dictionary
        // that qpdf still reads: render a decrypted copy.
        opened = {};
        decrypted.path = outputFolder + "/.tmp-" + rw::fileNameOf(args.prefix) + "-"
                         + std::to_string(::getpid()) + "-decrypted.pdf";
        const rw::ProcessResult qpdf =
            rw::runProcess({"qpdf", "--decrypt", input->childPath(),
                            rw::pathArgument(decrypted.path)},
                           std::chrono::seconds(120));
        // qpdf exits with 3 when it succeeded with warnings.
        if (!qpdf.started || qpdf.timedOut || (qpdf.exitCode != 0 && qpdf.exitCode != 3)) {
            std::fprintf(stderr, "rwrender: %s: cannot decrypt the document\n",
                         args.input.c_str());
            return kFailed;
        }
        input.emplace(decrypted.path);
        if (input->isOpen())
            opened = rw::openDocument(ctx.get(), *input);
        if (!input->isOpen()
            || (opened.access != rw::Access::Readable && opened.access != rw::Access::Unreadable)) {
            std::fprintf(stderr, "rwrender: %s: cannot decrypt the document\n",
                         args.input.c_str());
            return kFailed;
        }
    }
    // Helper programs read the very file checked above.
    const std::string helperInput = input->childPath();

    // Second engine: poppler, for documents MuPDF cannot open or finds no
    // page in (unless MuPDF saw encryption: poppler might miss it in a
    // damaged file and render undecrypted content); when poppler finds no
    // page either, the page objects left in the file are gathered under a
    // new page tree.
    std::string popplerError;
    if (opened.access == rw::Access::Unreadable) {
        const std::string why = "MuPDF cannot open it (" + opened.message + ")";
        const std::optional<int> status =
            renderWithPoppler(args, helperInput, why, popplerError);
        return status ? *status : cannotRender(args, why, popplerError, 0);
    }

    std::string error;
    int pages = rw::countPages(ctx.get(), opened.doc.get(), error);
    // The page tree is walked, not trusted: MuPDF's page map holds as many
    // entries as the root's /Count says, whatever the tree lists (entries
    // past the pages are never filled in), and its lookup gives up at a
    // node that lists itself. A tree that lists pages but differs from what
    // MuPDF would make of it is replaced by the walked one, so that every
    // page is rendered under its place in the tree; a wrong /Count also
    // fails the document.
    const rw::PageTree tree = rw::walkPageTree(ctx.get(), opened.doc.get());
    bool reshaped = false;
    if (tree.listsPage && !tree.trusted()) {
        if (!rw::installPageTree(ctx.get(), opened.doc.get(), tree.leaves)) {
            std::fprintf(stderr, "rwrender: %s: cannot rebuild its damaged page tree\n",
                         args.input.c_str());
            return kFailed;
        }
        reshaped = true;
        if (tree.miscounted()) {
            const std::string declared =
                tree.declared < 0 ? std::string("none") : std::to_string(tree.declared);
            std::fprintf(stderr,
                         "rwrender: %s: the page tree's page counts are wrong: it lists %d "
                         "page(s), its /Count says %s; each page is rendered under its place "
                         "in the tree\n",
                         args.input.c_str(), tree.pages(), declared.c_str());
        }
        pages = tree.pages();
    } else if (!tree.listsPage && !tree.trusted() && pages > 0) {
        // A count without pages behind it (a tree whose entries all lead
        // nowhere, or no /Kids): the tree is as good as lost.
        pages = 0;
    }
    bool worthRetrying = true;
    if (pages > 0) {
        // Poppler would number the pages by the file's own tree.
        const int status =
            renderWithMupdf(args, ctx.get(), opened.doc.get(), pages, worthRetrying, reshaped);
        if (!worthRetrying)
            return tree.miscounted() && reshaped ? kFailed : status;
    }
    const std::string why = pages < 0     ? "MuPDF cannot read its page tree (" + error + ")"
                            : pages == 0 ? std::string("MuPDF finds no page in it")
                                         : std::string("MuPDF renders none of its pages");
    if (rw::isEncrypted(opened.doc.get())) {
        popplerError = "not handed to poppler: it is encrypted";
    } else if (const std::optional<int> status =
                   renderWithPoppler(args, helperInput, why, popplerError)) {
        return *status;
    }
    if (pages <= 0) {
        const int found = rw::rebuildPageTree(ctx.get(), opened.doc.get());
        if (found > 0)
            return renderRecovered(args, ctx.get(), opened.doc.get(), found);
    }
    return cannotRender(args, why, popplerError, pages);
}

} // namespace
