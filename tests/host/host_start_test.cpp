// The controller's start: its order, its conditions and what a second start does.
#include "host_rig.h"

#include <gtest/gtest.h>

#include <atomic>

namespace plindo::host {
namespace {

using testing::HostRig;

TEST(HostStart, RunsTheServicesInOrderAndEndsInMain) {
    HostRig rig;
    auto& host = rig.started();
    const std::vector<std::string> expected{"library", "players",  "callbacks", "pump",    "server",
                                            "trackServer", "tap", "selfTests", "seratoIn", "seratoOut",
                                            "restore", "main",    "uiTimer"};
    EXPECT_EQ(rig.stepsSoFar(), expected);
    EXPECT_EQ(host.phase(), HostState::Phase::main);
    EXPECT_EQ(host.players.size(), 2u);
    EXPECT_NE(host.feeds->playerOf(1), nullptr);
    EXPECT_TRUE(host.server->running());
    EXPECT_GT(host.fileServer->boundPort(), 0);
    // The window's metadata and covers are asked where the server really listens.
    EXPECT_EQ(host.config().tagsURL("/a.mp3").value_or("").rfind(
                  "http://127.0.0.1:" + std::to_string(host.fileServer->boundPort()) + "/tags?", 0),
              0u);
    EXPECT_TRUE(host.seratoIn->running());
    EXPECT_TRUE(host.seratoOut->portsUp());
    EXPECT_EQ(host.midiBackendName(), "loopback");
    // Both MIDI ports exist on the given backend: the input's destination and the output's source.
    int sources = 0, destinations = 0;
    for (const auto& e : rig.midi.endpoints()) {
        sources += e.isSource && e.name == "Plindo MIDI Bridge";
        destinations += e.isDestination && e.name == "Plindo MIDI Bridge";
    }
    EXPECT_EQ(sources, 1);
    EXPECT_EQ(destinations, 1);
    EXPECT_EQ(rig.settings.stringValue("orv.hostTarget"), "orv");
}

TEST(HostStart, WaitsForBothDevicesThenStartsOnceAndLaterOnlyReloads) {
    HostRig rig;
    auto& host = rig.make();
    // A remembered device that is gone: deck 1 has no output, nothing starts.
    rig.onMain([&] {
        host.writeSelectedUID(0, "gone-card");
        host.start();
    });
    EXPECT_TRUE(rig.stepsSoFar().empty());
    EXPECT_EQ(host.phase(), HostState::Phase::start);
    EXPECT_TRUE(host.players.empty());
    EXPECT_EQ(host.feeds->playerOf(1), nullptr);

    rig.onMain([&] {
        host.writeSelectedUID(0, "file");
        host.start();
    });
    const auto once = rig.stepsSoFar();
    ASSERT_FALSE(once.empty());
    EXPECT_EQ(once.back(), "uiTimer");

    // In main a start only keeps the key and reloads the devices.
    rig.settings.setValue("orv.hostTarget", "other");
    const int reloads = rig.deviceReloads;
    const auto player = host.feeds->playerOf(1);
    rig.onMain([&] { host.start(); });
    EXPECT_EQ(rig.stepsSoFar(), once);
    EXPECT_EQ(rig.settings.stringValue("orv.hostTarget"), "orv");
    EXPECT_EQ(rig.deviceReloads, reloads + 1);
    EXPECT_EQ(host.feeds->playerOf(1), player);
}

TEST(HostStart, WithoutASequencerRunsOnAnInProcessLoopback) {
    HostRig rig;
    rig.midi.setAvailable(false);
    auto& host = rig.make();
    EXPECT_NE(host.statusLine().find("in-process loopback"), std::string::npos);
    rig.onMain([&] { host.start(); });
    EXPECT_EQ(host.midiBackendName(), "loopback");
    EXPECT_NE(&host.midi(), &rig.midi);
    EXPECT_TRUE(host.seratoOut->portsUp());
    rig.onMain([&] { host.onControl("note", {{"note", "20"}}, true); });
    EXPECT_EQ(host.onControl("midilog", {}, true)["count"], 2);
}

TEST(HostStart, ManyOutputChangesInOneTurnSignalOncePerProperty) {
    HostRig rig;
    rig.cards = {{.index = 0, .hostApi = "ALSA", .name = "Card", .outputChannels = 8}};
    auto& host = rig.started();
    std::atomic<int> chan{0}, uid{0};
    QObject::connect(&host, &HostUi::selectedChanChanged, [&] { ++chan; });
    QObject::connect(&host, &HostUi::selectedUIDChanged, [&] { ++uid; });
    rig.onMain([&] {
        for (int i = 0; i < 20; ++i) {
            host.writeSelectedChan(0, i % 7);
            host.writeSelectedUID(0, i % 2 ? "file" : "null");
            host.applyOutput(1);
        }
    });
    EXPECT_EQ(chan, 1);
    EXPECT_EQ(uid, 1);
}

TEST(HostStart, TerminateStopsTheTrackServerAndTheOutputAndIsIdempotent) {
    HostRig rig;
    auto& host = rig.started();
    ASSERT_TRUE(host.fileServer->running());
    rig.onMain([&] {
        host.terminate();
        host.terminate();
    });
    EXPECT_FALSE(host.fileServer->running());
    EXPECT_FALSE(host.seratoOut->portsUp());
    // A start after the end starts nothing again.
    rig.onMain([&] { host.start(); });
    EXPECT_EQ(rig.stepsSoFar().back(), "uiTimer");
}

}  // namespace
}  // namespace plindo::host
