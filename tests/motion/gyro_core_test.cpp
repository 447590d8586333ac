#include "motion/gyro_core.h"

#include <gtest/gtest.h>

#include <cmath>

using namespace plindo::motion;

namespace {

struct Fixture {
    GyroCore core;
    std::shared_ptr<RateCell> sink = std::make_shared<RateCell>();
    Fixture() { core.rateSink = sink; }
    RateSample feed(double rate, double ts) {
        core.feed(rate, ts);
        return sink->cell.read();
    }
    RateSample synth(double rate, double ts) {
        std::lock_guard g(core.lock);
        core.update(true, rate, ts);
        return sink->cell.read();
    }
};

}  // namespace

TEST(GyroCore, SteadyTurnStartsMovingAtThirdSampleWithTinyLearnedBias) {
    Fixture f;
    f.core.scaleK = 1.02;
    const RateSample s[] = {f.feed(0.3, 1.00), f.feed(0.3, 1.01), f.feed(0.3, 1.02)};
    EXPECT_EQ(s[0].angle, 0) << "the first sample integrates nothing";
    EXPECT_TRUE(s[0].rate == 0 && s[1].rate == 0) << "judged still until the filter rises";
    EXPECT_NEAR(s[2].rate, 0.299625 * 1.02, 1e-12) << "bias-corrected, then scaled";
    EXPECT_NEAR(s[2].dot, 0.45 * s[2].rate / 0.01, 1e-9);
    for (int i = 3; i < 200; ++i) ASSERT_NEAR(f.feed(0.3, 1.0 + i * 0.01).rate, s[2].rate, 1e-12) << i;
    EXPECT_NEAR(f.core.gyroBias, 0.000375, 1e-12) << "0.3 is above the learning threshold";
}

// The stillness filter does cross 0.05 for a slow constant rate: the bias learns with gain 0.125 per second,
// far too slowly to keep the filter down, so such a platter moves for about 11 s before the bias catches up.
TEST(GyroCore, SlowConstantRateMovesUntilTheBiasCatchesUp) {
    Fixture f;
    int firstMoving = 0, lastMoving = 0;
    RateSample s;
    for (int i = 1; i <= 20000; ++i) {
        if ((s = f.feed(0.1, 1.0 + (i - 1) * 0.01)).rate == 0) continue;
        firstMoving = firstMoving ? firstMoving : i;
        lastMoving = i;
    }
    EXPECT_EQ(firstMoving, 7);
    EXPECT_NEAR((lastMoving - firstMoving) * 0.01, 11.1, 0.2);
    EXPECT_EQ(s.rate, 0);
    EXPECT_NEAR(f.core.gyroBias, 0.1, 1e-6);
    EXPECT_NEAR(s.angle, 0.8, 0.01);
}

TEST(GyroCore, TimeStepIsCappedAndStaleOrNonFiniteSamplesIntegrateNothing) {
    Fixture f;
    for (int i = 0; i < 10; ++i) f.feed(3.0, 1.0 + i * 0.01);
    const double before = f.sink->cell.read().angle;
    const double angle = f.feed(3.0, 3.09).angle;
    EXPECT_NEAR(angle - before, (3.0 - f.core.gyroBias) * 0.1, 1e-9) << "a 2 s gap integrates 0.1 s";
    const double nan = std::nan(""), inf = INFINITY;
    for (auto [rate, ts] : {std::pair{3.0, 3.09}, {3.0, 2.0}, {nan, 3.1}, {inf, 3.1}, {1.0, nan}, {1.0, inf}}) {
        EXPECT_EQ(f.feed(rate, ts).angle, angle) << rate << " at " << ts;
    }
    EXPECT_GT(f.feed(3.0, 3.1).angle, angle) << "a good sample still counts after bad ones";
    EXPECT_TRUE(std::isfinite(f.core.gyroBias));
}

TEST(GyroCore, BiasStaysClampedWhateverTheInput) {
    Fixture f;
    double ts = 1.0;
    for (double r : {5.0, -5.0, 0.11, -0.11, 1e9, -1e9, 0.0}) {
        for (int i = 0; i < 3000; ++i) {
            f.feed(r, ts += 0.05);
            ASSERT_LE(std::fabs(f.core.gyroBias), 0.2) << r;
        }
    }
    // A platter judged still while the reading drifts slowly upwards: the bias follows it up to the clamp and
    // no further, and only then does the platter start to move.
    Fixture g;
    double r = 0, t = 1.0;
    while (r < 1 && g.feed(r += 0.002 * 0.01, t += 0.01).rate == 0) {}
    EXPECT_EQ(g.core.gyroBias, 0.2);
    EXPECT_GT(r, 0.2);
    EXPECT_LT(r, 1);
}

TEST(GyroCore, SyntheticUpdatesDriveTheSinkAndIgnoreTheSensor) {
    Fixture f;
    f.core.synthSpinOn = true;
    f.feed(9.0, 1.0);
    EXPECT_EQ(f.core.sinkPrevTs, 0) << "fed samples change nothing";
    f.synth(3.5, 1.00);
    auto s = f.synth(3.5, 1.01);
    EXPECT_TRUE(s.rate == 3.5 && s.dot == 0);
    EXPECT_NEAR(s.angle, 3.5 * 0.01, 1e-12);
    for (int i = 2; i < 100; ++i) f.synth(3.5, 1.0 + i * 0.01);
    EXPECT_EQ(f.core.gyroBias, 0);

    // Back on the sensor the filter starts near zero and the acceleration from zero: a fast first reading
    // lifts the filter over the threshold at once, a slow one stays still.
    f.core.synthSpinOn = false;
    s = f.feed(1.0, 2.0);
    EXPECT_NEAR(s.rate, 1.0, 1e-12);
    EXPECT_EQ(s.dot, 0);
    Fixture slow;
    slow.synth(3.5, 1.0);
    slow.synth(3.5, 1.5);
    EXPECT_EQ(slow.feed(0.2, 1.51).rate, 0);
}
