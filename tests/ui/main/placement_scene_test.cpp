#include "ui/main/placement_geometry.h"
#include "ui/main/placement_scene.h"

#include <QDir>
#include <QFile>
#include <QImage>
#include <QPainter>

#include <gtest/gtest.h>

#include <cmath>
#include <numbers>

namespace plindo::ui {
namespace {

using namespace placement;
using Raw = link::OrvRemoteLink::RawMirror;
constexpr double kPi = std::numbers::pi;

TEST(PlacementGeometry, ScaleFollowsTheTighterSide) {
    struct Case { QSizeF size; double k; };
    for (const Case c : {Case{{800, 170}, 170 / 18.288}, {{300, 400}, 300 / 34.1376}, {{341.376, 182.88}, 10}}) {
        EXPECT_NEAR(scaleK(c.size), c.k, 1e-9) << c.size.width() << "x" << c.size.height();
    }
}

TEST(PlacementGeometry, ProjectionAndEllipsesOfTheObliqueView) {
    const View v = viewFor({341.376, 182.88});  // k = 10
    EXPECT_NEAR(v.cx, 170.688, 1e-9);
    EXPECT_NEAR(v.cy, 0.58 * 182.88, 1e-9);
    EXPECT_NEAR(v.R, 152.4, 1e-9);
    const QPointF p = v.project(1, 2, 3);
    EXPECT_NEAR(p.x(), v.cx + 10, 1e-9);
    EXPECT_NEAR(p.y(), v.cy - 10 * (0.84 + 2.58), 1e-9);

    // The platter's shadow: its top edge is Cy - 0.42 R + 1.376 k.
    const QRectF shadow = v.ellipse(kPlatterCm, -1.6);
    EXPECT_NEAR(shadow.left(), v.cx - 152.4, 1e-9);
    EXPECT_NEAR(shadow.top(), v.cy - 0.42 * 152.4 + 13.76, 1e-9);
    EXPECT_NEAR(shadow.width(), 304.8, 1e-9);
    EXPECT_NEAR(shadow.height(), 0.84 * 152.4, 1e-9);
}

TEST(PlacementGeometry, PhoneLiesAtTheNegatedTurnedOffset) {
    // The spindle seen 3 cm right and 4 cm ahead by a phone turned a quarter: rot((3, 4)) = (-4, 3).
    const Vec2 t = phoneCentre(3, 4, kPi / 2);
    EXPECT_NEAR(t.x, 4, 1e-12);
    EXPECT_NEAR(t.y, -3, 1e-12);
    const Vec2 c0 = phoneToWorld(footprint()[0], 3, 4, kPi / 2);  // (-3.575, -7.335) turned is (7.335, -3.575)
    EXPECT_NEAR(c0.x, 7.335 + 4, 1e-12);
    EXPECT_NEAR(c0.y, -3.575 - 3, 1e-12);
    EXPECT_NEAR(footprint()[2].x - footprint()[0].x, 7.15, 1e-12);
    EXPECT_NEAR(footprint()[2].y - footprint()[0].y, 14.67, 1e-12);
}

TEST(PlacementGeometry, HeightsAndTilt) {
    struct Case { double planeDevDeg; bool lifted; double h, rise; };
    for (const Case c : {Case{10, false, 1.3, 2.5867}, {10, true, 5.3, 0}, {-1, false, 1.3, 0},
                         {std::nan(""), false, 1.3, 0}, {0, false, 1.3, 0}}) {
        EXPECT_DOUBLE_EQ(restHeight(c.lifted), c.h);
        EXPECT_NEAR(tiltRise(c.planeDevDeg, c.lifted), c.rise, 1e-4) << c.planeDevDeg;
    }
    const double rise = tiltRise(10, false);
    EXPECT_DOUBLE_EQ(underside(-7.335, 1.3, rise), 1.3);  // the near end rests
    EXPECT_NEAR(underside(7.335, 1.3, rise), 1.3 + 2.5867, 1e-4);
    EXPECT_NEAR(topside(0, 1.3, rise), 1.3 + rise / 2 + 0.9, 1e-12);

    EXPECT_TRUE(isLifted(0x21, true));
    EXPECT_TRUE(isLifted(0x20, true));
    EXPECT_FALSE(isLifted(0x30, true));
    EXPECT_FALSE(isLifted(0x20, false));  // a stale record is never lifted
}

TEST(PlacementGeometry, EdgesSortFarFirstAndStable) {
    struct Case { std::vector<int> in; double theta; std::vector<int> out; };
    for (const Case& c : {
             Case{{0, 1, 2, 3}, 0, {2, 1, 3, 0}},          // the side edges are level and keep their order
             Case{{4, 5, 6, 7}, 0, {6, 5, 7, 4}},          // indices taken modulo 4
             Case{{3, 2, 1, 0}, 0, {2, 3, 1, 0}},
             Case{{0, 1, 2, 3}, 3 * kPi / 4, {0, 1, 3, 2}},  // turned half round and more: the near end is far
             Case{{-1, 0}, 0, {-1, 0}},
         }) {
        std::vector<int> e = c.in;
        sortEdgesByDepth(e, c.theta, footprint());
        EXPECT_EQ(e, c.out) << c.theta;
    }
}

TEST(PlacementGeometry, FieldGlowStartsAbove0028Microtesla) {
    struct Case { double fieldAC; double g; bool drawn; };
    for (const Case c : {Case{0.028, 0.02, false}, {0.03, 0.03 / 1.4, true}, {1.4, 1, true}, {9, 1, true},
                         {0, 0, false}, {-2, 0, false}, {std::nan(""), 0, false}}) {
        EXPECT_NEAR(fieldGlow(c.fieldAC), c.g, 1e-12) << c.fieldAC;
        EXPECT_EQ(fieldGlow(c.fieldAC) > 0.02, c.drawn) << c.fieldAC;
    }
}

QImage scene(const Raw& raw, bool fresh, double theta = 0, QSizeF size = {341.376, 182.88}) {
    QImage img(size.toSize(), QImage::Format_ARGB32_Premultiplied);
    img.fill(Qt::magenta);
    QPainter p(&img);
    drawPlacementScene(p, raw, fresh, {}, {}, size, theta);
    return img;
}

TEST(PlacementScene, StaleRecordDimsThePlatterAndDrawsNoPhone) {
    Raw placed;
    placed.placeFlags = 0x03;
    placed.offX = 2;
    const QImage stale = scene(placed, false), empty = scene(Raw{}, false), fresh = scene(Raw{}, true);
    EXPECT_EQ(stale, empty);  // no phone, no icon, no caption

    // On the platter top at (14.8, 0): over the background and the platter's shadow lies the top at level
    // 0.22, fully when fresh, at 0.28 when stale.
    const View v = viewFor({341.376, 182.88});
    const QPoint at(int(v.cx + 148), int(v.cy));
    EXPECT_NEAR(fresh.pixelColor(at).redF(), 0.22, 0.015);
    const double bg = 0.13 - 0.08 * (at.y() + 0.5) / 182.88;
    const double expected = bg * (1 - 0.6 * 0.28) * (1 - 0.28) + 0.22 * 0.28;
    EXPECT_NEAR(stale.pixelColor(at).redF(), expected, 0.015);
}

TEST(PlacementScene, UnplacedPhoneIconSitsTopLeftOrangeAndDashedWhenLifted) {
    // Upright, the symbol's right edge runs at x = 51.5 from y = 45.5 to 66.5.
    auto edge = [](const QImage& img) {
        int bright = 0, orange = 0, dark = 0;
        for (int y = 48; y <= 64; ++y) {
            const QColor c = img.pixelColor(51, y);
            if (c.red() > 170 && c.green() > 170 && c.blue() > 170) ++bright;
            else if (c.red() > 170 && c.green() > 90 && c.green() < 190 && c.blue() < 90) ++orange;
            else if (c.red() < 90) ++dark;
        }
        return std::array<int, 3>{bright, orange, dark};
    };
    Raw unknown;  // no position bit
    const auto plain = edge(scene(unknown, true));
    EXPECT_EQ(plain[0], 17);  // solid, light

    Raw lifted;
    lifted.placeFlags = 0x20;
    const auto dashed = edge(scene(lifted, true));
    EXPECT_GE(dashed[1], 6);  // orange dashes ...
    EXPECT_GE(dashed[2], 3);  // ... with gaps

    // A position bit over an offset that is no number is still no position.
    Raw broken;
    broken.placeFlags = 0x03;
    broken.offX = std::nan("");
    EXPECT_EQ(edge(scene(broken, true))[0], 17);
    // And a yaw that is no number leaves the symbol out but draws the rest.
    EXPECT_EQ(edge(scene(unknown, true, std::nan("")))[0], 0);
}

// A fresh record of a phone in the given state.
Raw record(int flags, double offX, double offY, double planeDevDeg, double fieldAC, double rotorPhase = 0) {
    Raw raw;
    raw.placeFlags = flags;
    raw.offX = offX;
    raw.offY = offY;
    raw.planeDevDeg = planeDevDeg;
    raw.fieldAC = fieldAC;
    raw.rotorPhase = rotorPhase;
    return raw;
}

// The soft shadow and glow and the translucent parts of the phone are painted through kept layers now; the
// picture stays within a few levels of the one drawn with a fresh full blur per frame (the images in data/
// were drawn that way). The text boxes are left out: their pixels belong to the fonts, not to the drawing.
TEST(PlacementScene, LayersPaintWithinAFewLevelsOfAFreshBlurPerFrame) {
    struct Case { const char* name; int flags; double offX, offY, dev, field, phase, theta; };
    const QRect caption(0, 0, 467, 26), twelve(467 / 2 - 12, 30, 24, 20);
    for (const Case& c : {Case{"placed_glow", 0x03, 1.2, -1.6, 1.3, 0.9, 1.0, 0.5},
                          Case{"placed_tilted", 0x03, -3.0, 2.5, 6.0, 0.0, 0.0, 2.2},
                          Case{"lifted", 0x23, 2.0, 1.0, 0.0, 0.0, 0.0, -0.8},
                          Case{"unsettled_full_glow", 0x01, 0.5, 0.3, 0.4, 1.4, 4.0, 1.1}}) {
        const QImage now = scene(record(c.flags, c.offX, c.offY, c.dev, c.field, c.phase), true, c.theta, {467, 173});
        const QImage before = QImage(QStringLiteral(PLINDO_TEST_DATA "/placement_%1.png").arg(c.name))
                                  .convertToFormat(QImage::Format_ARGB32_Premultiplied);
        ASSERT_EQ(before.size(), now.size()) << c.name;
        int worst = 0;
        long total = 0;
        for (int y = 0; y < now.height(); ++y) {
            for (int x = 0; x < now.width(); ++x) {
                if (caption.contains(x, y) || twelve.contains(x, y)) continue;
                const QRgb a = now.pixel(x, y), b = before.pixel(x, y);
                const int d = std::max({std::abs(qRed(a) - qRed(b)), std::abs(qGreen(a) - qGreen(b)),
                                        std::abs(qBlue(a) - qBlue(b))});
                worst = std::max(worst, d);
                total += d;
            }
        }
        EXPECT_LE(worst, 3) << c.name;
        EXPECT_LT(double(total) / (467.0 * 173.0), 0.03) << c.name;
    }
}

// A canvas repaints, between two frames of one look, only the moving parts of both: every pixel that differs
// between them lies there.
TEST(PlacementScene, FramesOfOneLookDifferOnlyWhereTheirMovingPartsLie) {
    const QSizeF size{467, 173};
    struct Case { int flags; double offX, offY, dev, field; };
    for (const Case c : {Case{0x03, 1.2, -1.6, 1.3, 0.9}, Case{0x03, -9, 6, 8, 0}, Case{0x23, 2, 1, 0, 1.4},
                         Case{0x01, 0.5, 0.3, 0.4, 0.02}, Case{0x00, 0, 0, -1, 0.7}}) {
        for (const double turn : {0.06, 1.9}) {
            const Raw a = record(c.flags, c.offX, c.offY, c.dev, c.field);
            Raw b = a;
            b.offX += 0.7;
            b.rotorPhase = 5;
            b.fieldAC *= 1.3;
            ASSERT_EQ(placementLook(a, true, {}, {}), placementLook(b, true, {}, {}));
            const QImage before = scene(a, true, 0.3, size), after = scene(b, true, 0.3 + turn, size);
            const QRect moving =
                (placementMovingRect(a, true, size, 0.3) | placementMovingRect(b, true, size, 0.3 + turn)).toAlignedRect();
            int outside = 0;
            for (int y = 0; y < before.height(); ++y)
                for (int x = 0; x < before.width(); ++x)
                    outside += !moving.contains(x, y) && before.pixel(x, y) != after.pixel(x, y);
            EXPECT_EQ(outside, 0) << c.flags << " turned " << turn;
        }
    }
    // Freshness, the phone's state behind its caption and the labels make another look.
    Raw settled;
    settled.placeFlags = 0x03;
    Raw measuring = settled;
    measuring.placeFlags = 0x01;
    EXPECT_NE(placementLook(settled, true, {}, {}), placementLook(measuring, true, {}, {}));
    EXPECT_NE(placementLook(settled, true, {}, {}), placementLook(settled, false, {}, {}));
    EXPECT_NE(placementLook(settled, true, {}, {}), placementLook(settled, true, QStringLiteral("🎧"), {}));
    // A phone where no number is: the whole canvas.
    settled.offY = 1e300;
    EXPECT_EQ(placementMovingRect(settled, true, size, 0), QRectF(QPointF(0, 0), size));
}

// Nanoseconds the raster engine's pool threads have run so far (the threads this process has named so).
double pooledRunNs() {
    double ns = 0;
    for (const QString& task : QDir("/proc/self/task").entryList(QDir::Dirs | QDir::NoDotAndDotDot)) {
        QFile comm("/proc/self/task/" + task + "/comm"), stat("/proc/self/task/" + task + "/schedstat");
        if (!comm.open(QIODevice::ReadOnly) || !comm.readAll().startsWith("Thread (pooled)")) continue;
        if (stat.open(QIODevice::ReadOnly)) ns += stat.readAll().split(' ').value(0).toDouble();
    }
    return ns;
}

// At a phone's rate the raster engine's hand-offs to its thread pool cost far more than the drawing: a frame of
// the tile's moving parts stays on the painting thread, whatever the phone's state.
TEST(PlacementScene, FramesAtAPhonesRateLeaveTheRasterThreadPoolIdle) {
    QImage img(467, 173, QImage::Format_ARGB32_Premultiplied);
    img.fill(Qt::black);
    PlacementKeep keep;
    const double before = pooledRunNs();
    for (const int flags : {0x03, 0x01, 0x23, 0x00, 0x20}) {
        for (int i = 0; i < 12; ++i) {
            QPainter p(&img);
            drawPlacementForeground(p, record(flags, 1.2 - 0.3 * i, -1.6, 1.3, 0.9, i), true, {}, {}, {467, 173},
                                    0.2 * i, keep);
        }
    }
    // A pool thread that ends its idle wait runs for microseconds; one that fills runs for milliseconds.
    EXPECT_LT(pooledRunNs() - before, 1e6);
}

}  // namespace
}  // namespace plindo::ui
