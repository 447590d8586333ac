#include "library/crate_node.h"
#include "library/library_scan.h"
#include "library_test_files.h"

#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <unordered_set>

using namespace plindo::library;
using namespace plindo::library::testfiles;
namespace fs = std::filesystem;

TEST(LibraryScan, ListAudioFilesKeepsVisibleAudioOnly) {
    TempDir d;
    for (const char* f : {"b.MP3", "A.flac", "c.txt", ".hidden.mp3", "noext", "d.Aiff"}) writeText(d.path / f, "x");
    fs::create_directories(d.path / "sub.mp3");  // kinds are not checked
    writeText(d.path / "deeper" / "e.mp3", "x");
    const auto rows = listAudioFiles(d.path.string());
    EXPECT_EQ(names(rows), (std::vector<std::string>{"A", "b", "d", "sub"}));
    EXPECT_EQ(rows[0].path, (d.path / "A.flac").string());
    EXPECT_TRUE(listAudioFiles((d.path / "missing").string()).empty());
}

TEST(LibraryScan, FindPlaylistsListsAudioFoldersThenPlaylists) {
    TempDir d;
    writeText(d.path / "X" / "Y" / "t.mp3", "x");
    writeText(d.path / "Z" / "list.m3u8", "");
    writeText(d.path / "top.mp3", "x");
    writeText(d.path / "b" / "a.ogg", "x");
    writeText(d.path / "Other" / "Set.M3U", "");
    writeText(d.path / ".hidden" / "h.mp3", "x");
    writeText(d.path / "X" / ".secret.m3u", "");
    EXPECT_EQ(findPlaylists(d.path.string() + "/"),
              (std::vector<std::string>{"X", "X%%Y", "b", "Playlists%%Set", "Playlists%%list"}));
    EXPECT_TRUE(findPlaylists((d.path / "missing").string()).empty());
}

TEST(LibraryScan, WalksNeverFollowFolderLinksAndSkipUnreadableFolders) {
    TempDir d;
    writeText(d.path / "A" / "a.mp3", "x");
    fs::create_directory_symlink(d.path, d.path / "A" / "loop");  // would recurse forever
    fs::create_directory_symlink(d.path / "A", d.path / "Alias");
    writeText(d.path / "Locked" / "l.mp3", "x");
    writeText(d.path / "Locked" / "inside.m3u", "l.mp3\n");
    writeText(d.path / "Open" / "o.mp3", "x");
    writeText(d.path / "Open" / "list.m3u", "o.mp3\n");
    fs::permissions(d.path / "Locked", fs::perms::none);
    const std::vector<std::string> want{"A", "Open", "Playlists%%list"};
    if (::geteuid() != 0) {
        EXPECT_EQ(findPlaylists(d.path.string()), want);
        EXPECT_TRUE(readM3U(d.path.string(), "inside").empty());
        EXPECT_EQ(readM3U(d.path.string(), "list").size(), 1u);
    } else {
        // Root reads every folder: walk as an unprivileged user in a child process.
        fs::permissions(d.path, fs::perms::owner_all | fs::perms::others_read | fs::perms::others_exec);
        const pid_t pid = ::fork();
        ASSERT_GE(pid, 0);
        if (pid == 0) {
            const bool dropped = ::setgid(65534) == 0 && ::setuid(65534) == 0;
            const bool ok = dropped && findPlaylists(d.path.string()) == want &&
                            readM3U(d.path.string(), "inside").empty() && readM3U(d.path.string(), "list").size() == 1;
            ::_exit(ok ? 0 : 1);
        }
        int status = 0;
        ::waitpid(pid, &status, 0);
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    }
    fs::permissions(d.path / "Locked", fs::perms::owner_all);
}

TEST(LibraryScan, ReadM3UResolvesEveryLineForm) {
    TempDir d;
    const fs::path lib = d.path / "lib";
    for (const char* f : {"Z/a.mp3", "Z/b c.mp3", "Other/t.mp3", "Z/x.flac", "Z/\xC3\xA9t\xC3\xA9.mp3"})
        writeText(lib / f, "x");
    const std::string abs = (lib / "Other" / "t.mp3").string();
    writeText(lib / "Z" / "mix.m3u8",
              "\xEF\xBB\xBF#EXTM3U\r\n#EXTINF:1,a\r\n  a.mp3\t\r\n\r\nb c.mp3\n../Other/t.mp3\n" + abs +
                  "\nmissing.mp3\nnot-audio.txt\n\xC3\xA9t\xC3\xA9.mp3\ra.mp3");
    const auto rows = readM3U(lib.string(), "mix");
    EXPECT_EQ(names(rows), (std::vector<std::string>{"a", "b c", "t", "t", "\xC3\xA9t\xC3\xA9", "a"}));
    EXPECT_EQ(rows[0].path, (lib / "Z" / "a.mp3").string());
    EXPECT_EQ(rows[2].path, abs);
    EXPECT_TRUE(readM3U(lib.string(), "mi").empty());  // names match exactly
}

TEST(LibraryScan, ReadM3UFallsBackToLatin1AndReadsTheFirstOfTwoNamesakes) {
    TempDir d;
    writeText(d.path / "A" / "caf\xC3\xA9.mp3", "x");
    writeText(d.path / "A" / "list.m3u", "caf\xE9.mp3\n");  // Latin-1
    writeText(d.path / "B" / "one.mp3", "x");
    writeText(d.path / "B" / "list.m3u", "one.mp3\n");
    EXPECT_EQ(readM3U(d.path.string(), "list"), (std::vector<LibTrack>{{(d.path / "A" / "caf\xC3\xA9.mp3").string(), "caf\xC3\xA9"}}));
}

TEST(CrateTree, BuildsSortedTreeFromFlatNames) {
    using Kids = std::vector<CrateNode>;
    const CrateNode leafB{"B", "A%%B", std::nullopt};
    EXPECT_EQ(CrateNode::build({"A%%B", "A", "C%%D%%E", "A%%B", "", "F%%"}),
              (Kids{{"A", "A", Kids{leafB}},
                    {"C", "C", Kids{{"D", "C%%D", Kids{{"E", "C%%D%%E", std::nullopt}}}}},
                    {"F", "F", Kids{{"", "F%%", std::nullopt}}}}));
    const auto siblings = CrateNode::build({"b", "A", "a"});
    ASSERT_EQ(siblings.size(), 3u);
    EXPECT_EQ(siblings[2].name, "b");
    EXPECT_TRUE(CrateNode::build({"", ""}).empty());
    // Equality and hashing take the children in.
    const CrateNode leafA{"A", "A", std::nullopt};
    EXPECT_EQ((std::unordered_set<CrateNode>{leafA, CrateNode::build({"A%%B"})[0], CrateNode::build({"A%%B"})[0]}.size()), 2u);
}
