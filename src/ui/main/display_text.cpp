#include "ui/main/display_text.h"

#include <cmath>
#include <cstdio>

namespace plindo::ui {

std::pair<std::string, std::string> splitDisplayName(std::string_view name) {
    for (std::string_view sep : {" - ", " \u2013 ", " \u2014 "}) {
        const auto at = name.find(sep);
        if (at == std::string_view::npos) continue;
        return {std::string(name.substr(0, at)), std::string(name.substr(at + sep.size()))};
    }
    return {std::string(), std::string(name)};
}

std::string formatMinSec(double seconds) {
    // A negative time would print as "0:-1"; past the integer range the conversion is undefined.
    constexpr double kLongest = 1e9;
    if (!std::isfinite(seconds) || seconds < 0 || seconds > kLongest) return "0:00";
    const auto whole = static_cast<long long>(std::round(seconds));
    char buf[32];
    std::snprintf(buf, sizeof buf, "%lld:%02lld", whole / 60, whole % 60);
    return buf;
}

}  // namespace plindo::ui
