#include "library/screen_wave_strip.h"

#include <gtest/gtest.h>

#include <cmath>
#include <vector>

namespace plindo::library {
namespace {

using B = std::vector<uint8_t>;

TEST(ScreenWaveStrip, AddPlacesGroupsOfFiveOnTheTrackTimeGrid) {
    struct Case {
        uint32_t offsetMs;
        size_t bytes;
        std::vector<int64_t> columns;
    };
    const Case cases[] = {
        {1000, 5, {240}},
        {2, 5, {0}},          // 0.48 rounds down
        {3, 5, {1}},          // 0.72 rounds up
        {0, 7, {0}},          // two trailing bytes ignored
        {0, 10, {0, 1}},
        {0xFFFFFFFF, 5, {1030792151}},  // the largest offset still fits
        {0, 4, {}},                      // short of a group: nothing, not dirty
    };
    for (const auto& c : cases) {
        ScreenWaveStrip s;
        s.add(c.offsetMs, B(c.bytes, 9));
        std::vector<int64_t> got;
        for (const auto& [k, v] : s.columns) got.push_back(k);
        EXPECT_EQ(got, c.columns) << c.offsetMs << " " << c.bytes;
        EXPECT_EQ(s.dirty, !got.empty());
    }
}

TEST(ScreenWaveStrip, EnvelopeSpansTheLargerOfGridAndDuration) {
    ScreenWaveStrip s;
    s.path = "/t.mp3";
    s.columns[269] = {36, 18, 255, 0, 51};
    s.dirty = true;
    auto e = s.envelope(2.0);
    ASSERT_TRUE(e);
    EXPECT_EQ(e->columns, 480);
    EXPECT_EQ(e->windowSec, (std::vector<double>{0, 2.0}));
    EXPECT_EQ(e->audioPath, "/t.mp3");
    EXPECT_EQ((std::vector<double>{e->peak[269], (*e->peakL)[269], e->bass[269], e->mid[269], e->treble[269], (*e->rgbR)[3 * 269 + 2]}),
              (std::vector<double>{1.0, 0.5, 1.0, 0.0, 0.2, 0.2}));
    EXPECT_TRUE(e->finalRGB);
    EXPECT_FALSE(s.dirty);

    e = s.envelope(1.0);
    ASSERT_TRUE(e);
    EXPECT_EQ(e->columns, 270);
    EXPECT_DOUBLE_EQ(e->durationSec, 1.125);
    EXPECT_EQ(e->rev, 2);
    // Durations that are not numbers count as none instead of reaching an integer conversion.
    for (double d : {double(NAN), double(INFINITY), -double(INFINITY), -5.0}) EXPECT_EQ(s.envelope(d)->columns, 270) << d;
    EXPECT_FALSE(s.envelope(1e7));  // grid too large
    EXPECT_FALSE(ScreenWaveStrip{}.envelope(2.0));
}

}  // namespace
}  // namespace plindo::library
