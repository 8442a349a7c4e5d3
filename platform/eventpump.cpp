#include "platform/eventpump.h"

#include <QCoreApplication>
#include <QEventLoop>
#include <QTimer>
#include <algorithm>
#include <thread>

namespace Platform {

void QtEventPump::processEvents()
{
    if (QCoreApplication::instance())
        QCoreApplication::processEvents(QEventLoop::AllEvents);
}

void QtEventPump::pause(int ms)
{
    if (!QCoreApplication::instance()) {
        std::this_thread::sleep_for(std::chrono::milliseconds(ms));
        return;
    }
    QEventLoop loop;
    QTimer::singleShot(ms, &loop, &QEventLoop::quit);
    loop.exec();
}

void QtEventPump::waitForEvents(int maxMs)
{
    if (!QCoreApplication::instance()) {
        // Nothing can wake us: wait in short steps.
        std::this_thread::sleep_for(std::chrono::milliseconds(std::min(maxMs, 5)));
        return;
    }
    // The timer bounds the wait; any event (a child's exit among them) ends it
    // sooner.
    QTimer bound;
    bound.setSingleShot(true);
    bound.start(std::max(0, maxMs));
    QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
}

} // namespace Platform
