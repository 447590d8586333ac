// The command line: modes, deck paths, the screenshot, and what is refused.
#include "host/launch_options.h"

#include <gtest/gtest.h>

namespace plindo::host {
namespace {

TEST(LaunchOptions, ReadsModesPathsAndRefusesWhatCannotRun) {
    struct Case {
        std::vector<std::string> args;
        bool headless;
        std::string deck1, deck2, screenshot, error;
    } cases[] = {
        {{}, false, "", "", "", ""},
        {{"--headless"}, true, "", "", "", ""},
        {{"--deck2", "/m/b.mp3", "--headless", "--deck1", "/m/a.mp3"}, true, "/m/a.mp3", "/m/b.mp3", "", ""},
        {{"--screenshot", "w.png"}, false, "", "", "w.png", ""},
        {{"--screenshot", "w.png", "--headless"}, true, "", "", "w.png", "--screenshot needs the window; leave out --headless"},
        {{"--deck1"}, false, "", "", "", "--deck1 needs a path"},
        {{"--screenshot", ""}, false, "", "", "", "--screenshot needs a path"},
        {{"--deck1", "--headless"}, false, "--headless", "", "", ""},  // a path may look like an option
        {{"--window"}, false, "", "", "", "unknown option --window"},
        {{"-x", "--bogus"}, false, "", "", "", "unknown option -x"},
    };
    for (const auto& c : cases) {
        const auto o = parseLaunchOptions(c.args);
        std::string joined;
        for (const auto& a : c.args) joined += a + " ";
        EXPECT_EQ(o.error, c.error) << joined;
        if (!c.error.empty()) continue;
        EXPECT_EQ(o.headless, c.headless) << joined;
        EXPECT_EQ(o.deckPath[0], c.deck1) << joined;
        EXPECT_EQ(o.deckPath[1], c.deck2) << joined;
        EXPECT_EQ(o.screenshot.value_or(""), c.screenshot) << joined;
    }
    EXPECT_TRUE(parseLaunchOptions({"-h"}).help);
    EXPECT_TRUE(parseLaunchOptions({"--headless", "--help"}).help);
}

}  // namespace
}  // namespace plindo::host
