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
