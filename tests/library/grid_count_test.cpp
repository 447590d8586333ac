// Beat times of a track's grid and their bar and beat numbers.
#include "library/grid_count.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cmath>
#include <limits>

using namespace plindo::library;

namespace {

constexpr double kInf = std::numeric_limits<double>::infinity();
constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

SeratoFileMeta grid(std::optional<double> bpm, std::vector<SeratoFileMeta::GridMarker> markers, std::optional<double> terminal) {
    SeratoFileMeta m;
    m.gridBpm = bpm;
    m.gridMarkers = std::move(markers);
    m.gridTerminalT = terminal;
    return m;
}

}  // namespace

TEST(GridCountBeats, SegmentsAndTerminalExtension) {
    EXPECT_EQ(GridCount::beatTimes(grid(120, {}, 0.5), 2.0), (std::vector<double>{0.5, 1.0, 1.5}));
    // `until` before the terminal: 900 s past it, at 120 BPM 1800 beats.
    EXPECT_EQ(GridCount::beatTimes(grid(120, {}, 10.0), 1.0).size(), 1800u);
    const auto b = GridCount::beatTimes(grid(120, {{0, 4}}, 2.0), 3.0);
    EXPECT_EQ(b, (std::vector<double>{0, 0.5, 1.0, 1.5, 2.0, 2.5}));
    // Zero beats, or a next marker that is not later, contribute nothing.
    EXPECT_EQ(GridCount::beatTimes(grid(120, {{0, 0}, {1, 2}, {0.5, 8}}, 0.25), 1.4),
              (std::vector<double>{0.25, 0.75, 1.25}));
    // No tempo, or a last marker without a terminal: nothing.
    for (const auto& m : {grid(std::nullopt, {{0, 4}}, 2.0), grid(0, {{0, 4}}, 2.0), grid(120, {{0, 4}}, std::nullopt)})
        EXPECT_TRUE(GridCount::beatTimes(m, 3.0).empty());
}

TEST(GridCountBeats, HostileGridsStayBoundedAndFinite) {
    const auto start = std::chrono::steady_clock::now();
    // 10000 markers of 2^32-1 beats each over one second: at most 5 beats per second survive.
    std::vector<SeratoFileMeta::GridMarker> huge;
    for (int i = 0; i < 10000; ++i) huge.push_back({double(i), 0xFFFFFFFFLL});
    const auto b = GridCount::beatTimes(grid(120, huge, 10000.0), 0);
    EXPECT_LE(b.size(), GridCount::kMaxBeats);
    EXPECT_GE(b.size(), 40000u);
    // One segment with a huge count is laid out at 300 BPM.
    const auto one = GridCount::beatTimes(grid(120, {{0, 0xFFFFFFFFLL}}, 2.0), 0);
    ASSERT_GE(one.size(), 10u);
    EXPECT_DOUBLE_EQ(one[1] - one[0], 0.2);

    // Non-finite times and `until` values.
    for (const auto& m : {grid(120, {{-kInf, 4}, {1, 4}}, 3.0), grid(120, {{0, 4}, {kNaN, 4}}, 3.0),
                          grid(120, {{0, 4}}, kInf), grid(120, {{0, 4}}, kNaN), grid(1e-300, {}, 0.0),
                          grid(kInf, {}, 0.0), grid(1e12, {}, 0.0), grid(120, {}, 1e30)}) {
        for (double until : {kInf, kNaN, 1e300, 5.0}) {
            const auto beats = GridCount::beatTimes(m, until);
            EXPECT_LE(beats.size(), GridCount::kMaxBeats);
            for (double t : beats) ASSERT_TRUE(std::isfinite(t));
            const auto ticks = GridCount::ticks(m, until);
            EXPECT_LE(ticks.size(), GridCount::kMaxBeats + GridCount::kMaxLeadTicks);
        }
    }
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(20));
}

TEST(GridCountTicks, BarsBeatsLeadInAndMarkers) {
    using T = GridCount::Tick;
    EXPECT_TRUE(GridCount::ticks({}, {1.0}, 0).empty());
    EXPECT_EQ(GridCount::ticks({1.0, 1.5, 2.0, 2.5, 3.0}, {1.0015, 3.5}, 0),
              (std::vector<T>{{0.0, -1, 3, false}, {0.5, -1, 4, false}, {1.0, 1, 1, true}, {1.5, 1, 2, false},
                              {2.0, 1, 3, false}, {2.5, 1, 4, false}, {3.0, 2, 1, false}}));
    // A first period of 0.05 s or less extrapolates nothing; neither does a single beat.
    EXPECT_EQ(GridCount::ticks({1.0, 1.04}, {}, 0).size(), 2u);
    EXPECT_EQ(GridCount::ticks({1.0}, {}, 0).size(), 1u);
    // At most 20000 extrapolated ticks.
    for (double from : {0.0, -kInf}) EXPECT_EQ(GridCount::ticks({1e6, 1e6 + 0.5}, {}, from).size(), 20002u);
    // Five lead ticks: bars count down from -1 with beats 4, 3, 2, 1, then 4 again.
    const auto lead = GridCount::ticks({5.0, 6.0}, {}, 0);
    ASSERT_EQ(lead.size(), 7u);
    EXPECT_EQ(lead[0], (T{0.0, -2, 4, false}));
    EXPECT_EQ(lead[1], (T{1.0, -1, 1, false}));
    EXPECT_EQ(lead[4], (T{4.0, -1, 4, false}));

    // From a track's grid: marker times are the grid markers and the terminal.
    SeratoFileMeta m = grid(120, {{0.25, 2}}, 1.25);
    const auto g = GridCount::ticks(m, 2.0);
    ASSERT_EQ(g.size(), 4u);
    EXPECT_EQ((std::vector<bool>{g[0].marker, g[1].marker, g[2].marker}), (std::vector<bool>{true, false, true}));
    EXPECT_EQ(g[3].beat, 4);
}
