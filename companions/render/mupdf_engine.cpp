#include "render/mupdf_engine.h"

#include "common/files.h"
#include "render/jpeg.h"
#include "render/imagerecord.h"
#include "render/jpegimages.h"
#include "render/lostcontent.h"
#include "render/pagebuffer.h"
#include "render/pagemessages.h"
#include "render/pagesize.h"
#include "render/pagetimer.h"
#include "render/pixelbudget.h"

#include <atomic>
#include <cmath>
#include <cstdio>
#include <malloc.h>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

namespace rw {

namespace {

struct Shared {
    pdf_document *doc;
    PageSink &sink;
    const RenderSettings &settings;
    std::mutex documentMutex;
    std::atomic<int> next{0};
    PageTimer timer;
    PixelBudget budget{kMaxPagePixels * 1.3};
    std::atomic<int> written{0};
    std::atomic<int> failed{0};
    std::atomic<int> lost{0};
    std::atomic<int> overTime{0}; // pages abandoned at the time limit
    std::atomic<int> notAttempted{0}; // pages not started once it was given up
    std::atomic<bool> timedOut{false};
    PageNeeds needs; // under documentMutex

    Shared(pdf_document *d, PageSink &s, const RenderSettings &st, int threads)
        : doc(d), sink(s), settings(st), timer(st.pageSeconds, threads), needs(d)
    {
    }
};

// --- MuPDF calls; each try block in its own small function -----------------

enum class Recorded { Ok, NoPage, Failed };

// MuPDF shrinks a page whose CropBox lies outside its MediaBox to 1 x 1
// point. Such a crop box is invalid; show the MediaBox instead, as PDF
// viewers do. Returns true when the page object was changed.
bool tryDropInvalidCropBox(fz_context *ctx, pdf_document *doc, int index)
{
    volatile bool changed = false;
    fz_try(ctx) {
        pdf_obj *page = pdf_lookup_page_obj(ctx, doc, index);
        const fz_rect media =
            pdf_to_rect(ctx, pdf_dict_get_inheritable(ctx, page, PDF_NAME(MediaBox)));
        const fz_rect crop =
            pdf_to_rect(ctx, pdf_dict_get_inheritable(ctx, page, PDF_NAME(CropBox)));
        if (!fz_is_empty_rect(crop) && media.x1 - media.x0 >= 1 && media.y1 - media.y0 >= 1
            && fz_is_empty_rect(fz_intersect_rect(media, crop))) {
            pdf_dict_put_rect(ctx, page, PDF_NAME(CropBox), media);
            changed = true;
        }
    }
    fz_catch(ctx)
        changed = false;
    return changed;
}

// A form whose /NeedAppearances is true asks the reader to draw its fields
// afresh from their values: the appearance streams stored with them may be
// stale or blank (a form filled by a tool that only sets the values), and
// pdftoppm draws the values. MuPDF 1.21 synthesises an appearance for a
// field that has none, so the stored ones are set aside (in memory; a
// signature's and a push button's stay). Throws as MuPDF does.
void synthesiseFieldAppearances(fz_context *ctx, pdf_document *doc, fz_page *page)
{
    pdf_obj *form = pdf_dict_getp(ctx, pdf_trailer(ctx, doc), "Root/AcroForm");
    if (!pdf_to_bool(ctx, pdf_dict_gets(ctx, form, "NeedAppearances")))
        return;
    pdf_page *pdfPage = pdf_page_from_fz_page(ctx, page);
    bool any = false;
    for (pdf_annot *widget = pdf_first_widget(ctx, pdfPage); widget;
         widget = pdf_next_widget(ctx, widget)) {
        pdf_obj *obj = pdf_annot_obj(ctx, widget);
        pdf_obj *type = pdf_dict_get_inheritable(ctx, obj, PDF_NAME(FT));
        // A push button shows no value, and its own appearance may be a
        // picture that a synthesised one would lose.
        constexpr int kPushButton = 1 << 16;
        const bool pushButton =
            pdf_name_eq(ctx, type, PDF_NAME(Btn))
            && (pdf_to_int(ctx, pdf_dict_get_inheritable(ctx, obj, PDF_NAME(Ff))) & kPushButton);
        if (pdf_name_eq(ctx, type, PDF_NAME(Sig)) || pushButton
            || !pdf_dict_get(ctx, obj, PDF_NAME(AP)))
            continue;
        pdf_dict_del(ctx, obj, PDF_NAME(AP));
        any = true;
    }
    if (!any)
        return;
    doc->resynth_required = 1;
    pdf_update_page(ctx, pdfPage);
}

// Loads page `index` and records it into a display list; `bounds` is set
// once the page is loaded. `messages` count while the page is interpreted.
Recorded tryRecordPage(fz_context *ctx, pdf_document *pdf, int index, fz_cookie *cookie,
                       PageMessages *messages, fz_display_list **out, fz_rect *bounds,
                       char *error, std::size_t errorSize)
{
    fz_document *doc = &pdf->super;
    fz_page *volatile page = nullptr;
    fz_display_list *volatile list = nullptr;
    fz_device *volatile dev = nullptr;
    fz_device *volatile jpegs = nullptr;
    volatile Recorded result = Recorded::Failed;
    *out = nullptr;
    fz_try(ctx) {
        result = Recorded::NoPage;
        page = fz_load_page(ctx, doc, index);
        *bounds = fz_bound_page(ctx, page);
        if (bounds->x1 - bounds->x0 <= 1 && bounds->y1 - bounds->y0 <= 1
            && tryDropInvalidCropBox(ctx, pdf, index)) {
            fz_drop_page(ctx, page);
            page = nullptr;
            page = fz_load_page(ctx, doc, index);
            *bounds = fz_bound_page(ctx, page);
        }
        result = Recorded::Failed;
        synthesiseFieldAppearances(ctx, pdf, page);
        list = fz_new_display_list(ctx, *bounds);
        dev = fz_new_list_device(ctx, list);
        jpegs = newFastJpegDevice(ctx, dev);
        messages->setCounting(true);
        fz_run_page(ctx, page, jpegs, fz_identity, cookie);
        fz_close_device(ctx, jpegs);
        fz_close_device(ctx, dev);
        result = Recorded::Ok;
    }
    fz_always(ctx) {
        messages->setCounting(false);
        fz_drop_device(ctx, jpegs);
        fz_drop_device(ctx, dev);
        fz_drop_page(ctx, page);
    }
    fz_catch(ctx) {
        fz_strlcpy(error, fz_caught_message(ctx), errorSize);
        fz_drop_display_list(ctx, list);
        return result;
    }
    *out = list;
    return Recorded::Ok;
}

// Rasterises a display list onto a white RGB pixmap of width x height.
// Its samples live in `pixels`, reused from page to page.
fz_pixmap *tryRasterise(fz_context *ctx, fz_display_list *list, fz_matrix ctm, int width,
                        int height, PageBuffer &pixels, fz_cookie *cookie, char *error,
                        std::size_t errorSize, bool gray)
{
    fz_pixmap *volatile pix = nullptr;
    fz_device *volatile dev = nullptr;
    fz_try(ctx) {
        pix = newPagePixmap(ctx, width, height, pixels, gray);
        fz_clear_pixmap_with_value(ctx, pix, 255);
        dev = fz_new_draw_device(ctx, fz_identity, pix);
        fz_run_display_list(ctx, list, dev, ctm, fz_infinite_rect, cookie);
        fz_close_device(ctx, dev);
    }
    fz_always(ctx)
        fz_drop_device(ctx, dev);
    fz_catch(ctx) {
        fz_strlcpy(error, fz_caught_message(ctx), errorSize);
        fz_drop_pixmap(ctx, pix);
        return nullptr;
    }
    return pix;
}

// The pixmap as a PNG recording `dpi`; null (with `error`) when it cannot
// be encoded.
fz_buffer *tryEncodePng(fz_context *ctx, fz_pixmap *pix, double dpi, char *error, std::size_t errorSize)
{
    fz_buffer *volatile png = nullptr;
    fz_try(ctx) {
        const int density = int(std::lround(dpi));
        fz_set_pixmap_resolution(ctx, pix, density, density);
        png = fz_new_buffer_from_pixmap_as_png(ctx, pix, fz_default_color_params);
    }
    fz_catch(ctx) {
        fz_strlcpy(error, fz_caught_message(ctx), errorSize);
        return nullptr;
    }
    return png;
}

// Maps the page tree when it has exactly `pages` pages by its /Count.
bool tryLoadPageTree(fz_context *ctx, pdf_document *doc, int pages)
{
    volatile bool loaded = false;
    fz_try(ctx) {
        if (pdf_count_pages(ctx, doc) == pages) {
            pdf_load_page_tree(ctx, doc);
            loaded = true;
        }
    }
    fz_catch(ctx)
        loaded = false;
    return loaded;
}

// Looking a page up walks the page tree from its root, through /Kids
// arrays that may hold thousands of pages: quadratic over a long document
// (8000 pages: 3 s of CPU). MuPDF maps the tree once instead, for as long
// as this lives. Its map has as many entries as the root's /Count says and
// fills in only those the tree lists: the renderer hands over a tree whose
// count is right (see walkPageTree), and a map of another size than the
// pages rendered is never made.
class PageMap {
public:
    PageMap(fz_context *ctx, pdf_document *doc, int pages)
        : ctx_(ctx), doc_(doc), loaded_(tryLoadPageTree(ctx, doc, pages))
    {
    }
    ~PageMap()
    {
        if (loaded_)
            pdf_drop_page_tree(ctx_, doc_);
    }
    PageMap(const PageMap &) = delete;
    PageMap &operator=(const PageMap &) = delete;

private:
    fz_context *ctx_;
    pdf_document *doc_;
    bool loaded_;
};

// --- one worker -------------------------------------------------------------

struct ListDeleter {
    fz_context *ctx;
    void operator()(fz_display_list *l) const noexcept { fz_drop_display_list(ctx, l); }
};
struct PixmapDeleter {
    fz_context *ctx;
    void operator()(fz_pixmap *p) const noexcept { fz_drop_pixmap(ctx, p); }
};
using ListPtr = std::unique_ptr<fz_display_list, ListDeleter>;
using PixmapPtr = std::unique_ptr<fz_pixmap, PixmapDeleter>;

class Worker {
public:
    Worker(Shared &shared, fz_context *ctx, int slot)
        : s_(shared), ctx_(ctx), slot_(slot), tokens_(shared.settings.tokens, slot),
          messages_(ctx, shared.settings.verbose), spare_(shared.settings.spareBuffers)
    {
        if (spare_) {
            spare_->take(pixels_);
            encoder_.takeBufferFrom(*spare_);
        }
    }
    ~Worker()
    {
        if (spare_) {
            spare_->put(pixels_);
            encoder_.keepBufferIn(*spare_);
        }
    }
    Worker(const Worker &) = delete;
    Worker &operator=(const Worker &) = delete;

