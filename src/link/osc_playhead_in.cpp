#include "link/osc_playhead_in.h"

#include <cmath>
#include <string_view>

namespace plindo::link {

namespace {

// Case-insensitive test of the address's end; the suffixes are ASCII, so ASCII folding suffices.
bool endsWithFolded(std::string_view s, std::string_view suffix) {
    if (s.size() < suffix.size()) return false;
    s.remove_prefix(s.size() - suffix.size());
    for (size_t i = 0; i < s.size(); ++i) {
        char c = s[i];
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
        if (c != suffix[i]) return false;
    }
    return true;
}

}  // namespace

void OSCPlayheadIn::start(std::uint16_t port) {
    if (running_) return;
    auto sock = UDPSocket::open(port);
    if (!sock) {
        status("Playhead in: UDP :" + std::to_string(port) + " already in use - is " +
               "another OSC listener still running? (must NOT run in parallel)");
        return;
    }
    socket_ = std::move(sock);
    socket_->start([this](std::span<const std::uint8_t> datagram, const sockaddr_in&) { receive(datagram); });
    running_ = true;
    status("Playhead in: OSC :" + std::to_string(socket_->port()) + " direct (position1/2) - " +
           "no parallel OSC listener allowed");
}

void OSCPlayheadIn::receive(std::span<const std::uint8_t> datagram) {
    decoder_.forEachMessage(datagram.data(), datagram.size(), [this](const OSCMessageView& m) {
        if (m.args.empty()) return;
        const auto value = m.args.front().doubleValue();
        if (!value) return;
        int deck;
        if (endsWithFolded(m.address, "position1")) {
            deck = 0;
        } else if (endsWithFolded(m.address, "position2")) {
            deck = 1;
        } else {
            return;
        }
        const double seconds = *value / kUnitsPerSecond;
        // A NaN or infinite position would poison the deck's anchor and servo.
        if (!std::isfinite(seconds)) return;
        if (onPlayhead) onPlayhead(deck, seconds);
    });
}

}  // namespace plindo::link
