#include "app/startup.h"

#include "fileutil/fileutil.h"
#include "app/form1.h"
#include "app/progressbar1.h"
#include "doclist/listview1.h"
#include "platform/clock.h"
#include "platform/gui/cursors.h"
#include "platform/gui/units.h"
#include "platform/homepage.h"

#include <QProgressBar>
#include <QTimer>
#include <QTreeWidget>
#include <QWidget>
#include <cmath>

namespace Startup {

QPointF centredPosition(QRectF screen, QSizeF window)
{
    // Halves in single precision, as the window measures its position.
    const float left = (float(screen.width()) - float(window.width())) / 2.0f;
    const float top = (float(screen.height()) - float(window.height())) / 2.0f;
    return {screen.x() + double(left), screen.y() + double(top)};
}

QSize CenterOnScreen(QWidget &window)
{
    window.winId(); // make the native window, so the frame is known where it can be
    const QSize outer = window.frameGeometry().size();
    const QPointF twips = centredPosition(
        Platform::primaryScreenRectTwips(),
        QSizeF(Platform::pixelsToTwips(outer.width()), Platform::pixelsToTwips(outer.height())));
    const double perPixel = Platform::twipsPerPixel();
    // move() places the frame's top-left corner.
    window.move(int(std::lround(twips.x() / perPixel)), int(std::lround(twips.y() / perPixel)));
    return outer;
}

void RecentreWhenFrameKnown(QWidget &window, QSize usedOuter)
{
    // The frame arrives without an event of its own: look a few times
    // during the first two seconds.
    constexpr int IntervalMs = 50;
    constexpr int Checks = 40;
    auto *watch = new QTimer(&window); // owned by the window, ends itself
    watch->setInterval(IntervalMs);
    QObject::connect(watch, &QTimer::timeout, &window,
                     [&window, watch, usedOuter, left = Checks]() mutable {
                         const bool framed = window.isVisible()
                                             && window.frameGeometry().size() != usedOuter;
                         if (framed)
                             CenterOnScreen(window);
                         if (framed || --left <= 0) {
                             watch->stop();
                             watch->deleteLater();
                         }
                     });
    watch->start();
}

int drawVisitNumber(const Platform::Clock &clock, Platform::RandomSource &random)
{
    random.seed(clock.secondsSinceMidnight());
    const double r = random.next();
    return int(std::floor(r * 100)) + 1;
}

void RandomHomePageVisit(const Platform::Clock &clock, Platform::RandomSource &random,
                         Platform::HomePageOpener &opener)
{
    if (drawVisitNumber(clock, random) == 7)
        opener.open(QString::fromLatin1(HomePageUrl)); // result ignored
}

void WhiteProgress(QProgressBar &bar)
{
    QPalette pal = bar.palette();
    pal.setColor(QPalette::Base, Qt::white);
    pal.setColor(QPalette::Window, Qt::white);
    bar.setPalette(pal);
    bar.setAutoFillBackground(true);
}

void run(Form1 &form)
{
    const AppServices &s = form.services();

    RecentreWhenFrameKnown(form, CenterOnScreen(form));

    const QString hand = s.appFolder + QStringLiteral("/HAND-M.CUR");
    if (FileUtil::FileExists(hand))
        form.setCustomPointer(Platform::loadPointerFile(hand)); // unreadable: stays empty

    if (s.clock && s.random && s.homePage)
        RandomHomePageVisit(*s.clock, *s.random, *s.homePage);

    form.setWindowTitle(QStringLiteral("Rasterwell"));

    ListView1 *list = form.listView1();
    list->setColumnCount(1);
    list->setHeaderLabels({QStringLiteral("PDF File(s)")});
    list->setColumnWidth(0, Platform::twipsToPixels(5500));

    WhiteProgress(*form.progressBar1());
}

} // namespace Startup
