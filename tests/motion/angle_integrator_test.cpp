#include "motion/angle_integrator.h"

#include <gtest/gtest.h>

#include <cmath>
#include <numbers>

using namespace plindo::motion;

namespace {
constexpr double kTwoPi = 2 * std::numbers::pi;
using S = AngleIntegrator::Sample;

TEST(AngleIntegrator, KnownAnswers) {
    AngleIntegrator a;
    auto r = a.feed({{0, 1.0}});
    EXPECT_EQ(r.posSec, 0);
    EXPECT_EQ(r.rate, 0) << "the first sample only primes";
    r = a.feed({{-kTwoPi, 2.0}});
    EXPECT_DOUBLE_EQ(r.posSec, 1.8);
    EXPECT_DOUBLE_EQ(r.rate, 1.8);

    // Backwards past the start: clamped at 0, rate negative.
    AngleIntegrator b;
    b.seek(1.0);
    b.feed({{0, 1.0}});
    r = b.feed({{kTwoPi, 2.0}});
    EXPECT_EQ(r.posSec, 0);
    EXPECT_DOUBLE_EQ(r.rate, -1.8);

    // 33 1/3 rpm reported at 100 Hz for 3.6 s: two revolutions, 3.6 s of track at rate 1.
    AngleIntegrator c;
    std::vector<S> batch;
    for (int i = 0; i <= 360; ++i) {
        const double t = 10 + i * 0.01;
        batch.push_back({-kTwoPi * (t - 10) / 1.8, t});
    }
    r = c.feed(batch);
    EXPECT_NEAR(r.posSec, 3.6, 1e-9);
    EXPECT_NEAR(r.rate, 1.0, 1e-9);
    EXPECT_EQ(c.feed({}).posSec, r.posSec) << "an empty batch changes nothing";

    // A seek moves the position; the next sample only primes.
    c.seek(20.0);
    r = c.feed({{-100.0, 20.0}});
    EXPECT_EQ(r.posSec, 20.0);
}

TEST(AngleIntegrator, ClockRestartsAndOldSamples) {
    // After 1.8 s at t = 10, a sample at `ts` then one a second later and a revolution further.
    struct Case {
        double ts;
        double posSec;
    };
    const double fromOldAngle = 1.8 + 100.0 / kTwoPi * 1.8;
    for (Case c : {Case{10.0, fromOldAngle},  // same time: ignored, the next one counts from the old angle
                   Case{6.0, 1.8},            // 4 s older: ignored, and so is the next (still older)
                   Case{3.9, 3.6}}) {         // 6.1 s older: the clock restarted, re-primed there
        AngleIntegrator a;
        a.feed({{0, 9.0}, {-kTwoPi, 10.0}});
        a.feed({{-100.0, c.ts}});
        auto r = a.feed({{-100.0 - kTwoPi, c.ts + 1.0}});
        EXPECT_NEAR(r.posSec, c.posSec, 1e-9) << c.ts;
    }
}

TEST(AngleIntegrator, RateFallsToZeroOnlyAfterAQuarterSecondStill) {
    AngleIntegrator a;
    a.feed({{0, 1.0}, {-kTwoPi / 18, 1.1}});  // 0.1 s of track in 0.1 s
    EXPECT_NEAR(a.feed({{-kTwoPi / 18, 1.2}}).rate, 1.0, 1e-9);
    EXPECT_NEAR(a.feed({{-kTwoPi / 18, 1.35}}).rate, 1.0, 1e-9) << "0.25 s still: not yet";
    EXPECT_EQ(a.feed({{-kTwoPi / 18, 1.36}}).rate, 0.0);
    // Moving again measures from the last change.
    EXPECT_NEAR(a.feed({{-2 * kTwoPi / 18, 1.46}}).rate, 0.1 / 0.36, 1e-9);
}

TEST(AngleIntegrator, NonFiniteInputsNeverGiveNonFiniteOutputs) {
    const double nan = std::nan(""), inf = INFINITY;
    AngleIntegrator a;
    a.seek(nan);
    EXPECT_EQ(a.cell.read().posSec, 0);
    a.seek(-3);
    EXPECT_EQ(a.cell.read().posSec, 0);
    std::vector<S> batch = {{0, 1}, {nan, 1.1}, {-1, nan}, {inf, 1.2}, {-1, 1.3}, {-2, inf}, {-3, 1.4}};
    auto r = a.feed(batch);
    EXPECT_TRUE(std::isfinite(r.posSec));
    EXPECT_TRUE(std::isfinite(r.rate));
    EXPECT_NEAR(r.posSec, 3 / kTwoPi * 1.8, 1e-9) << "bad samples are skipped, good ones still count";
    r = a.feed({{-3 - kTwoPi, 2.4}});
    EXPECT_NEAR(r.rate, 1.8, 1e-9) << "and the integrator keeps working";
}

}  // namespace
