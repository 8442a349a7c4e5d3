#pragma once

#include <QSizeF>

namespace Platform {

// 1440 twips per inch, converted with the primary screen's logical dpi
// (15 twips per pixel at 96 dpi).
double twipsPerPixel();
int twipsToPixels(double twips);
double pixelsToTwips(double pixels);

// The primary screen's full size (taskbars not subtracted), in twips.
QSizeF primaryScreenSizeTwips();

} // namespace Platform
