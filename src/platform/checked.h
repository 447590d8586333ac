#pragma once
// Every number that arrives from the network and becomes an integer goes through here: NaN, infinities and
// values outside the target range give nothing instead of undefined behaviour.
#include <cmath>
#include <cstdint>
#include <limits>
#include <optional>

namespace plindo::platform {

// Truncates toward zero; none when v is not finite or the result does not fit T.
template <typename T>
std::optional<T> checkedTrunc(double v) {
    static_assert(std::numeric_limits<T>::is_integer);
    if (!std::isfinite(v)) return std::nullopt;
    const double t = std::trunc(v);
    // The bounds are exact powers of two, so the comparisons are exact in double.
    constexpr double lo = static_cast<double>(std::numeric_limits<T>::min());
    constexpr double hiExclusive = static_cast<double>(std::numeric_limits<T>::max()) + 1.0;
    if (t < lo || t >= hiExclusive) return std::nullopt;
    return static_cast<T>(t);
}

inline std::optional<int64_t> checkedInt64(double v) { return checkedTrunc<int64_t>(v); }
inline std::optional<int32_t> checkedInt32(double v) { return checkedTrunc<int32_t>(v); }
inline std::optional<int> checkedInt(double v) { return checkedTrunc<int>(v); }

// Rounds half away from zero; none when not finite or out of range.
template <typename T>
std::optional<T> checkedRound(double v) {
    if (!std::isfinite(v)) return std::nullopt;
    return checkedTrunc<T>(std::round(v));
}

// Clamps to [lo, hi]; NaN gives `fallback`.
inline double clampFinite(double v, double lo, double hi, double fallback = 0.0) {
    if (std::isnan(v)) return fallback;
    return v < lo ? lo : (v > hi ? hi : v);
}

}  // namespace plindo::platform
