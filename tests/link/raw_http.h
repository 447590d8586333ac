#pragma once
// Loopback helpers for the server tests: plain blocking sockets with time limits, so a test sees exactly the
// bytes on the wire and whether the server closed the connection.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <string>
#include <thread>

namespace plindo::link::testing {

inline int connectLoopback(int port) {
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(static_cast<uint16_t>(port));
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
        ::close(fd);
        return -1;
    }
    return fd;
}

// Connects to `host` (an IPv4 or IPv6 literal) from the local address `from` when given, with a receive
// buffer of `receiveBuffer` bytes when given (a small one makes a client that stops reading stall at once).
inline int connectTo(const std::string& host, int port, const std::string& from = "", int receiveBuffer = 0) {
    sockaddr_storage to{};
    socklen_t toLen = 0;
    auto fill = [](const std::string& text, int p, sockaddr_storage& out, socklen_t& len) {
        auto* v4 = reinterpret_cast<sockaddr_in*>(&out);
        auto* v6 = reinterpret_cast<sockaddr_in6*>(&out);
        if (::inet_pton(AF_INET, text.c_str(), &v4->sin_addr) == 1) {
            v4->sin_family = AF_INET;
            v4->sin_port = htons(static_cast<uint16_t>(p));
            len = sizeof *v4;
            return true;
        }
        if (::inet_pton(AF_INET6, text.c_str(), &v6->sin6_addr) == 1) {
            v6->sin6_family = AF_INET6;
            v6->sin6_port = htons(static_cast<uint16_t>(p));
            len = sizeof *v6;
            return true;
        }
        return false;
    };
    if (!fill(host, port, to, toLen)) return -1;
    const int fd = ::socket(to.ss_family, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return -1;
    if (receiveBuffer > 0) ::setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &receiveBuffer, sizeof receiveBuffer);
    sockaddr_storage local{};
    socklen_t localLen = 0;
    if ((!from.empty() && (!fill(from, 0, local, localLen) || ::bind(fd, reinterpret_cast<sockaddr*>(&local), localLen) != 0)) ||
        ::connect(fd, reinterpret_cast<sockaddr*>(&to), toLen) != 0) {
        ::close(fd);
        return -1;
    }
    return fd;
}

// True once the peer has closed or reset the connection (what it sent before may still be unread).
inline bool hungUp(int fd, int waitMs = 0) {
    pollfd p{fd, POLLRDHUP, 0};
    return ::poll(&p, 1, waitMs) > 0 && (p.revents & (POLLHUP | POLLERR | POLLRDHUP));
}

inline bool sendAll(int fd, const std::string& s) {
    size_t off = 0;
    while (off < s.size()) {
        const ssize_t n = ::send(fd, s.data() + off, s.size() - off, MSG_NOSIGNAL);
        if (n <= 0) return false;
        off += static_cast<size_t>(n);
    }
    return true;
}

struct Reply {
    std::string bytes;
    bool closed = false;  // the server ended the stream (EOF or reset) within the limit
};

// Reads until the server closes or `limitSec` passes.
inline Reply readAll(int fd, double limitSec = 5.0, size_t maxBytes = size_t{64} << 20) {
    Reply r;
    const auto until = std::chrono::steady_clock::now() + std::chrono::duration<double>(limitSec);
    char buf[65536];
    while (r.bytes.size() < maxBytes) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(until - std::chrono::steady_clock::now()).count();
        if (left <= 0) return r;
        pollfd p{fd, POLLIN, 0};
        if (::poll(&p, 1, static_cast<int>(left)) <= 0) return r;
        const ssize_t n = ::recv(fd, buf, sizeof buf, 0);
        if (n <= 0) {
            r.closed = true;
            return r;
        }
        r.bytes.append(buf, static_cast<size_t>(n));
    }
    return r;
}

// One request on a new connection; the whole reply.
inline Reply roundTrip(int port, const std::string& request, double limitSec = 5.0) {
    const int fd = connectLoopback(port);
    if (fd < 0) return {};
    sendAll(fd, request);
    Reply r = readAll(fd, limitSec);
    ::close(fd);
    return r;
}

inline std::string getRequest(const std::string& target) { return "GET " + target + " HTTP/1.1\r\nHost: t\r\n\r\n"; }

inline std::string bodyOf(const Reply& r) {
    const size_t at = r.bytes.find("\r\n\r\n");
    return at == std::string::npos ? std::string() : r.bytes.substr(at + 4);
}

inline std::string statusLineOf(const Reply& r) { return r.bytes.substr(0, r.bytes.find("\r\n")); }

}  // namespace plindo::link::testing
