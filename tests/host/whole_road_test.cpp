// The whole road in one process: a phone on loopback says hello and streams a platter turning at 33 1/3 rpm;
// deck 1 plays a ramp track on the "file" device, and the recording shows the track advancing at 1.8 s per
// revolution. A deck bridged to the DJ application at start sends the phone's platter to the MIDI output
// until the control endpoint takes it off the bridge.
#include "host/host_state.h"
#include "host_rig.h"
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
#include <memory>
#include <numbers>
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
// Packets on the deck's MIDI channel sent after `since` (host ns).
size_t deckPackets(const platform::LoopbackMidiBackend& midi, int deck, int64_t since) {
    size_t n = 0;
    for (const auto& p : midi.sent()) {
        if (p.hostTimeNs > since && !p.bytes.empty() && p.bytes[0] >= 0x80 && (p.bytes[0] & 0x0F) == deck - 1) ++n;
    }
    return n;
}
}  // namespace

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
