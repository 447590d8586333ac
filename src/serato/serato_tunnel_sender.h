#pragma once
// A model of the phone's tick sender: it integrates the platter rate through a platter wire (with rest
// detection and bias learning), numbers a tick per step and keeps its most recent ticks to resend with
// every batch. Used to check the tunnel end to end over a lossy channel.
#include "motion/fixed_list.h"
#include "motion/serato_tunnel.h"
#include "serato/serato_platter_wire.h"

#include <cstdint>
#include <string>
#include <vector>

namespace plindo::serato {

struct SeratoTunnelSender {
    using Tick = motion::SeratoTunnel::Tick;
    static constexpr std::size_t kRingCapacity = 32;

    struct Tunables {
        motion::SeratoTunnel::Tunables tunnel{};
        double restOmega = 0.03;  // rad/s below which the platter counts as resting
        double restLearn = 0.5;   // seconds of rest before the bias is learned
        double deadband = 0.01;   // rad/s of corrected rate sent as 0
        int biasUse = 20;         // samples of bias needed before it is subtracted
        std::size_t ringKeep = 10;  // ticks resent with each batch
    };

    int32_t epoch = 0;
    double ticksPerRev = 36000;
    SeratoPlatterWire wire;
    int64_t seq = 0;
    motion::FixedList<Tick, kRingCapacity> ring;

    // One platter step at ts with rate omega; true when it made a tick.
    bool step(double ts, double omega) { return step(ts, omega, Tunables{}); }
    bool step(double ts, double omega, const Tunables& t);
    // The newest tick's count, 0 before the first.
    int64_t total() const { return ring.empty() ? 0 : ring.back().cum; }

    // What the lossy-channel run counted, with its failure texts.
    struct Report {
        int64_t count = 0;  // outputs taken during the run
        int64_t sum = 0;    // what all outputs add up to
        int64_t total = 0;  // the sender's own count
        std::vector<std::string> failures;
    };
    static Report run(const Tunables& t);
    static std::vector<std::string> selfTest() { return selfTest(Tunables{}); }
    static std::vector<std::string> selfTest(const Tunables& t) { return run(t).failures; }
};

}  // namespace plindo::serato
