// The drain: every period it releases the queued jog sub-steps that fell due, steps the emitter of each deck
// that is not driven directly, sends the twelve-style keep-alive and keeps the per-deck rate figures. On the
// real-time thread it allocates nothing and logs nothing: its log lines go through the note ring.
#include "serato/serato_midi_out.h"

#include "platform/log.h"
#include "platform/realtime_thread.h"
#include "serato/serato_emit_messages.h"
#include "serato/serato_emit_step.h"

#include <chrono>
#include <cmath>
#include <string>

namespace plindo::serato {

namespace {

thread_local bool onDrainThread = false;

struct DueJog {
    int deck = 1;
    double tick = 0;
    double stamp = 0;
};

}  // namespace

double SeratoMIDIOut::drainPeriod() const {
    const double p = s_.tuning.load().period;
    // A zero, negative or non-finite period would spin the thread or overflow the deadline arithmetic.
    if (!std::isfinite(p) || p <= 0) return 0.001;
    return std::clamp(p, 0.00005, 1.0);
}

void SeratoMIDIOut::startDrain() {
    std::lock_guard c(drainControl_);
    {
        std::lock_guard g(lock_);
        if (!portsUp_) return;
    }
    if (drainRunning_.load() || drainTimer_) return;
    const double period = drainPeriod();
    if (!options_.drainThread) {
        drainRunning_ = true;
        return;
    }
    if (s_.realtimeDrain.load()) {
        const auto periodNs = static_cast<int64_t>(std::llround(period * 1e9));
        drainRunning_ = true;
        drainThread_ = platform::startRealtimeThread("serato-drain", periodNs, [this, periodNs](platform::RealtimeGrant g) {
            const std::string policy = g.policy == platform::RealtimePolicy::normal
                                           ? "FAILED " + std::to_string(g.error)
                                           : std::string("OK");
            const double ms = static_cast<double>(periodNs) / 1e6;
            queue_.post([policy, ms] { platform::logger("serato-midi").info("serato drain realtime thread: policy {}, period {:f} ms", policy, ms); });
            drainLoop(periodNs);
        });
    } else {
        const auto us = std::chrono::microseconds(std::llround(period * 1e6));
        drainRunning_ = true;
        drainTimer_ = std::make_unique<platform::RepeatingTimer>(queue_, us, [this] { drainTick(); });
        drainTimer_->start();
    }
}

void SeratoMIDIOut::stopDrain() {
    std::lock_guard c(drainControl_);
    drainRunning_ = false;
    if (drainThread_.joinable()) drainThread_.join();
    if (drainTimer_) {
        drainTimer_->cancel();
        drainTimer_.reset();
    }
}

void SeratoMIDIOut::setRealtimeDrain(bool on) {
    s_.realtimeDrain = on;
    stopDrain();
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
    if (isActive(1) || isActive(2)) startDrain();
}

void SeratoMIDIOut::drainLoop(int64_t periodNs) {
    onDrainThread = true;
    platform::PeriodicDeadline deadline{periodNs, platform::hostTimeNs()};
    while (drainRunning_.load(std::memory_order_acquire)) {
        const int64_t now = platform::hostTimeNs();
        if (const int64_t next = deadline.advance(now); now < next) platform::sleepUntilNs(next);
        if (!drainRunning_.load(std::memory_order_acquire)) break;
        drainTick();
    }
}

void SeratoMIDIOut::drainTick() {
    const double now = clock_.now();
    const uint8_t format = s_.format.load();
    const SeratoEmit::Tuning tuning = s_.tuning.load();
    motion::FixedList<DueJog, 2 * kJogCapacity> due;
    std::array<SeratoEmit::Messages, 2> msgs;
    motion::FixedList<DriveLine, 2> lines;
    SourceRef source;
    bool up = false;
    std::array<bool, 2> active{};
    {
        std::lock_guard g(lock_);
        up = portsUp_;
        source = source_;
        for (std::size_t i = 0; i < 2; ++i) {
            auto& q = decks_[i].jogPending;
            while (!q.empty() && q.front().due <= now) {
                due.push({static_cast<int>(i) + 1, q.front().tick, q.front().stamp});
                q.pop();
            }
        }
        if (format == SeratoOutFormat::twelve || format == SeratoOutFormat::jog) {
            for (std::size_t i = 0; i < 2; ++i) {
                Deck& d = decks_[i];
                if (!d.emit.active || d.directUntil > now) continue;
                auto r = SeratoEmit::step(d.emit, static_cast<int>(i) + 1, tuning, now);
                d.emit = r.state;
                d.driveMsgs += static_cast<int64_t>(r.messages.size());
                msgs[i] = r.messages;
            }
        }
        if (now - lastDriveLog_ >= 1.0) {
            const double elapsed = lastDriveLog_ > 0 ? now - lastDriveLog_ : 0;
            lastDriveLog_ = now;
            for (std::size_t i = 0; i < 2; ++i) {
                Deck& d = decks_[i];
                d.driveMsgs += d.directMsgs;
                d.directMsgs = 0;
                if (elapsed > 0 && d.emit.active && d.driveMsgs > 0)
                    lines.push({static_cast<int>(i) + 1, (d.emit.emitPos - d.driveMark) / elapsed,
                                static_cast<double>(d.driveMsgs) / elapsed});
                d.driveMark = d.emit.emitPos;
                d.driveMsgs = 0;
            }
        }
        active = {decks_[0].emit.active, decks_[1].emit.active};
    }

    if (up) {
        for (const DueJog& e : due) {
            if (format == SeratoOutFormat::jog) {
                jogSendFrom(e.tick, e.deck, true, source, true);
            } else {
                const auto b = SeratoEmit::stampMessage(e.deck, true, e.tick, e.stamp, s_);
                sendFromDrain({b.data(), b.size()}, source, 0, true);
            }
        }
        if (s_.twelveFlag.load() && (format == SeratoOutFormat::twelve || format == SeratoOutFormat::phone ||
                                     format == SeratoOutFormat::rel)) {
            for (std::size_t i = 0; i < 2; ++i) {
                if (!active[i]) continue;
                const bool gateOpen = !s_.movementGate.load() ||
                                      (s_.movingUntil[i].load() > now &&
                                       now - s_.lastDriveWall[i].load() < s_.motionUnderrun.load());
                if (!gateOpen || !s_.engaged[i].load() || !(now - s_.lastTwelveKeepAlive[i].load() >= 0.3)) continue;
                s_.lastTwelveKeepAlive[i] = now;
                const std::array<uint8_t, 3> note{static_cast<uint8_t>(0x90 | i), 0x34, 0x7F};
                sendFromDrain(note, source, 0, true);
            }
        }
        for (std::size_t i = 0; i < 2; ++i) {
            for (const SeratoEmit::Message& m : msgs[i]) {
                if (format == SeratoOutFormat::jog) {
                    if (m.withPosition) jogSendFrom(static_cast<double>(m.tick), static_cast<int>(i) + 1, true, source, true);
                } else {
                    const auto b = SeratoEmit::stampMessage(m.deck, m.withPosition, static_cast<double>(m.tick), m.stampSec, s_);
                    sendFromDrain({b.data(), b.size()}, source, m.stampSec, false);
                }
            }
        }
    }

    for (const DriveLine& l : lines) {
        DrainNote n;
        n.kind = DrainNote::driveLine;
        n.line = l;
        pushNote(n);
    }
    if (!onDrainThread) flushNotes();
}

void SeratoMIDIOut::jogSend(double tick, int deck, bool touch, const SourceRef& source) {
    jogSendFrom(tick, deck, touch, source, false);
}

void SeratoMIDIOut::jogSendFrom(double tick, int deck, bool touch, const SourceRef& source, bool fromDrain) {
    if (deck < 1 || deck > 2 || !std::isfinite(tick) || std::fabs(tick) >= 1e12) return;
    const auto ch = static_cast<uint8_t>(deck - 1);
    motion::FixedList<std::array<uint8_t, 3>, 17> out;
    {
        std::lock_guard g(lock_);
        Deck& d = decks_[static_cast<std::size_t>(deck - 1)];
        const int64_t t = std::llround(tick);
        int64_t delta = t - d.jogLastTick;
        if (touch != d.jogTouch) {
            d.jogTouch = touch;
            out.push({static_cast<uint8_t>(0x90 | ch), 6, static_cast<uint8_t>(touch ? 127 : 0)});
            d.jogLastTick = t;
        } else if (!touch) {
            d.jogLastTick = t;
        } else if (delta != 0) {
            for (int k = 0; k < 16 && delta != 0; ++k) {
                const int64_t c = std::clamp<int64_t>(delta, -63, 63);
                out.push({static_cast<uint8_t>(0xB0 | ch), 0x06, static_cast<uint8_t>(64 + c)});
                delta -= c;
            }
            d.jogLastTick = t - delta;
        }
    }
    for (const auto& m : out) {
        if (fromDrain) {
            sendFromDrain(m, source, 0, true);
        } else {
            send(m, source, 0, true);
        }
    }
}

}  // namespace plindo::serato
