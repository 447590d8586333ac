#include "motion/serato_upsampler.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cmath>
#include <random>
#include <tuple>
#include <vector>

namespace plindo::motion {
namespace {

std::vector<SeratoTunnel::Out> all(const SeratoUpsampler::Outs& outs) { return {outs.begin(), outs.end()}; }

TEST(SeratoUpsampler, ResamplesOntoTheGridLeadsByAtMostMaxLeadAndRejectsBadSamples) {
    SeratoUpsampler up;
    EXPECT_TRUE(up.drain(1e9).empty());
    ASSERT_TRUE(up.push(1.0, 0));
    ASSERT_TRUE(up.push(1.012, 120));
    EXPECT_EQ(up.knownUpTo(), 2);
    EXPECT_NEAR(up.tun.period(), 0.005, 1e-12);
    EXPECT_EQ(up.tun.cum(1), 50);
    EXPECT_EQ(up.tun.cum(2), 100);
    const int64_t newest = up.tun.newestSeen();
    for (auto [ts, cum] :
         {std::pair{1.012, 130.0}, {1.0, 130.0}, {NAN, 1.0}, {1.02, NAN}, {INFINITY, 1.0}, {1.02, 1e300}}) {
        EXPECT_FALSE(up.push(ts, cum)) << ts << " " << cum;
        EXPECT_DOUBLE_EQ(up.last()->ts, 1.012);
    }
    EXPECT_TRUE(up.push(1.013, 125)) << "newer, but short of the next grid point";
    EXPECT_DOUBLE_EQ(up.last()->ts, 1.013);
    EXPECT_EQ(up.knownUpTo(), 2);
    EXPECT_EQ(up.tun.newestSeen(), newest);
    const auto real = all(up.drain(1.010));
    const auto ahead = all(up.drain(1.1));
    ASSERT_EQ(real.size(), 2u);
    ASSERT_EQ(ahead.size(), 12u);
    EXPECT_EQ(ahead.front().seq, 3);
    EXPECT_EQ(ahead.back().seq, 14);
    for (const auto& o : real) EXPECT_TRUE(o.delta == 50 && !o.guessed);
    for (const auto& o : ahead) EXPECT_TRUE(o.delta == 50 && o.guessed);
}

TEST(SeratoUpsampler, GuessesFromNothingThenPaysTheLearnedBacklog) {
    {  // Only a first sample: flat guesses spaced by the tunnel's default period.
        SeratoUpsampler up;
        up.push(1.0, 10);
        const auto outs = all(up.drain(1.2));
        ASSERT_EQ(outs.size(), 12u);
        for (std::size_t i = 0; i < outs.size(); ++i) {
            EXPECT_EQ(outs[i].seq, static_cast<int64_t>(i) + 1);
            EXPECT_TRUE(outs[i].delta == 0 && outs[i].guessed);
            if (i) EXPECT_NEAR(outs[i].stamp - outs[i - 1].stamp, 0.01, 1e-12);
        }
    }
    {  // Steady 20000 ticks/s every 0.02 s, drained every 0.004 s: 120 per output while paying back, then 100.
        SeratoUpsampler up;
        for (int i = 0; i < 12; ++i) {
            const double ts = 1.02 + i * 0.02;
            up.push(ts, 400 + i * 400.0);
            std::vector<int64_t> got;
            for (int j = 1; j <= 5; ++j)
                for (const auto& o : up.drain(ts + j * 0.004)) got.push_back(o.delta);
            EXPECT_EQ(got, std::vector<int64_t>(4, i == 0 ? 0 : i <= 5 ? 120 : 100)) << "interval " << i;
        }
    }
}

TEST(SeratoUpsampler, SelfTestKnownAnswersAndChangedConstants) {
    const auto r = SeratoUpsampler::run({});
    EXPECT_TRUE(r.failures.empty());
    EXPECT_EQ(std::tuple(r.count, r.largest, r.sum, r.final), std::tuple(600, 175, 16200, 16200));
    EXPECT_TRUE(SeratoUpsampler::selfTest().empty());

    const auto coarse = SeratoUpsampler::selfTest({.sub = 0.01});
    ASSERT_FALSE(coarse.empty());
    EXPECT_EQ(coarse[0].rfind("upsampler zu wenig Teilschritte", 0), 0u) << coarse[0];
    EXPECT_FALSE(SeratoUpsampler::selfTest({.tunnel = {.jumpDrainSec = 0}}).empty()) << "every correction jumps";
}

// An irregularly sampled random walk comes out as a sum that matches the last sample once it rests.
TEST(SeratoUpsampler, RandomWalkSumsToTheFinalCount) {
    for (unsigned seed = 1; seed <= 10; ++seed) {
        std::mt19937 rng(seed);
        std::uniform_real_distribution<double> gap(0.004, 0.03);
        std::normal_distribution<double> accel(0, 4000);
        SeratoUpsampler up;
        double ts = 5.0, cum = 1234.4, rate = 0;
        up.push(ts, cum);
        int64_t sum = up.tun.sentCum();
        for (int i = 0; i < 2000; ++i) {
            const double dt = gap(rng);
            rate = std::clamp(rate + accel(rng) * dt, -40000.0, 40000.0);
            cum += rate * dt;
            ts += dt;
            up.push(ts, cum);
            for (double t = ts - dt + 0.002; t <= ts + 0.0001; t += 0.002)
                for (const auto& o : up.drain(t)) sum += o.delta;
        }
        for (int i = 1; i <= 40; ++i) {  // at rest
            up.push(ts + i * 0.01, cum);
            for (const auto& o : up.drain(ts + i * 0.01)) sum += o.delta;
        }
        EXPECT_EQ(sum, std::llround(cum)) << "seed " << seed;
    }
}

TEST(SeratoUpsampler, HugeGapsAndHostileTimesStayBounded) {
    const auto started = std::chrono::steady_clock::now();
    const std::size_t maxDrain = SeratoUpsampler::kMaxDrain;
    {
        SeratoUpsampler up;
        up.push(1.0, 0);
        up.push(1.02, 400);
        EXPECT_TRUE(up.push(1e6, 500));  // 2e8 grid points: the grid starts afresh instead
        EXPECT_EQ(up.restarts(), 1);
        EXPECT_EQ(up.base(), 1e6);
        EXPECT_LE(up.drain(2e6).size(), maxDrain);
        EXPECT_TRUE(up.push(1e300, 1));
        EXPECT_TRUE(up.push(1.7e308, 2));
        EXPECT_LE(up.drain(INFINITY).size(), maxDrain);
        EXPECT_TRUE(up.drain(NAN).empty());
    }
    {  // A grid step of zero cannot spin a push or a drain forever.
        SeratoUpsampler up(0.0, 0.06);
        up.push(1.0, 0);
        up.push(2.0, 10);
        EXPECT_LE(up.drain(3.0).size(), maxDrain);
    }
    {  // Never drained: pushes keep going and the tunnel starts afresh past its window.
        SeratoUpsampler up;
        for (int i = 0; i < 5000; ++i) up.push(1.0 + i * 0.02, i * 10.0);
        EXPECT_GT(up.tun.restarts(), 0);
        EXPECT_LE(up.drain(1e9).size(), maxDrain);
    }
    EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(5));
}

}  // namespace
}  // namespace plindo::motion