    void run()
    {
        for (;;) {
            // A document whose pages keep running into the time limit is
            // given up: no further page is started.
            if (s_.overTime.load() >= kMaxPagesOverTime)
                return;
            const int index = s_.next.fetch_add(1);
            if (index >= s_.sink.pageCount())
                return;
            if (!s_.sink.wanted(index))
                continue;
            const TokenLease token(tokens_, [this] { giveBackMemory(false); });
            if (renderPage(index) && s_.sink.pageWritten(index)) {
                s_.written.fetch_add(1);
            } else {
                s_.failed.fetch_add(1);
                s_.sink.pageFailed(index);
            }
            if (tokens_.shared() && s_.next.load() >= s_.sink.pageCount())
                giveBackMemory(true);
        }
    }

private:
    // With tokens shared with other renderers, a thread that waits for a
    // token, or has no page left, gives back the memory it rendered with
    // (its encoder buffer, freed heap) while another renderer renders, so
    // that the page buffers of several renderers are not all held at once.
    // At the end of the document the cache of decoded images goes too; while
    // pages are left it stays: it also holds the document's fonts. A process
    // that renders another document next keeps the buffers and its heap for
    // it instead.
    void giveBackMemory(bool documentDone)
    {
        if (documentDone && spare_) {
            spare_->put(pixels_);
            encoder_.keepBufferIn(*spare_);
            fz_empty_store(ctx_);
            return;
        }
        encoder_.release();
        pixels_.release();
        if (documentDone)
            fz_empty_store(ctx_);
        malloc_trim(0);
    }

