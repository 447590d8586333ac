#pragma once
// Finds the delay (0 to 0.3 s) between a reference signal and a delayed copy of it: the lag with the
// smallest mean absolute difference between the copy and the reference shifted by that lag.
#include <optional>
#include <string>
#include <vector>

namespace plindo::serato {

struct LatencyEstimator {
    struct Sample {
        double t = 0;
        double v = 0;
    };

    struct Limits {
        double window = 3.0;    // seconds of the delayed signal compared
        double maxLag = 0.3;    // largest lag tried
        double lagStep = 0.001;
        double keepExtra = 0.5; // kept beyond window and lag
        double interval = 1.0;  // least time between two estimates
        double minSwing = 0.3;  // least max - min of the delayed signal
        int minSamples = 20;
    };

    std::vector<Sample> ref;     // in time order; the owner appends
    std::vector<Sample> lagged;  // in time order; the owner appends
    double lastRun = 0;

    void prune(double now) { prune(now, Limits{}); }
    void prune(double now, const Limits& lim);
    std::optional<double> estimate(double now) { return estimate(now, Limits{}); }
    std::optional<double> estimate(double now, const Limits& lim);

    static std::vector<std::string> selfTest() { return selfTest(Limits{}); }
    static std::vector<std::string> selfTest(const Limits& lim);
};

}  // namespace plindo::serato
