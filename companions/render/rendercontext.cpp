#include "render/rendercontext.h"

#include <malloc.h>

namespace rw {

namespace {

// MuPDF's cache of fonts and decoded images, shared by the threads. Pages
// rarely share large images, and a full-page scan decodes to ~12 MB: a
// small cache keeps memory low and costs nothing measurable.
constexpr std::size_t kStoreBytes = 64 << 20;

} // namespace

void RenderContext::lock(void *self, int slot)
{
    static_cast<RenderContext *>(self)->locks_[std::size_t(slot)].lock();
}

void RenderContext::unlock(void *self, int slot)
{
    static_cast<RenderContext *>(self)->locks_[std::size_t(slot)].unlock();
}

std::unique_ptr<RenderContext> RenderContext::create()
{
    std::unique_ptr<RenderContext> context(new RenderContext);
    fz_locks_context callbacks{context.get(), &RenderContext::lock, &RenderContext::unlock};
    context->ctx_.reset(fz_new_context(nullptr, &callbacks, kStoreBytes));
    if (!context->ctx_)
        return nullptr;
    // Images are scaled down with the plain box filter (as poppler does)
    // rather than MuPDF's Mitchell filter: half the cost on scanned pages,
    // no visible difference at page resolutions.
    fz_tune_image_scale(context->get(), [](void *, int, int, int, int) { return 0; }, nullptr);
    // Page pixmaps and decoded images (a few MB to tens of MB each) are
    // allocated and freed for every page. Served from the heap and kept
    // there, they cost no fresh page faults each time: 10-20% faster on
    // scanned documents.
    mallopt(M_MMAP_THRESHOLD, 64 << 20);
    mallopt(M_TRIM_THRESHOLD, 128 << 20);
    return context;
}

} // namespace rw
