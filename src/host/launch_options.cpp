#include "host/launch_options.h"

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
        if (a == "--headless") {
            o.headless = true;
        } else if (a == "--deck1" || a == "--deck2") {
            o.deckPath[a == "--deck1" ? 0 : 1] = args[++i];
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
    return "usage: plindo [--headless] [--deck1 PATH] [--deck2 PATH] [--screenshot PNG]\n"
           "  plindo             opens the window\n"
           "  --headless         runs the host without a window\n"
           "  --screenshot PNG   saves the window 2 s after it shows, then ends\n"
           "  settings: $XDG_CONFIG_HOME/plindo/settings.json\n";
}

}  // namespace plindo::host
