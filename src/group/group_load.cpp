#include "group/group_load.h"

#include <algorithm>
#include <chrono>
#include <limits>

namespace plindo::group {

bool generationAcceptable(int64_t gen, int64_t wallSeconds) {
    constexpr int64_t kInt32Max = std::numeric_limits<int32_t>::max();
    // Saturating: a wall clock near the top of int64 must not overflow the sum.
    const int64_t ahead = wallSeconds > kInt32Max ? kInt32Max : wallSeconds + kGenerationLeadSec;
    return gen >= 1 && gen <= std::min(kInt32Max, ahead);
}

int64_t wallClockSeconds() {
    return std::chrono::duration_cast<std::chrono::seconds>(std::chrono::system_clock::now().time_since_epoch())
        .count();
}

}  // namespace plindo::group
