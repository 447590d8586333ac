#pragma once
// Screen-waveform columns laid out on a track-time grid of 240 columns per second and turned into a
// waveform envelope whose colours are taken as the DJ application drew them.
#include "library/peak_envelope.h"

#include <array>
#include <cstdint>
#include <map>
#include <optional>
#include <span>
#include <string>
#include <vector>

namespace plindo::library {

struct ScreenWaveStrip {
    static constexpr int kColumnsPerSecond = 240;  // one 30-column bitmap covers 125 ms
    static constexpr int64_t kMaxColumns = 2'999'999;

    std::string path;
    std::map<int64_t, std::array<uint8_t, 5>> columns;  // grid column -> (up, down, R, G, B)
    bool dirty = false;
    int rev = 0;

    // Stores groups of five column bytes from the grid column of offsetMs on; fewer than five bytes change
    // nothing, trailing bytes that do not fill a group are ignored.
    void add(uint32_t offsetMs, std::span<const uint8_t> bytes);
    // None for an empty strip or a grid outside 1...2,999,999 columns; counts `rev` and clears `dirty`
    // either way. A duration that is not finite counts as none.
    std::optional<PeakEnvelope> envelope(double durationSec);

    // A fixed screen bitmap through its columns and this strip: the start-up check of the screen-waveform
    // road. Failure texts, empty when all pass.
    static std::vector<std::string> columnsSelfTest();
};

}  // namespace plindo::library
