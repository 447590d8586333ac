#include "motion/angle_integrator.h"

#include <gtest/gtest.h>

#include <cmath>
#include <numbers>

using namespace plindo::motion;

constexpr double kTwoPi = 2 * std::numbers::pi;

TEST(AngleIntegrator, KnownAnswers) {
    AngleIntegrator a;
    EXPECT_EQ(a.feed({{0, 1.0}}).rate, 0) << "the first sample only primes";
    auto r = a.feed({{-kTwoPi, 2.0}});
    EXPECT_DOUBLE_EQ(r.posSec, 1.8);
    EXPECT_DOUBLE_EQ(r.rate, 1.8);

    AngleIntegrator b;  // backwards past the start: clamped at 0, rate negative
    b.seek(1.0);
    r = b.feed({{0, 1.0}, {kTwoPi, 2.0}});
    EXPECT_EQ(r.posSec, 0);
    EXPECT_DOUBLE_EQ(r.rate, -1.8);

    // 33 1/3 rpm reported at 100 Hz for 3.6 s: two revolutions, 3.6 s of track at rate 1.
    AngleIntegrator c;
    std::vector<AngleIntegrator::Sample> batch;
    for (int i = 0; i <= 360; ++i) batch.push_back({-kTwoPi * i * 0.01 / 1.8, 10 + i * 0.01});
    r = c.feed(batch);
    EXPECT_NEAR(r.posSec, 3.6, 1e-9);
    EXPECT_NEAR(r.rate, 1.0, 1e-9);
    EXPECT_EQ(c.feed({}).posSec, r.posSec) << "an empty batch changes nothing";
    c.seek(20.0);
    EXPECT_EQ(c.feed({{-100.0, 20.0}}).posSec, 20.0) << "after a seek the next sample only primes";
}

TEST(AngleIntegrator, ClockRestartsAndOldSamples) {
    // After 1.8 s at t = 10, a sample at `ts` then one a second later and a revolution further.
    const double fromOldAngle = 1.8 + 100.0 / kTwoPi * 1.8;
    for (auto [ts, posSec] : {std::pair{10.0, fromOldAngle},  // same time: ignored, next counts from the old angle
                              std::pair{6.0, 1.8},            // 4 s older: ignored, and so is the next
                              std::pair{3.9, 3.6}}) {         // 6.1 s older: the clock restarted, re-primed there
        AngleIntegrator a;
        a.feed({{0, 9.0}, {-kTwoPi, 10.0}, {-100.0, ts}});
        EXPECT_NEAR(a.feed({{-100.0 - kTwoPi, ts + 1.0}}).posSec, posSec, 1e-9) << ts;
    }
}

TEST(AngleIntegrator, RateFallsToZeroOnlyAfterAQuarterSecondStill) {
    AngleIntegrator a;
    a.feed({{0, 1.0}, {-kTwoPi / 18, 1.1}});  // 0.1 s of track in 0.1 s
    EXPECT_NEAR(a.feed({{-kTwoPi / 18, 1.2}}).rate, 1.0, 1e-9);
    EXPECT_NEAR(a.feed({{-kTwoPi / 18, 1.35}}).rate, 1.0, 1e-9) << "0.25 s still: not yet";
    EXPECT_EQ(a.feed({{-kTwoPi / 18, 1.36}}).rate, 0.0);
    EXPECT_NEAR(a.feed({{-2 * kTwoPi / 18, 1.46}}).rate, 0.1 / 0.36, 1e-9) << "moving again: from the last change";
}

TEST(AngleIntegrator, NonFiniteInputsNeverGiveNonFiniteOutputs) {
    const double nan = std::nan(""), inf = INFINITY;
    AngleIntegrator a;
    for (double bad : {nan, -3.0}) {
        a.seek(bad);
        EXPECT_EQ(a.cell.read().posSec, 0) << bad;
    }
    auto r = a.feed({{0, 1}, {nan, 1.1}, {-1, nan}, {inf, 1.2}, {-1, 1.3}, {-2, inf}, {-3, 1.4}});
    EXPECT_TRUE(std::isfinite(r.rate));
    EXPECT_NEAR(r.posSec, 3 / kTwoPi * 1.8, 1e-9) << "bad samples are skipped, good ones still count";
    EXPECT_NEAR(a.feed({{-3 - kTwoPi, 2.4}}).rate, 1.8, 1e-9) << "and the integrator keeps working";
}
