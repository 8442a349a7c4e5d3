#pragma once

// A large buffer that a rendering thread reuses page after page (page
// pixels, JPEG output) instead of freeing it and faulting it in again. A
// buffer that is filled at once (page pixels) is mapped 2 MiB-aligned and
// marked for transparent huge pages (where the kernel offers them only on
// request), so that filling it costs one page fault per 2 MiB rather than
// one per 4 KiB (a 6 MB page: ~1,600 faults); a last part of less than
// 1 MiB stays in small pages rather than having a whole huge page cleared.
// One filled only as far as its content goes (JPEG output, a small part of
// its worst-case size) keeps small pages: a huge page would be cleared
// whole for the first byte written.

#include <cstddef>
#include <mupdf/fitz.h>
#include <mutex>
#include <vector>

namespace rw {

class PageBuffer {
public:
    enum class Use { FilledAtOnce, FilledInPart };
    explicit PageBuffer(Use use) : use_(use) {}
    ~PageBuffer() { release(); }
    PageBuffer(const PageBuffer &) = delete;
    PageBuffer &operator=(const PageBuffer &) = delete;

    // At least `size` bytes (contents unspecified); null when out of memory.
    unsigned char *reserve(std::size_t size);
    std::size_t capacity() const { return capacity_; }

    // Gives the memory back (the next reserve maps it again).
    void release();

private:
    friend class BufferStash;
    Use use_;
    unsigned char *data_ = nullptr;
    std::size_t capacity_ = 0;
};

// Buffers kept from one document for the next one rendered by the same
// process (a render service's worker renders one document after another),
// so that the next document's pages fault nothing in; a few, none larger
// than a page at the default resolution.
class BufferStash {
public:
    BufferStash() = default;
    ~BufferStash();
    BufferStash(const BufferStash &) = delete;
    BufferStash &operator=(const BufferStash &) = delete;

    // Takes `buffer`'s memory when there is room for it; else frees it.
    void put(PageBuffer &buffer);
    // Gives `buffer` a kept buffer of its use, if there is one.
    void take(PageBuffer &buffer);

private:
    struct Kept {
        PageBuffer::Use use;
        unsigned char *data;
        std::size_t capacity;
    };
    std::mutex mutex_;
    std::vector<Kept> kept_;
};

// A white-to-be RGB (or, `gray`, grey) pixmap of width x height whose
// samples are `buffer`'s (which must outlive it); throws as fz_new_pixmap
// does.
fz_pixmap *newPagePixmap(fz_context *ctx, int width, int height, PageBuffer &buffer, bool gray = false);

} // namespace rw
