#include "library/screen_wave_strip.h"

#include "platform/checked.h"
#include "serato/screen_wave.h"

#include <algorithm>
#include <cmath>
#include <cstdio>

namespace plindo::library {

void ScreenWaveStrip::add(uint32_t offsetMs, std::span<const uint8_t> bytes) {
    if (bytes.size() < 5) return;
    // An unsigned 32-bit offset always fits the grid's 64-bit column numbers.
    const int64_t base = *platform::checkedRound<int64_t>(offsetMs / 1000.0 * kColumnsPerSecond);
    for (size_t i = 0; i + 5 <= bytes.size(); i += 5) {
        auto& c = columns[base + static_cast<int64_t>(i / 5)];
        std::copy_n(bytes.begin() + static_cast<std::ptrdiff_t>(i), 5, c.begin());
    }
    dirty = true;
}

std::optional<PeakEnvelope> ScreenWaveStrip::envelope(double durationSec) {
    dirty = false;
    ++rev;
    if (columns.empty()) return std::nullopt;
    const double duration = std::isfinite(durationSec) ? std::max(durationSec, 0.0) : 0.0;
    const auto wanted = platform::checkedRound<int64_t>(duration * kColumnsPerSecond);
    if (!wanted) return std::nullopt;
    const int64_t n = std::max(columns.rbegin()->first + 1, *wanted);
    if (n < 1 || n > kMaxColumns) return std::nullopt;

    const auto count = static_cast<size_t>(n);
    std::vector<double> up(count), down(count), peak(count), bass(count), mid(count), treble(count),
        rgb(3 * count);
    for (const auto& [k, c] : columns) {
        if (k < 0 || k >= n) continue;
        const auto i = static_cast<size_t>(k);
        up[i] = c[0] / 36.0;
        down[i] = c[1] / 36.0;
        peak[i] = std::max(up[i], down[i]);
        bass[i] = peak[i] * c[2] / 255.0;
        mid[i] = peak[i] * c[3] / 255.0;
        treble[i] = peak[i] * c[4] / 255.0;
        for (int j = 0; j < 3; ++j) rgb[3 * i + j] = c[2 + j] / 255.0;
    }
    const double span = static_cast<double>(n) / kColumnsPerSecond;
    PeakEnvelope e;
    e.audioPath = path;
    e.centerSec = span / 2;
    e.windowSec = {0, span};
    e.columns = static_cast<int>(n);
    e.durationSec = duration > span ? duration : span;
    e.bass = std::move(bass);
    e.mid = std::move(mid);
    e.treble = std::move(treble);
    e.peak = std::move(peak);
    e.peakL = std::move(down);
    e.peakR = std::move(up);
    e.rgbL = rgb;
    e.rgbR = std::move(rgb);
    e.finalRGB = true;
    e.rev = rev;
    return e;
}

std::vector<std::string> ScreenWaveStrip::columnsSelfTest() {
    using serato::SeratoReturn::ScreenWave;
    using serato::SeratoReturn::screenWave;
    constexpr size_t kRecordSize = ScreenWave::kRecordSize;
    constexpr int kCols = ScreenWave::kCols;
    std::vector<std::string> fails;
    std::vector<uint8_t> payload{0x01, 0x01, 0xE8, 0x03, 0x00, 0x00, 0x01, 0x00, 0x70, 0x08};
    payload.resize(kRecordSize, 0);
    for (int r = 26; r <= 40; ++r) payload[10 + r * kCols + 3] = 180;  // pure red
    const auto wave = screenWave(payload);
    if (!wave) return {"swave parse"};

    const auto cols = wave->columns();
    if (cols[15] != 10 || cols[16] != 4 || cols[17] != 255 || cols[18] != 0) {
        char text[64];
        std::snprintf(text, sizeof text, "summary [%d, %d, %d, %d, %d]", cols[15], cols[16], cols[17], cols[18],
                      cols[19]);
        fails.emplace_back(text);
    }
    ScreenWaveStrip strip;
    strip.path = "/x.mp3";
    strip.dirty = true;
    strip.add(1000, cols);
    const auto env = strip.envelope(2.0);
    if (!env) {
        fails.emplace_back("envelope nil");
        return fails;
    }
    if (env->columns != 480) fails.push_back("columns " + std::to_string(env->columns));
    const double p = env->peak.size() > 243 ? env->peak[243] : 0.0;
    if (std::fabs(p - 10.0 / 36.0) > 1e-9) {
        char text[64];
        std::snprintf(text, sizeof text, "peak at 1 s + 3 cols %g", p);
        fails.emplace_back(text);
    }
    if (env->peak.size() > 242 && env->peak[242] != 0) fails.emplace_back("neighbour not empty");
    return fails;
}

}  // namespace plindo::library
