#include "library/serato_library.h"
#include "library_test_files.h"

#include <gtest/gtest.h>

using namespace plindo::library;
using namespace plindo::library::testfiles;

class Lookup : public ::testing::Test {
protected:
    TempDir dir;
    SeratoLibrary lib{dir.path};
    void database(const Bytes& b) { writeFile(dir.path / "database V2", b); }
};

TEST_F(Lookup, FindPathPasses) {
    database(concat({header(),
                     track({{"pfil", u"m/one.mp3"}, {"tsng", u"Intro"}, {"tart", u"Someone"}}),
                     track({{"pfil", u"m/two.mp3"}, {"tsng", u"Intro"}, {"tart", u"B\u00e9la"}}),
                     track({{"pfil", u"m/Very Long Title Cut Short.mp3"}, {"tsng", u""}})}));
    // Pass 1: case, accents and surrounding space do not matter.
    EXPECT_EQ(lib.findPath("  INTRO ", "bela\n"), "/m/two.mp3");
    // Pass 2: title alone, first in database order.
    EXPECT_EQ(lib.findPath("intro", "nobody"), "/m/one.mp3");
    // Pass 3: inside a file name.
    EXPECT_EQ(lib.findPath("long title", "x"), "/m/Very Long Title Cut Short.mp3");
    EXPECT_EQ(lib.findPath("absent", "x"), std::nullopt);
    EXPECT_EQ(lib.findPath(" \t", "a"), std::nullopt);  // an empty title finds nothing, not the first row
}

TEST_F(Lookup, MissRereadsTheDatabaseAndDropsTheTable) {
    database(concat({header(), track({{"pfil", u"m/a.mp3"}, {"tsng", u"A"}})}));
    lib.reloadIndex();
    ASSERT_TRUE(lib.indexLoaded());
    EXPECT_EQ(lib.findPath("A", ""), "/m/a.mp3");
    database(concat({header(), track({{"pfil", u"m/a.mp3"}, {"tsng", u"A"}}), track({{"pfil", u"m/b.mp3"}, {"tsng", u"New"}})}));
    EXPECT_EQ(lib.findPath("new", ""), "/m/b.mp3");  // found on the retry
    EXPECT_FALSE(lib.indexLoaded());
    EXPECT_EQ(lib.track("A", "", ""), std::nullopt);  // until the next reload
    lib.reloadIndex();
    ASSERT_TRUE(lib.track("A", "", "").has_value());
}

TEST_F(Lookup, ReloadBuildsRecordsOnlyWithPathAndTitle) {
    lib.reloadIndex();  // unreadable database: still not loaded
    EXPECT_FALSE(lib.indexLoaded());
    database(concat({header(), track({{"pfil", u"m/a.mp3"}}), track({{"tsng", u"No path"}})}));
    lib.reloadIndex();
    EXPECT_TRUE(lib.indexLoaded());  // empty but present
    EXPECT_EQ(lib.lookupMeta("No path", ""), std::nullopt);

    database(concat({header(), track({{"pfil", u"m/a.mp3"}, {"tsng", u"Song"}, {"tbpm", u"124.00"}, {"tkey", u"Am"},
                                      {"tlen", u"04:31.73"}, {"talb", u"LP"}})}));
    lib.reloadIndex();
    // Falls back to the title key.
    EXPECT_EQ(lib.lookupMeta("song", "unknown artist"),
              (SeratoLibrary::TrackMeta{"/m/a.mp3", "124.00", "Am", "4:31", "LP", 271, "Song", ""}));
}

TEST_F(Lookup, TrackScoring) {
    database(concat({header(),
                     track({{"pfil", u"m/1.mp3"}, {"tsng", u"Dup"}, {"tart", u"X"}, {"tlen", u"03:00.00"}, {"tkey", u"Am"}}),
                     track({{"pfil", u"m/2.mp3"}, {"tsng", u"Dup"}, {"tart", u"X"}, {"tlen", u"03:02.00"}, {"tkey", u"Cm"}}),
                     track({{"pfil", u"m/3.mp3"}, {"tsng", u"Dup"}, {"tart", u"X"}, {"tlen", u"03:05.00"}, {"tkey", u"Dm"}}),
                     track({{"pfil", u"m/solo.mp3"}, {"tsng", u"Solo"}, {"tart", u"Y"}})}));
    writeFile(dir.path / "Subcrates" / "Set%%Night.crate", record("otrk", record("ptrk", utf16(u"m/3.mp3"))));
    EXPECT_EQ(lib.track("Dup", "X", ""), std::nullopt);  // not loaded yet
    lib.reloadIndex();
    const struct {
        const char* crate;
        int64_t lenMs;
        const char* key;
        const char* want;
    } cases[] = {
        {"", 0, "", "/m/1.mp3"},             // tie: first in the database
        {"", 181500, "", "/m/2.mp3"},        // 1.5 s from 1, 0.5 s from 2
        {"", 179600, "", "/m/1.mp3"},        // 0.4 s from 1
        {"", 0, " cm ", "/m/2.mp3"},         // key, folded
        {"Night", 0, "", "/m/3.mp3"},        // crate found by its last part
        {"Missing", 0, "", "/m/1.mp3"},      // no crate, no bonus
        {"Night", 182000, "", "/m/2.mp3"},   // length outweighs the crate
        {"Night", 0, "Am", "/m/1.mp3"},      // key outweighs the crate
    };
    for (const auto& c : cases)
        EXPECT_EQ(lib.track("dup", " x", c.crate, c.lenMs, c.key).value_or(SeratoLibrary::TrackMeta{}).path, c.want)
            << c.crate << " " << c.lenMs << " " << c.key;
    ASSERT_TRUE(lib.track("solo", "other", "").has_value());  // through the title key
    EXPECT_EQ(lib.track("nothing", "", ""), std::nullopt);
}

TEST_F(Lookup, MatchBrowserRowCompletesCutPaths) {
    database(concat({header(),
                     track({{"pfil", u"Music/Caf\u00e9/one.mp3"}, {"tsng", u"One"}, {"tart", u"A"}}),
                     track({{"pfil", u"Music/Mix/a1.mp3"}, {"tsng", u"Same"}, {"tart", u"A"}}),
                     track({{"pfil", u"Music/Mix/a2.mp3"}, {"tsng", u"Same"}, {"tart", u"B"}}),
                     track({{"pfil", u"Music/Mix/other.mp3"}, {"tsng", u"Else"}, {"tart", u"B"}})}));
    EXPECT_EQ(lib.matchBrowserRow("/Music/Caf", "", ""), std::nullopt);  // not loaded
    lib.reloadIndex();
    EXPECT_EQ(lib.matchBrowserRow("/Music/Cafe\xCC\x81/o", "", ""), "/Music/Caf\xC3\xA9/one.mp3");
    EXPECT_EQ(lib.matchBrowserRow("/Music/Mix/a", "same", "b"), "/Music/Mix/a2.mp3");
    EXPECT_TRUE(lib.matchBrowserRow("/Music/Mix/a", "same", "").value_or("").starts_with("/Music/Mix/a"));
    // Several candidates and no title among them, no prefix, or no row under the prefix: nothing.
    for (auto [prefix, title] : {std::pair{"/Music/Mix/", ""}, {"/Music/Mix/", "nope"}, {"", "One"}, {"/Elsewhere", "One"}})
        EXPECT_EQ(lib.matchBrowserRow(prefix, title, "A"), std::nullopt) << prefix << " " << title;
}
