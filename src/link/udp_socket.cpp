#include "link/udp_socket.h"

#include <arpa/inet.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>

namespace plindo::link {

std::unique_ptr<UDPSocket> UDPSocket::open(std::uint16_t port) {
    const int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return nullptr;
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_ANY);
    addr.sin_port = htons(port);
    socklen_t len = sizeof addr;
    if (::bind(fd, reinterpret_cast<const sockaddr*>(&addr), sizeof addr) != 0 ||
        ::getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len) != 0) {
        ::close(fd);
        return nullptr;
    }
    return std::unique_ptr<UDPSocket>(new UDPSocket(fd, ntohs(addr.sin_port)));
}

UDPSocket::UDPSocket(int fd, std::uint16_t port) : socket_(queue_.context()), port_(port) {
    asio::error_code ec;
    socket_.assign(asio::ip::udp::v4(), fd, ec);
    if (ec) ::close(fd);  // a fresh descriptor cannot already be registered; the socket then reads nothing
}

UDPSocket::~UDPSocket() {
    // The pending read completes as aborted on the queue; stopping the queue lets it finish and joins.
    queue_.sync([this] {
        asio::error_code ec;
        socket_.close(ec);
    });
    queue_.stop();
}

void UDPSocket::start(Handler handler) {
    queue_.post([this, h = std::move(handler)]() mutable {
        handler_ = std::move(h);
        if (!reading_ && socket_.is_open()) {
            reading_ = true;
            readDatagram();
        }
    });
}

void UDPSocket::readDatagram() {
    socket_.async_receive_from(asio::buffer(buffer_), sender_, [this](const asio::error_code& ec, size_t n) {
        if (ec == asio::error::operation_aborted || ec == asio::error::bad_descriptor) return;
        if (!ec && n > 0 && handler_) {
            sockaddr_in from{};
            std::memcpy(&from, sender_.data(), std::min(sizeof from, static_cast<size_t>(sender_.size())));
            handler_(std::span<const std::uint8_t>(buffer_.data(), n), from);
        }
        readDatagram();
    });
}

}  // namespace plindo::link
