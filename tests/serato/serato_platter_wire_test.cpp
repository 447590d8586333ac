#include "serato/serato_platter_wire.h"

#include <gtest/gtest.h>

#include <cmath>
#include <numbers>

namespace plindo::serato {
namespace {

constexpr double kNominal = -2 * std::numbers::pi / 1.8;  // rate 1.0

TEST(SeratoPlatterWire, IntegratesOnlyShortForwardGapsAndRefusesRecentReorders) {
    SeratoPlatterWire w;
    EXPECT_TRUE(w.step(1.0, kNominal, 1.0));  // first sample only sets the time
    EXPECT_EQ(w.angle, 0);
    auto o = w.step(1.1, kNominal, 1.1);
    ASSERT_TRUE(o);
    EXPECT_NEAR(o->angle, 0.1 * kNominal, 1e-12);
    EXPECT_NEAR(o->rate, 1.0, 1e-12);

    EXPECT_FALSE(w.step(1.1, kNominal, 1.1));   // not newer
    EXPECT_FALSE(w.step(0.5, kNominal, 1.1));   // older by less than 5 s
    EXPECT_FALSE(w.step(NAN, kNominal, 1.1));
    EXPECT_FALSE(w.step(1.2, INFINITY, 1.2));
    EXPECT_DOUBLE_EQ(w.lastTs, 1.1);

    const double before = w.angle;
    EXPECT_TRUE(w.step(1.5, kNominal, 1.5));    // 0.4 s gap: time only
    EXPECT_EQ(w.angle, before);
    EXPECT_TRUE(w.step(-10.0, kNominal, 1.5));  // 11.5 s back: a new clock, time only
    EXPECT_EQ(w.angle, before);
    EXPECT_DOUBLE_EQ(w.lastTs, -10.0);
}

TEST(SeratoPlatterWire, SelfTestPassesAndCatchesChangedConstants) {
    EXPECT_TRUE(SeratoPlatterWire::selfTest().empty());

    SeratoPlatterWire::Limits slowStart;
    slowStart.onHold = 0.05;  // a short push would start the motor
    const auto f = SeratoPlatterWire::selfTest(slowStart);
    ASSERT_EQ(f.size(), 1u);
    EXPECT_EQ(f[0].rfind("short push started [true]", 0), 0u) << f[0];
}

}  // namespace
}  // namespace plindo::serato
