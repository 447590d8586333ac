#include "serato/serato_emit_step.h"

#include <algorithm>
#include <cmath>

namespace plindo::serato::SeratoEmit {

namespace {

// Guards the loop against a tuning whose least step is zero; with sane values at most a few hundred passes
// are needed before the message limit ends the call.
constexpr int kMaxPasses = 4096;

void bail(State& s) {
    s.primed = false;
    s.cursorPrimed = false;
    s.track.clear();
    s.phaseOffset = 0;
}

}  // namespace

StepResult step(State s, int deck, const Tuning& tu, double now) {
    StepResult r{};
    if (!s.active || !std::isfinite(now)) {
        r.state = s;
        return r;
    }
    double target = now - tu.delay;
    const double hb = tu.heartbeat - 1e-12;

    if (!s.primed) {
        if (s.lastSentStamp > kNever && target - s.lastSentStamp < hb) {
            r.state = s;
            return r;
        }
        const double stamp = std::max(target, s.lastSentStamp + tu.minStep);
        s.lastSentStamp = stamp;
        r.messages.push({deck, stamp, s.lastSentTick, false});
        r.state = s;
        return r;
    }

    target = std::max(target, s.tEmit);
    const double budget = std::max(1.0, tu.maxStepTicks - tu.phaseSlew * tu.step);
    const auto maxMessages = static_cast<std::size_t>(std::clamp<int64_t>(tu.maxMessages, 0, kMaxMessages));
    for (int pass = 0; pass < kMaxPasses && target - s.tEmit > tu.minStep && r.messages.size() < maxMessages; ++pass) {
        if (std::fabs(s.phaseOffset) > tu.phaseFold) {
            for (TrackPoint& pt : s.track) pt.p += s.phaseOffset;
            s.angleOffset += s.phaseOffset;
            s.phaseOffset = 0;
        }

        double dt = std::min(target - s.tEmit, tu.step);
        const double v = std::fabs(slope(s.tEmit, s, tu));
        if (dt * v > budget) dt = budget / v;
        const double beat = s.lastSentStamp + tu.heartbeat;
        if (s.tEmit < beat && beat - s.tEmit < dt) dt = beat - s.tEmit;
        dt = std::min(target - s.tEmit, std::max(dt, tu.minStep));

        // Shrink the step until it covers at most the tick budget.
        double t1 = s.tEmit + dt;
        const double p0 = position(s.tEmit, s, tu);
        for (int shrink = 0; shrink < 6; ++shrink) {
            const double c = std::fabs(position(t1, s, tu) - p0);
            if (c <= budget || dt <= tu.minStep) break;
            dt = std::max(tu.minStep, dt * (budget / c) * 0.98);
            t1 = s.tEmit + dt;
        }

        const double slew = tu.phaseSlew * dt;
        s.phaseOffset += std::clamp(-s.phaseOffset, -slew, slew);

        const double p1 = position(t1, s, tu);
        if (!std::isfinite(p1) || std::fabs(p1) >= 1e15) {
            bail(s);
            break;
        }
        const double sl = slope(t1, s, tu);
        const auto tick = static_cast<int64_t>(sl < 0 ? std::ceil(p1) : std::floor(p1));

        double stamp = t1;
        if (tick == s.lastSentTick) {
            if (t1 - s.lastSentStamp < hb) {
                s.tEmit = t1;
                s.emitPos = p1;
                continue;
            }
        } else if (std::fabs(sl) > 1) {
            const double crossed = t1 - (p1 - static_cast<double>(tick)) / sl;
            if (crossed <= t1) stamp = s.lastSentStamp < crossed ? crossed : t1;
        }
        if (stamp - s.lastSentStamp < tu.minStep) stamp = s.lastSentStamp + tu.minStep;
        r.messages.push({deck, stamp, tick, s.sentAny});
        s.sentAny = true;
        s.lastSentTick = tick;
        s.lastSentStamp = stamp;
        s.tEmit = t1;
        s.emitPos = p1;
    }
    r.state = s;
    return r;
}

}  // namespace plindo::serato::SeratoEmit
