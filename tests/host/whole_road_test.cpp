// The whole road in one process: a phone on loopback says hello and streams a platter turning at 33 1/3 rpm;
// deck 1 plays a ramp track on the "file" device, and the recording shows the track advancing at 1.8 s per
// revolution. A deck bridged to the DJ application at start sends the phone's platter to the MIDI output,
// tick for tick, until the control endpoint takes it off the bridge; the same through the program as
// launched. With the 0.1 s tick running, phones that fall silent withdraw a bridged deck and leave a playing
// deck gliding, and play without a phone plays a deck alone.
#include "host/host_state.h"
#include "headless_process.h"
#include "host_rig.h"
#include "link/temp_folder.h"
#include "platform/log.h"
#include "platform/queue_executor.h"
#include "platform/settings.h"

#include <asio/io_context.hpp>
#include <asio/ip/udp.hpp>
#include <gtest/gtest.h>
#include <sndfile.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <memory>
#include <mutex>
#include <numbers>
#include <span>
#include <thread>
#include <vector>

using namespace plindo;
namespace fs = std::filesystem;

namespace {

void putString(std::vector<uint8_t>& out, const std::string& s) {
    out.insert(out.end(), s.begin(), s.end());
    do out.push_back(0); while (out.size() % 4 != 0);
}
void putInt(std::vector<uint8_t>& out, int32_t v) {
    for (int i = 3; i >= 0; --i) out.push_back(static_cast<uint8_t>(static_cast<uint32_t>(v) >> (8 * i)));
}
void putDouble(std::vector<uint8_t>& out, double v) {
    uint64_t bits;
    std::memcpy(&bits, &v, 8);
    for (int i = 7; i >= 0; --i) out.push_back(static_cast<uint8_t>(bits >> (8 * i)));
}

int freeUdpPort() {
    asio::io_context io;
    asio::ip::udp::socket s(io, asio::ip::udp::endpoint(asio::ip::address_v4::loopback(), 0));
    return s.local_endpoint().port();
}

// A mono ramp written as stereo float WAV: sample i holds i / frames, so a recorded value names the position.
void writeRamp(const std::string& path, int frames, int rate) {
    SF_INFO info{};
    info.samplerate = rate;
    info.channels = 2;
    info.format = SF_FORMAT_WAV | SF_FORMAT_FLOAT;
    SNDFILE* f = sf_open(path.c_str(), SFM_WRITE, &info);
    ASSERT_NE(f, nullptr);
    std::vector<float> buf(static_cast<size_t>(frames) * 2);
    for (int i = 0; i < frames; ++i) buf[2 * i] = buf[2 * i + 1] = static_cast<float>(i) / static_cast<float>(frames);
    sf_writef_float(f, buf.data(), frames);
    sf_close(f);
}

}  // namespace

