// The keys that move through a library pane, and the waveform zoom with the phone's mirror.
#include "library_rig.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cmath>
#include <thread>

namespace plindo::host {
namespace {

using testing::LibraryRig;

constexpr uint16_t kTab = 48, kSpace = 49, kLeft = 123, kRight = 124, kDown = 125, kUp = 126, kA = 0;

TEST(LibraryKeys, ArrowsSpaceAndTabMoveThroughThePane) {
    LibraryRig rig;
    for (const char* f : {"a.mp3", "b.mp3", "c.mp3", "Set/s.mp3", "Set/Deep/d.mp3"}) rig.audio(f);
    auto& host = rig.started();
    rig.onMain([&] { host.reloadLibrary(); });
    rig.settle();
    ASSERT_EQ(rig.pane(0).tracks.size(), 3u);

    // Track focus: down and up within the list, Space forward; the entry count of the view wins over the list.
    struct Step {
        uint16_t key;
        bool shift;
        bool used;
        int index;
    };
    const auto run = [&](std::initializer_list<Step> steps) {
        for (const auto& s : steps) {
            bool used = false;
            rig.onMain([&] { used = host.libraryCommand(s.key, s.shift); });
            EXPECT_EQ(used, s.used) << s.key;
            EXPECT_EQ(rig.pane(0).selectedTrackIdx, s.index) << s.key;
        }
    };
    run({{kDown, false, true, 1}, {kDown, false, true, 2}, {kDown, false, true, 2}, {kUp, false, true, 1},
         {kSpace, false, true, 2}, {kSpace, false, true, 2}, {kUp, false, true, 1}, {kUp, false, true, 0},
         {kUp, false, true, 0}, {kA, false, false, 0}});
    rig.onMain([&] { host.writeLibEntryCount(0, 2); });
    run({{kDown, false, true, 1}, {kDown, false, true, 1}});

    // Left and right load the focused track on deck 1 and deck 2. The path is read in the same turn of main
    // as the key: the load of a file without audio fails on its own thread and clears it on a later turn.
    const auto loads = [&](uint16_t key, int deck) {
        std::string path;
        rig.onMain([&] {
            EXPECT_TRUE(host.libraryCommand(key, false)) << key;
            path = host.players[deck - 1]->loadedPath;
        });
        EXPECT_EQ(rig.pane(0).selectedTrackIdx, 1) << key;
        return path;
    };
    rig.onMain([&] { host.writeLibFocusPath(0, (rig.files / "c.mp3").string()); });
    EXPECT_EQ(loads(kLeft, 1), (rig.files / "c.mp3").string());
    rig.onMain([&] { host.writeLibFocusPath(0, ""); });
    EXPECT_EQ(loads(kRight, 2), (rig.files / "b.mp3").string());
    // These files hold no audio: wait for both loads to give up before the rig goes.
    for (int i = 0; i < 1000; ++i) {
        bool ended = false;
        rig.onMain([&] { ended = host.players[0]->loadedPath.empty() && host.players[1]->loadedPath.empty(); });
        if (ended) break;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }

    // Tab gives the crates the keys; Space then does nothing. Crates move over the open rows below the root.
    run({{kTab, false, true, 1}, {kSpace, false, false, 1}});
    EXPECT_EQ(rig.pane(0).focus, LibFocus::crates);
    rig.onMain([&] { host.libraryCommand(kDown, false); });
    EXPECT_FALSE(rig.pane(0).selectedCrate);  // the root is closed: nothing to move to
    rig.onMain([&] { host.writeExpanded(0, {"Plindo"}); });

    const auto crateStep = [&](uint16_t key, bool shift, const char* selected) {
        rig.onMain([&] { EXPECT_TRUE(host.libraryCommand(key, shift)); });
        rig.settle();
        EXPECT_EQ(rig.pane(0).selectedCrate, selected) << key;
    };
    crateStep(kDown, false, "Plindo%%Files");
    EXPECT_EQ(rig.pane(0).status, "Crate Files: 3 tracks");
    crateStep(kRight, false, "Plindo%%Files");  // opens Files
    crateStep(kDown, false, "Plindo%%Files%%Set");
    crateStep(kRight, false, "Plindo%%Files%%Set");
    crateStep(kDown, false, "Plindo%%Files%%Set%%Deep");
    crateStep(kDown, false, "Plindo%%Serato");
    crateStep(kDown, false, "Plindo%%Serato");
    crateStep(kUp, false, "Plindo%%Files%%Set%%Deep");
    crateStep(kUp, false, "Plindo%%Files%%Set");
    crateStep(kUp, false, "Plindo%%Files");
    crateStep(kLeft, false, "Plindo%%Files");  // closes Files
    EXPECT_EQ(rig.pane(0).expanded, (std::set<std::string>{"Plindo", "Plindo%%Files%%Set"}));
    crateStep(kDown, false, "Plindo%%Serato");

    // With the tracks focused, Shift moves the crates instead.
    run({{kTab, false, true, rig.pane(0).selectedTrackIdx}});
    EXPECT_EQ(rig.pane(0).focus, LibFocus::tracks);
    crateStep(kUp, true, "Plindo%%Files");
}

TEST(LibraryKeys, ABridgedDeckSendsItsKeysToTheDJApplicationAndOtherKeysFlipToTheOtherPane) {
    LibraryRig rig;
    auto& host = rig.started();
    rig.onMain([&] { host.setSeratoDeck(1, true); });
    ASSERT_TRUE(host.isSeratoDeck(1));
    using Bytes = std::vector<std::vector<uint8_t>>;
    struct Case {
        uint16_t key;
        Bytes sent;
    };
    const Case cases[] = {
        {36, {{0x90, 101, 127}, {0x90, 101, 0}}}, {76, {{0x90, 101, 127}, {0x90, 101, 0}}},
        {kTab, {{0x90, 100, 127}, {0x90, 100, 0}}}, {kLeft, {{0x90, 103, 127}, {0x90, 103, 0}}},
        {kRight, {{0x90, 104, 127}, {0x90, 104, 0}}}, {kDown, {{0xB0, 0x64, 1}}}, {kUp, {{0xB0, 0x64, 127}}},
    };
    for (const auto& c : cases) {
        rig.midi.clearSent();
        bool used = false;
        rig.onMain([&] { used = host.libraryCommand(c.key, false); });
        EXPECT_TRUE(used) << c.key;
        Bytes got;
        for (const auto& s : rig.midi.sent()) got.push_back(s.bytes);
        EXPECT_EQ(got, c.sent) << c.key;
        EXPECT_EQ(host.activePane(), 0);
    }
    // Any other key goes to the pane of the deck the host plays.
    bool used = true;
    rig.onMain([&] { used = host.libraryCommand(kA, false); });
    EXPECT_FALSE(used);
    EXPECT_EQ(host.activePane(), 1);
    rig.onMain([&] {
        host.setActivePane(0);
        used = host.libraryCommand(kSpace, false);
    });
    EXPECT_TRUE(used);
    EXPECT_EQ(host.activePane(), 1);
    // With both decks bridged nothing is left to move through.
    rig.onMain([&] {
        host.setSeratoDeck(2, true);
        used = host.libraryCommand(kSpace, false);
    });
    EXPECT_FALSE(used);
}

TEST(LibraryKeys, AnEmptyPaneUsesTheArrowsWithoutMoving) {
    LibraryRig rig;
    auto& host = rig.make();
    bool used = false;
    rig.onMain([&] { used = host.libraryCommand(kDown, false); });
    EXPECT_TRUE(used);
    EXPECT_EQ(rig.pane(0).selectedTrackIdx, 0);
}

TEST(Zoom, RoundsClampsAndSendsAndPublishesOnlyChanges) {
    platform::FakeClock clock(5000);  // outlives the rig: the players read it
    LibraryRig rig;
    rig.clock = &clock;
    auto& host = rig.started();
    rig.bindPhone(1);
    rig.sink.take();
    std::atomic<int> published{0};
    QObject::connect(&host, &HostUi::zoomChanged, [&] { ++published; });

    struct Case {
        double asked;
        double step;
        bool sent;
    };
    const Case cases[] = {
        {0.2, 0, false},  // equals the local and the phone's step: nothing
        {-3.5, -4, true}, {-3.4, -3, true}, {-2.5, -3, true}, {-30, -23, true}, {7, 0, true},
        {std::nan(""), 0, false}, {-INFINITY, 0, false},
    };
    for (const auto& c : cases) {
        published = 0;
        rig.onMain([&] { host.setZoom(1, c.asked); });
        const auto sent = rig.sentTo("/orv/zoom");
        EXPECT_EQ(host.zoom(1), c.step) << c.asked;
        ASSERT_EQ(sent.size(), c.sent ? 1u : 0u) << c.asked;
        if (c.sent) EXPECT_EQ(sent[0].args[1].f, c.step);
        EXPECT_EQ(published, c.sent ? 1 : 0) << c.asked;
        clock.advance(2);
    }
    EXPECT_EQ(host.zoom(3), 0);
}

TEST(Zoom, ALocalChangeWinsForOneAndAHalfSecondsThenTheFreshPhoneMirrorShows) {
    platform::FakeClock clock(5000);  // outlives the rig: the players read it
    LibraryRig rig;
    rig.clock = &clock;
    auto& host = rig.make();
    const auto phoneSays = [&](double zoom, bool autoMode) {
        host.feeds->placeCell[0].update([&](PlaceRecord& r) {
            r.raw.zoom = zoom;
            r.raw.zoomAuto = autoMode;
            r.wall = clock.now();
        });
    };
    phoneSays(-10, false);
    EXPECT_EQ(host.zoom(1), -10);
    EXPECT_FALSE(host.zoomAuto(1));

    rig.onMain([&] {
        host.setZoom(1, -4);
        host.setZoomAuto(1, true);
    });
    phoneSays(-10, false);
    EXPECT_EQ(host.zoom(1), -4);
    EXPECT_TRUE(host.zoomAuto(1));
    clock.advance(1.4);
    phoneSays(-10, false);
    EXPECT_EQ(host.zoom(1), -4);
    clock.advance(0.2);
    EXPECT_EQ(host.zoom(1), -10);  // the record is 0.2 s old
    EXPECT_FALSE(host.zoomAuto(1));
    clock.advance(0.9);
    EXPECT_EQ(host.zoom(1), -4);  // 1.1 s old: the local step again
    EXPECT_TRUE(host.zoomAuto(1));
    // Deck 2 has its own step and mode.
    EXPECT_EQ(host.zoom(2), 0);
    EXPECT_TRUE(host.zoomAuto(2));
}

// A phone record whose zoom is not a number shows the local step, and a zoom key steps on from it.
TEST(Zoom, ANanStepInThePhonesRecordGivesTheLocalStepAndAKeyStillZooms) {
    platform::FakeClock clock(5000);  // outlives the rig: the players read it
    LibraryRig rig;
    rig.clock = &clock;
    auto& host = rig.started();
    rig.bindPhone(1);
    rig.onMain([&] { host.setZoom(1, -4); });
    clock.advance(2);  // the local change is no longer pending
    host.feeds->placeCell[0].update([&](PlaceRecord& r) {
        r.raw.zoom = std::nan("");
        r.wall = clock.now();
    });
    rig.sentTo("/orv/zoom");
    EXPECT_EQ(host.zoom(1), -4);

    rig.onMain([&] { host.setZoom(1, host.zoom(1) - 1.0); });  // what the zoom-in key does
    EXPECT_EQ(host.zoom(1), -5);
    const auto sent = rig.sentTo("/orv/zoom");
    ASSERT_EQ(sent.size(), 1u);
    EXPECT_EQ(sent[0].args[1].f, -5);
}

}  // namespace
}  // namespace plindo::host
