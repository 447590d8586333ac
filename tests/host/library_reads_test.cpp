// What the panes read behind a crate key, the folder crates' path checks and the status texts.
#include "host/library_reads.h"
#include "library/library_test_files.h"

#include <gtest/gtest.h>

namespace plindo::host {
namespace {

namespace fs = std::filesystem;
namespace lt = library::testfiles;
using K = LibraryReads::CrateRoute::Kind;

TEST(LibraryReads, RoutesEveryKindOfCrateKey) {
    struct Case {
        const char* key;
        K kind;
        const char* rest;
    };
    for (const auto& c : std::vector<Case>{
             {"Plindo", K::root, ""},
             {"Plindo%%Plindo", K::root, ""},
             {"Plindo%%Files", K::files, ""},
             {"Plindo%%Serato", K::serato, ""},
             {"Plindo%%Serato%%House%%Deep", K::seratoCrate, "House%%Deep"},
             {"Plindo%%Files%%Playlists%%Warmup", K::playlist, "Warmup"},
             {"Plindo%%Files%%Set%%Old", K::folder, "Set%%Old"},
             {"Files%%Set", K::folder, "Set"},  // the prefix is optional
             {"Foo", K::none, ""},
             {"Plindo%%Other", K::none, ""},
             {"", K::none, ""},
         }) {
        const auto r = LibraryReads::routeOf(c.key);
        EXPECT_EQ(r.kind, c.kind) << c.key;
        EXPECT_EQ(r.rest, c.rest) << c.key;
    }
}

TEST(LibraryReads, StatusTextsNameFolderCountsAndCrate) {
    EXPECT_EQ(LibraryReads::libraryStatus("/m", 0, 1200), "Files empty \u2014 no audio files under /m \u00b7 Serato: 1200 tracks");
    EXPECT_EQ(LibraryReads::libraryStatus("/m", 3, 0), "Files: 3 tracks");
    EXPECT_EQ(LibraryReads::libraryStatus("/m", 3, 4), "Files: 3 tracks \u00b7 Serato: 4 tracks");
    EXPECT_EQ(LibraryReads::crateStatus("Plindo%%Serato%%House%%Deep", 2), "Crate Deep: 2 tracks");
    EXPECT_EQ(LibraryReads::crateStatus("Foo", 0), "Crate Foo: empty / not readable");
}

TEST(LibraryReads, FolderIdsStayInsideTheLibraryFolder) {
    lt::TempDir dir;
    const fs::path lib = dir.path / "Music";
    lt::writeText(lib / "Set" / "a.mp3", "x");
    lt::writeText(lib / "Set" / "Old" / "b.mp3", "x");
    lt::writeText(dir.path / "Private" / "secret.mp3", "x");
    fs::create_directory_symlink(dir.path / "Private", lib / "Link");

    EXPECT_EQ(LibraryReads::folderOfId(lib.string(), "Set"), lib / "Set");
    EXPECT_EQ(LibraryReads::folderOfId(lib.string(), "Set%%Old"), lib / "Set" / "Old");
    for (const char* id : {"..", "..%%..", "Set%%..%%..%%Private", ".", "Set%%.", "", "Set%%", "%%Set", "a/../..",
                           "Link"}) {
        EXPECT_FALSE(LibraryReads::folderOfId(lib.string(), id)) << id;
    }
    EXPECT_FALSE(LibraryReads::folderOfId("", "Set"));

    // The same checks hold for the pane keys and the track server's folder crates.
    const library::SeratoLibrary none(dir.path / "none");
    EXPECT_EQ(lt::names(LibraryReads::crateTracks("Plindo%%Files%%Set", lib.string(), none)), std::vector<std::string>{"a"});
    EXPECT_TRUE(LibraryReads::crateTracks("Plindo%%Files%%..%%Private", lib.string(), none).empty());
    EXPECT_TRUE(LibraryReads::folderCrateTracks(lib.string(), "..%%..").empty());
    EXPECT_TRUE(LibraryReads::folderCrateTracks(lib.string(), "..%%Private").empty());
    EXPECT_EQ(lt::names(LibraryReads::folderCrateTracks(lib.string(), "Set%%Old")), std::vector<std::string>{"b"});
}

TEST(LibraryReads, FolderCratesAreThePlaylistScan) {
    lt::TempDir dir;
    const fs::path lib = dir.path;
    lt::writeText(lib / "Set" / "a.mp3", "x");
    lt::writeText(lib / "top.wav", "x");
    lt::writeText(lib / "Lists" / "warm.m3u", "../Set/a.mp3\n../top.wav\nmissing.mp3\n");
    EXPECT_EQ(LibraryReads::folderCrates(lib.string()), (std::vector<std::string>{"Set", "Playlists%%warm"}));
    EXPECT_EQ(lt::names(LibraryReads::folderCrateTracks(lib.string(), "Playlists%%warm")),
              (std::vector<std::string>{"a", "top"}));
    EXPECT_TRUE(LibraryReads::folderCrateTracks(lib.string(), "Playlists%%none").empty());
}

}  // namespace
}  // namespace plindo::host
