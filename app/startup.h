#pragma once

#include <QPointF>
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

// Top-left corner, in twips, that puts a window of `window` outer size in
// the middle of a screen of `screen` size; not clamped, so a window larger
// than the screen gets negative coordinates.
QPointF centredPosition(QSizeF screen, QSizeF window);

// Places the window (its frame included) in the middle of the primary screen.
void CenterOnScreen(QWidget &window);

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
