// The log file: one line per message whatever the message holds, and lines that are there soon enough to be
// read while the program runs and after it is killed.
#include "platform/log.h"

#include <gtest/gtest.h>

#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>

namespace {

using namespace plindo::platform;
namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

class LogFile : public ::testing::Test {
protected:
    void SetUp() override {
        dir_ = fs::temp_directory_path() / ("plindo-log-" + std::to_string(::getpid()) + "-" +
                                            ::testing::UnitTest::GetInstance()->current_test_info()->name());
        fs::remove_all(dir_);
    }
    void TearDown() override { fs::remove_all(dir_); }

    std::string file() const {
        std::ifstream in(dir_ / "plindo.log");
        std::stringstream s;
        s << in.rdbuf();
        return s.str();
    }
    // Waits for `text` in the file, far longer than the flush period: only a line that never comes fails.
    bool arrives(const std::string& text) const {
        const auto until = Clock::now() + std::chrono::seconds(10);
        while (file().find(text) == std::string::npos) {
            if (Clock::now() > until) return false;
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
        return true;
    }

    fs::path dir_;
};

TEST_F(LogFile, AWarningIsThereAtOnceAndAnInfoLineSoonAfter) {
    LogSinks sinks(dir_.string(), false);
    auto log = sinks.makeLogger("test");
    log->info("before the warning");
    log->warn("settings could not be written");
    const std::string now = file();
    EXPECT_NE(now.find("[test] warning: settings could not be written\n"), std::string::npos) << now;
    EXPECT_NE(now.find("before the warning"), std::string::npos) << now;

    log->info("a quiet line");
    EXPECT_TRUE(arrives("[test] info: a quiet line\n")) << file();
}

TEST_F(LogFile, AMessageFromOutsideStaysOneLineAndDrivesNoTerminal) {
    {
        LogSinks sinks(dir_.string(), false);
        auto log = sinks.makeLogger("host");
        log->info("Deck 1: Gr\xC3\xBC\xC3\x9F\x65 {}",
                  "x.mp3\n2026-01-01 00:00:00.000 [host] error: FORGED\r\x1B[2J\xC2\x9B\xFF");
        log->error("last");
    }
    const std::string text = file();
    EXPECT_EQ(std::count(text.begin(), text.end(), '\n'), 2) << text;
    EXPECT_NE(text.find("[host] info: Deck 1: Gr\xC3\xBC\xC3\x9F\x65 x.mp3\\n2026-01-01 00:00:00.000 [host] error: "
                        "FORGED\\r\\x1b[2J\\u009b\\xff\n"),
              std::string::npos)
        << text;
    EXPECT_EQ(text.find('\x1B'), std::string::npos);
}

}  // namespace
