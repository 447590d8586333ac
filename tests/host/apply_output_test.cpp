// Moving a deck to another output: the clamped channel pair, what is stored and shown, the track and
// position carried over, and frames that keep arriving while the players are replaced.
#include "host_rig.h"

#include <gtest/gtest.h>

#include <atomic>
#include <thread>

namespace plindo::host {
namespace {

using link::testing::D;
using link::testing::I;
using link::testing::S;
using testing::HostRig;

std::string uidOf(const HostState& host, const std::string& name) {
    for (const auto& d : host.devices()) {
        if (d.name == name) return d.uid;
    }
    return {};
}

struct OutputRig : HostRig {
    OutputRig() {
        cards = {{.index = 0, .hostApi = "ALSA", .name = "Card", .outputChannels = 8},
                 {.index = 1, .hostApi = "ALSA", .name = "Small", .outputChannels = 2}};
    }
};

TEST(ApplyOutput, ClampsTheChannelPairStoresItAndSaysWhere) {
    struct Case {
        const char* device;
        int requested;
        int start;
        const char* status;
    };
    const Case cases[] = {
        {"Card", 7, 6, "Deck 1: Ausgang \u2192 Card (7\u20138)"},
        {"Card", 2, 2, "Deck 1: Ausgang \u2192 Card (3\u20134)"},
        {"Card", -3, 0, "Deck 1: Ausgang \u2192 Card (1\u20132)"},
        {"Small", 5, 0, "Deck 1: Ausgang \u2192 Small (1\u20132)"},
    };
    OutputRig rig;
    auto& host = rig.started();
    for (const auto& c : cases) {
        const std::string uid = uidOf(host, c.device);
        rig.onMain([&] {
            host.writeSelectedUID(0, uid);
            host.writeSelectedChan(0, c.requested);
            host.applyOutput(1);
            // Checked in the same turn: the made-up cards' players report their own failure later.
            EXPECT_EQ(host.statusLine(), c.status) << c.device << " " << c.requested;
        });
        EXPECT_EQ(host.selectedChan()[0], c.start);
        EXPECT_EQ(rig.settings.intValue("orv.devChan.1"), c.start);
        EXPECT_EQ(host.config().deviceUID(1), uid);
    }
    // No such deck, or no such device: nothing changes.
    rig.onMain([&] {
        const auto before = host.statusLine();
        host.applyOutput(0);
        host.applyOutput(3);
        host.writeSelectedUID(1, "gone");
        host.applyOutput(2);
        EXPECT_EQ(host.statusLine(), before);
    });
    EXPECT_FALSE(rig.settings.intValue("orv.devChan.2").has_value());
}

// A remembered pair the device does not have is not used at start: the start comes back inside the device.
TEST(ApplyOutput, AStoredPairBeyondTheDevicesChannelsIsPulledInAtStart) {
    struct Case {
        const char* device;
        int stored;
        int start;
    };
    const Case cases[] = {{"Small", 4, 0}, {"Card", 10, 6}, {"Card", -2, 0}, {"Card", 4, 4}};
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.device) + " " + std::to_string(c.stored));
        OutputRig rig;
        rig.settings.setValue("orv.devUID.1", std::string("ALSA:") + c.device);
        rig.settings.setValue("orv.devChan.1", c.stored);
        auto& host = rig.started();
        ASSERT_EQ(host.selectedUID()[0], std::string("ALSA:") + c.device);
        EXPECT_EQ(host.selectedChan()[0], c.start);
        ASSERT_EQ(host.players.size(), 2u);
        EXPECT_EQ(host.players[0]->out->channelStart, c.start);
    }
}

TEST(ApplyOutput, ReplacesThePlayerAndCarriesTrackAndPosition) {
    OutputRig rig;
    auto& host = rig.started();
    struct Case {
        double pos;
        double carried;
    };
    for (const auto c : {Case{12.5, 12.5}, Case{-3.0, 0.0}}) {
        rig.onMain([&] {
            auto old = host.players[0];
            old->loadedPath = "/music/a.wav";
            old->posCell.setValue(c.pos);
            host.writeSelectedUID(0, uidOf(host, "Card"));
            host.applyOutput(1);
            // Read in the same main turn: the new player's load has not come back yet.
            const auto now = host.players[0];
            ASSERT_NE(now, old);
            EXPECT_EQ(host.feeds->playerOf(1), now);
            EXPECT_EQ(now->loadedPath, "/music/a.wav");
            EXPECT_EQ(now->seek.cell.read(), c.carried);
            EXPECT_FALSE(old->out->running());
        });
    }
    // Before the services start there is no player to replace; the choice is still stored.
    OutputRig idle;
    auto& cold = idle.make();
    idle.onMain([&] {
        cold.writeSelectedUID(0, uidOf(cold, "Card"));
        cold.applyOutput(1);
    });
    EXPECT_TRUE(cold.players.empty());
    EXPECT_EQ(cold.config().deviceUID(1), uidOf(cold, "Card"));
}

TEST(ApplyOutput, FramesArrivingWhilePlayersAreReplacedReachALivePlayer) {
    OutputRig rig;
    auto& host = rig.started();
    const auto phone = link::testing::phone(1);
    const auto datagram = [](std::string_view address, std::vector<link::OSCValue> args) {
        return link::OSCMessage::encode(address, args);
    };
    const auto hello = datagram("/orv/hello", {I(1), S("Phone"), I(0), S("remote"), I(1), S("1215"), S("")});
    host.server->handleDatagram(hello.data(), hello.size(), phone, platform::systemClock().now());

    std::atomic<bool> stop{false};
    std::atomic<int> sent{0};
    std::thread frames([&] {
        double ts = 0;
        while (!stop.load()) {
            ts += 0.01;
            const auto f = datagram("/orv/frame", {I(1), S(""), D(0), D(1), D(-ts), D(ts)});
            host.server->handleDatagram(f.data(), f.size(), phone, platform::systemClock().now());
            ++sent;
        }
    });
    const std::string card = uidOf(host, "Card");
    for (int i = 0; i < 100; ++i) {
        rig.onMain([&] {
            host.writeSelectedUID(0, i % 2 ? card : std::string("null"));
            host.applyOutput(1);
        });
    }
    while (sent.load() < 200) std::this_thread::yield();
    stop = true;
    frames.join();
    rig.onMain([&] { host.uiTick(); });
    EXPECT_TRUE(host.feeds->playerOf(1)->anchor.cell.read().valid);
}

}  // namespace
}  // namespace plindo::host
