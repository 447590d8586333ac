#pragma once
// Takes deck positions from an outside player over OSC/UDP: the first number of every message whose address
// ends, in any case, in "position1" or "position2", divided by 3000, is the position in seconds of deck 1 or
// deck 2. The port belongs to this input alone.
#include "link/osc.h"
#include "link/udp_socket.h"

#include <cstdint>
#include <functional>
#include <memory>
#include <span>
#include <string>

namespace plindo::link {

class OSCPlayheadIn {
public:
    // Default port when the settings hold none.
    static constexpr std::uint16_t kDefaultPort = 6000;
    // The outside player counts positions in 1/3000 s.
    static constexpr double kUnitsPerSecond = 3000.0;

    OSCPlayheadIn() = default;
    ~OSCPlayheadIn() = default;  // the socket goes first, so no callback runs on a half-destroyed input
    OSCPlayheadIn(const OSCPlayheadIn&) = delete;
    OSCPlayheadIn& operator=(const OSCPlayheadIn&) = delete;

    // Deck index (0 for deck 1, 1 for deck 2) and position in seconds, always finite. Runs on the socket's
    // queue; the callback reaches its own thread itself. Set both callbacks before start.
    std::function<void(int deckIndex, double seconds)> onPlayhead;
    // Status lines, on the thread that called start.
    std::function<void(const std::string&)> onStatus;

    // Binds and starts reading (port 0: an ephemeral port, for tests). Does nothing while running; after a
    // failed bind a later start tries again.
    void start(std::uint16_t port);

    // Handles one datagram; runs on the socket's queue.
    void receive(std::span<const std::uint8_t> datagram);

    bool running() const { return running_; }
    // The bound port while running, else 0.
    std::uint16_t port() const { return socket_ ? socket_->port() : 0; }

private:
    void status(const std::string& line) {
        if (onStatus) onStatus(line);
    }

    bool running_ = false;         // caller's thread only
    OSCDecoder decoder_;           // socket queue only
    std::unique_ptr<UDPSocket> socket_;  // last, so it is closed and joined before the rest goes
};

}  // namespace plindo::link
