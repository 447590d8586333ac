#pragma once
// Turns the platter angles a phone reports into a playback position and rate, as a record moves under a
// needle: one revolution is 1.8 s of track (33 1/3 rpm), and the angle decreasing plays forward.
#include "motion/unfair_cell.h"

#include <utility>
#include <vector>

namespace plindo::motion {

class AngleIntegrator {
public:
    struct Sample {
        double angle = 0;  // radians
        double ts = 0;     // phone seconds
    };

    struct State {
        double posSec = 0;  // never negative
        double rate = 0;    // track seconds per second
        double prevAngle = 0;
        double prevTs = 0;
        bool primed = false;
        double lastDistAngle = 0;  // last sample at which the angle had changed
        double lastDistTs = 0;
    };

    struct Result {
        double posSec = 0;
        double rate = 0;
    };

    // Seconds of track per revolution of the platter.
    static constexpr double secondsPerRev = 1.8;
    // A timestamp this far behind the previous one means the phone's clock restarted.
    static constexpr double reprimeGapSec = 5.0;
    // The angle must stand still this long before the rate falls to 0.
    static constexpr double stillSec = 0.25;

    // Integrates the samples in order under the cell's lock; an empty batch returns the current pair.
    Result feed(const Sample* samples, size_t count);
    Result feed(const std::vector<Sample>& samples) { return feed(samples.data(), samples.size()); }

    // Moves the position (negative or not-a-number gives 0); the next sample only primes.
    void seek(double seconds);

    // Integrates one sample into a state; exposed so that callers holding the cell can reuse it.
    static void step(State& s, double angle, double ts);

    UnfairCell<State> cell;
};

}  // namespace plindo::motion
