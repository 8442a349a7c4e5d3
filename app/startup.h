#pragma once

#include <QPointF>
#include <QRectF>
#include <QSize>
#include <QSizeF>

class Form1;
class QProgressBar;
class QWidget;

namespace Platform {
class Clock;
class HomePageOpener;
class RandomSource;
} // namespace Platform

namespace Startup {

inline constexpr char HomePageUrl[] = "https://rasterwell.org/";

// Top-left corner, in twips on the virtual desktop, that puts a window of
// `window` outer size in the middle of `screen` (its origin included); not
// clamped, so a window larger than the screen starts before the screen's
// origin.
QPointF centredPosition(QRectF screen, QSizeF window);

// Places the window (its frame included, as far as the window system has
// told it) in the middle of the primary screen. Returns the outer size used.
QSize CenterOnScreen(QWidget &window);

// Under a window manager the frame is known only once the window is shown:
// for a short while after it first shows, the window is centred again as
// soon as its outer size differs from `usedOuter`.
void RecentreWhenFrameKnown(QWidget &window, QSize usedOuter);

// Draws a whole number from 1 to 100 from a generator seeded by the clock.
int drawVisitNumber(const Platform::Clock &clock, Platform::RandomSource &random);

// One start in a hundred (a draw of 7) opens the product's home page.
// A failure to open it is ignored.
void RandomHomePageVisit(const Platform::Clock &clock, Platform::RandomSource &random,
                         Platform::HomePageOpener &opener);

// Gives the progress bar a white background.
void WhiteProgress(QProgressBar &bar);

// The whole start-up sequence, in order.
void run(Form1 &form);

} // namespace Startup
