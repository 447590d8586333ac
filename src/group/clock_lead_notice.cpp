#include "group/clock_lead_notice.h"

#include <cmath>

namespace plindo::group {

std::string ClockLeadNotice::leadText(double leadSec) {
    const auto whole = [](double v) { return std::to_string(static_cast<long long>(std::llround(v))); };
    if (leadSec < 119.5 * 60) return whole(leadSec / 60) + " min";
    if (leadSec < 47.5 * 3600) return whole(leadSec / 3600) + " h";
    // Beyond that the number tells nothing more, and a hostile one may not fit an integer.
    if (leadSec < 999.5 * 86400) return whole(leadSec / 86400) + " days";
    return "over 999 days";
}

std::optional<std::string> ClockLeadNotice::refused(const std::string& peer, double leadSec, Ignored what,
                                                     double now) {
    auto it = toldWall_.find(peer);
    if (it != toldWall_.end() && now - it->second < kRepeatSec && now >= it->second) return std::nullopt;
    if (it == toldWall_.end()) {
        if (toldWall_.size() >= kMaxPeers) {
            std::erase_if(toldWall_, [&](const auto& e) { return now - e.second >= kRepeatSec || now < e.second; });
        }
        if (toldWall_.size() >= kMaxPeers) return std::nullopt;
        it = toldWall_.emplace(peer, now).first;
    }
    it->second = now;
    return "group peer " + peer + ": clock " + leadText(leadSec) + " ahead of this host; " +
           (what == Ignored::loads ? "its loads are ignored" : "its logo is ignored") + " until the clocks agree";
}

}  // namespace plindo::group
