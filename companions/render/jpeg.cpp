#include "render/jpeg.h"

#include "render/imagerecord.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <turbojpeg.h>

namespace rw {

JpegEncoder::JpegEncoder() : handle_(tjInitCompress()) {}

JpegEncoder::~JpegEncoder()
{
    if (handle_)
        tjDestroy(static_cast<tjhandle>(handle_));
}

void JpegEncoder::release()
{
    output_.release();
    buffer_ = nullptr;
    capacity_ = 0;
    size_ = 0;
}

void JpegEncoder::keepBufferIn(BufferStash &stash)
{
    stash.put(output_);
    buffer_ = nullptr;
    capacity_ = 0;
    size_ = 0;
}

bool JpegEncoder::encode(const unsigned char *rgb, int width, int height, int stride,
                         int quality, double dpi, const std::string &record, bool gray)
{
    const int sampling = gray ? TJSAMP_GRAY : TJSAMP_420;
    size_ = 0;
    if (!handle_) {
        error_ = "cannot initialise the JPEG encoder";
        return false;
    }
    const std::string comment = record.empty() ? std::string() : commentSegment(record);
    unsigned long needed = tjBufSize(width, height, sampling);
    if (needed == static_cast<unsigned long>(-1)) {
        error_ = "image too large for JPEG";
        return false;
    }
    needed += comment.size();
    if (needed > capacity_) {
        buffer_ = output_.reserve(needed);
        capacity_ = buffer_ ? (unsigned long)output_.capacity() : 0;
        if (!buffer_) {
            error_ = "out of memory for the JPEG buffer";
            return false;
        }
    }
    unsigned long size = capacity_;
    const auto handle = static_cast<tjhandle>(handle_);
    if (tjCompress2(handle, rgb, width, stride, height, gray ? TJPF_GRAY : TJPF_RGB, &buffer_, &size, sampling,
                    quality, TJFLAG_NOREALLOC)
        != 0) {
        error_ = tjGetErrorStr2(handle);
        return false;
    }
    size_ = size;

    // TurboJPEG writes a JFIF density of 1:1 without units; record the dpi
    // (units 1 = dots per inch) as other converters do.
    static const unsigned char jfif[] = {0xFF, 0xD8, 0xFF, 0xE0, 0x00, 0x10, 'J', 'F', 'I', 'F', 0x00};
    if (size_ >= 18 && std::memcmp(buffer_, jfif, sizeof jfif) == 0) {
        const auto density = static_cast<unsigned>(std::clamp(std::lround(dpi), 1L, 65535L));
        buffer_[13] = 1;
        buffer_[14] = buffer_[16] = static_cast<unsigned char>(density >> 8);
        buffer_[15] = buffer_[17] = static_cast<unsigned char>(density & 0xFF);
    }
    if (!comment.empty()) {
        const std::size_t at = recordOffset(buffer_, size_);
        if (at == 0 || size_ + comment.size() > capacity_) {
            error_ = "no room for the image's record";
            return false;
        }
        std::memmove(buffer_ + at + comment.size(), buffer_ + at, size_ - at);
        std::memcpy(buffer_ + at, comment.data(), comment.size());
        size_ += comment.size();
    }
    return true;
}

} // namespace rw
