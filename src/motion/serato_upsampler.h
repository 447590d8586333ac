#pragma once
// Resamples irregular (time, cumulative tick) samples, e.g. an earbud's relayed IMU stream, onto a fixed
// time grid by linear interpolation and feeds the grid ticks to its own tunnel, which may run ahead of the
// newest sample by at most maxLead through its guesses.
#include "motion/fixed_list.h"
#include "motion/serato_tunnel.h"

#include <optional>
#include <string>
#include <vector>

namespace plindo::motion {

class SeratoUpsampler {
public:
    // Most grid points one push may pass. A larger gap (the stream stalled, or a hostile stamp) starts the
    // grid afresh at the new sample instead of interpolating through it.
    static constexpr int kMaxPushTicks = 200;
    // Most outputs one drain hands back (0.32 s of grid); the rest follow with the next drain.
    static constexpr int kMaxDrain = 64;
    using Outs = FixedList<SeratoTunnel::Out, kMaxDrain>;

    struct Sample {
        double ts = 0;
        double cum = 0;
    };

    struct Tunables {
        double sub = 0.005;     // grid step, seconds
        double maxLead = 0.06;  // how far past the newest sample outputs may be taken
        SeratoTunnel::Tunables tunnel{};
    };

    explicit SeratoUpsampler(double sub = 0.005, double maxLead = 0.06) : maxLead(maxLead), sub_(sub) {}

    double maxLead;
    SeratoTunnel tun;

    // False when the sample was rejected (not finite, out of range or not newer than the last) and nothing
    // changed.
    bool push(double ts, double cum);
    // The tunnel outputs whose grid time has come by `until`, in order.
    Outs drain(double until);

    double sub() const { return sub_; }
    std::optional<double> base() const { return base_; }
    std::optional<Sample> last() const { return last_; }
    int64_t knownUpTo() const { return knownUpTo_; }
    std::optional<SeratoTunnel::Tick> lastTick() const { return lastTick_; }
    int64_t restarts() const { return restarts_; }

    struct Report {
        int64_t count = 0;    // outputs taken during the run
        int64_t largest = 0;  // largest |delta| among them
        int64_t sum = 0;      // what all outputs add up to, final drain included
        int64_t final = 0;    // the rounded final count
        std::vector<std::string> failures;
    };
    static Report run(const Tunables& t);
    static std::vector<std::string> selfTest();
    // The same check with other tunables, so a test can show that a changed constant is caught.
    static std::vector<std::string> selfTest(const Tunables& t) { return run(t).failures; }

private:
    void pushFirst(double ts, double cum);

    double sub_;
    std::optional<double> base_;
    std::optional<Sample> last_;
    int64_t knownUpTo_ = -1;
    std::optional<SeratoTunnel::Tick> lastTick_;
    int64_t restarts_ = 0;
};

}  // namespace plindo::motion
