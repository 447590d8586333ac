#include "motion/gyro_core.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>

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

TEST(GyroCore, FirstSampleIsStillAndIntegratesNothing) {
    Fixture f;
    auto s = f.feed(2.0, 5.0);
    EXPECT_EQ(s.rate, 0);
    EXPECT_EQ(s.dot, 0);
    EXPECT_EQ(s.angle, 0);
    EXPECT_EQ(s.ts, 5.0);
    EXPECT_TRUE(f.core.sinkStill);
    EXPECT_EQ(f.core.gyroBias, 0);
}

TEST(GyroCore, SteadyTurnStartsMovingAtThirdSampleWithTinyLearnedBias) {
    Fixture f;
    auto s1 = f.feed(0.3, 1.00);
    auto s2 = f.feed(0.3, 1.01);
    EXPECT_EQ(s1.rate, 0);
    EXPECT_EQ(s2.rate, 0);
    EXPECT_NEAR(f.core.gyroBias, 0.000375, 1e-12);
    EXPECT_NEAR(s2.angle, (0.3 - 0.000375) * 0.01, 1e-12);

    auto s3 = f.feed(0.3, 1.02);
    EXPECT_NEAR(s3.rate, 0.299625, 1e-12);
    EXPECT_NEAR(s3.dot, 0.45 * 0.299625 / 0.01, 1e-9);
    for (int i = 3; i < 200; ++i) {
        auto s = f.feed(0.3, 1.0 + i * 0.01);
        ASSERT_NEAR(s.rate, 0.299625, 1e-12) << "sample " << i + 1;
    }
    // 0.3 is no longer below the learning threshold, so the bias stays put.
    EXPECT_NEAR(f.core.gyroBias, 0.000375, 1e-12);
}

// The stillness filter does cross 0.05 for a slow constant rate: the bias learns with gain 0.125 per second,
// far too slowly to keep the filter down, so such a platter moves for about 11 s before the bias catches up.
TEST(GyroCore, SlowConstantRateMovesUntilTheBiasCatchesUp) {
    Fixture f;
    int firstMoving = 0, lastMoving = 0;
    RateSample s;
    for (int i = 1; i <= 20000; ++i) {
        s = f.feed(0.1, 1.0 + (i - 1) * 0.01);
        if (s.rate != 0) {
            if (!firstMoving) firstMoving = i;
            lastMoving = i;
        }
    }
    EXPECT_EQ(firstMoving, 7);
    EXPECT_NEAR((lastMoving - firstMoving) * 0.01, 11.1, 0.2);
    EXPECT_EQ(s.rate, 0);
    EXPECT_TRUE(f.core.sinkStill);
    EXPECT_NEAR(f.core.gyroBias, 0.1, 1e-6);
    EXPECT_NEAR(s.angle, 0.8, 0.01);
}

TEST(GyroCore, TimeStepIsCappedAndStaleTimestampsIntegrateNothing) {
    Fixture f;
    for (int i = 0; i < 10; ++i) f.feed(3.0, 1.0 + i * 0.01);
    const double before = f.sink->cell.read().angle;
    const double corrected = 3.0 - f.core.gyroBias;
    auto gap = f.feed(3.0, 1.09 + 2.0);
    EXPECT_NEAR(gap.angle - before, corrected * 0.1, 1e-9);

    auto same = f.feed(3.0, 1.09 + 2.0);
    EXPECT_EQ(same.angle, gap.angle);
    auto back = f.feed(3.0, 2.0);
    EXPECT_EQ(back.angle, gap.angle);
    EXPECT_EQ(back.ts, 2.0);
}

TEST(GyroCore, BiasStaysClampedWhateverTheInput) {
    Fixture f;
    const double inputs[] = {5.0, -5.0, 0.11, -0.11, 1e9, -1e9, 0.0};
    double ts = 1.0;
    for (double r : inputs) {
        for (int i = 0; i < 3000; ++i) {
            f.feed(r, ts += 0.05);
            ASSERT_LE(std::fabs(f.core.gyroBias), 0.2) << r;
        }
    }
    // A platter judged still while the reading drifts slowly upwards: the bias follows it up to the clamp and
    // no further, and only then does the platter start to move.
    Fixture g;
    double r = 0, t = 1.0;
    bool moved = false;
    for (int i = 0; i < 30000 && !moved; ++i) {
        r += 0.002 * 0.01;
        g.feed(r, t += 0.01);
        moved = g.sink->cell.read().rate != 0;
        ASSERT_LE(g.core.gyroBias, 0.2);
    }
    EXPECT_TRUE(moved);
    EXPECT_EQ(g.core.gyroBias, 0.2);
    EXPECT_GT(r, 0.2);
}

TEST(GyroCore, NonFiniteSamplesAreDropped) {
    Fixture f;
    for (int i = 0; i < 5; ++i) f.feed(1.0, 1.0 + i * 0.01);
    auto good = f.sink->cell.read();
    const double nan = std::numeric_limits<double>::quiet_NaN();
    const double inf = std::numeric_limits<double>::infinity();
    f.feed(nan, 1.05);
    f.feed(inf, 1.05);
    f.feed(1.0, nan);
    f.feed(1.0, inf);
    auto after = f.sink->cell.read();
    EXPECT_EQ(after.angle, good.angle);
    EXPECT_EQ(after.ts, good.ts);
    auto next = f.feed(1.0, 1.05);
    EXPECT_TRUE(std::isfinite(next.angle));
    EXPECT_GT(next.angle, good.angle);
    EXPECT_TRUE(std::isfinite(f.core.gyroBias));
}

TEST(GyroCore, SyntheticUpdatesDriveTheSinkAndIgnoreTheSensor) {
    Fixture f;
    {
        std::lock_guard g(f.core.lock);
        f.core.synthSpinOn = true;
        f.core.synthOmega = 3.5;
    }
    f.feed(9.0, 1.0);
    EXPECT_EQ(f.core.sinkPrevTs, 0);  // fed samples change nothing

    f.synth(3.5, 1.00);
    auto s = f.synth(3.5, 1.01);
    EXPECT_EQ(s.rate, 3.5);
    EXPECT_EQ(s.dot, 0);
    EXPECT_NEAR(s.angle, 3.5 * 0.01, 1e-12);
    EXPECT_EQ(f.core.gyroBias, 0);
    for (int i = 2; i < 100; ++i) f.synth(3.5, 1.0 + i * 0.01);
    EXPECT_LT(f.core.sinkStillLP, 1e-6);

    {
        std::lock_guard g(f.core.lock);
        f.core.synthSpinOn = false;
        f.core.synthOmega = 0;
    }
    // Back on the sensor the filter starts near zero and the acceleration restarts from zero: a fast first
    // reading lifts the filter over the threshold at once...
    auto back = f.feed(1.0, 1.0 + 100 * 0.01);
    EXPECT_NEAR(back.rate, 1.0, 1e-12);
    EXPECT_EQ(back.dot, 0);

    // ...a slow one stays still.
    Fixture slow;
    slow.synth(3.5, 1.0);
    slow.synth(3.5, 1.5);
    EXPECT_EQ(slow.feed(0.2, 1.51).rate, 0);
}

TEST(GyroCore, ScaleGainAppliesToTheCorrectedRate) {
    Fixture f;
    f.core.scaleK = 1.02;
    for (int i = 0; i < 3; ++i) f.feed(0.3, 1.0 + i * 0.01);
    EXPECT_NEAR(f.sink->cell.read().rate, 0.299625 * 1.02, 1e-12);
}
