#include "serato/midi_bridge_client.h"

#include "midi_out_rig.h"

#include <gtest/gtest.h>

#include <mutex>

namespace plindo::serato {
namespace {

using testing::BridgeEnabled;
using testing::BridgePeer;
using testing::Bytes;
using testing::LogLines;

// Readback datagrams collected on the receive thread.
struct Readback {
    std::mutex m;
    std::vector<Bytes> got;
    MIDIBridgeClient::ReadbackHandler handler() {
        return [this](std::span<const uint8_t> b) {
            std::lock_guard g(m);
            got.emplace_back(b.begin(), b.end());
        };
    }
    std::vector<Bytes> waitFor(std::size_t n) {
        testing::waitUntil([&] { std::lock_guard g(m); return got.size() >= n; }, 2.0);
        std::lock_guard g(m);
        return got;
    }
};

TEST(MIDIBridgeClient, ProbeIsOffWhenDisabledAndSpacedFiveSecondsWhenSilent) {
    BridgePeer peer(Bytes{});  // never answers
    platform::FakeClock clock;
    MIDIBridgeClient client(peer.port(), clock);

    EXPECT_FALSE(client.probe());
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    EXPECT_EQ(peer.probes(), 0) << "disabled: nothing is sent";

    BridgeEnabled on(true);
    LogLines log("midi-bridge");
    EXPECT_FALSE(client.probe());
    EXPECT_EQ(peer.probes(), 1);
    EXPECT_EQ(log.count("PlindoMIDIBridge not answering on 127.0.0.1:" + std::to_string(peer.port()) + " — own endpoints"), 1);

    clock.advance(2.0);
    const auto t0 = std::chrono::steady_clock::now();
    EXPECT_FALSE(client.probe());
    EXPECT_LT(std::chrono::steady_clock::now() - t0, std::chrono::milliseconds(100)) << "held back, not waiting";
    EXPECT_EQ(peer.probes(), 1);

    clock.advance(3.5);
    EXPECT_FALSE(client.probe());
    EXPECT_EQ(peer.probes(), 2);
    EXPECT_FALSE(client.isUp());
}

TEST(MIDIBridgeClient, OnlyAWellFormedReplyBringsTheBridgeUp) {
    BridgeEnabled on(true);
    struct Case { Bytes reply; bool up; };
    const Case cases[] = {
        {{0x00, 'P', 'L', 'X'}, false},
        {{0x01, 'P', 'L', 'X', 3}, false},
        {{0x00, 'P', 'L', 'Y', 3}, false},
        {{0x00, 'P', 'L', 'X', 3, 9, 9}, true},
    };
    for (const auto& c : cases) {
        BridgePeer peer(c.reply);
        platform::FakeClock clock;
        MIDIBridgeClient client(peer.port(), clock);
        EXPECT_EQ(client.probe(), c.up) << c.reply.size();
        EXPECT_EQ(client.isUp(), c.up);
    }
}

TEST(MIDIBridgeClient, UpStaysUpWithoutTrafficAndCarriesMidiBothWays) {
    BridgeEnabled on(true);
    BridgePeer peer;
    platform::FakeClock clock;
    MIDIBridgeClient client(peer.port(), clock);
    LogLines log("midi-bridge");
    Readback rb;
    client.setOnReadback(rb.handler());

    EXPECT_FALSE(client.sendMidi(Bytes{0x90, 0x14, 0x7F})) << "nothing goes out before the bridge is up";
    ASSERT_TRUE(client.probe());
    EXPECT_EQ(log.count("PlindoMIDIBridge up (v3) — endpoints held by the helper"), 1);
    EXPECT_TRUE(client.probe());
    EXPECT_EQ(peer.probes(), 1);

    EXPECT_TRUE(client.sendMidi(Bytes{0x91, 0x06, 0x7F}));
    EXPECT_FALSE(client.sendMidi(Bytes{}));
    EXPECT_EQ(peer.waitFor(1), (std::vector<Bytes>{{0x01, 0x91, 0x06, 0x7F}}));

    // Ignored: a lone type byte, a late probe reply, an unknown type and an empty datagram (which must
    // not end the receiver either).
    peer.sendToClient({0x02});
    peer.sendToClient({0x00, 'P', 'L', 'X', 3});
    peer.sendToClient({0x07, 0x90, 0x01, 0x02});
    peer.sendToClient({});
    peer.sendToClient({0x02, 0x90, 0x14, 0x7F});
    EXPECT_EQ(rb.waitFor(1), (std::vector<Bytes>{{0x90, 0x14, 0x7F}}));
}

TEST(MIDIBridgeClient, RestartAsksToQuitReprobesAndResumesReadback) {
    BridgeEnabled on(true);
    {
        BridgePeer silent(Bytes{});
        platform::FakeClock clock;
        MIDIBridgeClient client(silent.port(), clock);
        const auto t0 = std::chrono::steady_clock::now();
        EXPECT_EQ(client.restart(), "Bridge antwortete nicht — LaunchAgent installiert? (tools/serato/bridge.sh --agent)");
        EXPECT_LT(std::chrono::steady_clock::now() - t0, std::chrono::milliseconds(200));
        EXPECT_TRUE(silent.received().empty());
    }

    BridgePeer peer;
    platform::FakeClock clock;
    MIDIBridgeClient client(peer.port(), clock);
    Readback rb;
    client.setOnReadback(rb.handler());
    ASSERT_TRUE(client.probe());

    EXPECT_EQ(client.restart(), "Bridge neu gestartet und erreichbar");
    EXPECT_EQ(peer.waitFor(1), (std::vector<Bytes>{{0x03}}));
    EXPECT_EQ(peer.probes(), 2);
    ASSERT_TRUE(client.isUp());

    // The new socket gets its own receiver, so readback keeps flowing after a restart.
    peer.sendToClient({0x02, 0xB0, 0x10, 0x40});
    EXPECT_EQ(rb.waitFor(1), (std::vector<Bytes>{{0xB0, 0x10, 0x40}}));

    peer.setReply({});
    EXPECT_EQ(client.restart(), "Bridge beendet — Neustart steht aus (LaunchAgent?)");
    EXPECT_FALSE(client.isUp());
}

}  // namespace
}  // namespace plindo::serato
