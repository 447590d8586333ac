#include "serato/serato_platter_wire.h"
#include "serato/serato_tunnel_sender.h"

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
    EXPECT_EQ(SeratoPlatterWire::selfTest(slowStart).size(), 1u);
}

TEST(SeratoTunnelSender, LossyChannelRunMatchesItsKnownFigures) {
    const auto r = SeratoTunnelSender::run({});
    EXPECT_TRUE(r.failures.empty());
    EXPECT_EQ(r.count, 399);
    EXPECT_EQ(r.sum, 14800);
    EXPECT_EQ(r.total, 14800);
    EXPECT_TRUE(SeratoTunnelSender::selfTest().empty());
}

TEST(SeratoTunnelSender, SelfTestCatchesChangedConstants) {
    SeratoTunnelSender::Tunables smallRing;
    smallRing.ringKeep = 5;
    const auto f = SeratoTunnelSender::selfTest(smallRing);
    ASSERT_FALSE(f.empty());
    EXPECT_EQ(f.back(), "fenster 5");

    SeratoTunnelSender::Tunables deaf;
    deaf.deadband = 10;  // every rate sent as 0
    EXPECT_EQ(SeratoTunnelSender::run(deaf).total, 0);
}

TEST(SeratoTunnelSender, RestLearnsTheBiasAndHostileRatesMakeNoTick) {
    SeratoTunnelSender s;
    double ts = 1.0;
    for (int i = 0; i < 200; ++i, ts += 0.01) s.step(ts, 0.02);  // a slow drift while resting
    EXPECT_GE(s.wire.biasN, 20);
    EXPECT_NEAR(s.wire.bias, 0.02, 1e-9);
    const int64_t total = s.total();
    for (int i = 0; i < 50; ++i, ts += 0.01) s.step(ts, 0.02);
    EXPECT_EQ(s.total(), total);  // the learned bias cancels the drift

    const int64_t seq = s.seq;
    EXPECT_FALSE(s.step(ts, NAN));
    EXPECT_FALSE(s.step(ts + 0.01, 1e300));  // the angle no longer fits a count: no tick
    EXPECT_EQ(s.seq, seq);
    EXPECT_EQ(s.total(), total);
    EXPECT_LE(s.ring.size(), 10u);
}

}  // namespace
}  // namespace plindo::serato
