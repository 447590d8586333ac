#include "ui/library/wave_canvas.h"

#include <gtest/gtest.h>

namespace plindo::ui {
namespace {

using library::DeckMeta;

// A silent 200 s track (no waveform lines), so probes see only boundaries, cues and loops.
library::PeakEnvelope silentTrack(int columns = 2000) {
    library::PeakEnvelope env;
    env.columns = columns;
    env.windowSec = {0, 200};
    env.durationSec = 200;
    env.peak.assign(size_t(columns), 0);
    env.bass = env.mid = env.treble = env.peak;
    return env;
}

DeckMeta flipMeta() {
    DeckMeta meta;
    meta.cues.push_back({std::nullopt, 20, "#00ff00", ""});
    meta.loops.push_back({std::nullopt, 130, 150, std::nullopt, "", false});
    DeckMeta::Flip flip;
    flip.actions = std::vector<DeckMeta::FlipAction>{{"jump", 30, 10, std::nullopt}, {"jump", 40, 120, std::nullopt}};
    meta.flips.push_back(flip);
    return meta;
}

QColor at(const QImage& img, int x, int y) { return img.pixelColor(x, y); }  // unpremultiplied

TEST(WaveCanvas, DrawsBoundariesCuesAndLoopsInTheFlipsPlayOrder) {
    const auto env = silentTrack();
    const auto meta = flipMeta();
    // 140 s of flip time over 1400 pixels: 10 pixels a second.
    const QImage img = renderWaveCanvas(env, &meta, &meta.flips[0], QSize(1400, 100), 1.0);
    ASSERT_EQ(img.size(), QSize(1400, 100));
    for (int x : {300, 600, 1399}) {  // after 30 s, 60 s and on the right edge
        SCOPED_TRACE(x);
        const QColor c = at(img, x, 50);
        EXPECT_GT(c.alpha(), 150);
        EXPECT_GT(c.red(), 230);
        EXPECT_GT(c.blue(), 230);
        EXPECT_LT(at(img, x - 12, 50).alpha(), 40);
    }
    // The cue at 20 s shows in the first span and again in the second (10...40 s, from 30 s of flip time).
    std::vector<int> greens;
    for (int x = 0; x < 1400; ++x) {
        const QColor c = at(img, x, 50);
        if (c.alpha() > 200 && c.green() > 200 && c.red() < 120) greens.push_back(x);
    }
    int first = 0, second = 0;
    for (int x : greens) {
        first += x >= 198 && x <= 201;
        second += x >= 398 && x <= 401;
    }
    EXPECT_GE(first, 2);
    EXPECT_GE(second, 2);
    EXPECT_EQ(size_t(first + second), greens.size());
    EXPECT_GT(at(img, 200, 10).green(), 200);  // the triangle's top, wider than the line
    EXPECT_GT(at(img, 205, 2).alpha(), 200);
    // The loop 130...150 s lies in the third span: a box from 700 to 900 pixels, its top edge at y = 3.
    const QColor loop = at(img, 800, 3);
    EXPECT_GT(loop.alpha(), 200);
    EXPECT_NEAR(loop.redF(), 0.25, 0.12);
    EXPECT_NEAR(loop.greenF(), 0.55, 0.12);
    EXPECT_GT(loop.blueF(), 0.9);
    EXPECT_LT(at(img, 800, 50).alpha(), 40);  // an outline, not a fill
}

TEST(WaveCanvas, DrawsRightChannelAboveAndLeftBelowTheMiddle) {
    auto env = silentTrack();
    env.peak.assign(2000, 1.0);
    env.peakR = std::vector<double>(2000, 0.5);
    env.peakL = std::vector<double>(2000, 1.0);
    const QImage img = renderWaveCanvas(env, nullptr, nullptr, QSize(400, 100), 1.0);
    EXPECT_LT(at(img, 200, 15).alpha(), 100);  // above 25: only the glow
    EXPECT_GT(at(img, 200, 30).alpha(), 170);
    EXPECT_GT(at(img, 200, 95).alpha(), 170);
    EXPECT_EQ(img.devicePixelRatio(), 1.0);
    const QImage hi = renderWaveCanvas(env, nullptr, nullptr, QSize(400, 100), 2.0);
    EXPECT_EQ(hi.size(), QSize(800, 200));
    EXPECT_EQ(hi.devicePixelRatio(), 2.0);
}

TEST(WaveCanvas, DrawsNothingWithoutTwoColumnsOrWithoutLength) {
    auto one = silentTrack(1);
    auto empty = silentTrack();
    empty.durationSec = 0;
    const auto meta = flipMeta();
    for (const auto* env : {&one, &empty}) {
        const QImage img = renderWaveCanvas(*env, &meta, nullptr, QSize(300, 80), 1.0);
        bool blank = true;
        for (int y = 0; y < img.height() && blank; ++y)
            for (int x = 0; x < img.width() && blank; ++x) blank = img.pixelColor(x, y).alpha() == 0;
        EXPECT_TRUE(blank);
    }
}

TEST(WaveCanvasCache, MissesWhenTheDataChangedSinceTheImageWasDrawn) {
    WaveCanvasCache cache(4);
    auto env = std::make_shared<const library::PeakEnvelope>(silentTrack(4));
    auto meta = std::make_shared<const DeckMeta>();
    QImage img(10, 10, QImage::Format_ARGB32_Premultiplied);
    cache.put("/a", env, nullptr, -1, QSize(10, 10), 1.0, img);
    EXPECT_FALSE(cache.find("/a", env, nullptr, -1, QSize(10, 10), 1.0).isNull());
    EXPECT_TRUE(cache.find("/a", env, meta, -1, QSize(10, 10), 1.0).isNull());  // metadata arrived
    EXPECT_TRUE(cache.find("/a", env, nullptr, 0, QSize(10, 10), 1.0).isNull());
    EXPECT_TRUE(cache.find("/a", env, nullptr, -1, QSize(11, 10), 1.0).isNull());
    EXPECT_TRUE(cache.find("/a", env, nullptr, -1, QSize(10, 10), 2.0).isNull());
    auto rebuilt = std::make_shared<const library::PeakEnvelope>(silentTrack(4));
    EXPECT_TRUE(cache.find("/a", rebuilt, nullptr, -1, QSize(10, 10), 1.0).isNull());
}

}  // namespace
}  // namespace plindo::ui