    bool fail(int index, const char *what, const char *detail)
    {
        std::fprintf(stderr, "rwrender: page %d: %s%s%s\n", index + 1, what,
                     detail && *detail ? ": " : "", detail ? detail : "");
        return false;
    }

    // `counted`: the page was already counted against the document's
    // pages over the time limit.
    bool timeUp(int index, bool counted = false)
    {
        s_.timedOut.store(true);
        if (!counted)
            s_.overTime.fetch_add(1);
        char detail[64];
        std::snprintf(detail, sizeof detail, "%g s", s_.settings.pageSeconds);
        return fail(index, "abandoned, over the time limit", detail);
    }

    bool contentLost(int index, const std::string &what)
    {
        s_.lost.fetch_add(1);
        return fail(index, "its content is lost", what.c_str());
    }

    // Counts MuPDF's messages against the page from its start to every way
    // out of renderPage.
    struct PageRun {
        PageMessages &messages;
        PageRun(PageMessages &m, int index) : messages(m) { messages.beginPage(index); }
        ~PageRun() { messages.endPage(); }
        PageRun(const PageRun &) = delete;
        PageRun &operator=(const PageRun &) = delete;
    };

    // Disarms the page timer on every way out of renderPage, before the
    // cookie it points at goes away.
    struct Disarm {
        PageTimer &timer;
        int slot;
        ~Disarm() { timer.disarm(slot); }
    };

