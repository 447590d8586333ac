#pragma once
// The one object through which the host drives decks of the DJ application: it owns the virtual MIDI source
// "Plindo MIDI Bridge" (or hands every message to the bridge process when that holds the endpoints), runs
// the 1 ms drain that sends the jog emitter's timestamped messages, takes platter motion (drive, feed),
// sends transport, pitch, button, library and initialisation messages, and has the diagnostic senders.
//
// Threads: callers on any thread; the drain on its own real-time thread (or a timer on the output queue);
// the keep-alive timer on the output queue; sweeps on the sweep queue. One short lock guards the per-deck
// state and is held only to copy values; nothing is sent, logged or waited for under it.
#include "motion/fixed_list.h"
#include "platform/clock.h"
#include "platform/midi_backend.h"
#include "platform/serial_queue.h"
#include "platform/pi_mutex.h"
#include "serato/midi_bridge_client.h"
#include "serato/serato_emit.h"
#include "serato/serato_out_settings.h"

#include <nlohmann/json.hpp>

#include <array>
#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <span>
#include <string>
#include <thread>
#include <vector>

namespace plindo::serato {

// A fixed-capacity queue: pushing onto a full one drops the oldest entry.
template <typename T, std::size_t N>
class FixedRing {
public:
    void push(const T& v) {
        if (size_ == N) pop();
        items_[(head_ + size_) % N] = v;
        ++size_;
    }
    void pop() {
        if (size_ == 0) return;
        head_ = (head_ + 1) % N;
        --size_;
    }
    void clear() { head_ = size_ = 0; }
    std::size_t size() const { return size_; }
    bool empty() const { return size_ == 0; }
    const T& front() const { return items_[head_]; }
    const T& operator[](std::size_t i) const { return items_[(head_ + i) % N]; }

private:
    std::array<T, N> items_{};
    std::size_t head_ = 0;
    std::size_t size_ = 0;
};

struct SeratoMIDIOutOptions {
    bool drainThread = true;     // false: the drain only counts as running; the caller ticks it
    bool keepAliveTimer = true;  // false: the caller runs keepAliveTick()
};

class SeratoMIDIOut {
public:
    static constexpr const char* kPortName = "Plindo MIDI Bridge";
    // The fixed port number of the source: the stable identity that the mapping binds to.
    static constexpr int kSourcePort = 0;
    static constexpr std::size_t kJogCapacity = 320;  // 5 plans of the largest sub-step count
    static constexpr int64_t kMaxSubSteps = 64;

    struct JogEntry {
        double due = 0;  // media clock
        double tick = 0;
        double stamp = 0;
    };
    struct JitStats {
        double p50 = 0, p95 = 0, p99 = 0;
        int64_t n = 0;
    };
    struct DriveLine {
        int deck = 1;
        double rate = 0;  // emitter ticks per second
        double msgPerSec = 0;
    };
    struct SweepParams {
        int deck = 1;
        std::vector<int64_t> plan;  // one step value per sweep step
        double hz = 0;              // messages per second
        double dwell = 0;           // seconds per step
        // Forms, the first one set wins; none set sends the relative message.
        bool raw = false;
        bool withTime = false;
        bool twelve = false;
        bool pitchBendPosition = false;
        bool absolute = false;
        bool nineByte = false;
        bool plainCC = false;
        bool plainCCTime = false;  // the plain controller carries a timestamp before it
        uint8_t cc = 6;
        std::string twelveMode;  // as the control endpoint named the pitch-bend form
        std::string relForm;     // as the control endpoint named the relative form
        std::string sign = "twos";
    };

    using Options = SeratoMIDIOutOptions;

    explicit SeratoMIDIOut(platform::MidiBackend& backend, MIDIBridgeClient& bridge = MIDIBridgeClient::shared(),
                           SeratoOutSettings& settings = seratoOutSettings(),
                           const platform::Clock& clock = platform::systemClock(), Options options = {});
    ~SeratoMIDIOut();
    SeratoMIDIOut(const SeratoMIDIOut&) = delete;
    SeratoMIDIOut& operator=(const SeratoMIDIOut&) = delete;

    // Ports and sending.
    using SourceRef = std::shared_ptr<platform::MidiSource>;
    void ensurePorts();
    // One packet (one or more complete messages). `stamp` is a media-clock time; `now` asks for immediate
    // delivery. True when the message left (to the port or the bridge).
    bool send(std::span<const uint8_t> bytes, const SourceRef& source, double stamp, bool now);
    bool isActive(int deck) const;
    void setActive(int deck, bool on);
    void reinitActiveDecks();
    void teardown();
    void keepAliveTick();

    // Drain.
    void startDrain();
    void stopDrain();
    void setRealtimeDrain(bool on);
    void drainTick();
    void jogSend(double tick, int deck, bool touch, const SourceRef& source);

    // Platter motion.
    void drive(int deck, bool touch, double angle, double ts, double omega);
    void feed(int deck, std::span<const SeratoEmit::Sample> samples, double speed);
    // The same, for samples that arrived at `now` on this output's clock (a frame's arrival time).
    void feed(int deck, std::span<const SeratoEmit::Sample> samples, double speed, double now);
    void sendRest(int deck);
    bool isMoving(int deckIndex, double at) const;

