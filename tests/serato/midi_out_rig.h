#pragma once
// Shared helpers of the MIDI tests: an output on the loopback backend with a hand-driven clock and drain, and
// a bridge peer on a loopback UDP port.
#include "platform/midi_backend.h"
#include "serato/midi_bridge_client.h"
#include "serato/serato_midi_out.h"
#include "test_util.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace plindo::serato::testing {
namespace {

// The bridge switch is process-wide; each test that uses the bridge restores it.
struct BridgeEnabled {
    explicit BridgeEnabled(bool on) { MIDIBridgeClient::enabled = on; }
    ~BridgeEnabled() { MIDIBridgeClient::enabled = false; }
};

// An output on the loopback backend whose drain and keep-alive the test runs by hand.
struct OutRig {
    explicit OutRig(uint8_t format = SeratoOutFormat::rel, uint16_t bridgePort = 1) : bridge(bridgePort, clock) {
        settings.format = format;
        if (format == SeratoOutFormat::phone) settings.ticksPerRev = 7200.0;
    }
    platform::LoopbackMidiBackend backend;
    SeratoOutSettings settings;
    platform::FakeClock clock{1000.0};
    MIDIBridgeClient bridge;  // up only where a test enables the bridge
    SeratoMIDIOut out{backend, bridge, settings, clock, SeratoMIDIOutOptions{false, false}};

    std::vector<Bytes> packets() const {
        std::vector<Bytes> out;
        for (auto& s : backend.sent()) out.push_back(s.bytes);
        return out;
    }
    // What was sent since the last call.
    std::vector<Bytes> take() { auto p = packets(); backend.clearSent(); return p; }
    // Brings the port up and a deck's emitter on, then forgets what that sent.
    void activate(int deck) {
        out.setActive(deck, true);
        backend.clearSent();
    }
};

// A stand-in for the bridge process on 127.0.0.1: answers probes with `reply` (none when empty), records
// every other datagram and can send readback to the client it last heard from.
class BridgePeer {
public:
    explicit BridgePeer(Bytes reply = {0x00, 'P', 'L', 'X', 3}) : reply_(std::move(reply)) {
        fd_ = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        bind(fd_, reinterpret_cast<sockaddr*>(&a), sizeof a);
        socklen_t len = sizeof a;
        getsockname(fd_, reinterpret_cast<sockaddr*>(&a), &len);
        port_ = ntohs(a.sin_port);
        timeval tv{0, 20'000};
        setsockopt(fd_, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
        thread_ = std::thread([this] { run(); });
    }
    ~BridgePeer() {
        stop_ = true;
        thread_.join();
        close(fd_);
    }
    uint16_t port() const { return port_; }
    void setReply(Bytes r) { std::lock_guard g(m_); reply_ = std::move(r); }
    std::vector<Bytes> received() { std::lock_guard g(m_); return received_; }
    int probes() { std::lock_guard g(m_); return probes_; }
    void sendToClient(const Bytes& b) {
        std::lock_guard g(m_);
        sendto(fd_, b.data(), b.size(), 0, reinterpret_cast<sockaddr*>(&client_), sizeof client_);
    }
    // Waits (bounded) until `n` non-probe datagrams arrived.
    std::vector<Bytes> waitFor(std::size_t n) {
        waitUntil([&] { return received().size() >= n; }, 2.0);
        return received();
    }

private:
    void run() {
        uint8_t buf[2048];
        while (!stop_) {
            sockaddr_in from{};
            socklen_t len = sizeof from;
            const ssize_t n = recvfrom(fd_, buf, sizeof buf, 0, reinterpret_cast<sockaddr*>(&from), &len);
            if (n <= 0) continue;
            std::lock_guard g(m_);
            client_ = from;
            if (n == 1 && buf[0] == 0x00) {
                ++probes_;
                if (!reply_.empty()) sendto(fd_, reply_.data(), reply_.size(), 0, reinterpret_cast<sockaddr*>(&from), len);
            } else {
                received_.emplace_back(buf, buf + n);
            }
        }
    }

    int fd_ = -1;
    uint16_t port_ = 0;
    std::atomic<bool> stop_{false};
    std::mutex m_;
    Bytes reply_;
    std::vector<Bytes> received_;
    int probes_ = 0;
    sockaddr_in client_{};
    std::thread thread_;
};

}  // namespace
}  // namespace plindo::serato::testing