    // Checks what page `index` needs and records it into a display list
    // (under the document's lock); returns what the page lost, empty when
    // nothing. When MuPDF repairs the file meanwhile, the page is checked
    // and recorded once more from the repaired file (what it lost may be
    // back, as when every entry of the cross-reference table is off); it
    // fails only when that rendering loses content too.
    std::string interpret(int index, fz_cookie &cookie, fz_display_list *&rawList, fz_rect &bounds,
                          Recorded &recorded, char *error, std::size_t errorSize)
    {
        std::string lost;
        for (int attempt = 0;; ++attempt) {
            lost = findLostPage(ctx_, s_.doc, index);
            if (lost.empty())
                lost = findLostContents(ctx_, s_.doc, index);
            if (lost.empty())
                lost = s_.needs.findLost(ctx_, index, messages_);
            if (lost.empty()) {
                recorded = tryRecordPage(ctx_, s_.doc, index, &cookie, &messages_, &rawList,
                                         &bounds, error, errorSize);
                if (!cookie.abort)
                    lost = messages_.lost();
            }
            if (messages_.repair().empty() || attempt > 0 || cookie.abort)
                break;
            // What was found sound may have moved with the repair.
            s_.needs.forget();
            fz_drop_display_list(ctx_, rawList);
            rawList = nullptr;
            recorded = Recorded::Failed;
            error[0] = '\0';
            messages_.restartPage();
        }
        if (lost.empty() && !messages_.repair().empty() && !cookie.abort)
            lost = "the file had to be repaired while the page was read: " + messages_.repair();
        return lost;
    }

