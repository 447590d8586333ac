#include "motion/serato_tunnel.h"

#include <gtest/gtest.h>

#include <random>
#include <tuple>
#include <vector>

namespace plindo::motion {
namespace {

using Tick = SeratoTunnel::Tick;

// Ticks lo..hi with the count each one has: `cumOf(seq)`, or seq * step.
std::vector<Tick> batch(int64_t lo, int64_t hi, auto cumOf) {
    std::vector<Tick> t;
    for (int64_t q = lo; q <= hi; ++q) t.push_back({q, cumOf(q), q * 0.01, true});
    return t;
}
std::vector<Tick> ramp(int64_t lo, int64_t hi, int64_t step) {
    return batch(lo, hi, [step](int64_t q) { return q * step; });
}
// An output's sequence number, delta and its guessed and jumped marks; -1 when there is none.
std::tuple<int64_t, int64_t, bool, bool> out(const std::optional<SeratoTunnel::Out>& o) {
    return o ? std::tuple(o->seq, o->delta, o->guessed, o->jumped) : std::tuple(int64_t{-1}, int64_t{0}, false, false);
}
// A tunnel that took 31..40 at `step` per tick and has emitted `taken` outputs.
SeratoTunnel primed(int64_t step, int taken) {
    SeratoTunnel t;
    t.ingest(ramp(31, 40, step));
    for (int i = 0; i < taken; ++i) t.next();
    return t;
}

TEST(SeratoTunnel, NewTunnelWaitsAndFirstBatchBecomesTheReference) {
    SeratoTunnel t;
    EXPECT_FALSE(t.next());
    EXPECT_EQ(t.cum(-1), 0);
    EXPECT_FALSE(t.cum(0));
    EXPECT_TRUE(t.ingest(ramp(31, 40, 3)));
    EXPECT_TRUE(t.nextSeq() == 32 && t.sentCum() == 93);
    EXPECT_DOUBLE_EQ(t.period(), 0.01);
    for (int64_t s = 32; s <= 40; ++s) EXPECT_EQ(out(t.next()), std::tuple(s, 3, false, false));
    const auto guess = t.next();
    EXPECT_EQ(out(guess), std::tuple(41, 3, true, false));
    EXPECT_NEAR(guess->stamp, 0.41, 1e-12);
    EXPECT_EQ(t.guessedAt(41), 123);
}

TEST(SeratoTunnel, JudgesABatchByItsNewestTickAndStoresTheLaterDuplicate) {
    SeratoTunnel t = primed(3, 0);
    EXPECT_FALSE(t.ingest(ramp(25, 40, 7))) << "unseen 25..30, but nothing newer than 40";
    EXPECT_EQ(t.cum(35), 105);
    EXPECT_TRUE(t.ingest(std::vector<Tick>{{41, 500, 0.41, true}, {41, 126, 0.41, true}}));
    EXPECT_EQ(t.cum(41), 126);
}

TEST(SeratoTunnel, KnownAnswersOfPayBackJumpAndRest) {
    {  // Guesses 123 and 126 against the truth 127, 133, then +5 per step.
        SeratoTunnel t = primed(3, 11);
        auto truth = [](int64_t q) { return q <= 40 ? 3 * q : q == 41 ? 127 : 133 + 5 * (q - 42); };
        for (int64_t hi = 43; hi <= 60; ++hi) {
            t.ingest(batch(hi - 9, hi, truth));
            EXPECT_EQ(out(t.next()), std::tuple(hi, hi <= 49 ? 6 : 5, false, false));
        }
        EXPECT_EQ(t.sentCum(), truth(60));
    }
    {  // A backlog of 100 at +5 per step goes out in one jump.
        SeratoTunnel t = primed(5, 10);
        t.ingest(batch(33, 42, [](int64_t q) { return q <= 40 ? 5 * q : q == 41 ? 305 : 310; }));
        EXPECT_EQ(out(t.next()), std::tuple(42, 105, false, true));
    }
    {  // Overshoot, then rest: the whole backlog at once, then nothing.
        SeratoTunnel t = primed(3, 10);
        t.ingest(batch(36, 45, [](int64_t q) { return q <= 40 ? 3 * q : 118; }));
        EXPECT_EQ(out(t.next()), std::tuple(42, -5, false, true));
        EXPECT_EQ(out(t.next()), std::tuple(43, 0, false, false));
    }
    {  // Overshoot while moving on: -5 paid one tick at a time, never reversing.
        SeratoTunnel t = primed(3, 10);
        std::vector<int64_t> deltas;
        for (int64_t hi = 42; hi <= 80; ++hi) {
            t.ingest(batch(hi - 9, hi, [](int64_t q) { return q <= 40 ? 3 * q : q == 41 ? 118 : 121 + 3 * (q - 42); }));
            deltas.push_back(t.next()->delta);
        }
        EXPECT_EQ(std::vector<int64_t>(deltas.begin(), deltas.begin() + 10),
                  (std::vector<int64_t>{3, 2, 3, 2, 2, 3, 2, 3, 2, 3}));
        for (std::size_t i = 10; i < deltas.size(); ++i) EXPECT_EQ(deltas[i], 3);
    }
}

TEST(SeratoTunnel, LateDataRebasesOutstandingGuesses) {
    SeratoTunnel t = primed(3, 14);
    EXPECT_EQ(t.sentCum(), 135);
    EXPECT_FALSE(t.ingest(ramp(20, 29, 3))) << "older than anything seen";
    auto late = ramp(33, 42, 3);
    late[8].cum = 121;
    late[9].cum = 122;
    ASSERT_TRUE(t.ingest(late));
    EXPECT_EQ(t.guessedAt(44), 124);
    EXPECT_EQ(t.guessedAt(45), 125);
    EXPECT_FALSE(t.guessedAt(43));
    EXPECT_EQ(out(t.next()), std::tuple(46, -9, true, true));
}

TEST(SeratoTunnel, SelfTestPassesAndCatchesChangedConstants) {
    EXPECT_TRUE(SeratoTunnel::selfTest().empty());
    const auto fastPay = SeratoTunnel::selfTest({.k = 0.5});
    ASSERT_FALSE(fastPay.empty());
    EXPECT_EQ(fastPay[0].rfind("E2 Kappe ", 0), 0u) << fastPay[0];
    EXPECT_FALSE(SeratoTunnel::selfTest({.jumpDrainSec = 0.01}).empty()) << "every backlog jumps";
}

// A lossy, reordering channel over a random platter walk: whatever the channel does, once the platter
// rests and the backlog is paid the outputs add up to the true count.
TEST(SeratoTunnel, OutputsAddUpToTheTruthOnceTheBacklogIsPaid) {
    for (unsigned seed = 1; seed <= 20; ++seed) {
        std::mt19937 rng(seed);
        std::uniform_int_distribution<int> step(-40, 40);
        std::uniform_real_distribution<double> u(0, 1);
        std::vector<int64_t> truth = {1000};
        const auto window = [&](int64_t i) {
            return batch(std::max<int64_t>(0, i - 9), i, [&](int64_t q) { return truth[q]; });
        };
        SeratoTunnel t;
        int64_t sum = 0;
        bool started = false;
        std::vector<std::vector<Tick>> inFlight;
        for (int i = 1; i < 700; ++i) {
            truth.push_back(i < 600 ? truth.back() + step(rng) : truth.back());  // at rest from 600 on
            if (i >= 600) {
                t.ingest(window(i));  // the sender keeps resending
                while (t.pending() > 0) sum += t.next()->delta;
                continue;
            }
            if (u(rng) < 0.3) {
                inFlight.push_back(window(i));  // delayed
            } else if (u(rng) > 0.1) {
                t.ingest(window(i));  // else lost
            }
            if (!inFlight.empty() && u(rng) < 0.3) {
                t.ingest(inFlight.back());  // late and possibly out of order
                inFlight.pop_back();
            }
            if (!started && t.nextSeq()) {
                started = true;
                sum = t.sentCum();
            }
            const int take = !started ? 0 : u(rng) < 0.2 ? 1 : static_cast<int>(t.pending());
            for (int k = 0; k < take; ++k) sum += t.next()->delta;
        }
        EXPECT_EQ(sum, t.sentCum()) << "seed " << seed;
        EXPECT_EQ(t.sentCum(), truth.back()) << "seed " << seed;
    }
}

// Batches stop for seconds while nothing is taken, then resume so far ahead that the tunnel restarts: the
// movement across the gap is paid, once and whole, and the outputs add up to the platter's count again.
TEST(SeratoTunnel, ARestartAfterAGapPaysTheGapsMovementOnce) {
    struct Row {
        int64_t gapSteps;  // 2.6 s, 10 s and 60 s at 10 ms a step
        bool stillInGap;   // the platter stood through the gap and moved only at its end: about 150 counts,
                           // little enough that a gradual pay-back would otherwise be chosen
    };
    for (const Row& row : {Row{260, false}, Row{1000, false}, Row{6000, false}, Row{300, true}}) {
        const int64_t gapSteps = row.gapSteps;
        const bool stillInGap = row.stillInGap;
        SCOPED_TRACE(stillInGap ? "still in the gap" : "moving in the gap");
        const int64_t resume = 100 + gapSteps;
        std::vector<int64_t> truth = {5000};
        auto cumAt = [&](int64_t q) {
            while (static_cast<int64_t>(truth.size()) <= q) {
                const auto i = static_cast<int64_t>(truth.size());
                const bool standing = stillInGap && i >= 100 && i < resume - 9;
                truth.push_back(truth.back() + (standing ? 0 : i % 7 == 0 ? 60 : 94));
            }
            return truth[static_cast<size_t>(q)];
        };
        SeratoTunnel t;
        int64_t paid = 0;
        int64_t lastBefore = -1;
        auto step = [&](int64_t i) {
            t.ingest(batch(std::max<int64_t>(0, i - 9), i, cumAt));
            if (paid == 0 && t.nextSeq()) paid = t.sentCum();
            std::vector<SeratoTunnel::Out> outs;
            while (t.pending() > 0) outs.push_back(*t.next());
            for (const auto& o : outs) paid += o.delta;
            return outs;
        };
        for (int64_t i = 0; i < 100; ++i) step(i);
        lastBefore = *t.nextSeq() - 1;
        const auto afterGap = step(resume);
        ASSERT_EQ(t.restarts(), 1) << gapSteps;
        ASSERT_FALSE(afterGap.empty());
        // The gap's own movement, up to the first step emitted after it.
        const int64_t gapMovement = cumAt(afterGap.front().seq) - cumAt(lastBefore);
        if (stillInGap) ASSERT_LT(gapMovement, 200);
        EXPECT_EQ(afterGap.front().delta, gapMovement) << gapSteps;
        EXPECT_TRUE(afterGap.front().jumped) << gapSteps;
        int64_t largest = 0;
        for (int64_t i = resume + 1; i < resume + 50; ++i)
            for (const auto& o : step(i)) largest = std::max<int64_t>(largest, std::llabs(o.delta));
        EXPECT_LE(largest, 94) << gapSteps << ": the gap is paid once, not again";
        EXPECT_LE(std::llabs(paid - cumAt(*t.nextSeq() - 1)), 1) << gapSteps;
        EXPECT_EQ(t.sentCum(), paid) << gapSteps;
    }
}

TEST(SeratoTunnel, HostileBatchesNeitherHangNorOverflow) {
    {  // A sequence jump to 2^31 starts afresh instead of leaving 2^31 steps to guess through.
        SeratoTunnel t;
        t.ingest(ramp(91, 100, 3));
        while (t.pending() > 0) t.next();
        const int64_t far = int64_t(1) << 31;
        EXPECT_TRUE(t.ingest(batch(far - 9, far, [](int64_t q) { return q % 1000; })));
        EXPECT_EQ(t.restarts(), 1);
        EXPECT_LE(t.pending(), 10);
        EXPECT_GE(*t.nextSeq(), far - 9);
    }
    {  // One batch that spans a billion steps keeps only what fits beside its newest tick.
        SeratoTunnel t;
        const std::vector<Tick> wide = {{0, 0, 0.0, true}, {1'000'000'000, 5, 0.5, true}, {999'999'999, 4, 0.49, true}};
        EXPECT_TRUE(t.ingest(wide));
        EXPECT_LT(t.pending(), SeratoTunnel::kWindow);
        EXPECT_EQ(t.nextSeq(), 1'000'000'000);
    }
    {  // Counts beyond any platter, NaN or infinite stamps are ignored; nothing else is.
        SeratoTunnel t;
        std::vector<Tick> bad = {{1, INT64_MAX, 0.01, true}, {2, 10, std::nan(""), true},
                                 {INT64_MAX, 0, 0.02, true}, {3, 10, INFINITY, true}};
        EXPECT_FALSE(t.ingest(bad));
        EXPECT_FALSE(t.ingest({}));
        bad.push_back({4, 12, 0.04, true});
        EXPECT_TRUE(t.ingest(bad));
        EXPECT_EQ(t.nextSeq(), 5);
        EXPECT_EQ(t.sentCum(), 12);
    }
    {  // A huge per-step delta guessed on and on wraps instead of overflowing, and late data still lands.
        SeratoTunnel t;
        const int64_t big = SeratoTunnel::kCountLimit;
        t.ingest(std::vector<Tick>{{1, -big, 0.01, true}, {2, big, 0.02, true}});
        for (int i = 0; i < 100'000; ++i) t.next();
        EXPECT_TRUE(t.ingest(std::vector<Tick>{{3, 0, 0.03, true}, {4, 0, 0.04, true}}));
        EXPECT_TRUE(t.next());
    }
}

}  // namespace
}  // namespace plindo::motion
