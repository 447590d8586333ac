#include "ui/main/deck_wave_column.h"

#include "../fake_host.h"
#include "../wave_test_audio.h"

#include <QHBoxLayout>
#include <QPainter>
#include <QTest>

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <limits>
#include <vector>

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

// A trapezoid symmetric about the column's centre, as the layout makes them.
WaveGeometry::Quad trapezoid(double W, double y0, double y1, double w0, double w1, QColor color) {
    return {{QPointF(W / 2 - w0 / 2, y0), QPointF(W / 2 + w0 / 2, y0), QPointF(W / 2 + w1 / 2, y1),
             QPointF(W / 2 - w1 / 2, y1)},
            color};
}

// The largest difference of any channel between two images of one size.
int maxChannelDifference(const QImage& a, const QImage& b) {
    int worst = 0;
    for (int y = 0; y < a.height(); ++y) {
        for (int x = 0; x < a.width(); ++x) {
            const QRgb p = a.pixel(x, y), q = b.pixel(x, y);
            worst = std::max({worst, std::abs(qRed(p) - qRed(q)), std::abs(qGreen(p) - qGreen(q)),
                              std::abs(qBlue(p) - qBlue(q)), std::abs(qAlpha(p) - qAlpha(q))});
        }
    }
    return worst;
}

TEST(DeckWaveColumn, FillsTheWaveAsThePaintersAntialiasedPolygonsWithinTheColumn) {
    const QColor violet = QColor::fromRgbF(0.7f, 0.3f, 1.0f), amber = QColor::fromRgbF(1.0f, 0.6f, 0.1f);
    const QColor veil = QColor::fromRgbF(1, 1, 1, 0.85f);
    struct Case {
        const char* name;
        double W, H, ratio;
        std::vector<WaveGeometry::Quad> quads;
    };
    const std::vector<Case> cases = {
        {"sub-pixel rows sharing edges", 160, 40, 1,
         {trapezoid(160, 3.3, 4.1, 40.6, 80.2, violet), trapezoid(160, 4.1, 5.85, 80.2, 30.3, amber),
          trapezoid(160, 5.85, 9.6, 30.3, 31.7, violet), trapezoid(160, 9.6, 12.2, 31.7, 120.9, veil)}},
        {"widths near nothing and near the whole column", 159, 30, 1,
         {trapezoid(159, 1.2, 4.7, 0.05, 1.0, amber), trapezoid(159, 4.7, 8.25, 1.0, 0.2, veil),
          trapezoid(159, 10.5, 13.5, 157, 159, violet), trapezoid(159, 13.5, 14.75, 159, 170, amber)}},
        {"a slope across many pixels within a row", 160, 20, 1,
         {trapezoid(160, 5.1, 5.5, 2, 150, violet), trapezoid(160, 5.5, 6.9, 150, 3, veil)}},
        {"clipped at the top and the bottom", 120, 24, 1,
         {trapezoid(120, -3.5, 4.2, 20, 60, violet), trapezoid(120, 4.2, 7, 60, 50, amber),
          trapezoid(120, 21.3, 29, 50, 90, veil)}},
        {"device pixel ratio 2", 80, 20, 2,
         {trapezoid(80, -0.3, 2.35, 10.1, 40.7, amber), trapezoid(80, 2.35, 6.1, 40.7, 0.4, veil),
          trapezoid(80, 6.1, 9.93, 0.4, 78, violet), trapezoid(80, 17.6, 21, 78, 2, amber)}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        WaveGeometry g;
        g.width = c.W;
        g.height = c.H;
        g.quads = c.quads;
        g.playhead.color = Qt::transparent;
        const QSize device(int(c.W * c.ratio), int(c.H * c.ratio));

        QImage painted(device, QImage::Format_ARGB32_Premultiplied);
        painted.setDevicePixelRatio(c.ratio);
        QPainter p(&painted);
        p.fillRect(QRectF(0, 0, c.W, c.H), Qt::black);
        p.setRenderHint(QPainter::Antialiasing);
        p.setPen(Qt::NoPen);
        for (const auto& q : g.quads) {
            p.setBrush(q.color);
            p.drawPolygon(q.corners.data(), 4, Qt::WindingFill);
        }
        p.end();

        QImage filled(device, QImage::Format_ARGB32_Premultiplied);
        filled.setDevicePixelRatio(c.ratio);
        fillDeckWaveGround(filled, g);
        EXPECT_LE(maxChannelDifference(painted, filled), 2);

        // Painted into a larger canvas at an offset, the ground lands 1:1 on the column and nothing outside it.
        QImage canvas(device + QSize(int(8 * c.ratio), int(8 * c.ratio)), QImage::Format_ARGB32_Premultiplied);
        canvas.setDevicePixelRatio(c.ratio);
        canvas.fill(Qt::green);
        QImage green = canvas;
        QPainter q(&canvas);
        q.translate(4, 4);
        paintDeckWave(q, g);
        q.end();
        const QRect column(QPoint(int(4 * c.ratio), int(4 * c.ratio)), device);
        EXPECT_EQ(canvas.copy(column), filled);
        q.begin(&canvas);
        q.resetTransform();
        q.fillRect(QRectF(4, 4, c.W, c.H), Qt::green);
        q.end();
        EXPECT_EQ(canvas, green) << "drawn outside the column";
    }

    // Corners that are not numbers or lie far away (a damaged envelope) stay within the image.
    WaveGeometry wild;
    wild.width = 40;
    wild.height = 20;
    wild.quads = {trapezoid(40, std::nan(""), 5, 10, 10, amber), trapezoid(40, 2, 1e300, 1e300, 5, violet),
                  trapezoid(40, -1e300, 3, std::numeric_limits<double>::infinity(), 4, amber)};
    QImage img(40, 20, QImage::Format_ARGB32_Premultiplied);
    fillDeckWaveGround(img, wild);
    EXPECT_EQ(img.pixel(20, 10), violet.rgba());
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
