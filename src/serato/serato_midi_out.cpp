#include "serato/serato_midi_out.h"

#include "platform/checked.h"
#include "platform/log.h"

#include <asio/steady_timer.hpp>

#include <cerrno>
#include <chrono>

namespace plindo::serato {

namespace {

spdlog::logger& log() { return platform::logger("serato-midi"); }

// A fresh emitter state that keeps what the deck's position continuity needs.
SeratoEmit::State switchedState(const SeratoEmit::State& old, bool active, bool keepClock) {
    SeratoEmit::State s;
    s.active = active;
    s.sentAny = old.sentAny;
    s.angleOffset = old.angleOffset;
    s.tEmit = old.tEmit;
    s.emitPos = old.emitPos;
    s.lastSentTick = old.lastSentTick;
    s.lastSentStamp = old.lastSentStamp;
    if (keepClock) s.clockOffset = old.clockOffset;
    return s;
}

}  // namespace

SeratoMIDIOut::SeratoMIDIOut(platform::MidiBackend& backend, MIDIBridgeClient& bridge, SeratoOutSettings& settings,
                             const platform::Clock& clock, Options options)
    : backend_(backend), bridge_(bridge), s_(settings), clock_(clock), options_(options) {
    noteTimer_ = std::make_unique<platform::RepeatingTimer>(queue_, std::chrono::milliseconds(250), [this] { flushNotes(); });
    noteTimer_->start();
}

SeratoMIDIOut::~SeratoMIDIOut() {
    stopDrain();
    sweepStop_ = true;
    {
        std::lock_guard g(sweepWaitLock_);
    }
    sweepWake_.notify_all();
    sweepQueue_.stop();
    *alive_ = false;  // the keep-alive start delay may still be pending on the queue
    queue_.sync([this] {
        if (keepAlive_) keepAlive_->cancel();
        noteTimer_->cancel();
    });
    keepAlive_.reset();
    noteTimer_.reset();
    queue_.stop();
    flushNotes();
}

// ---- ports and sending ----

void SeratoMIDIOut::ensurePorts() {
    bool startKa = false;
    {
        std::lock_guard g(lock_);
        if (portsUp_) {
            startKa = !keepAliveStarted_;
            keepAliveStarted_ = true;
        }
    }
    if (startKa) {
        startKeepAlive();
        return;
    }
    {
        std::lock_guard g(lock_);
        if (portsUp_) return;
    }

    bool up = false;
    if (bridge_.probe()) {
        {
            std::lock_guard g(lock_);
            if (!portsUp_) {
                viaBridge_ = true;
                portsUp_ = true;
                up = true;
            }
        }
        if (up) log().info("serato wire via PlindoMIDIBridge");
    } else {
        std::string failure;
        std::unique_ptr<platform::MidiSource> made;
        if (!backend_.available()) {
            failure = "MIDIClientCreate failed: " + std::to_string(-ENODEV);
        } else {
            made = backend_.createSource(kPortName, kSourcePort);
            if (!made) failure = "MIDISourceCreate failed: " + std::to_string(-EIO);
        }
        if (!made) {
            // Every send retries; the same failure is reported once, not with every message.
            bool report = false;
            {
                std::lock_guard g(lock_);
                report = failure != lastPortFailure_;
                lastPortFailure_ = failure;
            }
            if (report) log().error("{} ({})", failure, backend_.status());
            return;
        }
        SourceRef src(std::move(made));
        {
            std::lock_guard g(lock_);
            if (!portsUp_) {
                source_ = src;
                portsUp_ = true;
                up = true;
                lastPortFailure_.clear();
            }
        }
        if (up) log().info("virtual MIDI port '{}' up", kPortName);
    }
    // A deck switched on while the ports were down gets its drain now instead of never.
    if (up && (isActive(1) || isActive(2))) startDrain();
}

// The host time a message leaves at under the timestamp mode: 0 (at once), now, or the message's stamp.
int64_t SeratoMIDIOut::sendTime(double stamp, bool now) const {
    const int64_t mode = s_.timestampMode.load();
    if (mode == 1 || (mode == 2 && now)) return platform::hostTimeNs();
    if (mode == 2) return std::max<int64_t>(0, platform::checkedRound<int64_t>(stamp * 1e9).value_or(0));
    return 0;
}

bool SeratoMIDIOut::send(std::span<const uint8_t> bytes, const SourceRef& source, double stamp, bool now) {
    return sendPackets(bytes, source, stamp, now, false);
}

bool SeratoMIDIOut::sendFromDrain(std::span<const uint8_t> bytes, const SourceRef& source, double stamp, bool now) {
    return sendPackets(bytes, source, stamp, now, true);
}

// As few packets as the port takes, split only between messages. A message longer than the port takes at
// all is reported and skipped; the others still go. The drain reports through its note ring.
bool SeratoMIDIOut::sendPackets(std::span<const uint8_t> bytes, const SourceRef& source, double stamp, bool now,
                                bool fromDrain) {
    if (viaBridge_.load()) return bridge_.sendMidi(bytes);
    if (bytes.empty() || !source) return false;
    const std::size_t limit = std::max<std::size_t>(source->maxPacketBytes(), 1);
    const int64_t at = sendTime(stamp, now);
    auto report = [&](DrainNote::Kind kind, int64_t value) {
        if (fromDrain) {
            DrainNote n;
            n.kind = kind;
            n.value = value;
            pushNote(n);
        } else {
            logNote(kind, value, DriveLine{});
        }
    };
    bool allSent = true;
    std::size_t from = 0;
    while (from < bytes.size()) {
        std::size_t end = from;
        while (end < bytes.size()) {
            const std::size_t len = platform::midiMessageLength(bytes.subspan(end));
            if (end + len - from > limit) break;
            end += len;
        }
        if (end == from) {
            const std::size_t len = platform::midiMessageLength(bytes.subspan(from));
            report(DrainNote::tooLarge, static_cast<int64_t>(len));
            allSent = false;
            from += len;
            continue;
        }
        if (const int rc = source->send(bytes.subspan(from, end - from), at); rc != 0) {
            report(DrainNote::sendFailed, rc);
            return false;  // the rest would fail the same way
        }
        from = end;
    }
    return allSent;
}

SeratoMIDIOut::SourceRef SeratoMIDIOut::sourceIfUp() const {
    std::lock_guard g(lock_);
    return portsUp_ ? source_ : nullptr;
}

void SeratoMIDIOut::sendNow(std::span<const uint8_t> bytes) { send(bytes, sourceIfUp(), 0, true); }

bool SeratoMIDIOut::isActive(int deck) const {
    if (deck < 1 || deck > 2) return false;
    std::lock_guard g(lock_);
    return decks_[static_cast<std::size_t>(deck - 1)].emit.active;
}

void SeratoMIDIOut::setActive(int deck, bool on) {
    if (deck < 1 || deck > 2) return;
    const auto i = static_cast<std::size_t>(deck - 1);
    {
        std::lock_guard g(lock_);
        if (decks_[i].emit.active == on) return;
    }
    if (on) {
        ensurePorts();
        initDeck(deck);
        bool switched = false;
        {
            std::lock_guard g(lock_);
            Deck& d = decks_[i];
            if (!d.emit.active) {
                d.emit = switchedState(d.emit, true, false);
                d.driveMark = d.emit.emitPos;
                d.driveMsgs = 0;
                switched = true;
            }
        }
        if (switched) startDrain();
    } else {
        bool none = false;
        {
            std::lock_guard g(lock_);
            Deck& d = decks_[i];
            d.emit = switchedState(d.emit, false, true);
            none = !decks_[0].emit.active && !decks_[1].emit.active;
        }
        if (none) stopDrain();
    }
    log().info("serato dummy deck {} {}", deck, on ? "ACTIVE" : "off");
}

void SeratoMIDIOut::reinitActiveDecks() {
    for (int deck = 1; deck <= 2; ++deck)
        if (isActive(deck)) initDeck(deck);
}

void SeratoMIDIOut::teardown() {
    SourceRef src;
    bool up = false;
    {
        std::lock_guard g(lock_);
        src = source_;
        up = portsUp_;
    }
    if (up) {
        bool allSent = true;
        for (uint8_t ch = 0; ch < 2; ++ch) {
            const std::array<uint8_t, 6> centre{static_cast<uint8_t>(0xB0 | ch), 0x18, 0x40,
                                                static_cast<uint8_t>(0xB0 | ch), 0x38, 0x00};
            allSent = send(centre, src, 0, true) && allSent;
        }
        if (allSent) log().info("serato radian: Null gesendet vor dem Abbau");
    }
    SourceRef taken;
    {
        std::lock_guard g(lock_);
        taken = std::move(source_);
        source_.reset();
        portsUp_ = false;
    }
    src.reset();
    if (!viaBridge_.load()) {
        taken.reset();
        log().info("virtual MIDI port '{}' released", kPortName);
    }
}

// ---- keep-alive ----

void SeratoMIDIOut::startKeepAlive() {
    if (!options_.keepAliveTimer) return;
    std::weak_ptr<bool> alive = alive_;
    queue_.post([this, alive] {
        auto delay = std::make_shared<asio::steady_timer>(queue_.context(), std::chrono::milliseconds(200));
        delay->async_wait([this, alive, delay](const std::error_code& ec) {
            const auto a = alive.lock();
            if (ec || !a || !*a || keepAlive_) return;
            keepAlive_ = std::make_unique<platform::RepeatingTimer>(queue_, std::chrono::milliseconds(250),
                                                                    [this] { keepAliveTick(); });
            keepAlive_->start();
        });
    });
}

void SeratoMIDIOut::keepAliveTick() {
    if (s_.keepAliveMode.load() == 2 || s_.format.load() != SeratoOutFormat::rel) return;
    SourceRef src;
    bool up = false;
    std::array<bool, 2> active{};
    {
        std::lock_guard g(lock_);
        src = source_;
        up = portsUp_;
        active = {decks_[0].emit.active, decks_[1].emit.active};
    }
    const bool bridged = viaBridge_.load();
    if (!up || (!src && !bridged)) return;
    const double now = clock_.now();
    for (std::size_t i = 0; i < 2; ++i) {
        if (!active[i]) continue;
        const bool gateOpen = !s_.movementGate.load() ||
                              (s_.movingUntil[i].load() > now && now - s_.lastDriveWall[i].load() < s_.motionUnderrun.load());
        if (!gateOpen || !s_.engaged[i].load() || !(now - s_.lastMotionWall[i].load() < 1.5)) continue;
        const std::array<uint8_t, 3> note{static_cast<uint8_t>(0x90 | i), 0x34, 0x7F};
        send(note, src, 0, true);
    }
}

// ---- drain notes ----

void SeratoMIDIOut::pushNote(const DrainNote& n) {
    const std::size_t tail = noteTail_.load(std::memory_order_relaxed);
    const std::size_t next = (tail + 1) % kNoteCapacity;
    if (next == noteHead_.load(std::memory_order_acquire)) {
        notesLost_.fetch_add(1, std::memory_order_relaxed);
        return;
    }
    notes_[tail] = n;
    noteTail_.store(next, std::memory_order_release);
}

void SeratoMIDIOut::logNote(DrainNote::Kind kind, int64_t value, const DriveLine& line) const {
    switch (kind) {
        case DrainNote::sendFailed: log().error("MIDIReceived failed: {}", value); break;
        case DrainNote::tooLarge: log().error("MIDIPacketListAdd overflow ({} bytes)", value); break;
        case DrainNote::driveLine: {
            const double nominal = s_.format.load() == SeratoOutFormat::phone ? s_.ticksPerRev.load() / 1.8 : 2000.0;
            log().info("serato drive deck {}: {:.1f} ticks/s = {:.3f}× nominal · {:.0f} msg/s", line.deck, line.rate,
                       line.rate / nominal, line.msgPerSec);
            break;
        }
    }
}

void SeratoMIDIOut::flushNotes() {
    static std::mutex consumer;  // the queue's timer and a directly ticked drain may both flush
    std::lock_guard g(consumer);
    std::size_t head = noteHead_.load(std::memory_order_relaxed);
    while (head != noteTail_.load(std::memory_order_acquire)) {
        const DrainNote n = notes_[head];
        head = (head + 1) % kNoteCapacity;
        noteHead_.store(head, std::memory_order_release);
        logNote(n.kind, n.value, n.line);
    }
    if (const uint64_t lost = notesLost_.exchange(0); lost > 0)
        log().warn("serato drain: {} log lines dropped", lost);
}

// ---- status ----

bool SeratoMIDIOut::portsUp() const {
    std::lock_guard g(lock_);
    return portsUp_;
}

bool SeratoMIDIOut::viaBridge() const { return viaBridge_.load(); }

bool SeratoMIDIOut::keepAliveStarted() const {
    std::lock_guard g(lock_);
    return keepAliveStarted_;
}

SeratoMIDIOut::JitStats SeratoMIDIOut::jitStats(int deck) const {
    if (deck < 1 || deck > 2) return {};
    std::lock_guard g(lock_);
    return decks_[static_cast<std::size_t>(deck - 1)].jitStats;
}

double SeratoMIDIOut::leadEff(int deck) const {
    if (deck < 1 || deck > 2) return 0;
    std::lock_guard g(lock_);
    return decks_[static_cast<std::size_t>(deck - 1)].leadEff;
}

SeratoEmit::State SeratoMIDIOut::emitState(int deck) const {
    if (deck < 1 || deck > 2) return {};
    std::lock_guard g(lock_);
    return decks_[static_cast<std::size_t>(deck - 1)].emit;
}

std::size_t SeratoMIDIOut::jogPendingCount(int deck) const {
    if (deck < 1 || deck > 2) return 0;
    std::lock_guard g(lock_);
    return decks_[static_cast<std::size_t>(deck - 1)].jogPending.size();
}

}  // namespace plindo::serato
