#pragma once
// One scrolling-waveform bitmap that the DJ application draws for a mixer screen: 30 columns by 72 rows of
// palette indices, tagged with the deck and the track time of its first column, and its reduction to 30
// compact columns of (up, down, R, G, B) that a phone can draw.
#include <array>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

namespace plindo::serato::SeratoReturn {

struct ScreenWave {
    static constexpr int kRows = 72;
    static constexpr int kCols = 30;
    static constexpr int kPixels = kRows * kCols;  // 2,160
    static constexpr int kCentreRow = 36;
    static constexpr size_t kRecordSize = 10 + kPixels;  // header + pixels
    static constexpr size_t kColumnBytes = 5 * kCols;    // 150

    int deck = 0;           // 0-based index as carried (0 = deck 1)
    uint32_t offsetMs = 0;  // track time of the first column
    std::array<uint8_t, kPixels> pixels{};  // row-major, row 0 at the top

    bool operator==(const ScreenWave&) const = default;

    // Per column: up (0...36), down (0...35), then the mean red, green and blue of its lit pixels.
    std::array<uint8_t, kColumnBytes> columns() const;
    // The pixel's colour, red in bits 0-7, green 8-15, blue 16-23; 0 outside the bitmap.
    uint32_t colour(int row, int col) const;
};

// A palette index as (red, green, blue): 0 is dark, 1...215 a 6 x 6 x 6 cube, 216...255 white.
std::array<uint8_t, 3> paletteRGB(uint8_t v);

// The record of a type-9 frame's payload; none unless it holds at least 2,170 bytes with a pixel count of
// 2,160. Bytes after the pixels are ignored.
std::optional<ScreenWave> screenWave(std::span<const uint8_t> payload);

}  // namespace plindo::serato::SeratoReturn
