#pragma once

#include "render/pagebuffer.h"

#include <cstddef>
#include <string>

namespace rw {

// TurboJPEG compressor with a reusable output buffer; one per thread.
class JpegEncoder {
public:
    JpegEncoder();
    ~JpegEncoder();
    JpegEncoder(const JpegEncoder &) = delete;
    JpegEncoder &operator=(const JpegEncoder &) = delete;

    // Encodes packed RGB rows (`stride` bytes apart) as a baseline JPEG with
    // 4:2:0 chroma, records `dpi` in the JFIF header and puts `record` (see
    // imagerecord.h; none when empty) in a comment after it. `gray`: the
    // rows hold one grey byte per pixel, encoded as one channel.
    bool encode(const unsigned char *rgb, int width, int height, int stride, int quality,
                double dpi, const std::string &record = {}, bool gray = false);

    // Frees the output buffer (the next encode allocates it again).
    void release();
    // Hands the output buffer to `stash`, or takes one from it.
    void keepBufferIn(BufferStash &stash);
    void takeBufferFrom(BufferStash &stash) { stash.take(output_); }

    const unsigned char *data() const { return buffer_; }
    std::size_t size() const { return size_; }
    const std::string &error() const { return error_; }

private:
    void *handle_ = nullptr;
    PageBuffer output_{PageBuffer::Use::FilledInPart}; // reused from page to page
    unsigned char *buffer_ = nullptr;
    unsigned long capacity_ = 0;
    std::size_t size_ = 0;
    std::string error_;
};

} // namespace rw
