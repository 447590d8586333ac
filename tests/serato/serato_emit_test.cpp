#include "serato/serato_emit.h"
#include "serato/serato_emit_plan.h"
#include "serato/serato_emit_step.h"
#include "test_util.h"

#include <gtest/gtest.h>

#include <cmath>
#include <random>
#include <vector>

namespace plindo::serato::SeratoEmit {
namespace {

const Tuning kLive = Tuning::liveStart();

State primedOn(std::initializer_list<TrackPoint> pts, double tEmit, double emitPos) {
    State s;
    s.active = s.primed = s.cursorPrimed = true;
    for (const auto& p : pts) s.track.push(p);
    s.tEmit = tEmit;
    s.emitPos = emitPos;
    return s;
}

State activeState() {
    State s;
    s.active = true;
    return s;
}

using serato::testing::angleOf;

std::vector<Message> run(State& s, double from, double to, double every, int deck = 1) {
    std::vector<Message> out;
    for (double now = from; now <= to + 1e-12; now += every) {
        auto r = step(s, deck, kLive, now);
        s = r.state;
        out.insert(out.end(), r.messages.begin(), r.messages.end());
    }
    return out;
}

TEST(SeratoEmitTrack, EvaluatesPointsSegmentsAndHorizons) {
    const Tuning& def = Tuning::defaults();
    State fresh;
    EXPECT_EQ(position(-5, fresh, def), 0);
    EXPECT_EQ(position(1e6, fresh, def), 0);

    State one = primedOn({{1, 7}}, 0, 0);
    one.phaseOffset = 2;
    EXPECT_EQ(position(0, one, def), 9);
    EXPECT_EQ(position(99, one, def), 9);
    EXPECT_EQ(slope(1, one, def), 0);

    State two = primedOn({{1, 0}, {1.01, 20}}, 0, 0);
    EXPECT_EQ(position(2, two, kLive), 20);  // held at the last point
    EXPECT_EQ(slope(1.02, two, kLive), 0);
    EXPECT_NEAR(horizon(two, def), 0.03, 1e-12);
    EXPECT_NEAR(position(2, two, def), 20 + 0.03 * 2000, 1e-6);
    EXPECT_NEAR(position(0, two, def), -2000, 1e-6);  // backwards without a cap
    EXPECT_NEAR(position(1.005, two, def), 10, 1e-9);

    EXPECT_NEAR(horizon(primedOn({{1, 0}, {1.1, 1}}, 0, 0), def), 0.15, 1e-12);
    EXPECT_NEAR(horizon(primedOn({{1, 0}, {2, 1}}, 0, 0), def), 0.35, 1e-12);

    State equal = primedOn({{1, 5}, {1, 9}}, 0, 0);
    EXPECT_EQ(position(3, equal, def), 9);
    EXPECT_EQ(slope(3, equal, def), 0);
}

TEST(SeratoEmitPlan, PrimesThroughTheCursor) {
    const Tuning& def = Tuning::defaults();
    const Sample first{angleOf(123), 50.0};
    State s = plan(activeState(), std::span(&first, 1), def, 1.0, 10.0);
    EXPECT_TRUE(s.primed && s.cursorPrimed && s.clockPrimed);
    EXPECT_NEAR(s.tEmit, 10.0 - 0.014, 1e-12);
    ASSERT_EQ(s.track.size(), 2u);
    EXPECT_EQ(s.track.back().t, 10.0);
    EXPECT_NEAR(s.track.back().p, 0.014 * 2000, 1e-9);
    EXPECT_NEAR(s.track.front().t, 10.0 - 0.014 - 0.02, 1e-12);
    EXPECT_EQ(s.phaseOffset, 0);
    EXPECT_NEAR(s.clockOffset, -40.0, 1e-12);
    EXPECT_NEAR(position(s.tEmit, s, def), 0, 1e-9);

    // Messages go out, then a 0.4 s pause: the re-prime keeps the cursor and passes through it.
    for (double now = 10.0; now < 10.05; now += 0.001) s = step(s, 1, def, now).state;
    ASSERT_TRUE(s.sentAny);
    const double tEmit = s.tEmit, emitPos = s.emitPos;
    const Sample late{angleOf(5000), 50.45};
    s = plan(s, std::span(&late, 1), def, 1.0, 10.45);
    EXPECT_EQ(s.tEmit, tEmit);
    EXPECT_EQ(s.emitPos, emitPos);
    EXPECT_NEAR(position(s.tEmit, s, def), emitPos, 1e-6);
}

TEST(SeratoEmitPlan, UpdatesSkipOldRepeatedAndCrowdedSamplesAndRePrimeOnSpikes) {
    const Tuning& def = Tuning::defaults();
    const Sample first{angleOf(0), 1.0};
    const State primed = plan(activeState(), std::span(&first, 1), def, 0.0, 100.0);

    {  // All samples older: only the clock offset moves.
        const Sample old[] = {{angleOf(10), 0.5}, {angleOf(20), 0.9}};
        const State s = plan(primed, old, def, 0.0, 100.01);
        State expect = primed;
        expect.clockOffset = std::min(100.01 - 0.9, primed.clockOffset) + def.clockDrift;
        EXPECT_EQ(s, expect);
    }
    {  // The same angle again: fresh data, no point.
        const Sample same{angleOf(0), 1.01};
        const State s = plan(primed, std::span(&same, 1), def, 0.0, 100.01);
        EXPECT_EQ(s.track, primed.track);
        EXPECT_EQ(s.lastFeedWall, 100.01);
        EXPECT_EQ(s.lastPhoneTs, 1.01);
    }
    {  // Closer than 1 ms to the last point: no point.
        const Sample close{angleOf(1), 1.0005};
        const State s = plan(primed, std::span(&close, 1), def, 0.0, 100.0005);
        EXPECT_EQ(s.track, primed.track);
        EXPECT_EQ(s.lastFeedWall, 100.0005);
    }
    {  // A spike faster than 72000 ticks/s re-primes at that sample and drops the rest of the frame.
        const Sample frame[] = {{angleOf(5), 1.01}, {angleOf(5000), 1.02}, {angleOf(5010), 1.03}};
        const State s = plan(primed, frame, def, 0.0, 100.03);
        EXPECT_EQ(s.lastPhoneTs, 1.02);
        EXPECT_EQ(s.track.size(), 2u);
        EXPECT_EQ(s.phaseOffset, 0);
        EXPECT_NEAR(s.clockOffset, 100.03 - 1.02, 1e-12);
    }
    {  // The track keeps its newest four points.
        State s = primed;
        for (int i = 1; i <= 6; ++i) {
            const Sample x{angleOf(i * 3.0), 1.0 + i * 0.01};
            s = plan(s, std::span(&x, 1), def, 0.0, 100.0 + i * 0.01);
            EXPECT_LE(s.track.size(), 4u);
        }
        EXPECT_EQ(s.track.size(), 4u);
    }
}

// Whatever a frame adds, the position at the emission cursor is where it was: the change goes into the
// phase offset.
TEST(SeratoEmitPlan, PlanningNeverMovesTheEmittedPosition) {
    std::mt19937 rng(7);
    std::uniform_real_distribution<double> jitter(-30, 30);
    for (const Tuning& tu : {kLive, Tuning::defaults()}) {
        State s = activeState();
        double angleTicks = 0, now = 20.0, ts = 3.0;
        for (int frame = 0; frame < 300; ++frame) {
            Sample samples[3];
            for (auto& x : samples) {
                ts += 0.003;
                angleTicks += 6 + jitter(rng);
                x = {angleOf(angleTicks), ts};
            }
            now += 0.009;
            const bool willPrime = !s.primed;
            const double before = position(s.tEmit, s, tu);
            s = plan(s, samples, tu, 1.0, now);
            if (!willPrime) EXPECT_NEAR(position(s.tEmit, s, tu), before, 1e-6) << "frame " << frame;
            for (double t = now - 0.009; t < now; t += 0.001) s = step(s, 1, tu, t).state;
        }
    }
}

TEST(SeratoEmitStep, HeartbeatsWhenInactiveUnprimedOrResting) {
    State off;
    const auto r0 = step(off, 1, kLive, 5.0);
    EXPECT_EQ(r0.state, off);
    EXPECT_TRUE(r0.messages.empty());

    State idle = activeState();
    idle.lastSentTick = 77;
    auto r = step(idle, 2, kLive, 5.0);
    ASSERT_EQ(r.messages.size(), 1u);
    EXPECT_EQ(r.messages[0], (Message{2, 5.0, 77, false}));
    EXPECT_FALSE(r.state.sentAny);
    EXPECT_TRUE(step(r.state, 2, kLive, 5.008 - 2e-12).messages.empty());
    EXPECT_EQ(step(r.state, 2, kLive, 5.008).messages.size(), 1u);

    State rest = primedOn({{0, 10.5}, {1, 10.5}}, 1.0, 10.5);
    rest.lastSentTick = 10;
    rest.lastSentStamp = 1.0;
    const auto beats = run(rest, 1.001, 1.1, 0.001);
    ASSERT_EQ(beats.size(), 12u);
    for (std::size_t i = 0; i < beats.size(); ++i) {
        EXPECT_EQ(beats[i].tick, 10);
        EXPECT_NEAR(beats[i].stampSec, 1.0 + 0.008 * static_cast<double>(i + 1), 1e-9);
    }
}

TEST(SeratoEmitStep, LimitsTicksAndMessagesPerCallAndStampsCrossings) {
    const double budget = 60 - 200 * 0.001;
    {  // 72000 ticks/s: steps cut to about 0.83 ms, never more than the budget per message.
        State s = primedOn({{0, 0}, {10, 720000}}, 0, 0);
        const auto r = step(s, 1, kLive, 0.02);
        ASSERT_GE(r.messages.size(), 24u);  // 1440 ticks at most 60 per message
        for (std::size_t i = 1; i < r.messages.size(); ++i)
            EXPECT_LE(r.messages[i].tick - r.messages[i - 1].tick, static_cast<int64_t>(std::ceil(budget)));
        EXPECT_NEAR(r.state.tEmit, 0.02, 1e-12);
    }
    {  // 20000 ticks/s, 65 ms due: the call stops at 64 messages and the next one goes on.
        State s = primedOn({{0, 0}, {10, 200000}}, 0, 0);
        auto r = step(s, 1, kLive, 0.065);
        ASSERT_EQ(r.messages.size(), 64u);
        EXPECT_NEAR(r.state.tEmit, 0.064, 1e-9);
        r = step(r.state, 1, kLive, 0.065);
        ASSERT_EQ(r.messages.size(), 1u);
        EXPECT_EQ(r.messages[0].tick, 1300);
    }
    {  // 20000 ticks/s: full 1 ms steps of 20 ticks.
        State s = primedOn({{0, 0}, {10, 200000}}, 0, 0);
        const auto msgs = run(s, 0.001, 0.02, 0.001);
        ASSERT_EQ(msgs.size(), 20u);
        for (std::size_t i = 1; i < msgs.size(); ++i) EXPECT_EQ(msgs[i].tick - msgs[i - 1].tick, 20);
        EXPECT_FALSE(msgs[0].withPosition);
        EXPECT_TRUE(msgs[1].withPosition);
    }
    {  // 2000 ticks/s from 0.3: a tick crossed mid-step carries its crossing time.
        State s = primedOn({{0, 0.3}, {10, 20000.3}}, 0, 0.3);
        const auto msgs = run(s, 0.001, 0.01, 0.001);
        ASSERT_FALSE(msgs.empty());
        double last = -1;
        for (const auto& m : msgs) {
            EXPECT_NEAR(m.stampSec, (static_cast<double>(m.tick) - 0.3) / 2000, 1e-9);
            EXPECT_GE(m.stampSec - last, 0.00002 - 1e-12);
            last = m.stampSec;
        }
    }
}

TEST(SeratoEmitStep, WorksOffOrFoldsThePhaseOffsetWithoutAJump) {
    {
        State s = primedOn({{0, 0}, {1, 0}}, 0, 0);
        s.phaseOffset = 100;
        run(s, 0.001, 0.499, 0.001);
        EXPECT_GT(s.phaseOffset, 0);
        run(s, 0.5, 0.51, 0.001);
        EXPECT_NEAR(s.phaseOffset, 0, 1e-9);
    }
    {
        State s = primedOn({{0, 0}, {10, 20000}}, 0, 0);
        s.phaseOffset = 1000;
        s.lastSentTick = 1000;
        s.lastSentStamp = 0;
        s.sentAny = true;
        const auto msgs = run(s, 0.001, 0.02, 0.001);
        EXPECT_EQ(s.phaseOffset, 0);
        EXPECT_NEAR(s.angleOffset, 1000, 1e-9);
        EXPECT_NEAR(s.track.back().p, 21000, 1e-9);
        int64_t prev = 1000;
        for (const auto& m : msgs) {
            EXPECT_LE(std::llabs(m.tick - prev), 3);
            prev = m.tick;
        }
    }
}

TEST(SeratoEmitStep, RoundsTowardsTheLastTickPassedInTheDirectionOfMotion) {
    struct Case { double start, slopePerMs, now; int64_t tick; } cases[] = {
        {0.7, -1, 0.001, 0},       // falling through -0.3: ceil
        {0.8, -1, 0.002, -1},      // falling through -1.2
        {-2.2, 1, 0.001, -2},      // rising through -1.2: floor
        {-1.3, 1, 0.001, -1},      // rising through -0.3
    };
    for (const auto& c : cases) {
        State s = primedOn({{0, c.start}, {10, c.start + c.slopePerMs * 10000}}, 0, c.start);
        s.lastSentTick = 99;
        const auto r = step(s, 1, kLive, c.now);
        ASSERT_FALSE(r.messages.empty());
        EXPECT_EQ(r.messages.back().tick, c.tick) << c.start;
    }
}

TEST(SeratoEmitStep, AnUnusablePositionClearsThePlanAndKeepsWhatWasSent) {
    State s = primedOn({{0, 0}, {0.01, 20}, {0.02, NAN}}, 0, 0);
    s.sentAny = true;
    s.lastSentStamp = 0;
    s.angleOffset = 3;
    s.clockOffset = 4;
    const auto r = step(s, 1, kLive, 0.03);
    EXPECT_FALSE(r.messages.empty());
    EXPECT_FALSE(r.state.primed);
    EXPECT_FALSE(r.state.cursorPrimed);
    EXPECT_TRUE(r.state.track.empty());
    EXPECT_EQ(r.state.phaseOffset, 0);
    EXPECT_EQ(r.state.angleOffset, 3);
    EXPECT_EQ(r.state.clockOffset, 4);
    EXPECT_EQ(r.state.lastSentTick, r.messages.back().tick);

    State huge = primedOn({{0, 2e15}, {1, 2e15}}, 0, 0);
    EXPECT_FALSE(step(huge, 1, kLive, 0.5).state.primed);
}

// A platter wandering for a minute: frames every 10 ms, the drain every 1 ms, the cursor kept behind the
// newest sample by the default delay and no extrapolation. The messages never skip more than the tick
// budget, stamps rise strictly, and once the platter rests the emitted tick is within one tick of where
// the platter is.
TEST(SeratoEmitProperty, LongRandomWalkIsReconstructedWithinOneTick) {
    Tuning tu = Tuning::liveStart();
    tu.delay = Tuning::defaults().delay;
    for (unsigned seed = 1; seed <= 3; ++seed) {
        std::mt19937 rng(seed);
        std::normal_distribution<double> accel(0, 8000);
        State s = activeState();
        double ticks = 0, rate = 0, now = 1000.0, phoneTs = 7.0;
        int64_t prevTick = 0;
        double prevStamp = -1;
        bool first = true;
        double startOffset = 0;
        auto drain = [&](double until) {
            for (; now < until - 1e-9;) {
                now += 0.001;
                const auto r = step(s, 1, tu, now);
                s = r.state;
                for (const auto& m : r.messages) {
                    if (!first) {
                        EXPECT_LE(std::llabs(m.tick - prevTick), 60);
                        EXPECT_GT(m.stampSec, prevStamp);
                    }
                    first = false;
                    prevTick = m.tick;
                    prevStamp = m.stampSec;
                }
            }
        };
        for (int frame = 0; frame < 6000; ++frame) {
            Sample samples[2];
            for (auto& x : samples) {
                rate = std::clamp(rate + accel(rng) * 0.005, -10000.0, 10000.0);
                ticks += rate * 0.005;
                phoneTs += 0.005;
                x = {angleOf(ticks), phoneTs};
            }
            const bool wasPrimed = s.primed;
            s = plan(s, samples, tu, rate / 2000, now);
            if (frame == 0) startOffset = s.angleOffset;
            if (wasPrimed && s.angleOffset != startOffset) {
                ADD_FAILURE() << "re-primed or folded at frame " << frame;
                break;
            }
            drain(now + 0.01);
        }
        for (int frame = 0; frame < 600; ++frame) {  // at rest for 6 s
            phoneTs += 0.01;
            const Sample still{angleOf(ticks), phoneTs};
            s = plan(s, std::span(&still, 1), tu, 0, now);
            drain(now + 0.01);
        }
        EXPECT_NEAR(static_cast<double>(s.lastSentTick), ticks + startOffset, 1.0) << "seed " << seed;
    }
}

TEST(SeratoEmitHostile, NonFiniteAndHugeInputsLeaveAUsableState) {
    const Tuning& def = Tuning::defaults();
    const Sample first{0.0, 1.0};
    const State primed = plan(activeState(), std::span(&first, 1), def, 1.0, 10.0);

    EXPECT_EQ(plan(primed, std::vector<Sample>{{NAN, 2.0}}, def, 1.0, 10.1), primed);
    EXPECT_EQ(plan(primed, std::vector<Sample>{{0.1, INFINITY}}, def, 1.0, 10.1), primed);
    EXPECT_EQ(plan(primed, std::vector<Sample>{{0.1, NAN}}, def, 1.0, 10.1), primed);
    EXPECT_EQ(plan(primed, std::vector<Sample>{{0.1, 1.01}}, def, 1.0, NAN), primed);
    EXPECT_EQ(plan(primed, std::vector<Sample>{}, def, 1.0, 10.1), primed);

    const State wild = plan(primed, std::vector<Sample>{{1e300, 1e300}, {-1e300, 2.0}}, def, NAN, 10.1);
    EXPECT_TRUE(std::isfinite(wild.clockOffset));
    auto r = step(wild, 1, def, 10.2);
    for (const auto& m : r.messages) EXPECT_TRUE(std::isfinite(m.stampSec));

    EXPECT_TRUE(step(primed, 1, def, NAN).messages.empty());
    EXPECT_TRUE(step(primed, 1, def, INFINITY).messages.empty());
    // A stall of an hour is caught up 64 messages at a time.
    EXPECT_LE(step(primed, 1, def, 3600.0).messages.size(), 64u);
}

}  // namespace
}  // namespace plindo::serato::SeratoEmit
