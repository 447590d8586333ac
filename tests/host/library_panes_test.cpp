// The library panes: what a load shows, where each crate key's tracks come from, the crate race, the retry
// while the DJ application's library is empty, the linked sides and the view switch.
#include "library_rig.h"

#include <gtest/gtest.h>

#include <future>

namespace plindo::host {
namespace {

using testing::LibraryRig;

std::vector<std::string> trackNames(const LibPane& p) {
    std::vector<std::string> out;
    for (const auto& t : p.tracks) out.push_back(t.name);
    return out;
}

std::vector<std::string> childNames(const LibPane& p, const std::string& fullName) {
    std::vector<std::string> out;
    std::function<void(const std::vector<library::CrateNode>&)> find = [&](const auto& nodes) {
        for (const auto& n : nodes) {
            if (n.fullName == fullName && n.children) {
                for (const auto& c : *n.children) out.push_back(c.name);
            }
            if (n.children) find(*n.children);
        }
    };
    find(p.crateTree);
    return out;
}

TEST(LibraryPanes, LoadShowsFolderAndLibraryCountsInBothPanes) {
    LibraryRig rig;
    rig.manyTracks(1200);
    rig.crate("House", {u"m/t1.mp3"});
    rig.crate("House%%Deep", {u"m/t2.mp3"});
    auto& host = rig.make();
    EXPECT_EQ(host.activePaneStatus(), "Library: not loaded yet");

    rig.main.invokeSync([&] {
        host.reloadLibrary();
        EXPECT_EQ(rig.pane(0).status, "Library: loading \u2026");
    });
    rig.settle();
    const std::string empty = "Files empty \u2014 no audio files under " + rig.files.string() + " \u00b7 Serato: 1200 tracks";
    EXPECT_EQ(rig.pane(0).status, empty);
    EXPECT_EQ(rig.pane(1).status, empty);

    rig.audio("b.mp3");
    rig.audio("A.wav");
    rig.audio("Set/c.flac");
    rig.playlist("Lists/warm.m3u8", "../A.wav\n");
    rig.onMain([&] { host.reloadLibrary(); });
    rig.settle();
    for (int p = 0; p < 2; ++p) {
        EXPECT_EQ(rig.pane(p).status, "Files: 2 tracks \u00b7 Serato: 1200 tracks");
        EXPECT_EQ(trackNames(rig.pane(p)), (std::vector<std::string>{"A", "b"}));
        EXPECT_EQ(childNames(rig.pane(p), "Plindo"), (std::vector<std::string>{"Files", "Serato"}));
        EXPECT_EQ(childNames(rig.pane(p), "Plindo%%Files"), (std::vector<std::string>{"Playlists", "Set"}));
        EXPECT_EQ(childNames(rig.pane(p), "Plindo%%Serato%%House"), std::vector<std::string>{"Deep"});
    }
}

TEST(LibraryPanes, EachCrateKeyReadsItsSource) {
    LibraryRig rig;
    rig.database({{u"m/one.mp3", u"One"}, {u"m/two.mp3", u"Two"}, {u"m/three.mp3", u"Three"}});
    rig.crate("House", {u"m/one.mp3"});
    rig.crate("House%%Deep", {u"m/two.mp3", u"m/three.mp3"});
    rig.audio("top.mp3");
    rig.audio("Set/s1.mp3");
    rig.audio("Set/s2.mp3");
    rig.playlist("warm.m3u", "Set/s2.mp3\ntop.mp3\n");
    std::filesystem::create_directories(rig.temp.dir / "Elsewhere");
    rig.audio("../Elsewhere/private.mp3");
    auto& host = rig.make();

    struct Case {
        const char* key;
        std::vector<std::string> tracks;
        std::string status;
    };
    const Case cases[] = {
        {"Plindo%%Files", {"top"}, "Crate Files: 1 tracks"},
        {"Plindo%%Serato", {"one", "three", "two"}, "Crate Serato: 3 tracks"},
        {"Plindo%%Serato%%House", {"one"}, "Crate House: 1 tracks"},
        {"Plindo%%Serato%%House%%Deep", {"two", "three"}, "Crate Deep: 2 tracks"},
        {"Plindo%%Files%%Playlists%%warm", {"s2", "top"}, "Crate warm: 2 tracks"},
        {"Plindo%%Files%%Set", {"s1", "s2"}, "Crate Set: 2 tracks"},
        {"Plindo%%Files%%..%%Elsewhere", {}, "Crate Elsewhere: empty / not readable"},
        {"Plindo%%Files%%Set%%..%%..%%Elsewhere", {}, "Crate Elsewhere: empty / not readable"},
        {"Plindo%%Serato%%..%%secret", {}, "Crate secret: empty / not readable"},
        {"Foo", {}, "Crate Foo: empty / not readable"},
    };
    for (const auto& c : cases) {
        rig.main.invokeSync([&] {
            host.selectCrate(c.key, 1, false);
            EXPECT_EQ(rig.pane(1).status, "Crate loading \u2026") << c.key;
        });
        rig.settle();
        EXPECT_EQ(trackNames(rig.pane(1)), c.tracks) << c.key;
        EXPECT_EQ(rig.pane(1).status, c.status) << c.key;
        EXPECT_EQ(rig.pane(1).selectedCrate, c.key);
        EXPECT_EQ(host.activePane(), 1);
    }
    // The root loads the library again into that pane alone.
    rig.onMain([&] { host.selectCrate("Plindo", 1, false); });
    rig.settle();
    EXPECT_EQ(rig.pane(1).status, "Files: 1 tracks \u00b7 Serato: 3 tracks");
    EXPECT_FALSE(rig.pane(1).selectedCrate);
    EXPECT_EQ(rig.pane(0).status, "Library: not loaded yet");
}

TEST(LibraryPanes, OnlyTheCrateStillSelectedWritesItsTracks) {
    LibraryRig rig;
    rig.database({{u"m/a.mp3", u"A"}, {u"m/b.mp3", u"B"}});
    rig.crate("First", {u"m/a.mp3"});
    rig.crate("Second", {u"m/b.mp3"});
    auto& host = rig.make();

    // The reader is held until both crates were chosen.
    auto gate = [&] {
        auto open = std::make_shared<std::promise<void>>();
        host.libraryQueue().post([f = open->get_future().share()] { f.wait(); });
        return open;
    };
    auto open = gate();
    rig.onMain([&] {
        host.selectCrate("Plindo%%Serato%%First", 0, false);
        host.selectCrate("Plindo%%Serato%%Second", 0, false);
    });
    open->set_value();
    rig.settle();
    EXPECT_EQ(trackNames(rig.pane(0)), std::vector<std::string>{"b"});
    EXPECT_EQ(rig.pane(0).status, "Crate Second: 1 tracks");

    // A crate whose load a library reload overtook neither shows its tracks nor takes the keyboard.
    open = gate();
    rig.onMain([&] {
        host.setActivePane(0);
        host.selectCrate("Plindo%%Serato%%First", 1, false);
        host.reloadLibrary();
    });
    open->set_value();
    rig.settle();
    EXPECT_EQ(host.activePane(), 0);
    EXPECT_TRUE(rig.pane(1).tracks.empty());
    EXPECT_EQ(rig.pane(1).status, "Files empty \u2014 no audio files under " + rig.files.string() + " \u00b7 Serato: 2 tracks");
}

TEST(LibraryPanes, RetriesThirteenTimesWhileTheLibraryIsEmptyKeepingAChosenCrate) {
    LibraryRig rig;
    rig.audio("Set/s.mp3");
    rig.audio("f0.mp3");
    auto& host = rig.make();
    rig.onMain([&] { host.reloadLibrary(); });
    rig.settle();
    // Pane 1 is a copy from the first pass on.
    EXPECT_EQ(rig.pane(1).status, "Files: 1 tracks");
    EXPECT_EQ(trackNames(rig.pane(1)), std::vector<std::string>{"f0"});

    rig.onMain([&] { host.selectCrate("Plindo%%Files%%Set", 0, false); });
    rig.settle();
    ASSERT_EQ(trackNames(rig.pane(0)), std::vector<std::string>{"s"});

    // Every pass shows what it found: one file more each time, twelve passes after the first.
    for (int pass = 1; pass <= 12; ++pass) {
        rig.audio("f" + std::to_string(pass) + ".mp3");
        rig.advance(5.0);
        const std::string status = "Files: " + std::to_string(pass + 1) + " tracks";
        EXPECT_EQ(rig.pane(1).status, status) << pass;
        EXPECT_EQ(rig.pane(1).tracks.size(), static_cast<size_t>(pass + 1)) << pass;
        // The chosen crate stays chosen with its tracks and its status; only the tree follows the pass.
        EXPECT_EQ(rig.pane(0).selectedCrate, "Plindo%%Files%%Set") << pass;
        EXPECT_EQ(trackNames(rig.pane(0)), std::vector<std::string>{"s"}) << pass;
        EXPECT_EQ(rig.pane(0).status, "Crate Set: 1 tracks") << pass;
    }
    rig.audio("late.mp3");
    rig.advance(60.0);
    EXPECT_EQ(rig.pane(1).tracks.size(), 13u);

    // Once the DJ application's library has tracks, the chain ends.
    rig.onMain([&] { host.reloadLibrary(); });
    rig.settle();
    rig.database({{u"m/a.mp3", u"A"}});
    rig.advance(5.0);
    EXPECT_EQ(rig.pane(1).status, "Files: 14 tracks \u00b7 Serato: 1 tracks");
    rig.audio("later.mp3");
    rig.advance(60.0);
    EXPECT_EQ(rig.pane(1).tracks.size(), 14u);
}

TEST(LibraryPanes, LinkedSidesCopyThePaneMovedLast) {
    LibraryRig rig;
    rig.audio("Set/s.mp3");
    rig.audio("top.mp3");
    auto& host = rig.make();
    rig.onMain([&] {
        host.reloadLibrary();
        host.setActivePane(1);
    });
    rig.settle();
    rig.onMain([&] { host.selectCrate("Plindo%%Files%%Set", 1, false); });
    rig.settle();
    EXPECT_EQ(trackNames(rig.pane(0)), std::vector<std::string>{"top"});  // sides apart: pane 0 untouched

    rig.onMain([&] { host.setLibSync(true); });
    EXPECT_EQ(rig.pane(0), rig.pane(1));
    rig.onMain([&] { host.selectCrate("Plindo%%Files", 0, true); });  // the active pane is 1
    rig.settle();
    EXPECT_EQ(rig.pane(0), rig.pane(1));
    EXPECT_EQ(rig.pane(0).status, "Crate Files: 1 tracks");
    EXPECT_EQ(rig.pane(0).selectedCrate, "Plindo%%Files");

    rig.onMain([&] {
        host.setLibSync(false);
        host.setLibFocus(false);
    });
    EXPECT_EQ(rig.pane(1).focus, LibFocus::crates);
    EXPECT_EQ(rig.pane(0).focus, LibFocus::tracks);
}

TEST(LibraryPanes, DynamoViewSwitchesBackAndTellsThePhone) {
    LibraryRig rig;
    auto& host = rig.started();
    rig.bindPhone(2);
    rig.sink.take();
    rig.onMain([&] {
        host.writePaneView(1, "liste");
        host.toggleDeckView(2, true, false);
    });
    EXPECT_EQ(rig.pane(1).view, "dynamo");
    auto gates = rig.sentTo("/orv/dyn/gate");
    ASSERT_EQ(gates.size(), 1u);
    EXPECT_EQ(gates[0].args[0].i, 2);
    rig.onMain([&] { host.toggleDeckView(2, false, true); });
    EXPECT_EQ(rig.pane(1).view, "liste");

    rig.onMain([&] {
        host.toggleDeckView(1, true, false);
        host.toggleDeckView(2, true, false);
        host.setDynamoUnlocked(true);
        host.setDynamoUnlocked(false);
        host.toggleDeckView(3, true, false);
    });
    EXPECT_EQ(rig.pane(0).view, "kiste");
    EXPECT_EQ(rig.pane(1).view, "liste");
    EXPECT_FALSE(host.dynamoUnlocked());
}

TEST(LibraryPanes, ChosenFolderIsStoredReloadedAndServed) {
    LibraryRig rig;
    rig.audio("Other/x.mp3");
    rig.audio("Other/Sub/y.mp3");
    auto& host = rig.make();
    const std::string other = (rig.files / "Other").string();
    rig.onMain([&] { host.setLibraryFolder(other); });
    rig.settle();
    EXPECT_EQ(rig.settings.stringValue("orv.libraryFolder"), other);
    EXPECT_EQ(rig.pane(0).status, "Files: 1 tracks");
    EXPECT_EQ(host.folderCrates(), std::vector<std::string>{"Sub"});
    ASSERT_EQ(host.folderCrateTracks("Sub").size(), 1u);
    EXPECT_EQ(host.folderCrateTracks("Sub")[0].name, "y");

    // A folder typed into the settings reaches the track server without a reload.
    host.config().setLibraryFolderPath(rig.files.string());
    EXPECT_EQ(host.folderCrates(), (std::vector<std::string>{"Other", "Other%%Sub"}));
}

}  // namespace
}  // namespace plindo::host
