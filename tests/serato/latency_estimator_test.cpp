#include "serato/latency_estimator.h"

#include <gtest/gtest.h>

#include <cmath>

namespace plindo::serato {
namespace {

LatencyEstimator stepSignal(double tau) {
    LatencyEstimator e;
    auto f = [](double t) { return std::fmod(t, 0.4) < 0.2 ? 0.0 : 1.0; };
    for (int i = 0; i <= 600; ++i) {
        const double t = i * 0.005;
        e.ref.push_back({t, f(t)});
        if (i % 5 == 0) e.lagged.push_back({t, f(t - tau)});
    }
    return e;
}

TEST(LatencyEstimator, EstimatesOncePerIntervalAndNeedsSignal) {
    LatencyEstimator e = stepSignal(0.05);
    const auto first = e.estimate(3.0);
    ASSERT_TRUE(first);
    EXPECT_NEAR(*first, 0.05, 0.006);
    EXPECT_FALSE(e.estimate(3.5));  // within a second of the last run
    EXPECT_TRUE(e.estimate(4.0));

    LatencyEstimator few;
    for (int i = 0; i < 10; ++i) few.lagged.push_back({i * 0.1, static_cast<double>(i % 2)});
    EXPECT_FALSE(few.estimate(1.0));

    LatencyEstimator empty;
    EXPECT_FALSE(empty.estimate(5.0));
}

TEST(LatencyEstimator, PruneKeepsTheLastWindowWithMargin) {
    LatencyEstimator e = stepSignal(0.0);
    e.prune(10.0);
    EXPECT_TRUE(e.ref.empty());
    e = stepSignal(0.0);
    e.prune(5.0);  // cut-off 1.2 s
    ASSERT_FALSE(e.ref.empty());
    EXPECT_GE(e.ref.front().t, 1.2 - 1e-9);
    EXPECT_GE(e.lagged.front().t, 1.2 - 1e-9);
}

TEST(LatencyEstimator, SelfTestPassesAndCatchesChangedConstants) {
    EXPECT_TRUE(LatencyEstimator::selfTest().empty());
    LatencyEstimator::Limits shortLag;
    shortLag.maxLag = 0.02;  // cannot see 37 or 83 ms
    EXPECT_EQ(LatencyEstimator::selfTest(shortLag).size(), 2u);
}

}  // namespace
}  // namespace plindo::serato
