// The program as launched without a window: its control endpoint sends MIDI on the loopback and lists it,
// a SIGTERM while control requests keep coming or after a library reload ends it cleanly within 3 s, and its
// log file keeps up with it, one line per message whatever a file name holds.
#include "headless_process.h"

#include "platform/url.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <thread>
#include <vector>

namespace {

using json = nlohmann::json;
using plindo::host::testing::Headless;

TEST(HeadlessProcess, ANoteSentThroughTheControlEndpointIsInTheMidiLog) {
    Headless h;
    ASSERT_TRUE(h.start());
    const json state = h.ask("");
    EXPECT_EQ(state["build"], "1215");
    EXPECT_EQ(state["midi"]["backend"], "loopback");
    EXPECT_EQ(state["midi"]["portsUp"], true);

    EXPECT_EQ(h.ask("?cmd=note&deck=1&note=20"), (json{{"deck", 1}, {"note", 20}}));
    const json log = h.ask("?cmd=midilog");
    std::vector<std::string> hex;
    for (const auto& p : log["packets"]) hex.push_back(p["hex"]);
    ASSERT_GE(hex.size(), 2u) << log.dump();
    EXPECT_EQ(hex[hex.size() - 2], "90 14 7F");
    EXPECT_EQ(hex[hex.size() - 1], "90 14 00");
    EXPECT_EQ(h.terminate(10.0), 0);
}

TEST(HeadlessProcess, SigtermAmidControlRequestsExitsCleanlyWithinThreeSeconds) {
    Headless h;
    ASSERT_TRUE(h.start());
    std::atomic<bool> stop{false};
    std::atomic<int> answered{0};
    std::vector<std::thread> askers;
    for (int i = 0; i < 3; ++i) {
        askers.emplace_back([&] {
            while (!stop.load()) {
                if (h.ctl("?cmd=state").is_object()) ++answered;
            }
        });
    }
    while (answered.load() < 10) std::this_thread::sleep_for(std::chrono::milliseconds(10));
    const auto code = h.terminate(3.0);
    stop = true;
    for (auto& t : askers) t.join();
    ASSERT_TRUE(code.has_value()) << "still running 3 s after SIGTERM";
    EXPECT_EQ(*code, 0);
}

TEST(HeadlessProcess, SigtermAfterALibraryReloadExitsWithinThreeSecondsWithItsLogWritten) {
    Headless h;
    ASSERT_TRUE(h.start());
    // With no library folder the pass finds no Serato tracks, so a retry waits 5 s.
    ASSERT_TRUE(h.ask("?cmd=library&reload=1").contains("panes"));
    const auto code = h.terminate(3.0);
    ASSERT_TRUE(code.has_value()) << "still running 3 s after SIGTERM";
    EXPECT_EQ(*code, 0);
    const std::string log = h.logFile();
    EXPECT_NE(log.find("cmd=library&reload=1"), std::string::npos);
    EXPECT_NE(log.find("[host] info: Plindo: stopping\n"), std::string::npos);
}

TEST(HeadlessProcess, AFileNameLogsAsOneEscapedLineAndAQuietLineReachesTheFileSoon) {
    Headless h;
    ASSERT_TRUE(h.start());
    const std::string forged = "\n2026-01-01 00:00:00.000 [host] error: FORGED";
    h.ask("?cmd=load&deck=1&path=" + plindo::platform::percentEncodeQueryValue("/nonexistent/x" + forged + "\x1B[2J.wav"));
    std::string status;
    const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (status.find("FORGED") == std::string::npos && std::chrono::steady_clock::now() < until)
        status = h.ask("?cmd=state").value("status", "");
    EXPECT_NE(status.find("x\\n2026-01-01 00:00:00.000 [host] error: FORGED\\x1b[2J.wav"), std::string::npos) << status;

    // A line no warning follows is in the file while the program runs (and so after a crash).
    h.ask("?cmd=state&probe=quiet");
    EXPECT_TRUE(h.logged("probe=quiet", 10.0)) << "an info line is still held back";
    const std::string log = h.logFile();
    EXPECT_NE(log.find("FORGED\\x1b[2J.wav"), std::string::npos);
    EXPECT_EQ(log.find(forged), std::string::npos) << "a forged line";
    EXPECT_EQ(log.find('\x1B'), std::string::npos);
}

}  // namespace
