#include "serato/serato_capture.h"

#include "test_util.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <thread>
#include <unistd.h>
#include <vector>

namespace plindo::serato {
namespace {

namespace fs = std::filesystem;
using B = std::vector<uint8_t>;

struct CaptureFolder {
    fs::path dir = fs::temp_directory_path() / ("plindo-capture-" + std::to_string(::getpid()));
    CaptureFolder() {
        fs::remove_all(dir);
        SeratoCapture::setCaptureFolder((dir / "Logs").string());
    }
    ~CaptureFolder() {
        SeratoCapture::setCaptureEnabled(false);
        SeratoCapture::drain();
        fs::remove_all(dir);
    }
    std::vector<fs::path> files() const {
        std::vector<fs::path> out;
        if (fs::exists(dir / "Logs"))
            for (const auto& e : fs::directory_iterator(dir / "Logs")) out.push_back(e.path());
        return out;
    }
};

B readAll(const fs::path& p) {
    std::ifstream f(p, std::ios::binary);
    return B(std::istreambuf_iterator<char>(f), {});
}

TEST(SeratoCapture, RecordsAreStampedLengthPrefixedAndSurviveSwitchingOffAndOnAgain) {
    CaptureFolder folder;
    SeratoCapture::setCaptureEnabled(true);
    const B a{0xF0, 0x00, 0x00, 0x17, 0x01, 0xF7};
    const B b{0xF0, 0x01, 0xF7};
    ASSERT_TRUE(SeratoCapture::captureRecord(a, 12.5));
    SeratoCapture::setCaptureEnabled(false);
    SeratoCapture::setCaptureEnabled(true);
    ASSERT_TRUE(SeratoCapture::captureRecord(b, 13.0));
    SeratoCapture::drain();

    const auto files = folder.files();
    ASSERT_GE(files.size(), 1u);
    ASSERT_LE(files.size(), 2u);  // two when the second ticked over in between
    const auto name = files[0].filename().string();
    EXPECT_EQ(name.rfind("serato-rane-", 0), 0u);
    EXPECT_EQ(name.size(), std::string("serato-rane-20261206-220000.bin").size());

    std::vector<fs::path> ordered = files;
    std::sort(ordered.begin(), ordered.end());  // names sort by time
    B all;
    for (const auto& f : ordered) {
        const B part = readAll(f);
        all.insert(all.end(), part.begin(), part.end());
    }
    ASSERT_EQ(all.size(), 12 + a.size() + 12 + b.size());  // nothing of the first record was lost
    double t;
    std::memcpy(&t, all.data(), 8);
    EXPECT_EQ(t, 12.5);  // little-endian on this machine, as written
    EXPECT_EQ(all[8], a.size());
    EXPECT_EQ(all[9] | all[10] | all[11], 0);
    EXPECT_EQ(B(all.begin() + 12, all.begin() + 12 + a.size()), a);
}

TEST(SeratoCapture, FileNamesUseLocalTimeAndAnUnwritableFolderDropsQuietly) {
    std::tm tm{};
    tm.tm_year = 2026 - 1900;
    tm.tm_mon = 0;
    tm.tm_mday = 2;
    tm.tm_hour = 3;
    tm.tm_min = 4;
    tm.tm_sec = 5;
    tm.tm_isdst = -1;
    EXPECT_EQ(SeratoCapture::captureFileName(std::mktime(&tm)), "serato-rane-20260102-030405.bin");

    SeratoCapture::setCaptureFolder("/proc/plindo-no-such-folder");
    SeratoCapture::setCaptureEnabled(true);
    EXPECT_TRUE(SeratoCapture::captureRecord(B{0xF0, 0xF7}, 1.0));
    SeratoCapture::drain();  // dropped, no crash
    SeratoCapture::setCaptureEnabled(false);
    SeratoCapture::drain();
}

TEST(SeratoCapture, AFailedWriteSwitchesCaptureOffWithOneLogLine) {
    CaptureFolder folder;
    // The file of this second (and of the next few, should the clock tick) is a full disk.
    fs::create_directories(folder.dir / "Logs");
    const std::time_t now = std::time(nullptr);
    for (int i = 0; i < 5; ++i)
        fs::create_symlink("/dev/full", folder.dir / "Logs" / SeratoCapture::captureFileName(now + i));
    testing::LogLines log("serato-in");
    SeratoCapture::setCaptureEnabled(true);
    for (int i = 0; i < 3; ++i) EXPECT_TRUE(SeratoCapture::captureRecord(B{0xF0, 0x01, 0xF7}, 1.0));
    SeratoCapture::drain();
    EXPECT_FALSE(SeratoCapture::captureEnabled());
    const auto lines = log.lines();
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_NE(lines[0].find("No space left on device; capture switched off"), std::string::npos) << lines[0];

    // Switched on again, it tries anew: records reach a writable file.
    for (int i = 0; i < 5; ++i) fs::remove(folder.dir / "Logs" / SeratoCapture::captureFileName(now + i));
    SeratoCapture::setCaptureEnabled(true);
    EXPECT_TRUE(SeratoCapture::captureRecord(B{0xF0, 0x02, 0xF7}, 2.0));
    SeratoCapture::drain();
    EXPECT_TRUE(SeratoCapture::captureEnabled());
    ASSERT_EQ(folder.files().size(), 1u);
    EXPECT_EQ(fs::file_size(folder.files()[0]), 15u);
}

TEST(SeratoCapture, BacklogIsBounded) {
    CaptureFolder folder;
    SeratoCapture::setCaptureEnabled(true);
    const B big(SeratoCapture::kMaxBacklogBytes, 0x01);
    EXPECT_FALSE(SeratoCapture::captureRecord(big, 1.0));  // larger than the whole backlog
    SeratoCapture::drain();
    EXPECT_TRUE(SeratoCapture::captureRecord(B{0xF0, 0xF7}, 1.0));
}

TEST(SeratoCapture, CountAndPathAreReadableWhileAThreadWrites) {
    CaptureFolder folder;
    SeratoCapture::setCaptureEnabled(true);
    constexpr int kRecords = 10000;
    std::thread writer([] {
        for (int i = 0; i < kRecords; ++i) {
            while (!SeratoCapture::captureRecord(B{0xF0, uint8_t(i & 0x7F), 0xF7}, i)) std::this_thread::yield();
        }
    });
    int64_t last = 0;
    for (int i = 0; i < 2000; ++i) {
        const int64_t n = SeratoCapture::captureCount();
        const std::string path = SeratoCapture::capturePath();
        if (path.rfind(folder.dir.string(), 0) == 0) {
            EXPECT_GE(n, last);  // one file, so the count only grows
            last = n;
        }
    }
    writer.join();
    SeratoCapture::drain();
    EXPECT_EQ(SeratoCapture::captureCount(), kRecords);
    const std::string path = SeratoCapture::capturePath();
    ASSERT_EQ(folder.files().size(), 1u);
    EXPECT_EQ(path, folder.files()[0].string());

    // Switched off, the file is closed but still named with its final count; the next file starts at 0.
    SeratoCapture::setCaptureEnabled(false);
    SeratoCapture::drain();
    EXPECT_EQ(SeratoCapture::capturePath(), path);
    EXPECT_EQ(SeratoCapture::captureCount(), kRecords);
    SeratoCapture::setCaptureEnabled(true);
    EXPECT_TRUE(SeratoCapture::captureRecord(B{0xF0, 0xF7}, 1.0));
    SeratoCapture::drain();
    EXPECT_EQ(SeratoCapture::captureCount(), 1);
}

}  // namespace
}  // namespace plindo::serato
