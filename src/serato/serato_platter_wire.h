#pragma once
// One deck's platter wire: integrates (time stamp, angular velocity) samples into a platter angle and a
// playback rate, reports a steady rate once per completed steady turn and the motor's start and stop edges.
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace plindo::serato {

struct SeratoPlatterWire {
    struct Output {
        double angle = 0;       // radians, after this sample
        double ts = 0;          // the sample's time stamp
        double omega = 0;       // the sample's angular velocity, rad/s
        double rate = 0;        // playback rate, 1.0 = one turn in 1.8 s
        double steadyRate = 0;  // the rate when a steady turn completed with this sample, else 0
        bool settling = true;   // false only when a steady turn completed with this sample
        std::optional<bool> playEdge;  // true: motor started, false: stopped, none: no edge
    };

    struct Limits {
        double gapMax = 0.25;          // a longer gap sets the time without advancing the angle
        double backMax = 5.0;          // a sample this much older restarts the time instead of being refused
        double steadyMinRate = 0.05;   // below this rate no steadiness is judged
        double steadyTolStill = 0.00015;
        double steadyTolShare = 0.003;
        double onOmega = 0.3;          // rad/s that count as the motor turning
        double onHold = 0.15;          // how long it must turn before play switches on
    };

    double angle = 0;
    double lastTs = 0;
    double stillSince = 0;
    double bias = 0;
    int64_t biasN = 0;
    double steadyRef = 0;
    double steadyAngle0 = 0;
    double onSince = 0;
    bool wasRunning = false;
    std::optional<bool> platterPlay;

    // None for a rejected sample (not finite, or not newer than the last but less than backMax older).
    std::optional<Output> step(double ts, double omega, double now) { return step(ts, omega, now, Limits{}); }
    std::optional<Output> step(double ts, double omega, double now, const Limits& lim);

    static std::vector<std::string> selfTest() { return selfTest(Limits{}); }
    static std::vector<std::string> selfTest(const Limits& lim);
};

}  // namespace plindo::serato
