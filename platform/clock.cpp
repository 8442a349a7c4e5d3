#include "platform/clock.h"

#include <QTime>
#include <bit>

namespace Platform {

double SystemClock::secondsSinceMidnight() const
{
    return QTime::currentTime().msecsSinceStartOfDay() / 1000.0;
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
