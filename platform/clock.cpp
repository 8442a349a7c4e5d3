#include "platform/clock.h"

#include <QTime>
#include <bit>
#include <chrono>

namespace Platform {

double SystemClock::secondsSinceMidnight() const
{
    return QTime::currentTime().msecsSinceStartOfDay() / 1000.0;
}

double SystemClock::steadySeconds() const
{
    return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

void StdRandomSource::seed(double value)
{
    engine_.seed(std::bit_cast<std::uint64_t>(value));
}

double StdRandomSource::next()
{
    return std::uniform_real_distribution<double>(0.0, 1.0)(engine_);
}

} // namespace Platform