    // Encodes the page as a PNG carrying its record and writes it to its
    // temporary file; false (reported) when that failed.
    bool writePng(int index, fz_pixmap *pix, double dpi)
    {
        char error[256] = "";
        fz_buffer *png = tryEncodePng(ctx_, pix, dpi, error, sizeof error);
        if (!png)
            return fail(index, "cannot encode PNG", error);
        unsigned char *data = nullptr;
        const std::size_t size = fz_buffer_storage(ctx_, png, &data);
        std::string bytes(reinterpret_cast<const char *>(data), size);
        fz_drop_buffer(ctx_, png);
        const std::string record = imageRecord(s_.settings, index + 1, s_.sink.pageCount());
        const std::size_t at = pngRecordOffset(reinterpret_cast<const unsigned char *>(bytes.data()), bytes.size());
        if (!record.empty() && at > 0)
            bytes.insert(at, pngTextChunk(record));
        std::string writeError;
        return writeWholeFile(s_.sink.tempPath(index), bytes.data(), bytes.size(), writeError)
               || fail(index, "cannot write the image", writeError.c_str());
    }

    // Renders page `index` to its temporary file; false (reported) when it
    // failed.
    bool renderPage(int index)
    {
        fz_cookie cookie{};
        const Disarm disarm{s_.timer, slot_};
        const PageRun pageRun{messages_, index};
        char error[256] = "";
        fz_display_list *rawList = nullptr;
        fz_rect bounds{};
        Recorded recorded = Recorded::Failed;
        std::string lost;
        bool abortedWhileInterpreted = false;
        {
            std::lock_guard lock(s_.documentMutex);
            // Pages are interpreted one at a time: one that waited here
            // while others ran into the time limit is not started.
            if (s_.overTime.load() >= kMaxPagesOverTime) {
                s_.notAttempted.fetch_add(1);
                return false;
            }
            s_.timer.arm(slot_, &cookie);
            lost = interpret(index, cookie, rawList, bounds, recorded, error, sizeof error);
            // Counted before the next page may start.
            abortedWhileInterpreted = std::atomic_ref<int>(cookie.abort).load() != 0;
            if (abortedWhileInterpreted)
                s_.overTime.fetch_add(1);
        }
        ListPtr list(rawList, ListDeleter{ctx_});
        if (!lost.empty()) {
            s_.timer.disarm(slot_);
            return contentLost(index, lost);
        }
        if (recorded != Recorded::Ok) {
            s_.timer.disarm(slot_);
            if (cookie.abort)
                return timeUp(index, abortedWhileInterpreted);
            return fail(index, recorded == Recorded::NoPage ? "cannot load the page"
                                                            : "cannot interpret the page",
                        error);
        }
        if (cookie.abort) {
            s_.timer.disarm(slot_);
            return timeUp(index, abortedWhileInterpreted);
        }
        // --scale-to: the resolution that makes the long side that many pixels.
        const double longSide = std::max(recoverDecimal(bounds.x1 - bounds.x0), recoverDecimal(bounds.y1 - bounds.y0));
        const double dpi = s_.settings.scaleTo > 0 && longSide > 0 ? s_.settings.scaleTo * 72.0 / longSide
                                                                   : s_.settings.dpi;
        PixelSize size = pagePixels(bounds.x1 - bounds.x0, bounds.y1 - bounds.y0, dpi);
        if (s_.settings.scaleTo > 0 && !size.reduced)
            (size.width >= size.height ? size.width : size.height) = s_.settings.scaleTo;
        if (size.reduced)
            std::fprintf(stderr,
                         "rwrender: page %d: note: %d x %d pixels at %g dpi exceed the limit of "
                         "%g megapixels; rendered at %.1f dpi\n",
                         index + 1, pixelsFor(bounds.x1 - bounds.x0, dpi),
                         pixelsFor(bounds.y1 - bounds.y0, dpi), dpi,
                         kMaxPagePixels / 1e6, size.dpi);

        const double scale = size.dpi / 72.0;
        const fz_matrix ctm = fz_pre_translate(fz_scale(float(scale), float(scale)), -bounds.x0,
                                               -bounds.y0);
        const double lease = s_.budget.acquire(double(size.width) * double(size.height));
        messages_.setCounting(true);
        PixmapPtr pix(tryRasterise(ctx_, list.get(), ctm, size.width, size.height, pixels_, &cookie,
                                   error, sizeof error, s_.settings.gray),
                      PixmapDeleter{ctx_});
        list.reset();
        s_.timer.disarm(slot_);
        // Images are decoded while the list is drawn.
        messages_.endPage();
        bool ok;
        if (cookie.abort) {
            ok = timeUp(index, abortedWhileInterpreted);
        } else if (!messages_.lost().empty()) {
            ok = contentLost(index, messages_.lost());
        } else if (!messages_.repair().empty()) {
            ok = contentLost(index, "the file had to be repaired while the page was drawn: "
                                        + messages_.repair());
        } else if (!pix) {
            ok = fail(index, "cannot render the page", error);
        } else if (s_.settings.png) {
            ok = writePng(index, pix.get(), size.dpi);
        } else if (!encoder_.encode(fz_pixmap_samples(ctx_, pix.get()), size.width, size.height,
                                    int(fz_pixmap_stride(ctx_, pix.get())), s_.settings.quality,
                                    size.dpi, imageRecord(s_.settings, index + 1, s_.sink.pageCount()),
                                    s_.settings.gray)) {
            ok = fail(index, "cannot encode JPEG", encoder_.error().c_str());
        } else {
            pix.reset();
            std::string writeError;
            ok = writeWholeFile(s_.sink.tempPath(index), encoder_.data(), encoder_.size(),
                                writeError)
                 || fail(index, "cannot write the image", writeError.c_str());
        }
        pix.reset();
        s_.budget.release(lease);
        return ok;
    }

