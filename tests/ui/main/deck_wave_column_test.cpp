#include "ui/main/deck_wave_column.h"

#include "../fake_host.h"
#include "../wave_test_audio.h"

#include <QHBoxLayout>
#include <QPainter>
#include <QTest>

#include <gtest/gtest.h>

#include <cmath>

namespace plindo::ui {
namespace {

// A track analysed from a generated tone, so the column shows real colours and shapes.
std::shared_ptr<const library::PeakEnvelope> analysedTone(double seconds, double pitch) {
    const auto s = test::toneSamples(seconds, 22050, pitch);
    return std::make_shared<const library::PeakEnvelope>(library::PeakEnvelope::analyze(s.left, s.right, 22050, "/tone.wav"));
}

std::shared_ptr<const library::SeratoFileMeta> gridLoopsAndCues() {
    auto m = std::make_shared<library::SeratoFileMeta>();
    m->gridBpm = 120;
    m->gridMarkers = {{0.25, 32}, {16.25, 32}};
    m->gridTerminalT = 32.25;
    m->loops = {{0, 20, 24, "", "", false}};
    m->cues = {{0, 18, "ff8000", ""}, {1, 26.5, "#30a0ff", ""}};
    return m;
}

TEST(DeckWaveColumn, PaintsAWhitePlayheadAndARedGridMarker) {
    library::PeakEnvelope env;
    env.columns = 120000;
    env.windowSec = {0, 480};
    env.peak.assign(120000, 0.3);
    env.bass = env.mid = env.treble = std::vector<double>(120000, 0.05);
    library::SeratoFileMeta marks;
    marks.gridBpm = 120;
    marks.gridMarkers = {{50.0, 64}};
    marks.gridTerminalT = 82.0;
    // 32 s over 900 rows from 44 s: the marker at 50 s lies at row 168.75.
    const auto g = computeWaveGeometry(60, 0, &env, &marks, std::nullopt, 160, 900);
    QImage img(160, 900, QImage::Format_ARGB32_Premultiplied);
    img.fill(Qt::green);
    QPainter p(&img);
    paintDeckWave(p, g);
    p.end();
    // Lines straddle pixel rows as their y says: the playhead at 450 covers three quarters of rows 449 and 450.
    const QColor head = img.pixelColor(10, 450), marker = img.pixelColor(10, 168);
    EXPECT_GT(head.red(), 150);
    EXPECT_EQ(head.red(), head.green());
    EXPECT_EQ(head.red(), head.blue());
    EXPECT_GT(marker.red(), 200);
    EXPECT_LT(marker.green(), 60);
    EXPECT_EQ(img.pixelColor(10, 300), QColor(Qt::black));  // the black column outside the waveform
    EXPECT_NE(img.pixelColor(80, 300), QColor(Qt::black));  // the waveform around the centre
}

TEST(DeckWaveColumn, ShowsBothDecksMidTrackAndADimPlayheadWithoutATrack) {
    plindo::test::FakeHost host;
    host::DeckInfo d1, d2;
    d1.posSec = 22;
    d2.posSec = 14;
    host.assignDeck(1, d1);
    host.assignDeck(2, d2);
    host.assignDeckEnv(1, analysedTone(40, 120));
    host.assignDeckMarks(1, gridLoopsAndCues());
    host.zoomValue[1] = -6;

    QWidget frame;
    auto* layout = new QHBoxLayout(&frame);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(2);
    DeckWaveColumn left(host, 1), right(host, 2);
    layout->addWidget(&left);
    layout->addWidget(&right);
    frame.resize(322, 900);
    frame.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&frame));
    EXPECT_EQ(left.width(), DeckWaveColumn::kMaxWidth);

    QImage empty = right.grab().toImage();
    const int mid = right.height() / 2;
    const int dim = std::max(empty.pixelColor(40, mid - 1).red(), empty.pixelColor(40, mid).red());
    EXPECT_GT(dim, 30);
    EXPECT_LT(dim, 100);
    EXPECT_EQ(empty.pixelColor(40, right.height() / 4), QColor(Qt::black));
    EXPECT_FALSE(left.frame().quads.empty());
    EXPECT_FALSE(left.frame().barLabels.empty());
    EXPECT_EQ(left.frame().loops.size(), 1u);

    // Deck 2 gets a track, grid and cues from the DJ application: the next frame shows them.
    host.assignDeckEnv(2, analysedTone(40, 300));
    host.assignDeckMarks(2, gridLoopsAndCues());
    host.cueRows[2] = {{0, 15.5, "ff3030"}, {1, 12, "#ffffff"}};
    EXPECT_EQ(right.frame().cueLines.size(), 2u);
    frame.grab().save(qEnvironmentVariable("PLINDO_SCREENSHOT_DIR") + "/deck_wave_columns.png");
}

}  // namespace
}  // namespace plindo::ui
