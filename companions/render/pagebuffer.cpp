#include "render/pagebuffer.h"

#include <climits>
#include <cstdint>
#include <sys/mman.h>

namespace rw {

namespace {

constexpr std::size_t kHugePage = std::size_t(2) << 20;
constexpr std::size_t kMostKept = 4;
// A Letter or A4 page at 150 dpi (6.5 MB, mapped as 8 MiB); the large
// buffers of high resolutions and scans go back to the system.
constexpr std::size_t kLargestKept = std::size_t(8) << 20;

} // namespace

unsigned char *PageBuffer::reserve(std::size_t size)
{
    if (size <= capacity_ && data_)
        return data_;
    release();
    if (size == 0)
        size = 1;
    const std::size_t rounded = (size + kHugePage - 1) / kHugePage * kHugePage;
    // Map one huge page more and trim, so that the buffer starts on a
    // huge-page boundary.
    const std::size_t mapped = rounded + kHugePage;
    void *raw = ::mmap(nullptr, mapped, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (raw == MAP_FAILED)
        return nullptr;
    const auto start = reinterpret_cast<std::uintptr_t>(raw);
    const std::uintptr_t aligned = (start + kHugePage - 1) / kHugePage * kHugePage;
    if (aligned > start)
        ::munmap(raw, aligned - start);
    const std::uintptr_t end = aligned + rounded;
    if (start + mapped > end)
        ::munmap(reinterpret_cast<void *>(end), start + mapped - end);
    data_ = reinterpret_cast<unsigned char *>(aligned);
    capacity_ = rounded;
    // Where huge pages are not offered this changes nothing.
    std::size_t huge = size / kHugePage * kHugePage;
    if (size - huge > kHugePage / 2)
        huge += kHugePage;
    if (use_ == Use::FilledAtOnce && huge > 0)
        ::madvise(data_, huge, MADV_HUGEPAGE);
    return data_;
}

void PageBuffer::release()
{
    if (data_)
        ::munmap(data_, capacity_);
    data_ = nullptr;
    capacity_ = 0;
}

BufferStash::~BufferStash()
{
    for (const Kept &k : kept_)
        ::munmap(k.data, k.capacity);
}

void BufferStash::put(PageBuffer &buffer)
{
    if (!buffer.data_)
        return;
    {
        std::lock_guard lock(mutex_);
        if (kept_.size() < kMostKept && buffer.capacity_ <= kLargestKept) {
            kept_.push_back({buffer.use_, buffer.data_, buffer.capacity_});
            buffer.data_ = nullptr;
            buffer.capacity_ = 0;
            return;
        }
    }
    buffer.release();
}

void BufferStash::take(PageBuffer &buffer)
{
    std::lock_guard lock(mutex_);
    for (auto k = kept_.begin(); k != kept_.end(); ++k) {
        if (k->use != buffer.use_)
            continue;
        buffer.release();
        buffer.data_ = k->data;
        buffer.capacity_ = k->capacity;
        kept_.erase(k);
        return;
    }
}

fz_pixmap *newPagePixmap(fz_context *ctx, int width, int height, PageBuffer &buffer, bool gray)
{
    fz_colorspace *colorspace = gray ? fz_device_gray(ctx) : fz_device_rgb(ctx);
    const std::size_t stride = std::size_t(width > 0 ? width : 0) * (gray ? 1 : 3);
    const std::size_t bytes = stride * std::size_t(height > 0 ? height : 0);
    // Sizes MuPDF refuses are refused by MuPDF itself, with its message.
    if (width <= 0 || height <= 0 || stride > INT_MAX || bytes / stride != std::size_t(height))
        return fz_new_pixmap(ctx, colorspace, width, height, nullptr, 0);
    unsigned char *samples = buffer.reserve(bytes);
    if (!samples)
        fz_throw(ctx, FZ_ERROR_GENERIC, "out of memory for a %d x %d page", width, height);
    return fz_new_pixmap_with_data(ctx, colorspace, width, height, nullptr, 0, int(stride),
                                   samples);
}

} // namespace rw
