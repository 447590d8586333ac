#pragma once
// What the DJ application reports back about one deck: the last play time with a rate estimated from
// successive play times, and the eight hot-cue slots.
#include <array>
#include <cmath>
#include <string>
#include <vector>

namespace plindo::serato {

struct SeratoDeckReturn {
    struct Limits {
        double resetGap = 0.5;   // a longer silence restarts the rate estimate
        double minGap = 0.005;   // reports closer than this do not change the rate
        double minRate = 0.05;   // plausible |rate| range
        double maxRate = 3.0;
        double agree = 0.35;     // a sample further than this from the estimate breaks the run
        double keep = 0.7;       // smoothing weight of the old estimate
    };

    struct CueResult {
        bool set = false;
        double sec = 0;
        std::string hex;
    };

    double lastSec = std::nan("");
    double lastWall = 0;
    double tapRate = 0;
    int plausible = 0;
    std::array<bool, 8> cueSet{};
    std::array<double, 8> cueSec{};
    std::array<std::string, 8> cueHex{};
    double pitch = 0;

    // Feeds one reported play time; returns the rate, or 0 while fewer than two plausible samples were seen.
    double observe(double sec, double wall) { return observe(sec, wall, Limits{}); }
    double observe(double sec, double wall, const Limits& lim);
    CueResult setCue(int slot, bool on);

    static std::vector<std::string> selfTest() { return selfTest(Limits{}); }
    static std::vector<std::string> selfTest(const Limits& lim);
};

}  // namespace plindo::serato
