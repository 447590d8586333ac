#pragma once
// Listening sockets for both address families: one IPv6 socket with v6only off takes IPv4 clients too (as
// mapped addresses), so phones reach the host over whichever family their network gives them. A host without
// IPv6 listens on IPv4 alone.
#include <asio/ip/address.hpp>
#include <asio/ip/v6_only.hpp>

#include <system_error>

namespace plindo::link {

// A mapped IPv4 address (::ffff:a.b.c.d) as plain IPv4; any other address unchanged.
asio::ip::address unmapped(const asio::ip::address& a);

// Opens `socket` (an acceptor or a datagram socket of `Protocol`) on every address at `port`: IPv6 with
// v6only off where the host has IPv6, else IPv4. `prepare(socket, ec)` runs between open and bind (socket
// options). A port in use is not retried on IPv4: the dual-stack bind already covers IPv4. The socket is
// closed on failure.
template <typename Protocol, typename Socket, typename Prepare>
std::error_code openDualStack(Socket& socket, unsigned short port, Prepare&& prepare) {
    std::error_code ec;
    for (const auto family : {Protocol::v6(), Protocol::v4()}) {
        ec.clear();
        std::error_code ignored;
        socket.open(family, ec);
        if (!ec && family == Protocol::v6()) socket.set_option(asio::ip::v6_only(false), ec);
        if (!ec) prepare(socket, ec);
        if (!ec) socket.bind(typename Protocol::endpoint(family, port), ec);
        if (!ec) return ec;
        socket.close(ignored);
        if (ec == asio::error::address_in_use || ec == asio::error::access_denied) return ec;
    }
    return ec;
}

}  // namespace plindo::link
