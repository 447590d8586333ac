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

    const std::pair<std::vector<std::string>, std::string> servers[] = {
        {{"--http-port", "0"}, ""},
        {{"--http-port", "65535", "--midi", "loopback"}, ""},
        {{"--http-port", "65536"}, "--http-port takes a port number 0 to 65535"},
        {{"--http-port", "-1"}, "--http-port takes a port number 0 to 65535"},
        {{"--http-port", "80x"}, "--http-port takes a port number 0 to 65535"},
        {{"--http-port"}, "--http-port needs a value"},
        {{"--midi", "jack"}, "--midi takes alsa or loopback"},
    };
    for (const auto& [args, error] : servers) EXPECT_EQ(parseLaunchOptions(args).error, error) << args[0];
    const auto o = parseLaunchOptions({"--headless", "--http-port", "17601", "--midi", "alsa"});
    EXPECT_EQ(o.httpPort, 17601);
    EXPECT_EQ(o.midi, "alsa");
    EXPECT_EQ(parseLaunchOptions({}).httpPort, 17600);
    EXPECT_TRUE(parseLaunchOptions({"--headless", "--help"}).help);
}

}  // namespace
}  // namespace plindo::host
