#pragma once

// A large buffer that a rendering thread fills at once and reuses page
// after page: page pixels, JPEG output. It is mapped 2 MiB-aligned and
// marked for transparent huge pages (where the kernel offers them only on
// request), so that filling it costs one page fault per 2 MiB rather than
// one per 4 KiB (a 6 MB page: ~1,600 faults, about 10 ms), and it is kept
// across pages instead of being freed and faulted in again.

#include <cstddef>
#include <mupdf/fitz.h>

namespace rw {

class PageBuffer {
public:
    PageBuffer() = default;
    ~PageBuffer() { release(); }
    PageBuffer(const PageBuffer &) = delete;
    PageBuffer &operator=(const PageBuffer &) = delete;

    // At least `size` bytes (contents unspecified); null when out of memory.
    unsigned char *reserve(std::size_t size);
    std::size_t capacity() const { return capacity_; }

    // Gives the memory back (the next reserve maps it again).
    void release();

private:
    unsigned char *data_ = nullptr;
    std::size_t capacity_ = 0;
};

// A white-to-be RGB pixmap of width x height whose samples are `buffer`'s
// (which must outlive it); throws as fz_new_pixmap does.
fz_pixmap *newPagePixmap(fz_context *ctx, int width, int height, PageBuffer &buffer);

} // namespace rw
