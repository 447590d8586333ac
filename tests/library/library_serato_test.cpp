#include "library/serato_library.h"
#include "library/serato_library_records.h"
#include "library_test_files.h"

#include <gtest/gtest.h>

using namespace plindo::library;
using namespace plindo::library::testfiles;
namespace rec = plindo::library::serato_records;

TEST(LibraryRecords, TextDecoding) {
    const struct {
        Bytes payload;
        std::string text;
    } cases[] = {
        {utf16(u"AB"), "AB"},
        {concat({utf16(u"AB"), Bytes{0x00}}), "AB"},            // odd length drops the last byte
        {utf16(std::u16string(u"A\0B", 3)), "AB"},               // NUL characters are removed
        {utf16(u"Caf\u00e9"), "Caf\xC3\xA9"},
        {Bytes{}, ""},
        {Bytes{0xD8, 0x00, 0x00, 'A'}, ""},                      // lone high surrogate
        {Bytes{0x00, 'A', 0xDC, 0x00}, ""},                      // lone low surrogate
    };
    for (const auto& c : cases) EXPECT_EQ(rec::decodeText(c.payload), c.text);
}

TEST(LibraryRecords, PathAndLengthRules) {
    for (auto [in, out] : {std::pair{"Users/dj/a.mp3", "/Users/dj/a.mp3"}, {"C:/Music/a.mp3", "C:/Music/a.mp3"},
                           {"/abs/a.mp3", "/abs/a.mp3"}, {"", ""}})
        EXPECT_EQ(rec::normalizePath(in), out);
    const struct {
        std::string len, trimmed;
        double sec;
    } cases[] = {
        {"04:31.73", "4:31", 271}, {"01:02:03", "1:02:03", 3723}, {"0:31", "0:31", 31},
        {"00:05.50", "0:05", 5},   {"abc", "abc", 0},             {"", "", 0},
        {"::7", "::7", 7},         {"1:x:2", "1:x:2", 62},        {"nan:inf", "nan:inf", 0},
    };
    for (const auto& c : cases) {
        const std::string t = rec::trimLength(c.len);
        EXPECT_EQ(t, c.trimmed) << c.len;
        EXPECT_DOUBLE_EQ(rec::parseLength(t), c.sec) << c.len;
    }
}

TEST(LibraryRecords, DamageEndsTheWalkAndKeepsWhatCameBefore) {
    // "path|title" of each track read, then "damaged" when the walk stopped early.
    const auto walk = [](const Bytes& b) {
        const auto r = rec::parseDatabase(b);
        std::string out;
        for (const auto& t : r.tracks) out += t.path + "|" + t.title + " ";
        return out + (r.damaged ? "damaged" : "");
    };
    const Bytes good = concat({header(), track({{"pfil", u"a.mp3"}, {"tsng", u"A"}}), track({{"pfil", u"b.mp3"}, {"tsng", u"B"}})});
    EXPECT_EQ(walk(good), "/a.mp3|A /b.mp3|B ");
    EXPECT_EQ(walk(Bytes(good.begin(), good.end() - 3)), "/a.mp3|A damaged");  // the last length points past the end
    // A huge length in the middle ends the walk there.
    EXPECT_EQ(walk(concat({track({{"pfil", u"a.mp3"}}), Bytes{'o', 't', 'r', 'k', 0xFF, 0xFF, 0xFF, 0xFF, 1, 2}, track({{"pfil", u"c.mp3"}})})),
              "/a.mp3| damaged");
    // A damaged field inside a track keeps the fields before it.
    EXPECT_EQ(walk(record("otrk", record("pfil", utf16(u"x.mp3")) + Bytes{'t', 's', 'n', 'g', 0, 0, 0, 50, 0, 'A'})), "/x.mp3| damaged");
    // Non-ASCII tags match nothing; the last occurrence of a tag wins.
    EXPECT_EQ(walk(record("otrk", concat({record("pfil", utf16(u"1.mp3")), record("pfil", utf16(u"2.mp3")), record("\xF0sng", utf16(u"hidden"))}))),
              "/2.mp3| ");

    // Crates: every ptrk of every otrk, in order, damage keeps the prefix.
    Bytes crate = concat({header(), record("otrk", record("ptrk", utf16(u"m/a.mp3"))),
                          record("otrk", concat({record("ptrk", utf16(u"m/b.mp3")), record("ptrk", utf16(u"m/a.mp3"))}))});
    auto c = rec::parseCrate(crate);
    EXPECT_EQ(c.paths, (std::vector<std::string>{"/m/a.mp3", "/m/b.mp3", "/m/a.mp3"}));
    EXPECT_FALSE(c.damaged);
    auto cc = rec::parseCrate(Bytes(crate.begin(), crate.end() - 1));
    EXPECT_TRUE(cc.damaged);
    EXPECT_EQ(cc.paths, (std::vector<std::string>{"/m/a.mp3"}));
}