TEST(WholeRoad, RecordingFollowsPlatterAtOnePointEightSecondsPerRevolution) {
    const fs::path dir = fs::temp_directory_path() / ("plindo-road-" + std::to_string(::getpid()));
    fs::create_directories(dir);
    const std::string track = (dir / "ramp.wav").string();
    const std::string recording = (dir / "deck1.wav").string();
    constexpr int kRate = 48000;
    constexpr int kFrames = kRate * 20;
    writeRamp(track, kFrames, kRate);
    ::setenv("PLINDO_FILE_DEVICE", recording.c_str(), 1);

    platform::setLogFolder("");
    platform::MemorySettings settings;
    const int port = freeUdpPort();
    settings.setValue("orv.oscPort", port);
    settings.setValue("orv.devUID.1", "file");
    settings.setValue("orv.devUID.2", "null");
    platform::QueueExecutor main;
    {
        // Made, started and taken down on its main thread, as in the program: a status line it posts there
        // never meets a host that another thread is taking down.
        struct OnMain {
            platform::QueueExecutor& main;
            std::unique_ptr<host::HostState> host;
            ~OnMain() {
                main.invokeSync([&] { host.reset(); });
                main.drain();
            }
        } owner{main, nullptr};
        main.invokeSync([&] {
            owner.host = std::make_unique<host::HostState>(host::HostState::Deps{
                .settings = settings,
                .main = main,
                .interfaces = [] { return std::vector<platform::NetInterface>{}; },
                .trackServerPort = 0});
            owner.host->start();
        });
        host::HostState& host = *owner.host;
        ASSERT_EQ(host.players.size(), 2u);
        ASSERT_GT(host.fileServer->boundPort(), 0);
        settings.setValue("orv.guiBase", "http://127.0.0.1:" + std::to_string(host.fileServer->boundPort()));
        main.invokeSync([&] { host.loadDeck(1, track); });
        for (int i = 0; i < 6000 && host.players[0]->table.read() == nullptr; ++i) {  // a busy machine decodes slowly
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
            main.drain();
        }
        ASSERT_NE(host.players[0]->table.read(), nullptr) << host.statusLine();
        // The loader's waveform analysis runs after the decode; let it finish before the timed motion.
        const auto haveEnv = [&] {  // published on main: read there
            bool have = false;
            main.invokeSync([&] { have = host.deckEnv(1) != nullptr; });
            return have;
        };
        for (int i = 0; i < 6000 && !haveEnv(); ++i) std::this_thread::sleep_for(std::chrono::milliseconds(10));
        ASSERT_TRUE(haveEnv());

        asio::io_context io;
        asio::ip::udp::socket phone(io, asio::ip::udp::endpoint(asio::ip::address_v4::loopback(), 0));
        const asio::ip::udp::endpoint to(asio::ip::address_v4::loopback(), static_cast<unsigned short>(port));
        std::vector<uint8_t> hello;
        putString(hello, "/orv/hello");
        putString(hello, ",isssiss");
        putInt(hello, 1);
        putString(hello, "Road Phone");
        putString(hello, "x");
        putString(hello, "remote");
        putInt(hello, 1);
        putString(hello, "1215");
        putString(hello, "0");
        phone.send_to(asio::buffer(hello), to);

        // 33 1/3 rpm; the angle falls while the record plays forward.
        const double omega = 2 * std::numbers::pi * (100.0 / 3.0) / 60.0;
        const auto t0 = std::chrono::steady_clock::now();
        for (int k = 0; k < 250; ++k) {  // 2.5 s at 100 Hz
            const double ts = 0.01 * k;
            std::vector<uint8_t> frame;
            putString(frame, "/orv/frame");
            putString(frame, ",isdddd");
            putInt(frame, 1);
            putString(frame, "");
            putDouble(frame, 0.0);
            putDouble(frame, 1.0);
            putDouble(frame, -omega * ts);
            putDouble(frame, ts);
            phone.send_to(asio::buffer(frame), to);
            std::this_thread::sleep_until(t0 + std::chrono::milliseconds(10 * (k + 1)));
        }
    }  // the host stops its outputs, which closes the recording

    SF_INFO info{};
    SNDFILE* f = sf_open(recording.c_str(), SFM_READ, &info);
    ASSERT_NE(f, nullptr);
    std::vector<float> rec(static_cast<size_t>(info.frames) * info.channels);
    sf_readf_float(f, rec.data(), info.frames);
    sf_close(f);
    ASSERT_GT(info.frames, kRate * 2);

    // Over the last second of motion the recorded position advances by one second of track per second. A busy
    // machine may send a frame late or pace the device late, and the player then catches up for a moment, so
    // the rate is the one most 10 ms stretches play at.
    const auto posAt = [&](sf_count_t frame) { return rec[static_cast<size_t>(frame) * info.channels] * kFrames / double(kRate); };
    sf_count_t end = info.frames - 1;
    while (end > 0 && posAt(end) == 0) --end;  // the tail after the host stopped may be silent
    const sf_count_t step = info.samplerate / 100;
    std::vector<double> rates;
    for (sf_count_t at = end - info.samplerate; at + step <= end - info.samplerate / 10; at += step)
        rates.push_back((posAt(at + step) - posAt(at)) * 100);
    ASSERT_EQ(rates.size(), 90u);
    std::nth_element(rates.begin(), rates.begin() + 45, rates.end());
    EXPECT_NEAR(rates[45], 1.0, 0.05) << "track seconds played per second of platter motion";
    fs::remove_all(dir);
}

