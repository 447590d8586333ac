#include "platform/clock.h"

#include <time.h>

namespace plindo::platform {

double mediaNow() {
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) * 1e-9;
}

namespace {
class SystemClock final : public Clock {
public:
    double now() const override { return mediaNow(); }
};
}  // namespace

const Clock& systemClock() {
    static const SystemClock clock;
    return clock;
}

}  // namespace plindo::platform
