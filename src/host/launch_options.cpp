#include "host/launch_options.h"

#include <charconv>

namespace plindo::host {

LaunchOptions parseLaunchOptions(const std::vector<std::string>& args) {
    LaunchOptions o;
    auto fail = [&o](std::string why) {
        if (o.error.empty()) o.error = std::move(why);
        return o;
    };
    for (size_t i = 0; i < args.size(); ++i) {
        const std::string& a = args[i];
        const bool takesValue = a == "--deck1" || a == "--deck2" || a == "--screenshot";
        if (takesValue && (i + 1 >= args.size() || args[i + 1].empty()))
            return fail(a + " needs a path");
        if ((a == "--http-port" || a == "--midi") && i + 1 >= args.size()) return fail(a + " needs a value");
        if (a == "--headless") {
            o.headless = true;
        } else if (a == "--deck1" || a == "--deck2") {
            o.deckPath[a == "--deck1" ? 0 : 1] = args[++i];
        } else if (a == "--http-port") {
            const std::string& v = args[++i];
            int port = -1;
            const auto [end, ec] = std::from_chars(v.data(), v.data() + v.size(), port);
            if (v.empty() || ec != std::errc() || end != v.data() + v.size() || port < 0 || port > 65535)
                return fail("--http-port takes a port number 0 to 65535");
            o.httpPort = port;
        } else if (a == "--midi") {
            o.midi = args[++i];
            if (o.midi != "alsa" && o.midi != "loopback") return fail("--midi takes alsa or loopback");
        } else if (a == "--screenshot") {
            o.screenshot = args[++i];
        } else if (a == "--help" || a == "-h") {
            o.help = true;
        } else {
            return fail("unknown option " + a);
        }
    }
    if (o.headless && o.screenshot) return fail("--screenshot needs the window; leave out --headless");
    return o;
}

std::string launchUsage() {
    return "usage: plindo [--headless] [--http-port N] [--midi alsa|loopback] [--deck1 PATH] [--deck2 PATH]\n"
           "              [--screenshot PNG]\n"
           "  plindo             opens the window\n"
           "  --headless         runs the host without a window\n"
           "  --http-port N      the track server and control endpoint port (default 17600)\n"
           "  --midi KIND        alsa: the sequencer (the default, a loopback where there is none);\n"
           "                     loopback: in process, \"/ctl?cmd=midilog\" lists what was sent\n"
           "  --screenshot PNG   saves the window 2 s after it shows, then ends\n"
           "  settings: $XDG_CONFIG_HOME/plindo/settings.json\n";
}

}  // namespace plindo::host
