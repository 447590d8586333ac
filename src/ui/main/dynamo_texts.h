#pragma once
// The texts of the per-deck diagnostics view: the status line (mode, scratch classes, platter rate) and the
// three overlay lines of measured values. Pure functions of one frame and the sign-flip bits.
#include "motion/dynamo_frame.h"

#include <array>
#include <cstdint>
#include <string>

namespace plindo::motion {
class HostConfig;
}

namespace plindo::ui::DynamoGate {

// Bits 0 to 5 of the process-wide sign-flip mask (the only ones the diagnostics show or use).
uint32_t signFlipBits(const motion::HostConfig& config);

// The mode text ("STATO · ON (LGS)"), the scene text and the rate text ("33.3 rpm").
std::array<std::string, 3> statusLine(const motion::DynamoFrame& f);
// The tail-fit line, the main line and the anchor line. `flips` holds the mask bits as `signFlipBits` gives.
std::array<std::string, 3> overlayText(const motion::DynamoFrame& f, uint32_t flips);

// The difference of platter and served angle in degrees, folded into -180...180 (both ends kept).
double wobbleDeg(double theta, double servedAngle);

}  // namespace plindo::ui::DynamoGate
