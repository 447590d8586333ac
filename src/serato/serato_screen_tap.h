#pragma once
// Reads what Serato sends to a Rane mixer's screens through the MIDI spy driver: deck time and velocity,
// debounced track changes, library browser rows, crate and cursor, plus status lines for the user. A health
// timer logs activity, retries the spy connection and reconnects when the stream falls silent.
//
// The tap's own work (start, stop, health tick, announcements) runs on its serial queue; callbacks the
// controller receives "on main" are posted through the MainExecutor, the frame callbacks run on the spy port
// thread and must not block it.
#include "platform/clock.h"
#include "platform/main_executor.h"
#include "platform/serial_queue.h"
#include "serato/rane_screen_event.h"
#include "serato/serato_spy_transport.h"
#include "serato/sysex_assembler.h"

#include <array>
#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <set>
#include <span>
#include <string>
#include <vector>

namespace plindo::platform {
class MidiBackend;
}

namespace plindo::serato {

class SeratoScreenTap {
public:
    enum class Transport { none, spy };
    static const char* text(Transport t) { return t == Transport::spy ? "spy" : "none"; }

    // A hardware MIDI destination the spy can copy. On ALSA the unique ID is client × 65536 + port.
    struct Destination {
        int32_t uniqueID = 0;
        std::string name;
    };

    struct Options {
        platform::MainExecutor& main;
        const platform::Clock& clock = platform::systemClock();
        platform::MidiBackend* midi = nullptr;                       // where the destinations are listed from
        std::function<std::vector<Destination>()> listDestinations;  // replaces `midi` when set (tests)
        std::string portNamespace;       // message-port namespace of the driver (tests use their own)
        double healthPeriodSec = 1.0;    // 0: no timer; the owner calls healthTick() (tests)
        double announceDelaySec = 0.15;  // a title and artist this close give one announcement
    };

    // Off at start; the control command "spy" turns it on. While off the tap never connects.
    static std::atomic<bool> spyEnabled;

    explicit SeratoScreenTap(Options options);
    ~SeratoScreenTap();  // stop(), then ends the queue
    SeratoScreenTap(const SeratoScreenTap&) = delete;
    SeratoScreenTap& operator=(const SeratoScreenTap&) = delete;

    // Set before start(); not changed while running.
    std::function<void(int deck, double sec, double vel)> onTime;                                // spy thread
    std::function<void(int deck, const std::string& title, const std::string& artist)> onTrack;  // main
    std::function<void(const std::string& line)> onStatus;                                       // main or spy thread
    std::function<void(int row, const std::string& title, const std::string& artist)> onLibRow;  // spy thread
    std::function<void(const std::string& name)> onLibCrate;                                     // spy thread
    std::function<void(int row, int a, int b)> onLibCursor;                                      // spy thread

    // Runs the screen self-test, starts the health timer once and tries the next candidate destination.
    void start();
    // Ends the health timer and the spy connection.
    void stop();
    // One health check (the timer's work); public so that a test can drive it with a fake clock.
    void healthTick();

    // Serato counts as running while this is above 0 and less than 5 s old (media-clock seconds).
    double lastFrameWall() const { return lastFrameWall_.load(); }
    // Forgets what was announced, so the next title or artist frame is announced even when unchanged.
    void resetAnnounced();

    Transport transport() const { return transport_.load(); }
    int spyCandidate() const { return spyCandidate_.load(); }
    int spyFails() const { return spyFails_.load(); }

    // The hardware destinations: listed endpoints owned by a driver, not virtual ports.
    std::vector<Destination> realDestinations() const;

    // The MIDI bytes of one spy delivery (the spy thread's entry; public for tests).
    void ingest(std::span<const uint8_t> bytes);

private:
    void startOnQueue();
    void stopOnQueue();
    void healthTickOnQueue();
    void armWatchdog();
    void handleSysEx(const std::vector<uint8_t>& message);
    void scheduleAnnounce(int deck);
    void announce(int deck);
    void status(const std::string& line);  // posted to main

    Options opt_;
    platform::SerialQueue queue_;

    // Queue state.
    std::unique_ptr<SeratoSpyTransport> spy_;
    std::unique_ptr<asio::steady_timer> watchdog_;
    std::array<std::unique_ptr<asio::steady_timer>, 2> pending_;
    int64_t healthTick_ = 0;
    double lastSpyTry_ = 0;

    std::atomic<Transport> transport_{Transport::none};
    std::atomic<int> spyFails_{0};
    std::atomic<int> spyCandidate_{0};

    // Spy thread state (one port thread at a time; the next one starts after the last one was joined).
    SysExAssembler assembler_;
    std::set<uint8_t> seenTypes_;
    int64_t timeCount_ = 0;
    int64_t sysexCount_ = 0;

    // Shared between the spy thread and the queue.
    std::mutex m_;
    std::array<std::string, 2> titles_, artists_, announced_;
    std::atomic<double> lastRawWall_{0};
    std::atomic<double> lastFrameWall_{0};
    std::atomic<int64_t> rawCount_{0};
};

}  // namespace plindo::serato
