// Platter motion into the output: single positions (drive) are sent or queued at once and take the deck out
// of the emitter's hands for 0.5 s; whole phone frames (feed) extend the emitter's track for the drain.
#include "serato/serato_midi_out.h"

#include "platform/checked.h"
#include "serato/serato_emit_messages.h"
#include "serato/serato_emit_plan.h"

#include <algorithm>
#include <cmath>
#include <numbers>

namespace plindo::serato {

namespace {
constexpr double kDirectWindow = 0.5;
// Stamps at or beyond this magnitude, in seconds, are refused at the door, as the encoders refuse them.
constexpr double kLargestStamp = 1e12;
constexpr double kTwoPi = 2 * std::numbers::pi;
}  // namespace

bool SeratoMIDIOut::isMoving(int deckIndex, double at) const {
    if (deckIndex < 0 || deckIndex > 1) return false;
    if (!s_.movementGate.load()) return true;
    const auto i = static_cast<std::size_t>(deckIndex);
    return s_.movingUntil[i].load() > at && at - s_.lastDriveWall[i].load() < s_.motionUnderrun.load();
}

bool SeratoMIDIOut::moveGate(Deck& d, int deckIndex, int64_t delta, double now) {
    const auto i = static_cast<std::size_t>(deckIndex);
    if (delta != 0) d.motionHist.push({now, delta < 0 ? -delta : delta});
    const double from = now - s_.motionWindow.load();
    while (!d.motionHist.empty() && !(d.motionHist.front().t >= from)) d.motionHist.pop();
    s_.lastDriveWall[i] = now;
    int64_t sum = 0;
    for (std::size_t k = 0; k < d.motionHist.size(); ++k) sum += d.motionHist[k].d;
    if (sum >= s_.motionTicks.load()) s_.movingUntil[i] = now + s_.motionHold.load();
    return isMoving(deckIndex, now);
}

void SeratoMIDIOut::drive(int deck, bool touch, double angle, double ts, double omega) {
    // A stamp this far out cannot come from a phone clock; taken in, it would push every later stamp past
    // what the encoders can send and pin the latency floor for good.
    if (deck < 1 || deck > 2 || !std::isfinite(angle) || !std::isfinite(ts) || std::fabs(angle) >= 1e9 ||
        std::fabs(ts) >= kLargestStamp)
        return;
    const double now = clock_.now();
    const auto i = static_cast<std::size_t>(deck - 1);
    const uint8_t format = s_.format.load();
    const SeratoEmit::Tuning tuning = s_.tuning.load();
    const auto ch = static_cast<uint8_t>(deck - 1);

    SourceRef source;
    double abs = 0, stamp = 0;
    int64_t tick = 0, delta = 0;
    bool moving = false, hadSentAny = false;
    double prevSentStamp = SeratoEmit::kNever;
    {
        std::lock_guard g(lock_);
        Deck& d = decks_[i];
        if (!d.emit.active || !portsUp_) return;
        source = source_;
        if (format != SeratoOutFormat::radian) {
            const double perTurn = (format == SeratoOutFormat::phone || format == SeratoOutFormat::rel)
                                       ? s_.ticksPerRev.load()
                                       : 3600.0;
            const double ticks = angle / -kTwoPi * perTurn;
            // A tick count that is not a usable integer (a strange ticks-per-turn setting) changes nothing.
            const auto checkedTicks = platform::checkedRound<int64_t>(ticks);
            if (!checkedTicks || std::fabs(ticks) >= 1e15) return;
            if (d.directUntil < now) {
                d.directOffset = d.emit.emitPos - ticks;
                double from = now - tuning.delay;
                if (std::isfinite(d.emit.lastSentStamp)) from = std::max(from, d.emit.lastSentStamp + tuning.minStep);
                d.directTsOffset = from - ts;
                d.emit.track.clear();
                d.emit.primed = false;
                d.emit.cursorPrimed = false;
                d.emit.phaseOffset = 0;
                d.emit.lastFeedWall = SeratoEmit::kNever;
                d.jogLastTick = d.emit.lastSentTick;
            }
            d.directUntil = now + kDirectWindow;
            abs = ticks + d.directOffset;
            stamp = ts + d.directTsOffset;
            const auto rounded = platform::checkedRound<int64_t>(abs);
            if (!rounded || std::fabs(abs) >= 1e15) return;
            tick = *rounded;
            hadSentAny = d.emit.sentAny;
            prevSentStamp = d.emit.lastSentStamp;
            const int64_t prevTick = d.emit.lastSentTick;
            d.emit.emitPos = abs;
            d.emit.lastSentTick = tick;
            d.emit.lastSentStamp = stamp;
            d.emit.sentAny = true;
            delta = hadSentAny ? tick - prevTick : 0;
            moving = moveGate(d, deck - 1, delta, now);
            if (format == SeratoOutFormat::rel && delta == 0 && !moving && s_.movementGate.load()) return;
            d.directMsgs += 1;
        }
    }

    if (format == SeratoOutFormat::radian) {
        const auto b = SeratoEmit::radianMessage(deck, angle, omega, s_);
        if (!b.empty()) send({b.data(), b.size()}, source, 0, true);
        return;
    }
    s_.lastMotionWall[i] = now;

    auto storeSent = [&] {
        std::lock_guard g(lock_);
        Deck& d = decks_[i];
        d.twelveSentTick = abs;
        d.twelveSentStamp = stamp;
        d.jogPlanTick = tick;
    };

    switch (format) {
        case SeratoOutFormat::rel: {
            if (s_.keepAliveMode.load() != 2 && (moving || !s_.movementGate.load()) &&
                now - s_.lastTouchPulse[i].load() >= 0.5) {
                s_.lastTouchPulse[i] = now;
                const std::array<uint8_t, 9> pulse{static_cast<uint8_t>(0x90 | ch), 0x37, 0x7F,
                                                   static_cast<uint8_t>(0x90 | ch), 0x37, 0x00,
                                                   static_cast<uint8_t>(0x90 | ch), 0x34, 0x7F};
                send(pulse, source, 0, true);
            }
            const auto b = SeratoEmit::relativeMessage(deck, delta, stamp, s_);
            send({b.data(), b.size()}, source, stamp, true);
            storeSent();
            break;
        }
        case SeratoOutFormat::phone: {
            const auto b = SeratoEmit::nineByteMessage(deck, abs, stamp, s_);
            send({b.data(), b.size()}, source, stamp, true);
            storeSent();
            break;
        }
        default:
            jogPlan(deck, touch, abs, stamp, tick, ts, now, hadSentAny, prevSentStamp, source);
            break;
    }
}

void SeratoMIDIOut::jogPlan(int deck, bool touch, double abs, double stamp, int64_t tick, double ts, double now,
                            bool hadSentAny, double prevSentStamp, const SourceRef& source) {
    const auto i = static_cast<std::size_t>(deck - 1);
    const uint8_t format = s_.format.load();
    std::unique_lock g(lock_);
    Deck& d = decks_[i];

    const double lat = now - ts;
    if (!d.gridPrimed || lat < d.gridOffset) {
        d.gridOffset = lat;
        d.gridPrimed = true;
    }
    d.jitRing.push(std::max(0.0, lat - d.gridOffset));
    if (now - d.jitLastEval >= 1.0 && d.jitRing.size() >= 20) {
        d.jitLastEval = now;
        std::array<double, 200> sorted{};
        const std::size_t n = d.jitRing.size();
        for (std::size_t k = 0; k < n; ++k) sorted[k] = d.jitRing[k];
        std::sort(sorted.begin(), sorted.begin() + static_cast<std::ptrdiff_t>(n));
        auto q = [&](double f) { return sorted[std::min(n - 1, static_cast<std::size_t>(std::floor(static_cast<double>(n) * f)))]; };
        d.jitStats = {q(0.5), q(0.95), q(0.99), static_cast<int64_t>(n)};
    }
    d.gridOffset += 0.00005;

    const double prevGridTs = d.gridLastTs;
    double dt = ts - prevGridTs;
    d.gridLastTs = ts;
    if (!(prevGridTs > 0) || dt <= 0.002 || dt >= 0.12) dt = 0.01;

    double lead = 0;
    if (s_.autoLead.load()) {
        lead = std::min(std::max(0.0, d.jitStats.p95 + 0.0005), 1.5 * dt);
    } else {
        lead = s_.leadScale.load() * dt;
    }
    d.leadEff = lead;

    if (format == SeratoOutFormat::jog) {
        if (touch != d.jogTouch) {
            d.jogPending.clear();
            const double from = static_cast<double>(d.jogLastTick);
            g.unlock();
            jogSendFrom(from, deck, touch, source, false);
            g.lock();
            decks_[i].twelveSentTick = abs;
            decks_[i].twelveSentStamp = stamp;
        }
        if (!touch) {
            decks_[i].jogPending.clear();
            g.unlock();
            jogSendFrom(abs, deck, false, source, false);
            return;
        }
    }

    Deck& e = decks_[i];
    const bool hasStart = hadSentAny && std::isfinite(prevSentStamp) && prevGridTs > 0;
    const double start = format == SeratoOutFormat::jog ? static_cast<double>(e.jogPlanTick) : e.twelveSentTick;
    const double stamp0 = e.twelveSentStamp;

    // The count is held to 1...64 also when fixed by the setting, so that the queue stays bounded.
    int64_t n = 1;
    if (const int64_t fixed = s_.subSteps.load(); fixed >= 1) {
        n = std::min(fixed, kMaxSubSteps);
    } else {
        const double per = std::max(s_.subStepTicks.load(), 0.5);
        const double want = std::round(std::fabs(abs - start) / per);
        n = std::isfinite(want) ? static_cast<int64_t>(std::clamp(want, 1.0, static_cast<double>(kMaxSubSteps)))
                                : kMaxSubSteps;
    }

    if (hasStart && static_cast<int64_t>(e.jogPending.size()) <= 4 * n) {
        const double base = prevGridTs + e.gridOffset + lead;
        for (int64_t k = 1; k <= n; ++k) {
            const double f = static_cast<double>(k) / static_cast<double>(n);
            e.jogPending.push({base + f * dt, start + f * (abs - start), stamp0 + f * (stamp - stamp0)});
        }
        e.twelveSentTick = abs;
        e.twelveSentStamp = stamp;
        e.jogPlanTick = tick;
        return;
    }
    e.jogPending.clear();
    e.twelveSentTick = abs;
    e.twelveSentStamp = stamp;
    e.jogPlanTick = tick;
    g.unlock();
    if (format == SeratoOutFormat::twelve) {
        const auto b = SeratoEmit::stampMessage(deck, true, abs, stamp, s_);
        send({b.data(), b.size()}, source, stamp, true);
    } else {
        jogSendFrom(abs, deck, true, source, false);
    }
}

void SeratoMIDIOut::feed(int deck, std::span<const SeratoEmit::Sample> samples, double speed) {
    feed(deck, samples, speed, clock_.now());
}

void SeratoMIDIOut::feed(int deck, std::span<const SeratoEmit::Sample> samples, double speed, double now) {
    if (deck < 1 || deck > 2 || samples.empty()) return;
    const SeratoEmit::Tuning tuning = s_.tuning.load();
    const double limit = tuning.maxTickRate / 3600.0 * 1.8;
    if (!std::isfinite(speed) || !(std::fabs(speed) <= limit)) speed = 0;
    std::lock_guard g(lock_);
    Deck& d = decks_[static_cast<std::size_t>(deck - 1)];
    SeratoEmit::planInPlace(d.emit, samples, tuning, speed, now);
}

void SeratoMIDIOut::sendRest(int deck) {
    if (s_.format.load() != SeratoOutFormat::rel || deck < 1 || deck > 2) return;
    const auto i = static_cast<std::size_t>(deck - 1);
    const double now = clock_.now();
    SourceRef source;
    double stamp = 0;
    {
        std::lock_guard g(lock_);
        Deck& d = decks_[i];
        const double motion = s_.lastMotionWall[i].load();
        if (!d.emit.active || !portsUp_ || !std::isfinite(d.emit.lastSentStamp) || !(motion > 0)) return;
        d.emit.lastSentStamp += now - motion;
        stamp = d.emit.lastSentStamp;
        source = source_;
    }
    if (!source && !viaBridge_.load()) return;
    const auto b = SeratoEmit::relativeMessage(deck, 0, stamp, s_);
    send({b.data(), b.size()}, source, stamp, true);
}

}  // namespace plindo::serato
