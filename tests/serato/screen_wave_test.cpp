#include "serato/screen_wave.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <vector>

namespace plindo::serato::SeratoReturn {
namespace {

std::vector<uint8_t> record(size_t size = ScreenWave::kRecordSize, uint16_t count = 2160) {
    std::vector<uint8_t> p(size, 0);
    const uint8_t head[] = {1, 0, 0x78, 0x56, 0x34, 0x12, 0, 0, uint8_t(count), uint8_t(count >> 8)};  // 0x12345678 ms
    std::copy_n(head, std::min(size, sizeof head), p.begin());
    return p;
}

ScreenWave lit(std::initializer_list<std::tuple<int, int, uint8_t>> pixels) {
    ScreenWave w;
    for (auto [row, col, v] : pixels) w.pixels[row * ScreenWave::kCols + col] = v;
    return w;
}

TEST(ScreenWave, RecordNeedsItsSizeAndPixelCount) {
    auto p = record();
    p[10] = 7;
    p[10 + 2159] = 9;
    const auto w = screenWave(p);
    ASSERT_TRUE(w);
    EXPECT_EQ(w->deck, 1);
    EXPECT_EQ(w->offsetMs, 0x12345678u);
    EXPECT_EQ(w->pixels.front(), 7);
    EXPECT_EQ(w->pixels.back(), 9);

    auto longer = record(2200);
    longer[2170] = 0xAB;  // beyond the pixels: ignored
    EXPECT_TRUE(screenWave(longer));
    EXPECT_FALSE(screenWave(record(2169)));
    EXPECT_FALSE(screenWave(record(ScreenWave::kRecordSize, 2161)));
    EXPECT_FALSE(screenWave(record(9)));
    EXPECT_FALSE(screenWave(std::vector<uint8_t>{}));
}

TEST(ScreenWave, ColumnsMeasureHeightAndMeanColourAroundTheCentreLine) {
    EXPECT_EQ(ScreenWave{}.columns(), (std::array<uint8_t, 150>{}));

    struct Case { const char* name; ScreenWave w; std::array<uint8_t, 5> col0; };
    const Case cases[] = {
        {"centre line only", lit({{36, 0, 180}}), {0, 0, 255, 0, 0}},
        {"top and bottom rows", lit({{0, 0, 216}, {71, 0, 216}}), {36, 35, 255, 255, 255}},
        {"blue level 1 and white", lit({{30, 0, 1}, {40, 0, 216}}), {6, 4, 127, 127, 153}},
        {"cube corner equals white", lit({{35, 0, 215}}), {1, 0, 255, 255, 255}},
    };
    for (const auto& c : cases) {
        const auto cols = c.w.columns();
        EXPECT_EQ((std::array<uint8_t, 5>{cols[0], cols[1], cols[2], cols[3], cols[4]}), c.col0) << c.name;
        for (size_t i = 5; i < cols.size(); ++i) ASSERT_EQ(cols[i], 0) << c.name << " byte " << i;
    }
    // Column order: a pixel in column 29 lands in the last five bytes.
    const auto last = lit({{20, 29, 43}}).columns();
    EXPECT_EQ(last[145], 16);
    EXPECT_EQ(last[147], 51);  // 43 = levels 1, 1, 1
}

TEST(ScreenWave, ColourPacksRedLowAndReadsOutsideAsDark) {
    const auto w = lit({{7, 0, 67}, {0, 29, 250}});
    EXPECT_EQ(w.colour(7, 0), 51u | 255u << 8 | 51u << 16);
    EXPECT_EQ(w.colour(0, 29), 0xFFFFFFu);
    EXPECT_EQ(w.colour(72, 0), 0u);
    EXPECT_EQ(w.colour(0, 30), 0u);
    EXPECT_EQ(w.colour(-1, -1), 0u);
}

}  // namespace
}  // namespace plindo::serato::SeratoReturn
