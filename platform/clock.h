#pragma once

#include <cstdint>
#include <random>

namespace Platform {

class Clock {
public:
    virtual ~Clock() = default;
    // Local time of day in seconds since midnight, fraction included.
    virtual double secondsSinceMidnight() const = 0;
    // Seconds from an arbitrary start on a clock that never goes back, for
    // measuring how long something took.
    virtual double steadySeconds() const = 0;
};

class SystemClock final : public Clock {
public:
    double secondsSinceMidnight() const override;
    double steadySeconds() const override;
};

// Uniform numbers in [0, 1).
class RandomSource {
public:
    virtual ~RandomSource() = default;
    virtual void seed(double value) = 0;
    virtual double next() = 0;
};

class StdRandomSource final : public RandomSource {
public:
    void seed(double value) override;
    double next() override;

private:
    std::mt19937_64 engine_;
};

} // namespace Platform
