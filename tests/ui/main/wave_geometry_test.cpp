#include "ui/main/wave_geometry.h"

#include "ui/expect_color.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>

namespace plindo::ui {
namespace {

using library::PeakEnvelope;
using library::SeratoFileMeta;
constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
const std::optional<std::vector<host::SeratoCueRow>> kNoRows;

// An envelope of `columns` columns over [0, seconds], every peak `level`, bands at a fixed balance.
PeakEnvelope envelope(int columns, double seconds, double level = 0.5) {
    PeakEnvelope e;
    e.columns = columns;
    e.windowSec = {0, seconds};
    e.durationSec = seconds;
    e.peak.assign(size_t(columns), level);
    e.bass.assign(size_t(columns), 0.1);
    e.mid.assign(size_t(columns), 0.05);
    e.treble.assign(size_t(columns), 0.2);
    return e;
}

using test::expectColor;

TEST(WaveGeometry, WindowFollowsZoomAndHeightBelowOnePointUsesTheWholeWindow) {
    const struct {
        double zoom, seconds;
    } rows[] = {{0, 32}, {-23, 0.5}, {-11.5, 4}, {5, 32}, {kNaN, 0.5}, {-40, 0.5}};
    const auto env = envelope(1024, 128);
    for (const auto& r : rows) {
        SCOPED_TRACE(r.zoom);
        const auto g = computeWaveGeometry(64, r.zoom, &env, nullptr, kNoRows, 160, 320);
        EXPECT_DOUBLE_EQ(g.windowSec, r.seconds);
        EXPECT_DOUBLE_EQ(g.secPerPoint, r.seconds / 320);
        EXPECT_DOUBLE_EQ(g.playhead.y, 160);
        EXPECT_DOUBLE_EQ(g.topSec, 64 - r.seconds / 2);
    }
    EXPECT_DOUBLE_EQ(computeWaveGeometry(64, 0, &env, nullptr, kNoRows, 160, 0.5).secPerPoint, 32);
}

TEST(WaveGeometry, StrideAndVisibleBucketsFollowTheScale) {
    // 1024 columns over 128 s: 0.125 s per column.
    const auto env = envelope(1024, 128);
    const struct {
        double pos, zoom, H;
        int64_t stride, first, last;
    } rows[] = {
        {64, 0, 128, 2, 191, 321},     // 0.25 s per point: two columns per bucket
        {128, 0, 128, 2, 447, 511},    // the last bucket ends the range
        {0, 0, 128, 2, 0, 65},         // nothing before the start
        {64, -23, 128, 1, 509, 515},   // finer than a column: one column per bucket
        {64, 0, 16, 16, 23, 41},       // 2 s per point
        {400, 0, 128, 2, 1535, 511},   // past the end: no bucket is visible
    };
    for (const auto& r : rows) {
        SCOPED_TRACE(r.pos);
        const auto g = computeWaveGeometry(r.pos, r.zoom, &env, nullptr, kNoRows, 160, r.H);
        EXPECT_EQ(g.stride, r.stride);
        EXPECT_EQ(g.firstBucket, r.first);
        EXPECT_EQ(g.lastBucket, r.last);
    }
    EXPECT_TRUE(computeWaveGeometry(400, 0, &env, nullptr, kNoRows, 160, 128).quads.empty());
}

TEST(WaveGeometry, SmoothsFiveBucketsWithClampedEdgesAndSkipsSilentPairs) {
    // One loud column in silence; W = 11 makes a quad's width 9 × the smoothed value.
    auto env = envelope(1024, 128, 0);
    env.peak[600] = 1.0;
    env.peak[0] = 1.0;
    // -23: 0.5 s window, one column per bucket; column 600 lies at 75 s.
    auto g = computeWaveGeometry(75, -23, &env, nullptr, kNoRows, 11, 128);
    std::vector<double> tops, bottoms;
    for (const auto& q : g.quads) {
        tops.push_back(q.corners[1].x() - q.corners[0].x());
        bottoms.push_back(q.corners[2].x() - q.corners[3].x());
    }
    const std::vector<double> wantTops{1, 1, 2, 3, 2, 1}, wantBottoms{1, 2, 3, 2, 1, 1};
    ASSERT_EQ(tops.size(), wantTops.size());
    for (size_t i = 0; i < tops.size(); ++i) {
        EXPECT_NEAR(tops[i], wantTops[i], 1e-9);
        EXPECT_NEAR(bottoms[i], wantBottoms[i], 1e-9);
    }
    // At the start the missing neighbours repeat the first bucket: (1 + 2 + 3) / 9.
    g = computeWaveGeometry(0, -23, &env, nullptr, kNoRows, 11, 128);
    ASSERT_FALSE(g.quads.empty());
    EXPECT_NEAR(g.quads[0].corners[1].x() - g.quads[0].corners[0].x(), 6, 1e-9);
}

TEST(WaveGeometry, DrawsPairsThatReachIntoTheColumnOnly) {
    const auto env = envelope(1024, 128);
    // Buckets lie at y = j - 0.7; the last pair starts at 129.3, beyond H + one bucket.
    auto g = computeWaveGeometry(63.8, 0, &env, nullptr, kNoRows, 160, 128);
    EXPECT_EQ(g.lastBucket - g.firstBucket + 1, 132);
    EXPECT_EQ(g.quads.size(), 130u);
    EXPECT_NEAR(g.quads.front().corners[0].y(), -0.7, 1e-9);
    EXPECT_NEAR(g.quads.back().corners[2].y(), 129.3, 1e-9);
    // Colour of the bands: 0.1, 0.05, 0.2 times 6.09, capped.
    expectColor(g.quads.front().color, 0.609, 0.3045, 1.0);
}

TEST(WaveGeometry, WithoutTwoColumnsOnlyADimPlayheadShows) {
    SeratoFileMeta marks;
    marks.loops.push_back({0, 60, 70, "", "", false});
    marks.cues.push_back({0, 64, "ff0000", "", });
    const auto one = envelope(1, 128);
    for (const PeakEnvelope* env : {static_cast<const PeakEnvelope*>(nullptr), &one}) {
        const auto g = computeWaveGeometry(64, 0, env, &marks, kNoRows, 160, 320);
        EXPECT_TRUE(g.quads.empty() && g.gridLines.empty() && g.loops.empty() && g.cueLines.empty());
        EXPECT_DOUBLE_EQ(g.playhead.y, 160);
        EXPECT_DOUBLE_EQ(g.playhead.width, 1);
        expectColor(g.playhead.color, 1, 1, 1, 0.35);
    }
}

TEST(WaveGeometry, NumbersBarsOneFiveNineAndMinusOneAndPaintsMarkerBeatsRed) {
    // 240 BPM from a marker at 1 s: bars last 1 s, bar 1 starts at 1 s, bar -1 at 0 s.
    SeratoFileMeta marks;
    marks.gridBpm = 240;
    marks.gridMarkers = {{1.0, 128}};
    marks.gridTerminalT = 33.0;
    const auto env = envelope(1024, 64);
    const auto g = computeWaveGeometry(16, 0, &env, &marks, kNoRows, 160, 320);  // 0 to 32 s, 10 points a second
    std::vector<std::string> labels;
    for (const auto& l : g.barLabels) labels.push_back(l.text);
    EXPECT_EQ(labels, (std::vector<std::string>{"-1", "1", "5", "9", "13", "17", "21", "25", "29"}));
    EXPECT_DOUBLE_EQ(g.barLabels[1].bottomLeft.x(), 3);
    EXPECT_DOUBLE_EQ(g.barLabels[1].bottomLeft.y(), 9);
    expectColor(g.barLabels[1].color, 1, 0.35, 0.35);
    expectColor(g.barLabels[2].color, 1, 1, 1, 0.7);
    // Beats every 2.5 points from y = 0 to y = 320.
    ASSERT_EQ(g.gridLines.size(), 129u);
    const auto& marker = g.gridLines[4];
    EXPECT_DOUBLE_EQ(marker.y, 10);
    EXPECT_DOUBLE_EQ(marker.width, 1.5);
    expectColor(marker.color, 1, 0.15, 0.15, 0.9);
    expectColor(g.gridLines[8].color, 1, 1, 1, 0.3);   // bar 2, beat 1
    expectColor(g.gridLines[9].color, 1, 1, 1, 0.12);  // bar 2, beat 2
    EXPECT_DOUBLE_EQ(g.gridLines[9].width, 0.5);
}

TEST(WaveGeometry, ClipsLoopsToTheColumnAndDrawsOnlyInsideLines) {
    SeratoFileMeta marks;
    marks.loops = {{0, -5, 3, "", "", false},    // crosses the top: band 0...30, end line only
                   {1, 30, 40, "", "", false},   // crosses the bottom: band 300...320, start line only
                   {2, -10, -1, "", "", false},  // above the top
                   {3, 33, 35, "", "", false},   // below the bottom
                   {4, 12, 12, "", "", false},   // empty
                   {5, 10, 11, "", "", false}};  // inside: both lines
    const auto env = envelope(1024, 64);
    const auto g = computeWaveGeometry(16, 0, &env, &marks, kNoRows, 160, 320);
    ASSERT_EQ(g.loops.size(), 3u);
    const struct {
        double top, bottom;
        std::vector<double> lines;
    } want[] = {{0, 30, {30}}, {300, 320, {300}}, {100, 110, {100, 110}}};
    for (size_t i = 0; i < 3; ++i) {
        EXPECT_NEAR(g.loops[i].top, want[i].top, 1e-9);
        EXPECT_NEAR(g.loops[i].bottom, want[i].bottom, 1e-9);
        ASSERT_EQ(g.loops[i].lines.size(), want[i].lines.size());
        for (size_t k = 0; k < want[i].lines.size(); ++k) EXPECT_NEAR(g.loops[i].lines[k].y, want[i].lines[k], 1e-9);
    }
    expectColor(g.loops[0].bandColor, 0.42, 0.72, 1.0, 0.13);
    expectColor(g.loops[0].lines[0].color, 0.42, 0.72, 1.0, 0.8);
}

TEST(WaveGeometry, TakesCuesFromTheFirstSourceThatHasEntries) {
    auto env = envelope(1024, 64);
    env.cues = {{0, 5, {255, 0, 0}, "", 0}, {1, 6, {10}, "", 0}};
    SeratoFileMeta marks;
    marks.cues = {{0, 7, "#ff8000", ""}, {1, 8, "gg0000", ""}};
    const std::vector<host::SeratoCueRow> rows{{0, 9, "fff0"}, {1, 40, "00ff00"}};  // 40 s lies outside
    const std::vector<host::SeratoCueRow> empty;
    const auto cues = [&](const SeratoFileMeta* m, const std::optional<std::vector<host::SeratoCueRow>>& r) {
        return computeWaveGeometry(16, 0, &env, m, r, 160, 320).cueLines;
    };
    const QColor yellow = cues(&marks, empty)[1].color;

    auto c = cues(&marks, rows);
    ASSERT_EQ(c.size(), 1u);
    EXPECT_DOUBLE_EQ(c[0].y, 90);
    EXPECT_EQ(c[0].color, yellow);  // four digits read as nothing
    EXPECT_DOUBLE_EQ(c[0].width, 1.5);

    c = cues(&marks, empty);  // present but empty: the file's cues
    ASSERT_EQ(c.size(), 2u);
    EXPECT_DOUBLE_EQ(c[0].y, 70);
    expectColor(c[0].color, 1, 0.502, 0);
    EXPECT_NE(yellow, c[0].color);

    SeratoFileMeta noCues;
    c = cues(&noCues, empty);  // then the envelope's
    ASSERT_EQ(c.size(), 2u);
    expectColor(c[0].color, 1, 0, 0);
    EXPECT_EQ(c[1].color, yellow);  // fewer than three components
    EXPECT_EQ(cues(nullptr, kNoRows).size(), 2u);
}

TEST(WaveGeometry, PositionsThatCannotBeLaidOutShowThePlayheadOnly) {
    SeratoFileMeta marks;
    marks.gridBpm = 120;
    marks.gridMarkers = {{0.0, 64}};
    marks.gridTerminalT = 32.0;
    marks.loops = {{0, 0, 1e308, "", "", false}};
    auto env = envelope(120000, 480);
    auto broken = envelope(100, 10);
    broken.windowSec = {0, kNaN};
    const struct {
        double pos;
        const PeakEnvelope* env;
    } rows[] = {{kNaN, &env}, {1e300, &env}, {-1e300, &env}, {std::numeric_limits<double>::infinity(), &env},
                {5, &broken}};
    for (const auto& r : rows) {
        SCOPED_TRACE(r.pos);
        const auto g = computeWaveGeometry(r.pos, 0, r.env, &marks, kNoRows, 160, 900);
        EXPECT_TRUE(g.quads.empty() && g.gridLines.empty() && g.loops.empty() && g.cueLines.empty());
        EXPECT_DOUBLE_EQ(g.playhead.y, 450);
        expectColor(g.playhead.color, 1, 1, 1, 0.9);
    }
}

}  // namespace
}  // namespace plindo::ui