    Shared &s_;
    fz_context *ctx_;
    int slot_;
    TokenHolder tokens_;
    PageMessages messages_;
    BufferStash *spare_;
    JpegEncoder encoder_;
    PageBuffer pixels_{PageBuffer::Use::FilledAtOnce};
};

} // namespace

EngineOutcome renderWithMupdf(fz_context *base, pdf_document *doc, PageSink &sink,
                              const RenderSettings &settings)
{
    const int threads = std::max(1, std::min(settings.threads, sink.pageCount()));
    const PageMap pageMap(base, doc, sink.pageCount());
    Shared shared(doc, sink, settings, threads);

    // Cloned contexts share the store and caches; they are made here, on the
    // main thread, before any worker starts.
    std::vector<ContextPtr> contexts;
    for (int i = 0; i < threads; ++i) {
        contexts.emplace_back(fz_clone_context(base));
        if (!contexts.back()) {
            std::fputs("rwrender: cannot create a rendering context\n", stderr);
            contexts.pop_back();
            break;
        }
        setMessageOutput(contexts.back().get(), settings.verbose);
    }
    std::vector<std::unique_ptr<Worker>> workers;
    for (std::size_t i = 0; i < contexts.size(); ++i)
        workers.push_back(std::make_unique<Worker>(shared, contexts[i].get(), int(i)));
    if (workers.empty()) {
        Worker(shared, base, 0).run();
    } else {
        std::vector<std::jthread> running;
        for (std::size_t i = 1; i < workers.size(); ++i)
            running.emplace_back([w = workers[i].get()] { w->run(); });
        workers[0]->run();
    }

    // Pages never started once the document was given up.
    const int firstSkipped = std::min(shared.next.load(), sink.pageCount());
    int skipped = shared.notAttempted.load();
    for (int index = firstSkipped; index < sink.pageCount(); ++index) {
        skipped += sink.wanted(index) ? 1 : 0;
        sink.pageFailed(index);
    }
    if (skipped > 0)
        std::fprintf(stderr,
                     "rwrender: giving up the document after %d pages over the time limit; "
                     "%d page(s) not attempted\n",
                     shared.overTime.load(), skipped);

    EngineOutcome outcome;
    outcome.written = shared.written.load();
    outcome.failed = shared.failed.load();
    outcome.lost = shared.lost.load();
    outcome.timedOut = shared.timedOut.load();
    return outcome;
}

} // namespace rw
