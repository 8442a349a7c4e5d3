#pragma once

#include <algorithm>
#include <cmath>

namespace rw {

// Largest image the renderer produces for one page; a larger page is
// rendered at the highest resolution that fits.
inline constexpr double kMaxPagePixels = 100'000'000.0;
// JPEG stores each side in 16 bits.
inline constexpr double kMaxPageSide = 65'000.0;

struct PixelSize {
    int width = 0;
    int height = 0;
    double dpi = 0;       // resolution actually used
    bool reduced = false; // dpi lowered to stay within the limits
};

// MuPDF keeps PDF numbers as floats; the value the file most likely holds
// is the float rounded to 6 significant digits (595.276, 841.89, ...).
inline double recoverDecimal(double value)
{
    if (!(value > 0))
        return 0;
    const int magnitude = int(std::floor(std::log10(value))) + 1;
    const double scale = std::pow(10.0, 6 - magnitude);
    return std::round(value * scale) / scale;
}

// Pixels along one side: the size in points scaled to `dpi` and rounded up,
// as pdftoppm does (A4 at 150 dpi is 1241 x 1754).
inline int pixelsFor(double points, double dpi)
{
    return std::max(1, int(std::ceil(recoverDecimal(points) * dpi / 72.0)));
}

inline PixelSize pagePixels(double widthPt, double heightPt, double dpi)
{
    PixelSize size{pixelsFor(widthPt, dpi), pixelsFor(heightPt, dpi), dpi, false};
    auto tooLarge = [](const PixelSize &s) {
        return double(s.width) * double(s.height) > kMaxPagePixels
               || std::max(s.width, s.height) > kMaxPageSide;
    };
    if (!tooLarge(size))
        return size;
    const double area = double(size.width) * double(size.height);
    double scale = std::min(std::sqrt(kMaxPagePixels / area),
                            kMaxPageSide / double(std::max(size.width, size.height)));
    for (int attempt = 0; attempt < 1000; ++attempt, scale *= 0.999) {
        PixelSize s{pixelsFor(widthPt, dpi * scale), pixelsFor(heightPt, dpi * scale),
                    dpi * scale, true};
        if (!tooLarge(s))
            return s;
    }
    // Degenerate page (e.g. 1 x 10^9 points): clamp each side.
    return PixelSize{int(std::min<double>(size.width, kMaxPageSide)),
                     int(std::min<double>(size.height, kMaxPagePixels / kMaxPageSide)),
                     dpi * scale, true};
}

} // namespace rw
