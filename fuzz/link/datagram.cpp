// Datagrams from a handful of senders into one server with a fake clock and a sink that keeps nothing:
// no crash, no sanitizer report, and the per-sender tables stay bounded.
#include "link/orv_server.h"

#include <cstdlib>

using namespace plindo;
using namespace plindo::link;

namespace {

class NullSink final : public OrvServer::Sink {
public:
    void send(const OrvServer::Endpoint&, std::span<const uint8_t> bytes) override { sent += bytes.size(); }
    size_t sent = 0;
};

struct Rig {
    platform::FakeClock clock{1000.0};
    platform::InlineExecutor main;
    NullSink sink;
    OrvServer server{OrvServer::Deps{
        .main = main,
        .clock = clock,
        .interfaces = [] { return std::vector<platform::NetInterface>{{.name = "en0", .up = true, .ipv4 = "10.0.0.2"}}; },
        .sink = &sink}};
    Rig() {
        // Callbacks that touch what they get, so the sanitizers see every view.
        server.onFrame = [](int, std::string_view p, double, double, std::span<const OrvServer::FrameSample> s) {
            volatile size_t n = p.size() + s.size();
            (void)n;
        };
        server.onTunnel = [](int, int32_t, std::span<const OrvServer::Tick> t) {
            volatile size_t n = t.size();
            (void)n;
        };
        server.onRaw = [](int, const OrvRemoteLink::RawMirror& r) {
            volatile size_t n = r.calibStamp.size() + r.bridgeMode.size();
            (void)n;
        };
        server.onStatus = [this](const std::string&) { (void)server.remoteName(1); };
    }
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static Rig rig;
    if (size < 2) return 0;
    // First byte: which sender and how far the clock moves; the rest is the datagram.
    const uint8_t head = data[0];
    rig.clock.advance((head >> 4) * 0.4);
    const OrvServer::Origin from{
        asio::ip::udp::endpoint(asio::ip::make_address_v4(0x0A000000u + (head & 0x0F)), 7000 + (head & 0x3)),
        asio::ip::make_address_v4(0x0A000002u)};
    rig.server.handleDatagram(data + 1, size - 1, from, rig.clock.now());
    rig.server.keepAliveTick();
    rig.server.sendGroupMute(true);
    return 0;
}
