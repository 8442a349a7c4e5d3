#include "render/pixelbudget.h"

#include <algorithm>

namespace rw {

double PixelBudget::acquire(double pixels)
{
    pixels = std::min(pixels, capacity_);
    std::unique_lock lock(mutex_);
    freed_.wait(lock, [&] { return available_ >= pixels; });
    available_ -= pixels;
    return pixels;
}

void PixelBudget::release(double pixels)
{
    {
        std::lock_guard lock(mutex_);
        available_ += pixels;
    }
    freed_.notify_all();
}

} // namespace rw
