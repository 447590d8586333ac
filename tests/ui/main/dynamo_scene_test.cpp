#include "ui/main/dynamo_scene.h"

#include <QImage>

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <numbers>

namespace plindo::ui {
namespace {

using motion::DynamoFrame;
using motion::DynamoGate::Turn;
using P = DynamoPrimitive;
constexpr double kPi = std::numbers::pi;

std::vector<const P*> withRole(const DynamoScene& s, const char* role) {
    std::vector<const P*> out;
    for (const auto& p : s)
        if (std::strcmp(p.role, role) == 0) out.push_back(&p);
    return out;
}

// A frame whose newest mark is `age` seconds old at (2, 1) cm.
DynamoFrame withMark(double age, double da = 0) {
    DynamoFrame f;
    f.now = 100;
    f.tail = {{2, 1, 100 - age, false, false, da, {}}};
    return f;
}

TEST(DynamoScene, ScaleComesFromTheShorterSide) {
    const auto scene = buildDynamoScene({}, {400, 300}, 0);
    const auto rings = withRole(scene, "rings");
    ASSERT_EQ(rings.size(), 9u);
    EXPECT_DOUBLE_EQ(rings[8]->radius, 150);  // R = 150: nine rings of 150 / 9 points per cm
    EXPECT_DOUBLE_EQ(rings[0]->radius, 150.0 / 9);
    EXPECT_EQ(rings[0]->points[0], QPointF(200, 150));
    EXPECT_DOUBLE_EQ(rings[2]->opacity, 0.16);
    EXPECT_DOUBLE_EQ(rings[3]->opacity, 0.06);
}

TEST(DynamoScene, ReferenceTurnsOnlyInTheDynamoPictureAndBit4MirrorsIt) {
    struct Case { Turn turn; double theta; uint32_t flips; QPointF end; };
    // 400 x 300: centre (200, 150), the line reaches R - 26 = 124 points.
    for (const Case c : {Case{Turn::stato, 1.0, 1u << 4, {200, 26}}, {Turn::dynamo, kPi / 2, 0, {324, 150}},
                         {Turn::dynamo, kPi / 2, 1u << 4, {76, 150}}}) {
        DynamoFrame f;
        f.mode.turn = c.turn;
        f.theta = c.theta;
        const auto scene = buildDynamoScene(f, {400, 300}, c.flips);
        const auto ref = withRole(scene, "ref");
        ASSERT_EQ(ref.size(), 2u);
        EXPECT_NEAR(ref[0]->points[1].x(), c.end.x(), 1e-9);
        EXPECT_NEAR(ref[0]->points[1].y(), c.end.y(), 1e-9);
        EXPECT_EQ(ref[1]->text, "12");
    }
}

TEST(DynamoScene, ArrowTurnsOnlyInTheStatoPictureAndBit3MirrorsIt) {
    struct Case { Turn turn; uint32_t flips; QPointF dir; };
    for (const Case c : {Case{Turn::stato, 0, {0, -1}}, {Turn::stato, 1u << 3, {0, 1}}, {Turn::dynamo, 1u << 3, {1, 0}}}) {
        DynamoFrame f = withMark(1);
        f.mode.turn = c.turn;
        f.theta = kPi / 2;
        f.headAxG = 0.1;  // 40 x 0.1 = 4 cm long
        const auto scene = buildDynamoScene(f, {400, 300}, c.flips);
        const auto arrow = withRole(scene, "arrow");
        ASSERT_EQ(arrow.size(), 3u);
        const QPointF d = arrow[0]->points[1] - arrow[0]->points[0];
        const double s = 150.0 / 9;
        EXPECT_NEAR(d.x(), c.dir.x() * 4 * s, 1e-9);
        EXPECT_NEAR(d.y(), c.dir.y() * 4 * s, 1e-9);
    }
    // No acceleration: no arrow, but the sigma circle.
    DynamoFrame f = withMark(1);
    f.sigmaCm = 2;
    const auto scene = buildDynamoScene(f, {400, 300}, 0);
    EXPECT_TRUE(withRole(scene, "arrow").empty());
    const auto sigma = withRole(scene, "sigma");
    ASSERT_EQ(sigma.size(), 1u);
    EXPECT_DOUBLE_EQ(sigma[0]->radius, 2 * 150.0 / 9);
    EXPECT_EQ(sigma[0]->dash, (std::vector<double>{3, 3}));
    EXPECT_DOUBLE_EQ(sigma[0]->width, 1.5);
}

TEST(DynamoScene, AnchorRingNeedsMoreThanHalfAMillimetre) {
    DynamoFrame f;
    f.anchorCm = 0.05;
    EXPECT_TRUE(withRole(buildDynamoScene(f, {400, 300}, 0), "anchor").empty());
    f.anchorCm = 0.06;
    const auto scene = buildDynamoScene(f, {400, 300}, 0);
    const auto ring = withRole(scene, "anchor");
    ASSERT_EQ(ring.size(), 1u);
    EXPECT_EQ(ring[0]->dash, (std::vector<double>{4, 6}));
}

TEST(DynamoScene, TrailMarksFadeWithAgeAndTurnsAndNeverBrightenAgain) {
    struct Case { double age, da; bool drawn; double dot, glow; };
    const double turn = 2 * kPi;
    for (const Case c : {
             Case{0, 0, true, 0.95, 0.22},
             {3, 0, true, 0.1 + 0.85 * 0.25, 0.22 * 0.25},
             {6, 0, true, 0.1, 0},              // exactly 6 s: drawn at a = 0
             {6.001, 0, false, 0, 0},           // older: skipped
             {0, 2 * turn, true, 0.1, 0},       // two turns: a would be -1.12, squared brighter than new
             {0, 0.944 * turn / 2, true, 0.1 + 0.85 * 0.25, 0.22 * 0.25},
         }) {
        const auto scene = buildDynamoScene(withMark(c.age, c.da), {400, 300}, 0);
        const auto dots = withRole(scene, "mark"), glows = withRole(scene, "mark-glow");
        ASSERT_EQ(dots.size(), c.drawn ? 1u : 0u) << c.age << " " << c.da;
        EXPECT_EQ(withRole(scene, "head").size(), c.drawn ? 1u : 0u);
        if (!c.drawn) continue;
        EXPECT_NEAR(dots[0]->opacity, c.dot, 1e-9) << c.age << " " << c.da;
        EXPECT_NEAR(glows[0]->opacity, c.glow, 1e-9);
        EXPECT_TRUE(dots[0]->plus);
    }
}

TEST(DynamoScene, PhoneOutlineNeedsExactlyFourCorners) {
    DynamoFrame f = withMark(0);
    f.frame = {{-3, -7}, {3, -7}, {3, 7}};
    auto scene = buildDynamoScene(f, {400, 300}, 0);
    for (const char* role : {"outline", "chip", "first-edge", "face", "phone-level"}) EXPECT_TRUE(withRole(scene, role).empty()) << role;
    EXPECT_EQ(withRole(scene, "mark").size(), 1u);  // the trail all the same

    f.frame.push_back({-3, 7});
    f.theta = kPi / 2;  // the outline turns in either picture
    scene = buildDynamoScene(f, {400, 300}, 0);
    const auto outline = withRole(scene, "outline");
    ASSERT_EQ(outline.size(), 2u);  // the fill and the stroke
    const double s = 150.0 / 9;
    // (-3, -7) turned by 90 degrees is (7, -3).
    EXPECT_NEAR(outline[0]->points[0].x(), 200 + 7 * s, 1e-9);
    EXPECT_NEAR(outline[0]->points[0].y(), 150 + 3 * s, 1e-9);
    EXPECT_EQ(withRole(scene, "face").size(), 4u);
    EXPECT_EQ(withRole(scene, "phone-level").size(), 4u);
}

TEST(DynamoScene, ElementsWithCoordinatesThatAreNoNumbersAreLeftOut) {
    DynamoFrame f = withMark(0);
    f.tail.push_back({std::nan(""), 1, 100, false, false, 0, {}});
    f.frame = {{-3, -7}, {3, -7}, {3, std::nan("")}, {-3, 7}};
    f.cEstValid = true;
    f.cEstX = 1e300;
    f.anchorCm = INFINITY;
    const auto scene = buildDynamoScene(f, {400, 300}, 0);
    EXPECT_EQ(withRole(scene, "mark").size(), 1u);  // the sound one
    EXPECT_TRUE(withRole(scene, "head").empty());   // the newest mark is the broken one
    EXPECT_TRUE(withRole(scene, "outline").empty());
    EXPECT_TRUE(withRole(scene, "estimate").empty());
    EXPECT_TRUE(withRole(scene, "anchor").empty());
    // And the executor paints what is left without complaint.
    const QImage img = renderDynamoFrame(f, {400, 300}, 0);
    EXPECT_EQ(img.size(), QSize(400, 300));
}

TEST(DynamoScene, TrailAddsUpOnTheImage) {
    DynamoFrame one = withMark(0), two = withMark(0);
    two.tail.push_back(two.tail.back());
    const double s = 150.0 / 9;
    const QPoint at(int(200 + 2 * s), int(150 - 1 * s));
    const QColor a = renderDynamoFrame(one, {400, 300}, 0).pixelColor(at + QPoint(3, 0));
    const QColor b = renderDynamoFrame(two, {400, 300}, 0).pixelColor(at + QPoint(3, 0));
    EXPECT_GT(a.red(), 60);   // the pink glow on black
    EXPECT_GT(b.red(), a.red() + 20);
}

}  // namespace
}  // namespace plindo::ui