    // Transport, pitch, buttons, library, initialisation.
    void transport(int deck, bool play, const std::string& reason);
    void pitch(int deck, double rate);
    void touch(int deck, bool on);
    void mute(int deck, bool on, bool sticky);
    void cueButton(int deck, int slot, bool on);
    void instantDouble(int deck);
    void libraryScroll(int64_t steps);
    void libraryKey(const std::string& name, int deck);
    void initDeck(int deck);

    // Diagnostic senders and the rate sweep.
    void testCC(uint8_t cc, uint8_t value, int deck);
    void testSysex(std::span<const uint8_t> bytes);
    void testTrio(int deck, uint8_t time, uint8_t radian, uint8_t rate);
    void noteTap(uint8_t note, int deck);
    nlohmann::ordered_json sweep(const SweepParams& params);
    bool sweepRunning() const { return sweepRunning_.load(); }

    // Status for the control endpoint and the tests.
    bool portsUp() const;
    bool viaBridge() const;
    bool drainRunning() const { return drainRunning_.load(); }
    bool keepAliveStarted() const;
    JitStats jitStats(int deck) const;
    double leadEff(int deck) const;
    SeratoEmit::State emitState(int deck) const;
    std::size_t jogPendingCount(int deck) const;

private:
    struct MotionMark {
        double t = 0;
        int64_t d = 0;
    };
    struct Deck {
        SeratoEmit::State emit;
        double directUntil = 0;
        double directOffset = 0;
        double directTsOffset = 0;
        int64_t directMsgs = 0;
        FixedRing<MotionMark, 256> motionHist;
        int64_t jogLastTick = 0;
        bool jogTouch = false;
        FixedRing<JogEntry, kJogCapacity> jogPending;
        double twelveSentTick = 0;
        double twelveSentStamp = SeratoEmit::kNever;
        int64_t jogPlanTick = 0;
        double gridOffset = 0;
        bool gridPrimed = false;
        double gridLastTs = 0;
        FixedRing<double, 200> jitRing;
        JitStats jitStats;
        double jitLastEval = 0;
        double leadEff = 0;
        double driveMark = 0;
        int64_t driveMsgs = 0;
    };
    // What the drain hands to the output queue to log, so that the real-time thread never logs.
    struct DrainNote {
        enum Kind : uint8_t { driveLine, sendFailed, tooLarge } kind = driveLine;
        DriveLine line;
        int64_t value = 0;  // the error code, or the length of the message too large to send
    };

    SourceRef sourceIfUp() const;
    void sendNow(std::span<const uint8_t> bytes);
    int64_t sendTime(double stamp, bool now) const;
    bool sendFromDrain(std::span<const uint8_t> bytes, const SourceRef& source, double stamp, bool now);
    bool sendPackets(std::span<const uint8_t> bytes, const SourceRef& source, double stamp, bool now, bool fromDrain);
    void logNote(DrainNote::Kind kind, int64_t value, const DriveLine& line) const;
    void jogSendFrom(double tick, int deck, bool touch, const SourceRef& source, bool fromDrain);
    void startKeepAlive();
    void drainLoop(int64_t periodNs);
    double drainPeriod() const;
    bool moveGate(Deck& d, int deckIndex, int64_t delta, double now);
    void jogPlan(int deck, bool touch, double abs, double stamp, int64_t tick, double ts, double now,
                 bool hadSentAny, double prevSentStamp, const SourceRef& source);
    void pushNote(const DrainNote& n);
    void flushNotes();
    void press(uint8_t status, uint8_t note, const SourceRef& source);
    void runSweep(SweepParams p, int64_t msgsPerStep);

    platform::MidiBackend& backend_;
    MIDIBridgeClient& bridge_;
    SeratoOutSettings& s_;
    const platform::Clock& clock_;
    const Options options_;

    mutable platform::PiMutex lock_;  // guards everything below up to the queues
    SourceRef source_;
    bool portsUp_ = false;
    std::atomic<bool> viaBridge_{false};
    std::array<Deck, 2> decks_{};
    double lastDriveLog_ = 0;
    bool keepAliveStarted_ = false;
    bool drainTimerOn_ = false;
    std::string lastPortFailure_;

    std::atomic<bool> drainRunning_{false};
    std::thread drainThread_;
    std::mutex drainControl_;  // serialises starting and stopping the drain

    // Drain notes: single producer (the drain), single consumer (the output queue).
    static constexpr std::size_t kNoteCapacity = 64;
    std::array<DrainNote, kNoteCapacity> notes_{};
    std::atomic<std::size_t> noteHead_{0}, noteTail_{0};
    std::atomic<uint64_t> notesLost_{0};

    std::atomic<bool> sweepRunning_{false};
    std::atomic<bool> sweepStop_{false};
    std::mutex sweepWaitLock_;
    std::condition_variable sweepWake_;
    double sweepLastTouch_ = -1;  // only the sweep queue touches it

    platform::SerialQueue queue_{"serato-midi"};
    platform::SerialQueue sweepQueue_{"serato-sweep"};
    std::unique_ptr<platform::RepeatingTimer> keepAlive_;
    std::unique_ptr<platform::RepeatingTimer> drainTimer_;
    std::unique_ptr<platform::RepeatingTimer> noteTimer_;
    std::shared_ptr<bool> alive_ = std::make_shared<bool>(true);
};

}  // namespace plindo::serato
