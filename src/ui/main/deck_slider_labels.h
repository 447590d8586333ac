#pragma once
// The texts beside a deck's zoom slider: the waveform's time window, or a size name with a size. Both read
// the slider value (0 down to −23) as a step index 0…23.
#include <string>

namespace plindo::ui {

// "Wavey %.1f s" of 32 · 2^(−6·i/23) seconds.
std::string waveyLabel(double value);
// "<name> · %.1f cm": name i/3 of off, puck, small, normal, big, 7", 10", 12"; size i mod 3 of 2.0, 1.5, 1.0.
std::string sizeLabel(double value);

}  // namespace plindo::ui
