#include "serato/midi_bridge_client.h"

#include "platform/log.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/uio.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <chrono>

namespace plindo::serato {

namespace {

constexpr uint8_t kProbe = 0x00;
constexpr uint8_t kMidi = 0x01;
constexpr uint8_t kReadback = 0x02;
constexpr uint8_t kQuit = 0x03;
constexpr double kProbeSpacing = 5.0;
constexpr auto kRestartPause = std::chrono::milliseconds(1500);

spdlog::logger& log() { return platform::logger("midi-bridge"); }

void setReceiveTimeout(int fd, long usec) {
    timeval tv{usec / 1'000'000, usec % 1'000'000};
    setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
}

}  // namespace

std::atomic<bool> MIDIBridgeClient::enabled{false};

MIDIBridgeClient& MIDIBridgeClient::shared() {
    static auto* client = new MIDIBridgeClient(kDefaultPort);  // lives as long as the process
    return *client;
}

MIDIBridgeClient::MIDIBridgeClient(uint16_t port, const platform::Clock& clock) : port_(port), clock_(clock) {}

MIDIBridgeClient::~MIDIBridgeClient() {
    int fd = -1;
    {
        std::lock_guard g(lock_);
        std::lock_guard s(sendLock_);
        fd = fd_;
        fd_ = -1;
        up_ = false;
    }
    rxStop_ = true;
    if (fd >= 0) shutdown(fd, SHUT_RDWR);
    if (rx_.joinable()) rx_.join();
    if (fd >= 0) close(fd);
}

void MIDIBridgeClient::setOnReadback(ReadbackHandler handler) {
    auto p = handler ? std::make_shared<const ReadbackHandler>(std::move(handler)) : nullptr;
    std::lock_guard g(handlerLock_);
    onReadback_ = std::move(p);
}

bool MIDIBridgeClient::probe() {
    if (!enabled.load()) return false;
    std::lock_guard g(lock_);
    if (up_.load()) return true;
    const double now = clock_.now();
    if (now - lastProbe_ < kProbeSpacing) return false;
    lastProbe_ = now;

    if (fd_ < 0) {
        const int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        if (fd < 0) return false;
        sockaddr_in to{};
        to.sin_family = AF_INET;
        to.sin_port = htons(port_);
        to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        if (connect(fd, reinterpret_cast<const sockaddr*>(&to), sizeof to) != 0) {
            close(fd);
            return false;
        }
        std::lock_guard s(sendLock_);
        fd_ = fd;
    }

    // A refusal left over from an earlier probe and late replies must not decide this one.
    int pending = 0;
    socklen_t len = sizeof pending;
    getsockopt(fd_, SOL_SOCKET, SO_ERROR, &pending, &len);
    std::array<uint8_t, 64> buf{};
    while (recv(fd_, buf.data(), buf.size(), MSG_DONTWAIT) >= 0) {
    }

    setReceiveTimeout(fd_, 300'000);
    const uint8_t probeByte = kProbe;
    send(fd_, &probeByte, 1, MSG_NOSIGNAL);
    ssize_t n = -1;
    do {
        n = recv(fd_, buf.data(), buf.size(), 0);
    } while (n < 0 && errno == EINTR);

    if (n >= 5 && buf[0] == kProbe && buf[1] == 'P' && buf[2] == 'L' && buf[3] == 'X') {
        setReceiveTimeout(fd_, 0);
        up_ = true;
        log().info("PlindoMIDIBridge up (v{}) — endpoints held by the helper", static_cast<unsigned>(buf[4]));
        startReceiver(fd_);
        return true;
    }
    log().info("PlindoMIDIBridge not answering on 127.0.0.1:{} — own endpoints", port_);
    return false;
}

void MIDIBridgeClient::startReceiver(int fd) {
    // A receiver of an earlier socket has ended (restart() joined it); readback resumes on the new one.
    if (rx_.joinable()) rx_.join();
    rxStop_ = false;
    rx_ = std::thread([this, fd] { receiveLoop(fd); });
}

void MIDIBridgeClient::receiveLoop(int fd) {
    std::array<uint8_t, 4096> buf{};
    while (!rxStop_.load()) {
        const ssize_t n = recv(fd, buf.data(), buf.size(), 0);
        if (n < 0) {
            // A refusal only says that the bridge was away for a moment; its launcher starts it again.
            if (errno == EINTR || errno == ECONNREFUSED) continue;
            return;
        }
        if (n == 0) continue;  // an empty datagram, or the shutdown that rxStop_ reports
        if (n < 2 || buf[0] != kReadback) continue;
        std::shared_ptr<const ReadbackHandler> handler;
        {
            std::lock_guard g(handlerLock_);
            handler = onReadback_;
        }
        if (handler) (*handler)(std::span<const uint8_t>(buf.data() + 1, static_cast<size_t>(n - 1)));
    }
}

std::string MIDIBridgeClient::restart() {
    bool quitSent = false;
    int oldFd = -1;
    {
        std::lock_guard g(lock_);
        if (up_.load() && fd_ >= 0) {
            const uint8_t quit = kQuit;
            send(fd_, &quit, 1, MSG_NOSIGNAL);
            quitSent = true;
        }
        up_ = false;
        {
            std::lock_guard s(sendLock_);
            oldFd = fd_;
            fd_ = -1;
        }
        lastProbe_ = 0;
        if (oldFd >= 0) {
            rxStop_ = true;
            shutdown(oldFd, SHUT_RDWR);
            if (rx_.joinable()) rx_.join();
            close(oldFd);
        }
    }
    if (!quitSent) return "Bridge antwortete nicht — LaunchAgent installiert? (tools/serato/bridge.sh --agent)";
    std::this_thread::sleep_for(kRestartPause);
    return probe() ? "Bridge neu gestartet und erreichbar" : "Bridge beendet — Neustart steht aus (LaunchAgent?)";
}

bool MIDIBridgeClient::sendMidi(std::span<const uint8_t> bytes) {
    if (bytes.empty() || !up_.load(std::memory_order_acquire)) return false;
    uint8_t type = kMidi;
    iovec iov[2] = {{&type, 1}, {const_cast<uint8_t*>(bytes.data()), bytes.size()}};
    msghdr msg{};
    msg.msg_iov = iov;
    msg.msg_iovlen = 2;
    std::lock_guard s(sendLock_);
    if (fd_ < 0) return false;
    return sendmsg(fd_, &msg, MSG_DONTWAIT | MSG_NOSIGNAL) == static_cast<ssize_t>(bytes.size() + 1);
}

}  // namespace plindo::serato
