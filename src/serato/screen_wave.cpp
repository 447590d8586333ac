#include "serato/screen_wave.h"

#include <algorithm>

namespace plindo::serato::SeratoReturn {

std::array<uint8_t, 3> paletteRGB(uint8_t v) {
    if (v == 0) return {0, 0, 0};
    if (v >= 216) return {255, 255, 255};
    return {static_cast<uint8_t>(v / 36 * 51), static_cast<uint8_t>(v / 6 % 6 * 51),
            static_cast<uint8_t>(v % 6 * 51)};
}

std::optional<ScreenWave> screenWave(std::span<const uint8_t> payload) {
    if (payload.size() < 10) return std::nullopt;
    const unsigned count = payload[8] | unsigned(payload[9]) << 8;
    if (count != ScreenWave::kPixels || payload.size() < ScreenWave::kRecordSize) return std::nullopt;
    ScreenWave w;
    w.deck = payload[0];
    w.offsetMs = uint32_t(payload[2]) | uint32_t(payload[3]) << 8 | uint32_t(payload[4]) << 16 |
                 uint32_t(payload[5]) << 24;
    std::copy_n(payload.begin() + 10, ScreenWave::kPixels, w.pixels.begin());
    return w;
}

std::array<uint8_t, ScreenWave::kColumnBytes> ScreenWave::columns() const {
    std::array<uint8_t, kColumnBytes> out{};
    for (int c = 0; c < kCols; ++c) {
        int up = 0, down = 0, lit = 0;
        int sum[3] = {0, 0, 0};
        for (int r = 0; r < kRows; ++r) {
            const uint8_t v = pixels[r * kCols + c];
            if (v == 0) continue;
            if (r < kCentreRow) up = std::max(up, kCentreRow - r);
            if (r > kCentreRow) down = std::max(down, r - kCentreRow);
            const auto rgb = paletteRGB(v);
            for (int k = 0; k < 3; ++k) sum[k] += rgb[k];
            ++lit;
        }
        uint8_t* col = out.data() + 5 * c;
        col[0] = static_cast<uint8_t>(up);
        col[1] = static_cast<uint8_t>(down);
        if (lit > 0)
            for (int k = 0; k < 3; ++k) col[2 + k] = static_cast<uint8_t>(sum[k] / lit);
    }
    return out;
}

uint32_t ScreenWave::colour(int row, int col) const {
    if (row < 0 || row >= kRows || col < 0 || col >= kCols) return 0;
    const auto rgb = paletteRGB(pixels[row * kCols + col]);
    return uint32_t(rgb[0]) | uint32_t(rgb[1]) << 8 | uint32_t(rgb[2]) << 16;
}

}  // namespace plindo::serato::SeratoReturn