namespace {
// A "/orv/tun" batch for deck 1 that repeats the last ten ticks up to tick `j`, each stamped 10 ms apart.
std::vector<link::OSCValue> tickBatch(int j, const std::function<double(int)>& cumAt) {
    using link::testing::D;
    using link::testing::I;
    std::vector<link::OSCValue> args{I(1), D(1), I(10)};
    for (int i = j - 9; i <= j; ++i) {
        args.push_back(D(i));
        args.push_back(D(cumAt(i)));
        args.push_back(D(0.01 * i));
        args.push_back(D(1));
    }
    return args;
}

// Packets on the deck's MIDI channel sent after `since` (host ns).
size_t deckPackets(const platform::LoopbackMidiBackend& midi, int deck, int64_t since) {
    size_t n = 0;
    for (const auto& p : midi.sent()) {
        if (p.hostTimeNs > since && !p.bytes.empty() && p.bytes[0] >= 0x80 && (p.bytes[0] & 0x0F) == deck - 1) ++n;
    }
    return n;
}

// The sum of the jog deltas (controller 6, 64 + delta) on the deck's channel in a stream of MIDI bytes.
int64_t jogDeltas(std::span<const uint8_t> bytes, int deck) {
    int64_t sum = 0;
    for (size_t k = 0; k < bytes.size();) {
        const uint8_t status = bytes[k];
        if (status == 0xF0) {  // SysEx runs to its end byte
            while (k < bytes.size() && bytes[k] != 0xF7) ++k;
            ++k;
            continue;
        }
        const size_t len = (status & 0xE0) == 0xC0 ? 2 : 3;
        if (k + len <= bytes.size() && status == (0xB0 | (deck - 1)) && bytes[k + 1] == 0x06) sum += bytes[k + 2] - 64;
        k += len;
    }
    return sum;
}

int64_t jogDeltas(const platform::LoopbackMidiBackend& midi, int deck, int64_t since) {
    int64_t sum = 0;
    for (const auto& p : midi.sent()) {
        if (p.hostTimeNs > since) sum += jogDeltas(p.bytes, deck);
    }
    return sum;
}

// The rate the recorded ramp plays at over most of its moving 10 ms stretches (seconds of track per second);
// with `tailSec`, the track it advanced by over that long before the recording's last 0.1 s of sound, per
// second.
double recordedRate(const std::string& recording, int frames, int rate, double tailSec = 0) {
    SF_INFO info{};
    SNDFILE* f = sf_open(recording.c_str(), SFM_READ, &info);
    if (!f) return -1;
    std::vector<float> rec(static_cast<size_t>(info.frames) * info.channels);
    sf_readf_float(f, rec.data(), info.frames);
    sf_close(f);
    const auto posAt = [&](sf_count_t i) { return rec[static_cast<size_t>(i) * info.channels] * frames / double(rate); };
    const sf_count_t step = info.samplerate / 100;
    sf_count_t from = 0, to = info.frames - 1;
    if (tailSec > 0) {
        while (to > 0 && posAt(to) == 0) --to;  // the host stopped: silence
        to -= info.samplerate / 10;
        from = to - static_cast<sf_count_t>(tailSec * info.samplerate);
        if (from < 0) return -1;
        return (posAt(to) - posAt(from)) / tailSec;
    }
    std::vector<double> rates;
    for (sf_count_t at = from; at + step <= to; at += step) {
        const double r = (posAt(at + step) - posAt(at)) * 100;
        if (r > 0.5 && r < 2) rates.push_back(r);
    }
    if (rates.size() < 100) return -1;  // under a second of motion
    std::nth_element(rates.begin(), rates.begin() + static_cast<std::ptrdiff_t>(rates.size() / 2), rates.end());
    return rates[rates.size() / 2];
}

// 33 1/3 rpm in radians per second; a platter playing forward turns the phone's angle down.
constexpr double kOmega = 2 * std::numbers::pi * (100.0 / 3.0) / 60.0;

}  // namespace

