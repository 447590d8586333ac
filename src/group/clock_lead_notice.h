#pragma once
// Says when a peer's generations are refused for running too far ahead of this host's clock. Without a word
// a peer whose clock is fast sees its loads vanish; with a line per refusal it would fill the status line.
// So the first refusal of a peer is told, and the next ones only once a minute has passed.
#include <cstddef>
#include <map>
#include <optional>
#include <string>

namespace plindo::group {

class ClockLeadNotice {
public:
    static constexpr double kRepeatSec = 60.0;
    // Peer names come from the network, so the table is bounded; while it is full of peers told within the
    // minute, a newcomer is not told.
    static constexpr size_t kMaxPeers = 64;

    enum class Ignored { loads, logo };

    // The line for a refusal of `peer`'s generation `leadSec` ahead, at media-clock time `now`; none while the
    // peer was told less than a minute ago.
    std::optional<std::string> refused(const std::string& peer, double leadSec, Ignored what, double now);

    // The lead in the unit that reads best: "7 min", "3 h", "12 days".
    static std::string leadText(double leadSec);

private:
    std::map<std::string, double> toldWall_;  // by peer: when it was last told
};

}  // namespace plindo::group
