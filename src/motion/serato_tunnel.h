#pragma once
// Turns the platter's numbered tick batches (late, bursty, overlapping, lossy) into a gap-free series of
// evenly paced tick deltas, one per sequence step. Missing ticks are guessed from the last per-step delta;
// when the truth arrives the difference is paid back a bounded share per step (or at once when that would
// take too long or the platter stands still), so the emitted deltas always add up to the true count.
#include "motion/fixed_list.h"

#include <array>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

namespace plindo::motion {

class SeratoTunnel {
public:
    struct Tick {
        int64_t seq = 0;
        int64_t cum = 0;
        double stamp = 0;
        bool measured = false;
        bool operator==(const Tick&) const = default;
    };

    struct Out {
        int64_t seq = 0;
        int64_t delta = 0;
        double stamp = 0;
        bool guessed = false;
        bool jumped = false;
        bool operator==(const Out&) const = default;
    };

    // The run-time tunables the owner copies in before each batch.
    struct Tunables {
        double k = 0.2;             // pay-back budget of a step as a share of its own |delta|
        double jumpDrainSec = 0.2;  // longest pay-back still done gradually
    };

    // Received ticks are held in a ring of this many sequence steps: a batch reaching further past the next
    // output than that restarts the tunnel from the batch, so a sequence jump cannot leave millions of
    // steps to guess through. The movement across such a gap is still paid, whole, with the first output
    // after the restart.
    static constexpr int64_t kWindow = 256;
    // Most recent guesses kept; only the last two before the next output are ever consulted.
    static constexpr int64_t kGuessRing = 64;
    // Ticks whose seq or cum lie outside ±2^53 are ignored: they cannot come from a real platter and would
    // make the step arithmetic overflow.
    static constexpr int64_t kCountLimit = int64_t(1) << 53;

    double k = 0.2;
    double jumpDrainSec = 0.2;

    SeratoTunnel() = default;
    explicit SeratoTunnel(const Tunables& t) : k(t.k), jumpDrainSec(t.jumpDrainSec) {}

    // True when the batch was accepted: it brings a tick newer than any seen before.
    bool ingest(std::span<const Tick> batch);
    // The output for nextSeq, advancing by one; none until the first accepted batch.
    std::optional<Out> next();
    // The cumulative count held for sequence number s.
    std::optional<int64_t> cum(int64_t s) const;

    int64_t newestSeen() const { return newestSeen_; }
    std::optional<int64_t> nextSeq() const { return nextSeq_; }
    int64_t sentCum() const { return sentCum_; }
    double period() const { return period_; }
    int64_t lastDelta() const { return lastDelta_; }
    bool knownStill() const { return knownStill_; }
    double lastStamp() const { return lastStamp_; }
    double allowance() const { return allowance_; }
    std::optional<int64_t> guessedAt(int64_t s) const;
    // Received ticks not yet emitted.
    int64_t pending() const { return nextSeq_ ? newestSeen_ - *nextSeq_ + 1 : 0; }
    // How often a batch reached beyond the window and the tunnel started afresh.
    int64_t restarts() const { return restarts_; }

    // Start-up check on fixed synthetic streams; returns failure texts, empty when all pass.
    static std::vector<std::string> selfTest();
    // The same check with other tunables, so a test can show that a changed constant is caught.
    static std::vector<std::string> selfTest(const Tunables& t);

private:
    static constexpr int64_t kEmpty = INT64_MIN;
    static std::size_t slot(int64_t s, int64_t n) { return static_cast<std::size_t>(static_cast<uint64_t>(s) & static_cast<uint64_t>(n - 1)); }

    const Tick* knownTick(int64_t s) const;
    void storeKnown(const Tick& t);
    void prune(int64_t below);
    void startAfresh();

    int64_t newestSeen_ = -1;
    int64_t sentCum_ = 0;
    std::optional<int64_t> nextSeq_;
    int64_t lastDelta_ = 0;
    bool knownStill_ = false;
    double lastStamp_ = 0;
    double period_ = 0.01;
    double allowance_ = 0;
    int64_t restarts_ = 0;
    int64_t prunedBelow_ = INT64_MIN;  // every key below this is already gone from both rings
    std::optional<int64_t> paidBeforeRestart_;  // sentCum when the stream restarted, until the new reference
    bool carryPending_ = false;                 // the next output pays the gap across a restart whole

    std::array<int64_t, kWindow> knownKey_ = filled<kWindow>();
    std::array<Tick, kWindow> known_{};
    std::array<int64_t, kGuessRing> guessKey_ = filled<kGuessRing>();
    std::array<int64_t, kGuessRing> guessCum_{};
    std::array<double, kGuessRing> guessStamp_{};

    template <std::size_t N>
    static constexpr std::array<int64_t, N> filled() {
        std::array<int64_t, N> a{};
        for (auto& v : a) v = kEmpty;
        return a;
    }
};

// Readable rendering of an output (or of its absence) for failure texts.
std::string describe(const std::optional<SeratoTunnel::Out>& o);

}  // namespace plindo::motion
