#pragma once
// The receiving side of the link to the DJ application: owns the virtual MIDI destination "Plindo MIDI
// Bridge" (or takes the same bytes from the MIDI bridge's readback when the bridge holds the endpoints),
// parses the stream, and reports deck events: notes and controllers as feedback, SysEx as times, paths,
// texts, platter records and screen waveforms.
//
// Threads: bytes are parsed on the thread that delivers them (the backend's read thread, or the bridge
// client's receive thread; never both). Every callback except onPlatter and onOtherRaneFrame is posted to
// the main executor and reads its callback member only when it runs there. Create, set the callbacks, start
// and destroy on the main thread.
#include "platform/clock.h"
#include "platform/main_executor.h"
#include "platform/midi_backend.h"
#include "serato/midi_byte_parser.h"
#include "serato/screen_wave.h"
#include "serato/serato_feedback.h"
#include "serato/serato_return.h"
#include "serato/sysex_router.h"

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <span>
#include <string>
#include <vector>

namespace plindo::serato {

class MIDIBridgeClient;

class SeratoMIDIIn {
public:
    using StartStop = SeratoFeedback::StartStop;

    static constexpr const char* kEndpointName = "Plindo MIDI Bridge";
    static constexpr const char* kClientName = "PlindoSeratoIn";
    // The fixed port number that a saved mapping binds to (the output's source has its own).
    static constexpr int kDestinationPort = 1;

    // `bridge` null: never asks a bridge. `uptime` stamps the rate limits of the logs.
    SeratoMIDIIn(platform::MidiBackend& backend, platform::MainExecutor& main, MIDIBridgeClient* bridge,
                 const platform::Clock& uptime = platform::systemClock());
    ~SeratoMIDIIn();
    SeratoMIDIIn(const SeratoMIDIIn&) = delete;
    SeratoMIDIIn& operator=(const SeratoMIDIIn&) = delete;

    std::function<void(int deck, const std::string& path)> onPath;
    std::function<void(int deck, int slot, const std::string& text)> onText;
    std::function<void(int deck, double progress)> onProgress;
    std::function<void(int deck, double bpm)> onBPM;
    std::function<void(int deck, StartStop state)> onStartStop;
    std::function<void(int deck)> onSongChanged;
    std::function<void(int deck, double pitch)> onPitch;
    std::function<void(int deck, int slot, bool set, int velocity)> onCueSet;
    std::function<void(int deck, bool on)> onMute;
    std::function<void(int deck, int slot, const std::string& hex)> onCueColor;
    std::function<void(int deck, int slot, double seconds)> onCueTime;
    std::function<void(int deck, double seconds)> onTime;
    std::function<void(const SeratoReturn::ScreenWave& wave)> onScreenWave;
    // Called on the byte-delivering thread: the whole message of a Rane frame not decoded here.
    std::function<void(std::span<const uint8_t> message)> onOtherRaneFrame;
    // Called on the byte-delivering thread.
    std::function<void(const SeratoReturn::PlatterPosition& platter)> onPlatter;
    // Called on the thread that calls start().
    std::function<void(const std::string& line)> onStatus;

    // Makes the input live: the bridge's readback when the bridge answers, else our own destination.
    // Does nothing while live; after a failure a later call tries again.
    void start();
    bool running() const { return running_; }

    // Feeds received bytes, in arrival order, to the parser (one packet or one readback datagram; a message
    // may span several). The intake of both roads.
    void receive(std::span<const uint8_t> bytes);

    // What the parsing thread keeps, for inspection by tests and the diagnostics sheet.
    const SeratoFeedback& feedback() const { return feedback_; }
    const SysexRouter& router() const { return router_; }

private:
    struct Life {
        std::mutex deliver;  // held while bytes are parsed, so the destructor waits for a delivery in flight
        std::atomic<SeratoMIDIIn*> self{nullptr};
    };

    void parse(uint8_t byte);
    void handleNote(uint8_t kind, int channel, uint8_t note, uint8_t velocity);
    void handleCC(int channel, uint8_t cc, uint8_t value);
    void handleSysex(std::span<const uint8_t> message);
    void dispatch(const SeratoFeedback::Event& e);
    void status(const std::string& line);
    template <typename F>
    void postMain(F&& f);

    platform::MidiBackend& backend_;
    platform::MainExecutor& main_;
    MIDIBridgeClient* bridge_;
    const platform::Clock& uptime_;

    bool running_ = false;
    bool viaBridge_ = false;
    // Parsing thread only:
    MidiByteParser parser_;
    SeratoFeedback feedback_;
    SysexRouter router_;

    std::shared_ptr<Life> life_ = std::make_shared<Life>();
    std::unique_ptr<platform::MidiDestination> dest_;  // last: closed and joined before the rest goes
};

}  // namespace plindo::serato
