#pragma once

#include <QRectF>

namespace Platform {

// 1440 twips per inch, converted with the primary screen's logical dpi
// (15 twips per pixel at 96 dpi).
double twipsPerPixel();
int twipsToPixels(double twips);
double pixelsToTwips(double pixels);

// The primary screen's full rectangle (taskbars not subtracted) on the
// virtual desktop, its origin included (a primary screen right of or above another one does not start
// at 0,0), in twips.
QRectF primaryScreenRectTwips();

} // namespace Platform
