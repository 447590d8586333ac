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

std::optional<int64_t> generationLead(int64_t gen, int64_t wallSeconds) {
    if (gen <= wallSeconds) return std::nullopt;
    int64_t lead = 0;  // positive; saturated where the difference leaves int64
    if (__builtin_sub_overflow(gen, wallSeconds, &lead)) lead = std::numeric_limits<int64_t>::max();
    if (lead <= kGenerationLeadSec) return std::nullopt;
    return lead;
}

int64_t wallClockSeconds() {
    return std::chrono::duration_cast<std::chrono::seconds>(std::chrono::system_clock::now().time_since_epoch())
        .count();
}

}  // namespace plindo::group
