#pragma once
// The media clock: seconds of CLOCK_MONOTONIC as a double. Every `...Wall` time in the host is one of these.
// Components take a Clock so that tests can drive time by hand.
#include <atomic>

namespace plindo::platform {

class Clock {
public:
    virtual ~Clock() = default;
    virtual double now() const = 0;
};

// Seconds of CLOCK_MONOTONIC.
double mediaNow();

// The process clock; never destroyed.
const Clock& systemClock();

// A clock that moves only when told to; safe to read from any thread.
class FakeClock final : public Clock {
public:
    explicit FakeClock(double start = 1000.0) : t_(start) {}
    double now() const override { return t_.load(std::memory_order_acquire); }
    void set(double t) { t_.store(t, std::memory_order_release); }
    void advance(double dt) { set(now() + dt); }

private:
    std::atomic<double> t_;
};

}  // namespace plindo::platform