// Deck 1 is bridged from the start (the stored deck mode) and deck 2 plays a ramp track on the "file" device.
// Deck 1's phone turns its platter at 33 1/3 rpm for 2 s, first as frames, then as tick batches (the last ten
// ticks every 10 ms), each time coming to rest: the jog deltas the DJ application receives add up to the
// platter's ticks (3600 a turn) within one. Once the deck leaves the bridge nothing more reaches the DJ
// application. Deck 2's phone turns all along: its recording advances 1.8 s per turn.
TEST(WholeRoad, ABridgedDeckTurnsTheDJApplicationsDeckTickForTickWhileTheOtherPlaysItsTrack) {
    link::testing::TempFolder dir{"plindo-road"};
    const std::string track = (dir.dir / "ramp.wav").string();
    const std::string recording = (dir.dir / "deck2.wav").string();
    constexpr int kRate = 48000;
    constexpr int kFrames = kRate * 30;
    writeRamp(track, kFrames, kRate);
    ::setenv("PLINDO_FILE_DEVICE", recording.c_str(), 1);

    auto rig = std::make_unique<host::testing::HostRig>();
    rig->settings.setValue("deck.mode.slot1", "serato");
    rig->settings.setValue("orv.devUID.1", "null");
    rig->settings.setValue("orv.devUID.2", "file");
    // The jog format, the emitter planning 0.1 s behind the phone: a frame that comes later than the planning
    // delay lands behind the emission cursor, and a backlog of such lateness past the emitter's fold limit is
    // dropped, not sent (a loaded test machine delays frames by tens of milliseconds). No extrapolation: a
    // platter that stops would otherwise be sent on by the extrapolated stretch.
    rig->outSettings.selectFormat("jog");
    auto tuning = serato::SeratoEmit::Tuning::liveStart();
    tuning.delay = 0.1;
    rig->outSettings.tuning.store(tuning);
    auto& h = rig->started();
    rig->midi.setRecordLimit(1u << 16);  // every jog message of the run
    ASSERT_TRUE(h.isSeratoDeck(1));
    ASSERT_EQ(h.players.size(), 2u);
    rig->settings.setValue("orv.guiBase", "http://127.0.0.1:" + std::to_string(h.fileServer->boundPort()));
    rig->onMain([&] { h.loadDeck(2, track); });
    // Published state is read on main, where it is written.
    const auto analysed = [&] {
        bool have = false;
        rig->onMain([&] { have = h.deckEnv(2) != nullptr; });
        return have;
    };
    for (int i = 0; i < 6000 && (!h.players[1]->table.read() || !analysed()); ++i) {  // a busy machine decodes slowly
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
        rig->main.drain();
    }
    ASSERT_NE(h.players[1]->table.read(), nullptr) << h.statusLine();
    ASSERT_TRUE(analysed());

    using link::testing::D;
    using link::testing::I;
    using link::testing::S;
    const auto recv = [&](int deck, std::string_view address, std::vector<link::OSCValue> args) {
        const auto b = link::OSCMessage::encode(address, args);
        h.server->handleDatagram(b.data(), b.size(), link::testing::phone(deck), platform::systemClock().now());
    };
    for (int deck = 1; deck <= 2; ++deck) {
        recv(deck, "/orv/hello", {I(deck), S("Road Phone"), I(0), S("remote"), I(1), S("1215"), S("")});
    }
    rig->main.drain();

    // Deck 2's phone turns all along, one frame every 10 ms; deck 1's phone sends what `one` makes of step k.
    int deck2Step = 0;
    const auto run = [&](int steps, const std::function<void(int)>& one) {
        const auto t0 = std::chrono::steady_clock::now();
        for (int k = 0; k < steps; ++k) {
            const double ts = 0.01 * deck2Step++;
            recv(2, "/orv/frame", {I(2), S(""), D(0), D(1), D(-kOmega * ts), D(ts)});
            one(k);
            std::this_thread::sleep_until(t0 + std::chrono::milliseconds(10 * (k + 1)));
        }
    };
    // Waits until deck 1's emitter has worked off what it planned and its position stays.
    const auto settled = [&] {
        const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(20);
        int64_t last = INT64_MIN;
        int still = 0;
        while (std::chrono::steady_clock::now() < until && still < 20) {
            const auto st = h.seratoOut->emitState(1);
            still = st.lastSentTick == last && std::abs(st.phaseOffset) < 1e-9 ? still + 1 : 0;
            last = st.lastSentTick;
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        return still >= 20;
    };

    // Frames: 0.05 s at rest, 2 s turning, 0.2 s at rest again.
    const double turnSec = 1.99;  // 200 frames span 199 steps of 10 ms
    int64_t mark = platform::hostTimeNs();
    run(5, [&](int k) { recv(1, "/orv/frame", {I(1), S(""), D(0), D(0), D(0.0), D(0.01 * k)}); });
    run(200, [&](int k) {
        recv(1, "/orv/frame", {I(1), S(""), D(0), D(1), D(-kOmega * 0.01 * k), D(0.05 + 0.01 * k)});
    });
    run(20, [&](int k) {
        recv(1, "/orv/frame", {I(1), S(""), D(0), D(0), D(-kOmega * turnSec), D(2.05 + 0.01 * k)});
    });
    ASSERT_TRUE(settled());
    const double platterTicks = kOmega * turnSec / (2 * std::numbers::pi) * 3600;  // 3980
    EXPECT_NEAR(static_cast<double>(jogDeltas(rig->midi, 1, mark)), platterTicks, 1.0) << "frames";

    // Tick batches: the platter's position in 36000 ticks a turn, the last ten ticks every 10 ms; 0.1 s at
    // rest, 2 s turning, then at rest again.
    const auto cumAt = [&](int j) {
        const double t = std::clamp(0.01 * j - 0.1, 0.0, turnSec);
        return std::round(kOmega * t / (2 * std::numbers::pi) * 36000);
    };
    recv(1, "/orv/touch", {I(1), I(1)});  // a hand on the platter: the jog road moves the deck
    mark = platform::hostTimeNs();
    run(230, [&](int k) { recv(1, "/orv/tun", tickBatch(k + 9, cumAt)); });
    ASSERT_TRUE(settled());
    EXPECT_NEAR(static_cast<double>(jogDeltas(rig->midi, 1, mark)), platterTicks, 1.0) << "tick batches";

    // Off the bridge: frames and batches reach deck 1's own player, none the DJ application.
    nlohmann::json answer;
    rig->onMain([&] { answer = h.onControl("serato", {{"cmd", "serato"}, {"deck", "1"}, {"on", "0"}}, true); });
    EXPECT_EQ(answer["serato"], false);
    mark = platform::hostTimeNs();
    run(50, [&](int k) {
        recv(1, "/orv/frame", {I(1), S(""), D(0), D(1), D(-kOmega * 0.01 * k), D(10 + 0.01 * k)});
        recv(1, "/orv/tun", {I(1), D(2), I(1), D(k), D(cumAt(k)), D(10 + 0.01 * k), D(1)});
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    EXPECT_EQ(deckPackets(rig->midi, 1, mark), 0u) << "nothing reaches the DJ application after the deck left";

    rig.reset();  // the host stops its outputs, which closes the recording
    EXPECT_NEAR(recordedRate(recording, kFrames, kRate), 1.0, 0.02) << "track seconds per 1.8 s turn of deck 2";
}

TEST(WholeRoad, ABridgedDeckCarriesFramesAndTickBatchesToTheMidiOutputUntilItLeaves) {
    host::testing::HostRig rig;
    rig.settings.setValue("deck.mode.slot1", "serato");
    rig.outSettings.format = serato::SeratoOutFormat::twelve;  // the format that plans frames into messages
    auto& h = rig.started();
    ASSERT_TRUE(h.isSeratoDeck(1));
    ASSERT_TRUE(h.seratoOut->isActive(1));
    const auto phone = link::testing::phone(1);
    const auto recv = [&](std::string_view address, std::vector<link::OSCValue> args) {
        const auto b = link::OSCMessage::encode(address, args);
        h.server->handleDatagram(b.data(), b.size(), phone, platform::systemClock().now());
    };
    using link::testing::D;
    using link::testing::I;
    using link::testing::S;
    recv("/orv/hello", {I(1), S("Road Phone"), I(0), S("remote"), I(1), S("1215"), S("")});
    rig.main.drain();

    const double omega = 2 * std::numbers::pi * (100.0 / 3.0) / 60.0;
    const auto turn = [&](int from, int count, bool ticks) {
        const auto t0 = std::chrono::steady_clock::now();
        for (int k = from; k < from + count; ++k) {
            const double ts = 0.01 * k;
            if (ticks) {
                std::vector<link::OSCValue> args{I(1), D(1), I(10)};
                for (int j = k - 9; j <= k; ++j) {
                    args.push_back(D(j));
                    args.push_back(D(std::round(omega * 0.01 * j / (2 * std::numbers::pi) * 36000)));
                    args.push_back(D(0.01 * j));
                    args.push_back(D(1));
                }
                recv("/orv/tun", args);
            } else {
                recv("/orv/frame", {I(1), S(""), D(0), D(1), D(-omega * ts), D(ts)});
            }
            std::this_thread::sleep_until(t0 + std::chrono::milliseconds(10 * (k - from + 1)));
        }
    };
    int64_t mark = platform::hostTimeNs();
    turn(0, 100, false);
    EXPECT_GT(deckPackets(rig.midi, 1, mark), 0u) << "frames reach the MIDI output";
    std::this_thread::sleep_for(std::chrono::milliseconds(600));  // the frame road's plan runs out
    mark = platform::hostTimeNs();
    turn(100, 50, true);
    EXPECT_GT(deckPackets(rig.midi, 1, mark), 0u) << "tick batches reach the MIDI output";
    EXPECT_GT(h.feeds->tunnelCell[0].read().outs, 0);

    nlohmann::json answer;
    rig.onMain([&] { answer = h.onControl("serato", {{"cmd", "serato"}, {"deck", "1"}, {"on", "0"}}, true); });
    EXPECT_EQ(answer["serato"], false);
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    mark = platform::hostTimeNs();
    turn(150, 30, false);
    turn(180, 30, true);
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    EXPECT_EQ(deckPackets(rig.midi, 1, mark), 0u) << "nothing reaches the DJ application after the deck left";
}

// The same road through the program as launched: deck 1 bridged by its stored mode, a phone over UDP, the
// MIDI it sends read back through "cmd=midilog" on the loopback backend; deck 2 records on the "file" device.
TEST(WholeRoad, TheProgramTurnsABridgedDeckTickForTickSeenThroughTheMidiLog) {
    using host::testing::Headless;
    Headless h(nlohmann::json{{"deck.mode.slot1", "serato"}, {"orv.devUID.1", "null"}, {"orv.devUID.2", "file"}});
    constexpr int kRate = 48000;
    constexpr int kFrames = kRate * 30;
    const std::string track = (h.dir() / "ramp.wav").string();
    writeRamp(track, kFrames, kRate);
    const std::string recording = (h.dir() / "deck2.wav").string();
    ::setenv("PLINDO_FILE_DEVICE", recording.c_str(), 1);  // the program inherits it
    ASSERT_TRUE(h.start());
    EXPECT_EQ(h.ctl("?cmd=format&mode=jog")["format"], "jog");
    EXPECT_EQ(h.ctl("?cmd=emit&delay=100&ahead=0&seg=0")["delayMs"], 100);  // as in the test above
    EXPECT_EQ(h.ctl("?cmd=load&deck=2&path=" + track)["path"], track);
    const auto state = h.ctl("?cmd=state");
    ASSERT_NE(state.dump().find("serato-midi://deck"), std::string::npos) << state.dump();
    for (int i = 0; i < 600; ++i) {  // the track decoded: deck 2 knows its length
        const auto d = h.ctl("?cmd=state")["decks"][1];
        if (d.is_object() && d.value("durationSec", 0.0) > 0) break;
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }

    asio::io_context io;
    asio::ip::udp::socket phone(io, asio::ip::udp::endpoint(asio::ip::address_v4::loopback(), 0));
    const asio::ip::udp::endpoint to(asio::ip::address_v4::loopback(), static_cast<unsigned short>(h.oscPort()));
    const auto send = [&](std::string_view address, const std::vector<link::OSCValue>& args) {
        const auto b = link::OSCMessage::encode(address, args);
        phone.send_to(asio::buffer(b), to);
    };
    using link::testing::D;
    using link::testing::I;
    using link::testing::S;
    // A second phone, for deck 2.
    asio::ip::udp::socket phone2(io, asio::ip::udp::endpoint(asio::ip::address_v4::loopback(), 0));
    const auto send2 = [&](std::string_view address, const std::vector<link::OSCValue>& args) {
        const auto b = link::OSCMessage::encode(address, args);
        phone2.send_to(asio::buffer(b), to);
    };
    send("/orv/hello", {I(1), S("Road Phone"), I(0), S("remote"), I(1), S("1215"), S("")});
    send2("/orv/hello", {I(2), S("Deck Two"), I(0), S("remote"), I(1), S("1215"), S("")});

    // The jog deltas of deck 1 logged after the first `from` packets, once nothing more comes.
    const auto settledDeltas = [&](uint64_t from) -> std::optional<int64_t> {
        uint64_t last = UINT64_MAX;
        for (int still = 0, i = 0; i < 200 && still < 5; ++i) {
            const uint64_t count = h.ctl("?cmd=midilog")["count"];
            still = count == last ? still + 1 : 0;
            last = count;
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
        }
        const auto log = h.ctl("?cmd=midilog");
        const uint64_t count = log["count"];
        const auto& packets = log["packets"];
        if (count - from > packets.size()) return std::nullopt;  // the log forgot some
        int64_t sum = 0;
        for (size_t k = packets.size() - (count - from); k < packets.size(); ++k) {
            std::vector<uint8_t> bytes;
            const std::string hex = packets[k]["hex"];
            for (size_t at = 0; at + 1 < hex.size(); at += 3) bytes.push_back(static_cast<uint8_t>(std::stoi(hex.substr(at, 2), nullptr, 16)));
            sum += jogDeltas(bytes, 1);
        }
        return sum;
    };
    const auto logged = [&] { return h.ctl("?cmd=midilog")["count"].get<uint64_t>(); };

    int deck2Step = 0;
    const auto run = [&](int steps, const std::function<void(int)>& one) {
        const auto t0 = std::chrono::steady_clock::now();
        for (int k = 0; k < steps; ++k) {
            const double ts = 0.01 * deck2Step++;
            send2("/orv/frame", {I(2), S(""), D(0), D(1), D(-kOmega * ts), D(ts)});
            one(k);
            std::this_thread::sleep_until(t0 + std::chrono::milliseconds(10 * (k + 1)));
        }
    };
    const double turnSec = 1.99;
    const double platterTicks = kOmega * turnSec / (2 * std::numbers::pi) * 3600;

    uint64_t mark = logged();
    run(5, [&](int k) { send("/orv/frame", {I(1), S(""), D(0), D(0), D(0.0), D(0.01 * k)}); });
    run(200, [&](int k) { send("/orv/frame", {I(1), S(""), D(0), D(1), D(-kOmega * 0.01 * k), D(0.05 + 0.01 * k)}); });
    run(20, [&](int k) { send("/orv/frame", {I(1), S(""), D(0), D(0), D(-kOmega * turnSec), D(2.05 + 0.01 * k)}); });
    auto sum = settledDeltas(mark);
    ASSERT_TRUE(sum.has_value());
    EXPECT_NEAR(static_cast<double>(*sum), platterTicks, 1.0) << "frames";

    const auto cumAt = [&](int j) {
        return std::round(kOmega * std::clamp(0.01 * j - 0.1, 0.0, turnSec) / (2 * std::numbers::pi) * 36000);
    };
    send("/orv/touch", {I(1), I(1)});
    mark = logged();
    run(230, [&](int k) { send("/orv/tun", tickBatch(k + 9, cumAt)); });
    sum = settledDeltas(mark);
    ASSERT_TRUE(sum.has_value());
    EXPECT_NEAR(static_cast<double>(*sum), platterTicks, 1.0) << "tick batches";

    EXPECT_EQ(h.ctl("?cmd=serato&deck=1&on=0")["serato"], false);
    mark = logged();
    run(50, [&](int k) {
        send("/orv/frame", {I(1), S(""), D(0), D(1), D(-kOmega * 0.01 * k), D(10 + 0.01 * k)});
        send("/orv/tun", {I(1), D(2), I(1), D(k), D(cumAt(k)), D(10 + 0.01 * k), D(1)});
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    const auto log = h.ctl("?cmd=midilog");
    const auto& packets = log["packets"];
    const uint64_t fresh = log["count"].get<uint64_t>() - mark;
    ASSERT_LE(fresh, packets.size());
    for (size_t k = packets.size() - fresh; k < packets.size(); ++k) {
        const std::string hex = packets[k]["hex"];
        const bool channelMessage = hex[0] >= '8' && hex[0] <= 'E';
        EXPECT_FALSE(channelMessage && hex[1] == '0') << "deck 1 got " << hex << " after it left the bridge";
    }
    EXPECT_EQ(h.terminate(10.0), 0);
    EXPECT_NEAR(recordedRate(recording, kFrames, kRate), 1.0, 0.02)
        << "track seconds per 1.8 s turn of deck 2";
}

namespace {
// A host with deck 1 bridged by its stored mode (its outputs on the null device) and a ramp track loaded on
// deck 2, which records on the "file" device; every status line is kept with its time.
struct RecordingHost {
    link::testing::TempFolder dir{"plindo-supervised"};
    std::string recording = (dir.dir / "deck2.wav").string();
    static constexpr int kRate = 48000;
    static constexpr int kFrames = kRate * 60;
    std::unique_ptr<host::testing::HostRig> rig = std::make_unique<host::testing::HostRig>();
    host::HostState* h = nullptr;
    std::mutex linesMutex;
    std::vector<std::pair<int64_t, std::string>> lines;

    RecordingHost() {
        const std::string track = (dir.dir / "ramp.wav").string();
        writeRamp(track, kFrames, kRate);
        ::setenv("PLINDO_FILE_DEVICE", recording.c_str(), 1);
        rig->settings.setValue("deck.mode.slot1", "serato");
        rig->settings.setValue("orv.devUID.1", "null");
        rig->settings.setValue("orv.devUID.2", "file");
        h = &rig->make();
        h->onStatusLine = [this](const std::string& line) {
            std::lock_guard g(linesMutex);
            lines.emplace_back(platform::hostTimeNs(), line);
        };
        rig->onMain([&] { h->start(); });
        rig->midi.setRecordLimit(1u << 16);
        rig->onMain([&] { h->loadDeck(2, track); });
        const auto analysed = [&] {
            bool have = false;
            rig->onMain([&] { have = h->deckEnv(2) != nullptr; });  // published state is read on main
            return have;
        };
        for (int i = 0; i < 6000 && !(h->players.size() == 2 && h->players[1]->table.read() && analysed()); ++i) {
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
            rig->main.drain();
        }
    }
    bool ready() const { return h->isSeratoDeck(1) && h->players.size() == 2 && h->players[1]->table.read(); }
    // The first status line containing `text` at or after `since`, waiting up to 10 s for it.
    std::optional<std::pair<int64_t, std::string>> line(const std::string& text, int64_t since) {
        const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(10);
        while (std::chrono::steady_clock::now() < until) {
            {
                std::lock_guard g(linesMutex);
                for (const auto& l : lines) {
                    if (l.first >= since && l.second.find(text) != std::string::npos) return l;
                }
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        return std::nullopt;
    }
    void recv(int deck, std::string_view address, std::vector<link::OSCValue> args) {
        const auto b = link::OSCMessage::encode(address, args);
        h->server->handleDatagram(b.data(), b.size(), link::testing::phone(deck), platform::systemClock().now());
    }
    // Stops the host, which closes the recording.
    void stop() { rig.reset(); }
};

// Rest messages on the deck's channel after `since`: the relative time message alone, no jog controller.
size_t restMessages(const platform::LoopbackMidiBackend& midi, int deck, int64_t since) {
    size_t n = 0;
    for (const auto& p : midi.sent()) {
        if (p.hostTimeNs >= since && p.bytes.size() == 3 && p.bytes[0] == (0xE0 | (deck - 1))) ++n;
    }
    return n;
}
}  // namespace

// The 0.1 s tick running on its own: deck 1's phone streams its platter to the DJ application and falls silent,
// and so does deck 2's phone while its platter plays. Deck 1 is withdrawn once, with one rest message, about
// 0.7 s on (0.6 s until the phone counts as gone, then the next tick); deck 2 glides on at one second of track
// per second.
TEST(WholeRoad, PhonesFallingSilentWithdrawTheBridgedDeckOnceAndLeaveThePlayingDeckGliding) {
    RecordingHost r;
    ASSERT_TRUE(r.ready()) << r.h->statusLine();
    using link::testing::D;
    using link::testing::I;
    using link::testing::S;
    for (int deck = 1; deck <= 2; ++deck) {
        r.recv(deck, "/orv/hello", {I(deck), S("Phone"), I(0), S("remote"), I(1), S("1215"), S("")});
    }
    const double dmWz = -kOmega;
    const auto t0 = std::chrono::steady_clock::now();
    for (int k = 0; k < 100; ++k) {  // 1 s at 100 Hz
        const double ts = 0.01 * k;
        const double yaw = std::remainder(-kOmega * ts, 2 * std::numbers::pi);
        // Deck 1's phone streams its frames and, driving the platter, its IMU samples.
        r.recv(1, "/orv/frame", {I(1), S(""), D(0), D(1), D(-kOmega * ts), D(ts)});
        r.recv(1, "/orv/imu", {I(1), D(ts), D(0), D(0), D(0), D(ts), D(dmWz), D(yaw), D(0), D(0), D(0), D(0), D(0),
                               D(0), D(1)});
        r.recv(2, "/orv/frame", {I(2), S(""), D(0), D(1), D(-kOmega * ts), D(ts)});
        std::this_thread::sleep_until(t0 + std::chrono::milliseconds(10 * (k + 1)));
    }
    const int64_t silent = platform::hostTimeNs();
    ASSERT_GT(r.rig->midi.sentCount(), 100u) << "the IMU drove deck 1";

    const auto gone = r.line("Deck 1: Remote weg", silent);
    ASSERT_TRUE(gone);
    EXPECT_EQ(gone->second, "Deck 1: Remote weg \u2014 letzter valider Zustand: spielt 1.000x, dann Ruhe");
    const auto holding = r.line("Deck 2: spinner gone", silent);
    ASSERT_TRUE(holding);
    EXPECT_EQ(holding->second, "Deck 2: spinner gone \u2014 holding 1.00x");
    // 0.6 s of freshness and a tick; a loaded machine may run the tick a little late.
    EXPECT_LT((gone->first - silent) / 1e9, 0.85);
    EXPECT_GE((gone->first - silent) / 1e9, 0.55);
    // The glide, and ticks that must not repeat the withdraw. The glide starts where the deck plays, after the
    // deck stood for up to a tick with its phone gone; its last 1.5 s are measured.
    std::this_thread::sleep_for(std::chrono::milliseconds(4000));
    EXPECT_EQ(restMessages(r.rig->midi, 1, silent), 1u);
    {
        std::lock_guard g(r.linesMutex);
        EXPECT_EQ(std::count_if(r.lines.begin(), r.lines.end(),
                                [&](const auto& l) {
                                    return l.first >= silent && l.second.find("Remote weg") != std::string::npos;
                                }),
                  1);
    }
    r.stop();
    EXPECT_NEAR(recordedRate(r.recording, RecordingHost::kFrames, RecordingHost::kRate, 1.5), 1.0, 0.02)
        << "track seconds per second of deck 2's glide";
}

// No phone: the control endpoint's play starts deck 2 alone at 33 1/3, one second of track per second.
TEST(WholeRoad, PlayWithoutAPhonePlaysTheTrackOneSecondPerSecond) {
    RecordingHost r;
    ASSERT_TRUE(r.ready()) << r.h->statusLine();
    nlohmann::json answer;
    r.rig->onMain([&] { answer = r.h->onControl("play", {{"deck", "2"}}, true); });
    EXPECT_EQ(answer["standalone"], true);
    EXPECT_TRUE(r.line("Deck 2: standalone 33\u2153", 0));
    std::this_thread::sleep_for(std::chrono::milliseconds(2500));
    double pos = 0;
    r.rig->onMain([&] { pos = r.h->deck(2).posSec; });
    EXPECT_GT(pos, 1.5) << "the deck's position rises";
    r.stop();
    EXPECT_NEAR(recordedRate(r.recording, RecordingHost::kFrames, RecordingHost::kRate, 1.5), 1.0, 0.02)
        << "track seconds per second";
}
