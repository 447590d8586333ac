#pragma once
// A server wired to a fake clock, an inline main executor, an injected interface list and a sink that records
// every datagram instead of sending it.
#include "link/orv_server.h"
#include "osc_bytes.h"

#include <mutex>
#include <string>
#include <vector>

namespace plindo::link::testing {

struct Sent {
    asio::ip::udp::endpoint to;
    OSCMessage msg;
};

class RecordingSink final : public OrvServer::Sink {
public:
    void send(const asio::ip::udp::endpoint& to, std::span<const uint8_t> bytes) override {
        std::lock_guard g(m_);
        for (auto& msg : OSCMessage::decodePacket(bytes)) {
            if (msg.address == "/orv/hot" && !keepHot) continue;
            sent_.push_back({to, std::move(msg)});
        }
    }
    std::vector<Sent> take() {
        std::lock_guard g(m_);
        return std::exchange(sent_, {});
    }
    bool keepHot = false;

private:
    std::mutex m_;
    std::vector<Sent> sent_;
};

// Phone n's datagrams reach `local` on the interface with index `arrival` (2 is the rig's Wi-Fi).
inline OrvServer::Origin phone(int n, const char* local = "192.168.1.10", unsigned arrival = 2) {
    return {asio::ip::udp::endpoint(asio::ip::make_address(("192.168.1." + std::to_string(100 + n)).c_str()),
                                    static_cast<unsigned short>(50000 + n)),
            asio::ip::make_address(local), arrival};
}

inline platform::NetInterface nic(std::string name, bool up, bool loopback, std::string ipv4, unsigned index = 0,
                                  platform::NetInterface::Medium medium = platform::NetInterface::Medium::Other) {
    return {.name = std::move(name), .up = up, .loopback = loopback, .ipv4 = std::move(ipv4), .index = index,
            .medium = medium};
}

struct ServerRig {
    platform::FakeClock clock{1024.0};
    platform::InlineExecutor main;
    RecordingSink sink;
    std::vector<platform::NetInterface> interfaces{
        nic("lo", true, true, "127.0.0.1", 1),
        nic("wlan0", true, false, "192.168.1.10", 2, platform::NetInterface::Medium::Wireless),
        nic("en0", true, false, "10.0.0.5", 3, platform::NetInterface::Medium::Wired),
    };
    OrvServer server{OrvServer::Deps{.main = main,
                                     .clock = clock,
                                     .interfaces = [this] { return interfaces; },
                                     .advertiser = nullptr,
                                     .sink = &sink,
                                     .serviceName = "Test Host"}};
    std::vector<std::string> statuses;

    ServerRig() {
        server.onStatus = [this](const std::string& s) { statuses.push_back(s); };
    }

    void recv(const OrvServer::Origin& from, std::string_view address, std::vector<OSCValue> args) {
        const auto bytes = OSCMessage::encode(address, args);
        server.handleDatagram(bytes.data(), bytes.size(), from, clock.now());
    }

    void hello(const OrvServer::Origin& from, int deck, const std::string& name, std::string build = "1215",
               std::string needed = "") {
        recv(from, "/orv/hello", {I(deck), S(name), I(0), S("remote"), I(1), S(std::move(build)), S(std::move(needed))});
    }

    void frame(const OrvServer::Origin& from, int deck, const std::string& path = "/m/a.mp3") {
        recv(from, "/orv/frame", {I(deck), S(path), D(1.0), D(1.0)});
    }
};

}  // namespace plindo::link::testing
