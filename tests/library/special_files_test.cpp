#include "library/library_scan.h"
#include "library/serato_library.h"
#include "library/serato_library_records.h"
#include "library_test_files.h"
#include "log_lines.h"

#include <gtest/gtest.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <functional>
#include <future>

using namespace plindo::library;
using namespace plindo::library::testfiles;
namespace fs = std::filesystem;
namespace rec = plindo::library::serato_records;

namespace {

// Runs `read` and fails when it has not returned within two seconds; a writer then opens every FIFO under
// `root` so that a blocked open comes back and the test ends.
size_t countWithin2s(const fs::path& root, const std::function<size_t()>& read) {
    auto result = std::async(std::launch::async, read);
    if (result.wait_for(std::chrono::seconds(2)) == std::future_status::ready) return result.get();
    ADD_FAILURE() << "the read blocked";
    for (const auto& e : fs::recursive_directory_iterator(root))
        if (e.is_fifo()) ::close(::open(e.path().c_str(), O_WRONLY | O_NONBLOCK));
    return result.get();
}

void makeFifo(const fs::path& p) {
    fs::create_directories(p.parent_path());
    ASSERT_EQ(::mkfifo(p.c_str(), 0600), 0);
}

void makeSparse(const fs::path& p, off_t size) {
    fs::create_directories(p.parent_path());
    ASSERT_EQ(::truncate((writeText(p, "x"), p.c_str()), size), 0);
}

}  // namespace

TEST(SpecialFiles, FifosFoldersAndOversizedLibraryFilesAreRefusedAtOnceWithALogLine) {
    TempDir d;
    const fs::path serato = d.path / "_Serato_", music = d.path / "Music";
    SeratoLibrary lib{serato};
    writeFile(serato / "Subcrates" / "ok.crate", record("otrk", record("ptrk", utf16(u"m/a.mp3"))));
    writeText(music / "a.mp3", "x");
    writeText(music / "ok.m3u", "a.mp3\n");

    const struct {
        const char* name;
        std::function<void()> make;
        std::function<size_t()> read;
        const char* logCategory;
        const char* logText;
    } cases[] = {
        {"database FIFO", [&] { makeFifo(serato / "database V2"); }, [&] { return lib.allTracks().size(); },
         "serato-library", "not a regular file"},
        {"database FIFO, index", [] {}, [&] {
             lib.reloadIndex();
             return lib.track("t", "a", "").has_value() ? 1u : 0u;
         },
         "serato-library", "not a regular file"},
        {"crate FIFO", [&] { makeFifo(serato / "Subcrates" / "pipe.crate"); },
         [&] { return lib.crateTracks("pipe").size(); }, "serato-library", "not a regular file"},
        {"crate folder", [&] { fs::create_directories(serato / "Subcrates" / "dir.crate"); },
         [&] { return lib.crateTracks("dir").size(); }, "serato-library", "not a regular file"},
        {"crate over 16 MiB", [&] { makeSparse(serato / "Subcrates" / "big.crate", (16 << 20) + 1); },
         [&] { return lib.crateTracks("big").size(); }, "serato-library", "more than the 16777216"},
        {"playlist FIFO", [&] { makeFifo(music / "pipe.m3u"); },
         [&] { return readM3U(music.string(), "pipe").size(); }, "library-scan", "not a regular file"},
        {"playlist over 16 MiB", [&] { makeSparse(music / "big.m3u8", (16 << 20) + 1); },
         [&] { return readM3U(music.string(), "big").size(); }, "library-scan", "more than the 16777216"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        c.make();
        plindo::testing::LogLines log(c.logCategory);
        EXPECT_EQ(countWithin2s(d.path, c.read), 0u);
        EXPECT_EQ(log.containing(c.logText), 1);
    }
    // Regular files, also through a link, are still read; a database just under its cap too.
    EXPECT_EQ(lib.crateTracks("ok").size(), 1u);
    fs::create_symlink(serato / "Subcrates" / "ok.crate", serato / "Subcrates" / "linked.crate");
    EXPECT_EQ(lib.crateTracks("linked").size(), 1u);
    EXPECT_EQ(readM3U(music.string(), "ok").size(), 1u);
    fs::remove(serato / "database V2");
    writeFile(serato / "database V2", concat({header(), track({{"pfil", u"m/a.mp3"}})}));
    EXPECT_EQ(lib.allTracks().size(), 1u);
}
