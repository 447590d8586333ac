#pragma once
// Argument shorthands and hand-built bundles, shared by the codec, server and playhead tests.
#include "link/osc.h"

#include <cstdint>
#include <string>
#include <vector>

namespace plindo::link::testing {

using Bytes = std::vector<uint8_t>;

inline OSCValue I(int32_t v) { return OSCValue::int32(v); }
inline OSCValue D(double v) { return OSCValue::float64(v); }
inline OSCValue S(std::string v) { return OSCValue::string(std::move(v)); }

// An element behind its big-endian size, as a bundle carries it.
inline Bytes sized(const Bytes& element) {
    const auto n = static_cast<uint32_t>(element.size());
    Bytes out{uint8_t(n >> 24), uint8_t(n >> 16), uint8_t(n >> 8), uint8_t(n)};
    out.insert(out.end(), element.begin(), element.end());
    return out;
}

// A bundle timed "immediately" holding the elements in order.
inline Bytes bundle(const std::vector<Bytes>& elements) {
    Bytes b{'#', 'b', 'u', 'n', 'd', 'l', 'e', 0, 0, 0, 0, 0, 0, 0, 0, 1};
    for (const auto& e : elements) {
        const Bytes s = sized(e);
        b.insert(b.end(), s.begin(), s.end());
    }
    return b;
}

}  // namespace plindo::link::testing
