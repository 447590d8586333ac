#pragma once
// A bound IPv4 datagram socket with its own serial queue that hands every datagram to one handler. Used by
// the external playhead input, which must hold its port alone: no SO_REUSEADDR, so a port that another
// listener holds fails to bind instead of being shared silently.
#include "platform/serial_queue.h"

#include <asio/ip/udp.hpp>

#include <netinet/in.h>

#include <array>
#include <cstdint>
#include <functional>
#include <memory>
#include <span>

namespace plindo::link {

class UDPSocket {
public:
    using Handler = std::function<void(std::span<const std::uint8_t> datagram, const sockaddr_in& sender)>;

    // Datagrams longer than this arrive cut to their first bytes.
    static constexpr size_t kMaxDatagram = 2048;

    // Binds the IPv4 wildcard address on `port` (0: an ephemeral port); none when the port cannot be bound.
    static std::unique_ptr<UDPSocket> open(std::uint16_t port);

    ~UDPSocket();  // closes the socket, then joins the queue: no handler runs after it returns
    UDPSocket(const UDPSocket&) = delete;
    UDPSocket& operator=(const UDPSocket&) = delete;

    // Starts reading; `handler` runs on the socket's queue, one datagram at a time. A later call replaces the
    // handler.
    void start(Handler handler);

    std::uint16_t port() const { return port_; }

private:
    UDPSocket(int fd, std::uint16_t port);
    void readDatagram();

    platform::SerialQueue queue_{"orv.udp"};
    asio::ip::udp::socket socket_;
    std::uint16_t port_;
    // Touched only on the queue.
    Handler handler_;
    bool reading_ = false;
    std::array<std::uint8_t, kMaxDatagram> buffer_{};
    asio::ip::udp::endpoint sender_;
};

}  // namespace plindo::link
