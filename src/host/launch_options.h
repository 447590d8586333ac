#pragma once
// The command line of `plindo`, read without side effects.
#include <array>
#include <optional>
#include <string>
#include <vector>

namespace plindo::host {

struct LaunchOptions {
    bool headless = false;
    bool help = false;
    std::array<std::string, 2> deckPath;     // a track to load per deck at start; empty for none
    std::optional<std::string> screenshot;   // save the window here 2 s after showing it, then end
    int httpPort = 17600;                    // the track server and control endpoint; 0 an ephemeral port
    std::string midi;                        // "alsa", "loopback", or empty: the sequencer where there is one
    std::string error;                       // not empty: the line to print before the usage, exit 2
};

// `args` without the program name.
LaunchOptions parseLaunchOptions(const std::vector<std::string>& args);

// The usage text, ending in a line break.
std::string launchUsage();

}  // namespace plindo::host
