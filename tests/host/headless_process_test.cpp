// The program as launched without a window: its control endpoint sends MIDI on the loopback and lists it,
// and a SIGTERM while control requests keep coming or after a library reload ends it cleanly within 3 s.
#include "headless_process.h"

#include <gtest/gtest.h>

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

TEST(HeadlessProcess, SigtermAfterALibraryReloadExitsWithinThreeSeconds) {
    Headless h;
    ASSERT_TRUE(h.start());
    // With no library folder the pass finds no Serato tracks, so a retry waits 5 s.
    ASSERT_TRUE(h.ask("?cmd=library&reload=1").contains("panes"));
    const auto code = h.terminate(3.0);
    ASSERT_TRUE(code.has_value()) << "still running 3 s after SIGTERM";
    EXPECT_EQ(*code, 0);
}

}  // namespace