class SeratoFiles : public ::testing::Test {
protected:
    TempDir dir;
    SeratoLibrary lib{dir.path};
    void database(const Bytes& b) { writeFile(dir.path / "database V2", b); }
    void crate(const std::string& name, std::initializer_list<std::u16string_view> tracks) {
        Bytes b = header();
        for (auto t : tracks) b += record("otrk", record("ptrk", utf16(t)));
        writeFile(dir.path / "Subcrates" / (name + ".crate"), b);
    }
};

TEST_F(SeratoFiles, CrateNamesSortedCaseInsensitively) {
    EXPECT_TRUE(lib.crateNames().empty() && lib.allTracks().empty() && lib.crateTracks("x").empty() && lib.cratePaths("x").empty());
    crate("B", {});
    crate("a", {});
    crate("a%%x", {});
    crate(".hidden", {});
    writeText(dir.path / "Subcrates" / "notes.txt", "x");
    writeText(dir.path / "Subcrates" / "upper.CRATE", "x");
    EXPECT_EQ(lib.crateNames(), (std::vector<std::string>{".hidden", "a", "a%%x", "B"}));
}

TEST_F(SeratoFiles, AllTracksOncePerPathSortedByName) {
    database(concat({header(), track({{"pfil", u"m/zeta.mp3"}, {"tsng", u"Z"}}),
                     track({{"pfil", u"m/Alpha.flac"}}), track({{"tsng", u"no path"}}),
                     track({{"pfil", u"m/zeta.mp3"}, {"tsng", u"again"}}), track({{"pfil", u"m/beta.mp3"}})}));
    EXPECT_EQ(lib.allTracks(), (std::vector<LibTrack>{{"/m/Alpha.flac", "Alpha"}, {"/m/beta.mp3", "beta"}, {"/m/zeta.mp3", "zeta"}}));
}

TEST_F(SeratoFiles, CrateTracksInFileOrderWithDuplicates) {
    crate("House%%Deep", {u"m/b.mp3", u"", u"C:/w/a.mp3", u"m/b.mp3"});
    EXPECT_EQ(lib.crateTracks("House%%Deep"),
              (std::vector<LibTrack>{{"/m/b.mp3", "b"}, {"C:/w/a.mp3", "a"}, {"/m/b.mp3", "b"}}));
}

TEST_F(SeratoFiles, CrateNamesThatLeaveTheFolderAreRefused) {
    // A crate file outside "Subcrates" that a crafted name would reach.
    writeFile(dir.path / "secret.crate", record("otrk", record("ptrk", utf16(u"etc/passwd"))));
    writeFile(dir.path / "Subcrates" / "sub" / "x.crate", record("otrk", record("ptrk", utf16(u"a.mp3"))));
    crate("ok", {u"a.mp3"});
    ASSERT_EQ(lib.crateTracks("ok").size(), 1u);
    for (const std::string& bad : std::vector<std::string>{"../secret", "sub/x", "..\\secret", ".", "..", std::string("ok\0x", 4)})
        EXPECT_TRUE(lib.crateTracks(bad).empty()) << bad;
    EXPECT_TRUE(lib.cratePaths("../secret").empty());
}

TEST_F(SeratoFiles, CratePathsFindsSubcratesAndCachesOneAnswer) {
    crate("House%%Deep", {u"m/deep.mp3"});
    EXPECT_EQ(lib.cratePaths("  Deep\t"), (std::vector<std::string>{"/m/deep.mp3"}));
    crate("Deep", {u"m/top.mp3"});
    // The cached answer stands until another name is asked for.
    EXPECT_EQ(lib.cratePaths("Deep"), (std::vector<std::string>{"/m/deep.mp3"}));
    EXPECT_TRUE(lib.cratePaths("Other").empty());
    EXPECT_EQ(lib.cratePaths("Deep"), (std::vector<std::string>{"/m/top.mp3"}));
    EXPECT_TRUE(lib.cratePaths(" \t ").empty());
}
