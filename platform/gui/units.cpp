#include "platform/gui/units.h"

#include <QGuiApplication>
#include <QScreen>
#include <cmath>

namespace Platform {

double twipsPerPixel()
{
    const QScreen *screen = QGuiApplication::primaryScreen();
    const double dpi = screen ? screen->logicalDotsPerInchY() : 96.0;
    return 1440.0 / (dpi > 0 ? dpi : 96.0);
}

int twipsToPixels(double twips)
{
    return int(std::lround(twips / twipsPerPixel()));
}

double pixelsToTwips(double pixels)
{
    return pixels * twipsPerPixel();
}

QRectF primaryScreenRectTwips()
{
    const QScreen *screen = QGuiApplication::primaryScreen();
    const QRect px = screen ? screen->geometry() : QRect();
    return {pixelsToTwips(px.x()), pixelsToTwips(px.y()), pixelsToTwips(px.width()),
            pixelsToTwips(px.height())};
}

} // namespace Platform
