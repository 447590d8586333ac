// The log file: one line per message whatever it holds, a warning there at once and any line soon after.
#include "platform/log.h"

#include <gtest/gtest.h>

#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <thread>

namespace {

TEST(LogFile, AWarningIsThereAtOnceAnInfoLineSoonAndOutsideTextStaysOneLine) {
    const auto dir = std::filesystem::temp_directory_path() / ("plindo-log-" + std::to_string(::getpid()));
    const auto file = [&] {
        std::ifstream in(dir / "plindo.log", std::ios::binary);
        return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    };
    plindo::platform::LogSinks sinks(dir.string(), false);
    auto log = sinks.makeLogger("host");
    log->info("Deck 1: Gr\xC3\xBC\xC3\x9F\x65 {}", "x.mp3\n2026-01-01 00:00:00.000 [host] error: FORGED\x1B[2J\xC2\x9B\xFF");
    log->warn("settings not written");
    const std::string now = file();
    EXPECT_EQ(std::count(now.begin(), now.end(), '\n'), 2) << now;
    EXPECT_NE(now.find("[host] info: Deck 1: Gr\xC3\xBC\xC3\x9F\x65 x.mp3\\n2026-01-01 00:00:00.000 [host] error: "
                       "FORGED\\x1b[2J\\u009b\\xff\n"),
              std::string::npos)
        << now;
    EXPECT_NE(now.find("[host] warning: settings not written\n"), std::string::npos) << now;

    // Far longer than the flush period: only a line that is held back for good fails.
    log->info("a quiet line");
    const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (file().find("a quiet line\n") == std::string::npos && std::chrono::steady_clock::now() < until)
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    EXPECT_NE(file().find("a quiet line\n"), std::string::npos);
    std::filesystem::remove_all(dir);
}

}  // namespace
