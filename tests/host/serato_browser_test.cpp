// The DJ application's library browser on the phones: what each event changes, the debounced push, the row
// completion and its warming, and the browser commands sent back over MIDI.
#include "library_rig.h"

#include <gtest/gtest.h>

#include <future>

namespace plindo::host {
namespace {

namespace lib = serato::RaneLibraryDecoder;
using testing::LibraryRig;

// A started controller with deck 1's phone bound and its emitter on.
struct BrowserRig : LibraryRig {
    HostState& host;
    BrowserRig() : host(started()) {
        bindPhone(1);
        host.seratoOut->setActive(1, true);
        settle();
        sink.take();
    }
    void events(std::initializer_list<lib::Event> list) {
        onMain([&] {
            for (const auto& e : list) host.applySeratoBrowserEvent(e);
        });
    }
    // The pushes of one debounce step.
    std::vector<link::OSCMessage> pushes() {
        advance(0.015);
        return sentTo("/orv/serbrowser");
    }
};

size_t rowsOf(const link::OSCMessage& m) { return (m.args.size() - 3) / 6; }
std::string field(const link::OSCMessage& m, size_t row, size_t f) { return m.args[3 + row * 6 + f].s; }

TEST(SeratoBrowser, EachEventChangesItsPartAndOutOfRangeOnesAreDropped) {
    BrowserRig rig;
    auto& h = rig.host;
    rig.events({lib::Row{3, "Three", "Artist"}, lib::Crate{"House"}, lib::Cursor{4, 0, 0}, lib::RowExtra{3, 200000, "8A"},
                lib::CrateRow{2, 1, "Techno"}});
    EXPECT_EQ(h.seratoBrowser[3], (std::pair<std::string, std::string>{"Three", "Artist"}));
    EXPECT_EQ(h.seratoRowsSeen, 7);
    EXPECT_EQ(h.seratoBrowserCrate, "House");
    EXPECT_EQ(h.seratoBrowserCursor, 4);
    EXPECT_EQ(h.seratoRowExtra.at(3), (std::pair<int64_t, std::string>{200000, "8A"}));
    ASSERT_EQ(h.seratoCrateRows.size(), 3u);
    EXPECT_EQ(h.seratoCrateRows[2], (std::pair<int, std::string>{1, "Techno"}));
    EXPECT_FALSE(h.seratoFocusCrates);

    rig.events({lib::CrateCursor{5, 0, 0}});
    EXPECT_TRUE(h.seratoFocusCrates);
    EXPECT_EQ(h.seratoCrateCursor, 5);
    rig.events({lib::Row{15, "Last", ""}});
    EXPECT_EQ(h.seratoRowsSeen, 16);

    const auto rev = h.seratoBrowserRev();
    rig.events({lib::Row{16, "x", ""}, lib::Cursor{16, 0, 0}, lib::CrateRow{8, 0, "x"}, lib::CrateCursor{8, 0, 0},
                lib::RowExtra{16, 1, "x"}, lib::Row{-1, "x", ""}});
    EXPECT_EQ(h.seratoBrowserRev(), rev);
    EXPECT_TRUE(h.seratoFocusCrates);
    EXPECT_EQ(h.seratoCrateRows.size(), 3u);

    // The screen tap reports on its own thread; the events reach main the same way.
    h.seratoTap->onLibCursor(2, 0, 0);
    h.seratoTap->onLibRow(0, "Zero", "Z");
    h.seratoTap->onLibCrate("Deep");
    rig.settle();
    EXPECT_FALSE(h.seratoFocusCrates);
    EXPECT_EQ(h.seratoBrowserCursor, 2);
    EXPECT_EQ(h.seratoBrowser[0].first, "Zero");
    EXPECT_EQ(h.seratoBrowserCrate, "Deep");
}

TEST(SeratoBrowser, ABurstBecomesOnePushFifteenMillisecondsAfterItsLastChange) {
    BrowserRig rig;
    const auto rev = rig.host.seratoBrowserRev();
    for (int i = 0; i < 10; ++i) {
        rig.events({lib::Row{i % 16, "Title " + std::to_string(i), "A"}});
        rig.advance(0.001);
    }
    EXPECT_EQ(rig.host.seratoBrowserRev(), rev + 10);
    rig.advance(0.013);
    EXPECT_TRUE(rig.sentTo("/orv/serbrowser").empty());
    const auto sent = rig.pushes();
    ASSERT_EQ(sent.size(), 1u);
    EXPECT_EQ(sent[0].args[0].i, 1);
    EXPECT_EQ(field(sent[0], 9, 0), "Title 9");
    EXPECT_TRUE(rig.pushes().empty());
}

TEST(SeratoBrowser, CrateFocusClampsTheCursorAndTrackRowsFollowWhatTheScreenShowed) {
    BrowserRig rig;
    auto& h = rig.host;
    rig.onMain([&] {
        h.seratoBrowserCrate = "House";
        h.seratoCrateRows = {{0, "A"}, {0, "B"}};
        h.seratoCrateCursor = 9;
        h.seratoFocusCrates = true;
        h.scheduleSeratoBrowserPush();
    });
    auto sent = rig.pushes();
    ASSERT_EQ(sent.size(), 1u);
    EXPECT_EQ(sent[0].args[1].s, "\U0001F4C1 House");
    EXPECT_EQ(sent[0].args[2].i, 7);
    EXPECT_EQ(field(sent[0], 1, 0), "B");
    EXPECT_EQ(h.seratoBrowserRows(), (SeratoBrowserSnapshot{"\U0001F4C1 House", 7, true, {{"A", ""}, {"B", ""}}}));

    struct Case {
        int seen;
        size_t rows;
    };
    for (const auto c : {Case{5, 7}, Case{12, 12}, Case{16, 16}}) {
        rig.onMain([&] {
            h.seratoFocusCrates = false;
            h.seratoBrowserCursor = 12;
            h.seratoRowsSeen = c.seen;
            h.scheduleSeratoBrowserPush();
        });
        sent = rig.pushes();
        ASSERT_EQ(sent.size(), 1u);
        EXPECT_EQ(rowsOf(sent[0]), c.rows) << c.seen;
        EXPECT_EQ(h.seratoBrowserRows().rows.size(), c.rows) << c.seen;
        EXPECT_EQ(sent[0].args[1].s, "House");
        EXPECT_EQ(sent[0].args[2].i, 12);
    }
}

TEST(SeratoBrowser, RowsAreCompletedFromTheLibraryOnceItsIndexIsWarm) {
    BrowserRig rig;
    auto& h = rig.host;
    rig.database({{u"m/one.mp3", u"One", u"Artist", u"124.00", u"8A", u"04:31.00"}});
    // The reader is held so that both pushes happen while the first warming runs.
    auto open = std::make_shared<std::promise<void>>();
    h.libraryQueue().post([f = open->get_future().share()] { f.wait(); });
    rig.events({lib::Row{0, "One", "Artist"}, lib::Row{1, "", "no title"}, lib::Row{2, "Unknown", "X"}});
    rig.main.advanceTimers(0.015);
    auto sent = rig.sentTo("/orv/serbrowser");
    rig.onMain([&] { h.pushSeratoBrowser(); });
    sent.push_back(rig.sentTo("/orv/serbrowser").at(0));
    EXPECT_TRUE(h.seratoMetaWarming);
    for (const auto& m : sent) EXPECT_EQ(field(m, 0, 5), "");  // nothing to look up with yet
    const auto rev = h.seratoBrowserRev();
    open->set_value();
    rig.settle();
    EXPECT_FALSE(h.seratoMetaWarming);
    EXPECT_EQ(h.seratoBrowserRev(), rev + 1);  // one warming, one push after it

    sent = rig.pushes();
    ASSERT_EQ(sent.size(), 1u);
    EXPECT_EQ(field(sent[0], 0, 0), "One");
    EXPECT_EQ(field(sent[0], 0, 2), "124.00");
    EXPECT_EQ(field(sent[0], 0, 3), "8A");
    EXPECT_EQ(field(sent[0], 0, 4), "4:31");
    EXPECT_EQ(field(sent[0], 0, 5), "/m/one.mp3");
    EXPECT_EQ(field(sent[0], 1, 1), "no title");
    EXPECT_EQ(field(sent[0], 1, 5), "");
    EXPECT_EQ(field(sent[0], 2, 5), "");
}

TEST(SeratoBrowser, WithoutABridgedDeckNothingIsSentButTheWarmingStarts) {
    LibraryRig rig;
    auto& h = rig.started();
    rig.bindPhone(1);
    rig.sink.take();
    rig.main.invokeSync([&] {
        h.pushSeratoBrowser();
        EXPECT_TRUE(h.seratoMetaWarming);
    });
    EXPECT_TRUE(rig.sentTo("/orv/serbrowser").empty());
    // No library: the warming ends without a push, and the next push tries again.
    const auto rev = h.seratoBrowserRev();
    rig.settle();
    EXPECT_FALSE(h.seratoMetaWarming);
    EXPECT_EQ(h.seratoBrowserRev(), rev);
    rig.main.invokeSync([&] {
        h.pushSeratoBrowser();
        EXPECT_TRUE(h.seratoMetaWarming);
    });
}

TEST(SeratoBrowser, CommandsScrollPressAndTapOverMidi) {
    BrowserRig rig;
    auto& h = rig.host;
    rig.onMain([&] { h.seratoBrowserCursor = 3; });
    using Bytes = std::vector<std::vector<uint8_t>>;
    struct Case {
        int deck;
        const char* command;
        int count;
        Bytes sent;
    };
    const Case cases[] = {
        {1, "down", 37, {{0xB0, 0x64, 32}, {0xB0, 0x64, 4}, {0xB0, 0x64, 1}}},
        {1, "up", 0, {{0xB0, 0x64, 127}}},
        {1, "up", 3, {{0xB0, 0x64, 126}, {0xB0, 0x64, 127}}},
        {1, "left", 0, {{0x90, 103, 127}, {0x90, 103, 0}}},
        {2, "load", 0, {{0x90, 102, 127}, {0x90, 102, 0}}},
        {1, "tap", 5, {{0xB0, 0x64, 2}}},
        {1, "tap", 1, {{0xB0, 0x64, 126}}},
        {1, "tap", 3, {}},
        {1, "tap", 16, {}},
        {1, "tap", -1, {}},
        {1, "sync", 1, {}},
        {3, "down", 1, {}},
    };
    for (const auto& c : cases) {
        rig.midi.clearSent();
        rig.onMain([&] { h.seratoLibraryCommand(c.deck, c.command, c.count); });
        Bytes got;
        for (const auto& s : rig.midi.sent()) got.push_back(s.bytes);
        EXPECT_EQ(got, c.sent) << c.command << " " << c.count;
    }
    EXPECT_EQ(h.statusLine(), "Serato: Load auf Deck 2");
    // In the crate column the crate cursor is where a tap starts.
    rig.midi.clearSent();
    rig.onMain([&] {
        h.seratoFocusCrates = true;
        h.seratoCrateCursor = 6;
        h.seratoLibraryCommand(1, "tap", 4);
    });
    ASSERT_EQ(rig.midi.sent().size(), 1u);
    EXPECT_EQ(rig.midi.sent()[0].bytes, (std::vector<uint8_t>{0xB0, 0x64, 126}));
}

}  // namespace
}  // namespace plindo::host
