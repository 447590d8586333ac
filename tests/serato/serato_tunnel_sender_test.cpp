#include "serato/serato_tunnel_sender.h"

#include <gtest/gtest.h>

#include <cmath>

namespace plindo::serato {
namespace {

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
    const auto g = SeratoTunnelSender::run(deaf);
    EXPECT_EQ(g.total, 0);
    EXPECT_EQ(g.sum, 0);
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
