#include "platform/message_port.h"

#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstddef>
#include <cstring>
#include <optional>
#include <thread>

namespace plindo::platform {
namespace {

// A request: msgid (int32, little-endian), a flag byte (bit 0: the sender waits for a reply), then the data.
// A reply: the bytes alone.
constexpr size_t kRequestHead = 5;
constexpr int kServeWaitMs = 1000;  // a sender that connects and then says nothing is dropped after this

using Steady = std::chrono::steady_clock;

std::optional<std::string> abstractAddress(const std::string& nameSpace, const std::string& name) {
    std::string path = std::string(1, '\0') + nameSpace + name;
    if (path.size() > sizeof(sockaddr_un::sun_path) || path.find('\0', 1) != std::string::npos) return std::nullopt;
    return path;
}

socklen_t fillAddress(sockaddr_un& a, const std::string& path) {
    std::memset(&a, 0, sizeof a);
    a.sun_family = AF_UNIX;
    std::memcpy(a.sun_path, path.data(), path.size());
    return static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + path.size());
}

int msLeft(Steady::time_point until) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(until - Steady::now()).count();
    return left <= 0 ? 0 : static_cast<int>(std::min<int64_t>(left, 60'000));
}

Steady::time_point after(double seconds) {
    if (!(seconds > 0)) seconds = 0;  // NaN and negatives: no wait
    if (seconds > 3600) seconds = 3600;
    return Steady::now() + std::chrono::duration_cast<Steady::duration>(std::chrono::duration<double>(seconds));
}

// Waits for `events` on fd until the deadline; false on timeout or error.
bool waitFor(int fd, short events, Steady::time_point until) {
    for (;;) {
        pollfd p{fd, events, 0};
        const int r = ::poll(&p, 1, msLeft(until));
        if (r > 0) return true;
        if (r == 0) return false;
        if (errno != EINTR) return false;
    }
}

// A connected socket to `address`, or the status that explains why not.
int connectTo(const std::string& address, Steady::time_point until, MessagePortStatus& status) {
    for (;;) {
        const int fd = ::socket(AF_UNIX, SOCK_SEQPACKET | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
        if (fd < 0) {
            status = MessagePortStatus::TransportError;
            return -1;
        }
        sockaddr_un a;
        const socklen_t len = fillAddress(a, address);
        if (::connect(fd, reinterpret_cast<sockaddr*>(&a), len) == 0) return fd;
        const int err = errno;
        ::close(fd);
        if (err == EAGAIN && Steady::now() < until) {  // the listener's backlog is full: let it catch up
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
            continue;
        }
        status = err == EAGAIN                            ? MessagePortStatus::SendTimeout
                 : (err == ECONNREFUSED || err == ENOENT) ? MessagePortStatus::IsInvalid
                                                          : MessagePortStatus::TransportError;
        return -1;
    }
}

}  // namespace

std::unique_ptr<LocalMessagePort> LocalMessagePort::create(const std::string& name, Callout callout,
                                                           const std::string& nameSpace) {
    const auto address = abstractAddress(nameSpace, name);
    if (!address || !callout) return nullptr;
    const int fd = ::socket(AF_UNIX, SOCK_SEQPACKET | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd < 0) return nullptr;
    sockaddr_un a;
    const socklen_t len = fillAddress(a, *address);
    if (::bind(fd, reinterpret_cast<sockaddr*>(&a), len) != 0 || ::listen(fd, 128) != 0) {
        ::close(fd);
        return nullptr;
    }
    const int wake = ::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    if (wake < 0) {
        ::close(fd);
        return nullptr;
    }
    return std::unique_ptr<LocalMessagePort>(new LocalMessagePort(name, std::move(callout), fd, wake));
}

LocalMessagePort::LocalMessagePort(std::string name, Callout callout, int listenFd, int wakeFd)
    : name_(std::move(name)), callout_(std::move(callout)), listenFd_(listenFd), wakeFd_(wakeFd) {}

LocalMessagePort::~LocalMessagePort() {
    invalidate();
    ::close(listenFd_);
    ::close(wakeFd_);
}

void LocalMessagePort::invalidate() {
    if (!valid_.exchange(false)) return;
    const uint64_t one = 1;
    [[maybe_unused]] const ssize_t w = ::write(wakeFd_, &one, sizeof one);
}

bool LocalMessagePort::runFor(double seconds) {
    const auto until = after(seconds);
    while (valid_.load()) {
        pollfd p[2] = {{listenFd_, POLLIN, 0}, {wakeFd_, POLLIN, 0}};
        const int r = ::poll(p, 2, msLeft(until));
        if (r < 0 && errno != EINTR) return valid_.load();
        if (!valid_.load() || (r > 0 && (p[1].revents & POLLIN))) return false;
        if (r > 0 && (p[0].revents & POLLIN)) {
            const int c = ::accept4(listenFd_, nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK);
            if (c >= 0) {
                serve(c);
                ::close(c);
            }
        }
        if (Steady::now() >= until) break;
    }
    return valid_.load();
}

void LocalMessagePort::serve(int c) {
    // Abstract names carry no file permissions: only processes of this user may talk to the port.
    ucred peer{};
    socklen_t peerLen = sizeof peer;
    if (::getsockopt(c, SOL_SOCKET, SO_PEERCRED, &peer, &peerLen) != 0 || peer.uid != ::geteuid()) return;
    if (!waitFor(c, POLLIN, Steady::now() + std::chrono::milliseconds(kServeWaitMs))) return;
    buf_.resize(kRequestHead + kMaxMessage);
    iovec iov{buf_.data(), buf_.size()};
    msghdr msg{};
    msg.msg_iov = &iov;
    msg.msg_iovlen = 1;
    const ssize_t n = ::recvmsg(c, &msg, 0);
    if (n < 0 || (msg.msg_flags & MSG_TRUNC)) return;
    const auto request = readPortRequest(std::span<const uint8_t>(buf_.data(), size_t(n)));
    if (!request) return;
    std::vector<uint8_t> reply;
    try {
        reply = callout_(request->msgid, request->data);
    } catch (...) {
        reply.clear();  // a failing callout answers with nothing rather than ending the port's thread
    }
    if (!request->wantsReply) return;
    if (reply.size() > kMaxMessage) reply.clear();
    if (!waitFor(c, POLLOUT, Steady::now() + std::chrono::milliseconds(kServeWaitMs))) return;
    [[maybe_unused]] const ssize_t s = ::send(c, reply.data(), reply.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
}

std::vector<uint8_t> portRequestFrame(int32_t msgid, bool wantsReply, std::span<const uint8_t> data) {
    std::vector<uint8_t> packet(kRequestHead + data.size());
    const auto id = static_cast<uint32_t>(msgid);
    packet[0] = static_cast<uint8_t>(id);
    packet[1] = static_cast<uint8_t>(id >> 8);
    packet[2] = static_cast<uint8_t>(id >> 16);
    packet[3] = static_cast<uint8_t>(id >> 24);
    packet[4] = wantsReply ? 1 : 0;
    if (!data.empty()) std::memcpy(packet.data() + kRequestHead, data.data(), data.size());
    return packet;
}

std::optional<PortRequest> readPortRequest(std::span<const uint8_t> packet) {
    if (packet.size() < kRequestHead) return std::nullopt;
    PortRequest r;
    r.msgid = static_cast<int32_t>(uint32_t(packet[0]) | uint32_t(packet[1]) << 8 | uint32_t(packet[2]) << 16 |
                                   uint32_t(packet[3]) << 24);
    r.wantsReply = packet[4] & 1;
    r.data = packet.subspan(kRequestHead);
    return r;
}

std::unique_ptr<RemoteMessagePort> RemoteMessagePort::create(const std::string& name, const std::string& nameSpace) {
    const auto address = abstractAddress(nameSpace, name);
    if (!address) return nullptr;
    MessagePortStatus status = MessagePortStatus::Success;
    const int fd = connectTo(*address, after(0.5), status);
    if (fd < 0) return nullptr;
    ::close(fd);  // the port exists; the peer reads an empty connection and drops it
    return std::unique_ptr<RemoteMessagePort>(new RemoteMessagePort(name, *address));
}

MessagePortStatus RemoteMessagePort::send(int32_t msgid, std::span<const uint8_t> data, double sendTimeout,
                                          double replyTimeout, std::vector<uint8_t>* reply) const {
    if (data.size() > LocalMessagePort::kMaxMessage) return MessagePortStatus::TransportError;
    const auto sendUntil = after(sendTimeout);
    MessagePortStatus status = MessagePortStatus::Success;
    const int fd = connectTo(address_, sendUntil, status);
    if (fd < 0) return status;

    const std::vector<uint8_t> packet = portRequestFrame(msgid, reply != nullptr, data);

    status = MessagePortStatus::Success;
    if (!waitFor(fd, POLLOUT, sendUntil)) {
        status = MessagePortStatus::SendTimeout;
    } else if (::send(fd, packet.data(), packet.size(), MSG_NOSIGNAL | MSG_DONTWAIT) != ssize_t(packet.size())) {
        status =
            (errno == EPIPE || errno == ECONNRESET) ? MessagePortStatus::IsInvalid : MessagePortStatus::TransportError;
    } else if (reply) {
        reply->clear();
        if (!waitFor(fd, POLLIN, after(replyTimeout))) {
            status = MessagePortStatus::ReceiveTimeout;
        } else {
            std::vector<uint8_t> in(LocalMessagePort::kMaxMessage + 1);
            const ssize_t n = ::recv(fd, in.data(), in.size(), MSG_DONTWAIT);
            if (n < 0 || size_t(n) > LocalMessagePort::kMaxMessage) {
                status = MessagePortStatus::TransportError;
            } else {
                // A peer that closes without answering reads as an empty reply.
                in.resize(size_t(n));
                *reply = std::move(in);
            }
        }
    }
    ::close(fd);
    return status;
}

}  // namespace plindo::platform
