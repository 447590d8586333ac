#include "serato/serato_midi_in.h"

#include "midi_out_rig.h"
#include "serato/serato_return.h"

#include <gtest/gtest.h>

#include <deque>

namespace plindo::serato {
namespace {

using B = std::vector<uint8_t>;
using testing::rane;

// Keeps posted blocks until the test runs them, so the test sees what is posted and when.
class ManualExecutor final : public platform::MainExecutor {
public:
    void post(std::function<void()> f) override { std::lock_guard g(m_); q_.push_back(std::move(f)); }
    void invokeSync(const std::function<void()>& f) override { f(); }
    size_t pending() { std::lock_guard g(m_); return q_.size(); }
    void run() {
        std::deque<std::function<void()>> q;
        {
            std::lock_guard g(m_);
            q.swap(q_);
        }
        for (auto& f : q) f();
    }

private:
    std::mutex m_;
    std::deque<std::function<void()>> q_;
};

// Every callback as one line of text, in the order they ran.
struct Recorder {
    std::vector<std::string> lines;
    std::vector<SeratoReturn::PlatterPosition> platters;
    std::vector<B> others;

    void attach(SeratoMIDIIn& in) {
        in.onStartStop = [this](int d, SeratoMIDIIn::StartStop s) {
            lines.push_back("play " + std::to_string(d) + " " + std::string(SeratoFeedback::name(s)));
        };
        in.onCueSet = [this](int d, int slot, bool set, int v) {
            lines.push_back("cue " + std::to_string(d) + " " + std::to_string(slot) + " " + (set ? "on " : "off ") +
                            std::to_string(v));
        };
        in.onPitch = [this](int d, double p) { lines.push_back("pitch " + std::to_string(d) + " " + std::to_string(p)); };
        in.onTime = [this](int d, double s) { lines.push_back("time " + std::to_string(d) + " " + std::to_string(s)); };
        in.onPath = [this](int d, const std::string& p) { lines.push_back("path " + std::to_string(d) + " " + p); };
        in.onText = [this](int d, int slot, const std::string& t) {
            lines.push_back("text " + std::to_string(d) + " " + std::to_string(slot) + " " + t);
        };
        in.onScreenWave = [this](const SeratoReturn::ScreenWave& w) {
            lines.push_back("wave " + std::to_string(w.deck) + " " + std::to_string(w.offsetMs));
        };
        in.onPlatter = [this](const SeratoReturn::PlatterPosition& p) { platters.push_back(p); };
        in.onOtherRaneFrame = [this](std::span<const uint8_t> m) { others.emplace_back(m.begin(), m.end()); };
        in.onStatus = [this](const std::string& s) { lines.push_back("status " + s); };
    }
};

// An input whose posted blocks wait for the test, with every callback recorded.
struct InRig {
    explicit InRig(platform::MidiBackend& backend, MIDIBridgeClient* bridge = nullptr) : in(backend, main, bridge) {
        rec.attach(in);
    }
    ManualExecutor main;
    SeratoMIDIIn in;
    Recorder rec;
};

TEST(SeratoMIDIIn, OwnDestinationParsesInjectedPacketsIntoMainQueueCallbacks) {
    platform::LoopbackMidiBackend backend;
    InRig r(backend);

    r.in.start();
    ASSERT_TRUE(r.in.running());
    EXPECT_EQ(r.rec.lines, std::vector<std::string>{"status Serato in: MIDI destination 'Plindo MIDI Bridge' up"});
    r.rec.lines.clear();
    const auto eps = backend.endpoints();
    ASSERT_EQ(eps.size(), 1u);
    EXPECT_EQ(eps[0].name, "Plindo MIDI Bridge");
    EXPECT_EQ(eps[0].clientName, "PlindoSeratoIn");
    EXPECT_TRUE(eps[0].isDestination);

    r.in.start();  // a second start does nothing
    EXPECT_TRUE(r.rec.lines.empty());
    EXPECT_EQ(backend.endpoints().size(), 1u);

    // A running-status pair, a cue pad, a pitch pair split across packets and a time SysEx split across
    // three packets with a real-time byte inside.
    const B time = {0xF0, 0x00, 0x20, 0x7F, 0x02, 0x04, 0x08, 0x00, 0x00, 0x00, 0xF, 0x0, 0x3, 0xC, 0xF7};
    ASSERT_TRUE(backend.inject(SeratoMIDIIn::kDestinationPort, B{0x90, 0x14, 0x7F, 0x14, 0x00, 0x91, 0x2A, 0x05}));
    ASSERT_TRUE(backend.inject(SeratoMIDIIn::kDestinationPort, B{0xB0, 0x70, 0x40, 0xB0}));
    ASSERT_TRUE(backend.inject(SeratoMIDIIn::kDestinationPort, B{0x71, 0x00, time[0], time[1], time[2]}));
    ASSERT_TRUE(backend.inject(SeratoMIDIIn::kDestinationPort, B(time.begin() + 3, time.begin() + 9)));
    B tail{0xF8};
    tail.insert(tail.end(), time.begin() + 9, time.end());
    ASSERT_TRUE(backend.inject(SeratoMIDIIn::kDestinationPort, tail));

    EXPECT_TRUE(r.rec.lines.empty());  // nothing runs on the delivering thread
    r.main.run();
    EXPECT_EQ(r.rec.lines, (std::vector<std::string>{"play 1 start", "play 1 stop", "cue 2 2 on 5", "pitch 1 0.000000",
                                                     "time 2 61.500000"}));
}

TEST(SeratoMIDIIn, SysexRoadsReachPlatterOtherFrameScreenWaveAndSongInfo) {
    platform::LoopbackMidiBackend backend;
    InRig r(backend);

    const B platterMsg = testing::platterFrame(1, 42);
    r.in.receive(platterMsg);
    r.in.receive(platterMsg);  // a repeat
    ASSERT_EQ(r.rec.platters.size(), 1u);  // directly on the delivering thread
    EXPECT_EQ(r.rec.platters[0].clockMs, 42u);

    const B library = rane(1, 0x21, B(12, 1));
    r.in.receive(library);
    ASSERT_EQ(r.rec.others.size(), 1u);
    EXPECT_EQ(r.rec.others[0], library);

    r.in.receive(testing::waveFrame(1, 1000, 0));
    r.in.receive(SeratoReturn::songInfoMessage(7, "/music/a b.mp3"));
    r.in.receive(SeratoReturn::songInfoMessage(0, "Title"));
    r.main.run();
    EXPECT_EQ(r.rec.lines, (std::vector<std::string>{"wave 1 1000", "path 1 /music/a b.mp3", "text 1 0 Title"}));
}

TEST(SeratoMIDIIn, CallbacksSetLateRunAndADestroyedInputRunsNone) {
    platform::LoopbackMidiBackend backend;
    ManualExecutor main;
    Recorder rec;
    {
        SeratoMIDIIn in(backend, main, nullptr);
        in.start();
        in.receive(B{0x90, 0x14, 0x7F});
        rec.attach(in);  // the posted block reads the callback when it runs
        main.run();
        EXPECT_EQ(rec.lines.size(), 1u);
        in.receive(B{0x90, 0x14, 0x00});
        EXPECT_EQ(main.pending(), 1u);
    }
    main.run();  // the input is gone: the block does nothing
    EXPECT_EQ(rec.lines, std::vector<std::string>{"play 1 start"});
    EXPECT_FALSE(backend.inject(SeratoMIDIIn::kDestinationPort, B{0x90, 0x14, 0x7F}));
}

TEST(SeratoMIDIIn, NoMidiSystemLeavesTheInputIdleWithAStatusAndALaterStartRetries) {
    platform::LoopbackMidiBackend backend;
    backend.setAvailable(false);
    InRig r(backend);
    r.in.start();
    EXPECT_FALSE(r.in.running());
    ASSERT_EQ(r.rec.lines.size(), 1u);
    EXPECT_EQ(r.rec.lines[0].rfind("status Serato in: MIDIClientCreate failed (", 0), 0u) << r.rec.lines[0];
    backend.setAvailable(true);
    r.in.start();
    EXPECT_TRUE(r.in.running());
    EXPECT_EQ(r.rec.lines.back(), "status Serato in: MIDI destination 'Plindo MIDI Bridge' up");
}

TEST(SeratoMIDIIn, SystemSequencerComesUpOrLeavesAStatusLine) {
    auto backend = platform::makeSystemMidiBackend();
    InRig r(*backend);
    r.in.start();
    ASSERT_EQ(r.rec.lines.size(), 1u);
    if (backend->available() && r.in.running())
        EXPECT_EQ(r.rec.lines[0], "status Serato in: MIDI destination 'Plindo MIDI Bridge' up");
    else
        EXPECT_EQ(r.rec.lines[0].rfind("status Serato in: MIDI", 0), 0u) << r.rec.lines[0];
}

TEST(SeratoMIDIIn, BridgeReadbackFeedsTheSameParserWithoutAnOwnDestination) {
    testing::BridgeEnabled on(true);
    testing::BridgePeer peer;
    MIDIBridgeClient bridge(peer.port());
    platform::LoopbackMidiBackend backend;
    InRig r(backend, &bridge);
    r.in.start();
    EXPECT_TRUE(r.in.running());
    EXPECT_TRUE(backend.endpoints().empty());
    ASSERT_EQ(r.rec.lines, std::vector<std::string>{"status Serato in: readback via PlindoMIDIBridge"});
    peer.sendToClient({0x02, 0x91, 0x14, 0x7F});
    ASSERT_TRUE(testing::waitUntil([&] { return r.main.pending() > 0; }));
    r.main.run();
    EXPECT_EQ(r.rec.lines.back(), "play 2 start");
}

}  // namespace
}  // namespace plindo::serato
