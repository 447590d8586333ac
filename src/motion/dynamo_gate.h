#pragma once
// The decoder of the phone's diagnostics record "DYN1" (little-endian, fixed part then variable part), and
// the colour lookup the diagnostics drawing blends with.
#include "motion/dynamo_frame.h"

#include <array>
#include <cstdint>
#include <optional>
#include <span>

namespace plindo::motion::DynamoGate {

// Empty when the magic is wrong or any field would reach past the end of `data`; never a partial frame.
// Ages in the record become times `now` - age. Bytes after the record are ignored.
std::optional<DynamoFrame> decode(std::span<const std::uint8_t> data, double now);

struct Colour {
    double red = 0;
    double green = 0;
    double blue = 0;
    double opacity = 1;
};

// The components of one of the six drawing colours; any other colour gives white.
std::array<double, 3> paletteRGB(const Colour& colour);

}  // namespace plindo::motion::DynamoGate
