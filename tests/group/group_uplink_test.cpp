// The uplink over 127.0.0.1: against a real OSC server found by its advertised name, and against a bare
// socket where the test plays the other host and moves the clock.
#include "group/group_uplink.h"
#include "link/orv_server.h"

#include <gtest/gtest.h>

#include <sys/socket.h>

#include <chrono>
#include <mutex>
#include <thread>

using namespace plindo;
using namespace plindo::group;
using link::OSCMessage;
using link::OSCValue;
using asio::ip::udp;

namespace {

template <typename F>
bool waitFor(F done, double seconds = 5.0) {
    const auto until = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
    while (!done()) {
        if (std::chrono::steady_clock::now() > until) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return true;
}

struct Forwarded {
    std::mutex m;
    std::vector<std::string> addresses;
    void take(std::span<const uint8_t> bytes) {
        std::lock_guard g(m);
        for (const auto& msg : OSCMessage::decodePacket(bytes)) addresses.push_back(msg.address);
    }
    std::vector<std::string> get() {
        std::lock_guard g(m);
        return addresses;
    }
};

// The other host as a bare socket.
struct Peer {
    asio::io_context io;
    udp::socket sock{io, udp::endpoint(asio::ip::make_address_v4("127.0.0.1"), 0)};
    udp::endpoint linkEnd;

    Peer() {
        timeval tv{0, 200000};  // bounds each receive
        ::setsockopt(sock.native_handle(), SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
    }
    std::string target() const { return "127.0.0.1:" + std::to_string(sock.local_endpoint().port()); }
    // The addresses of what arrives within one receive timeout.
    std::vector<std::string> receive() {
        std::vector<std::string> out;
        uint8_t buf[65536];
        for (;;) {
            // Plain recvfrom: asio's own receive waits in poll and would not honour the timeout.
            socklen_t len = linkEnd.capacity();
            const ssize_t n = ::recvfrom(sock.native_handle(), buf, sizeof buf, 0, linkEnd.data(), &len);
            if (n < 0) return out;
            linkEnd.resize(len);
            for (const auto& m : OSCMessage::decodePacket(buf, static_cast<size_t>(n))) out.push_back(m.address);
        }
    }
    void send(std::string_view address, std::vector<OSCValue> args) {
        sock.send_to(asio::buffer(OSCMessage::encode(address, args)), linkEnd);
    }
};

struct Rig {
    platform::MemorySettings settings;
    platform::FakeClock clock{500.0};
    std::vector<std::string> statuses;
    Forwarded forwarded;
    GroupUplink uplink;

    explicit Rig(OrvHostBrowser* browser = nullptr, int ownPort = 7100, GroupUplink::Resolve resolve = nullptr)
        : uplink(GroupUplink::Deps{.settings = settings,
                                   .ownName = "HostA-0002",
                                   .ownPort = [ownPort] { return ownPort; },
                                   .browser = browser,
                                   .clock = clock,
                                   .interfaces = [] {
                                       return std::vector<platform::NetInterface>{
                                           {.name = "en0", .up = true, .ipv4 = "192.0.2.7"},
                                           {.name = "en0", .up = true, .ipv6 = "2001:db8::7"}};
                                   },
                                   .resolve = std::move(resolve)}) {
        uplink.onStatus = [this](const std::string& s) { statuses.push_back(s); };
        uplink.onPeerDatagram = [this](std::span<const uint8_t> b, const udp::endpoint&) { forwarded.take(b); };
    }
};

}  // namespace

TEST(GroupUplink, TargetTextIsHostAndPortOrAName) {
    using HP = GroupUplink::HostPort;
    const std::pair<const char*, std::optional<HP>> cases[] = {
        {"10.0.0.5:7100", HP{"10.0.0.5", 7100}},
        {"dj-laptop.local:1", HP{"dj-laptop.local", 1}},
        {"[fe80::1]:65535", HP{"fe80::1", 65535}},
        {"10.0.0.5:65536", std::nullopt},
        {"10.0.0.5:0", std::nullopt},
        {"10.0.0.5:", std::nullopt},
        {":7100", std::nullopt},
        {"10.0.0.5:71a0", std::nullopt},
        {"fe80::1:7100", std::nullopt},
        {"[fe80::1]7100", std::nullopt},
        {"Booth-1A2B", std::nullopt},
    };
    for (const auto& [text, want] : cases) EXPECT_EQ(GroupUplink::parseHostPort(text), want) << text;
}

TEST(GroupUplink, JoinsAServerFoundByItsNameAndHandsOnWhatItSends) {
    platform::FakeServiceRegistry registry;
    platform::InlineExecutor main;
    link::OrvServer host(link::OrvServer::Deps{
        .main = main, .advertiser = &registry, .serviceName = "HostB-0001"});
    std::mutex m;
    std::vector<std::string> hostStatus;
    host.onStatus = [&](const std::string& s) {
        std::lock_guard g(m);
        hostStatus.push_back(s);
    };
    host.start(0, 2.5);
    ASSERT_TRUE(host.running());

    OrvHostBrowser browser(registry);
    Rig rig(&browser);
    rig.settings.setValue(GroupUplink::kTargetKey, " HostB-0001 ");
    ASSERT_TRUE(waitFor([&] {
        rig.clock.advance(0.1);
        rig.uplink.tick(rig.clock.now());
        return rig.uplink.link() != nullptr;
    }));
    EXPECT_EQ(rig.uplink.trackServerPort(), 17600);
    EXPECT_EQ(rig.uplink.targetEndpoint()->port(), host.localPort());
    EXPECT_EQ(rig.settings.value(GroupUplink::kPreviousKey), nlohmann::json({"HostB-0001"}));
    // The host answers before it reports the new peer.
    const auto joined = [&] {
        std::lock_guard g(m);
        return std::count(hostStatus.begin(), hostStatus.end(), "Plindo: group peer HostA-0002 joined");
    };
    EXPECT_TRUE(waitFor([&] { return joined() > 0; }));
    EXPECT_EQ(joined(), 1);

    host.sendGroupState("[]");
    host.sendGroupMute(true);
    ASSERT_TRUE(waitFor([&] { return rig.forwarded.get().size() >= 2; }));
    EXPECT_EQ(rig.forwarded.get(), (std::vector<std::string>{"/orv/group/state", "/orv/group/mute"}));
    EXPECT_TRUE(rig.statuses.empty());
}

TEST(GroupUplink, SaysHelloOnceASecondAndIsLiveFromBindUntilFiveSilentSeconds) {
    Peer peer;
    Rig rig;
    rig.settings.setValue(GroupUplink::kPreviousKey,
                          nlohmann::json({"g1", "g2", "g3", "g4", peer.target(), "g6", "g7", "g8"}));
    rig.settings.setValue(GroupUplink::kTargetKey, peer.target());
    ASSERT_TRUE(waitFor([&] {
        rig.uplink.tick(rig.clock.now());
        return rig.uplink.targetEndpoint().has_value();
    }));
    EXPECT_EQ(peer.receive(), std::vector<std::string>{"/orv/hello"});
    rig.clock.advance(0.5);
    rig.uplink.tick(rig.clock.now());
    EXPECT_TRUE(peer.receive().empty());
    rig.clock.advance(0.5);
    rig.uplink.tick(rig.clock.now());
    EXPECT_EQ(peer.receive(), std::vector<std::string>{"/orv/hello"});
    EXPECT_EQ(rig.uplink.link(), nullptr);  // said hello, not yet bound

    peer.send("/orv/hot", {});
    peer.send("/orv/bind", {OSCValue::int32(0), OSCValue::string("10.0.0.5"), OSCValue::int32(17601)});
    ASSERT_TRUE(waitFor([&] { return rig.uplink.live(); }));
    EXPECT_EQ(rig.uplink.trackServerPort(), 17601);
    rig.uplink.tick(rig.clock.now());
    EXPECT_EQ(rig.settings.value(GroupUplink::kPreviousKey),
              nlohmann::json({peer.target(), "g1", "g2", "g3", "g4", "g6", "g7", "g8"}));

    peer.send("/orv/hot", {});
    peer.send("/orv/group/load", {OSCValue::string("left"), OSCValue::string("/a"), OSCValue::string(""),
                                  OSCValue::int32(5)});
    ASSERT_TRUE(waitFor([&] { return !rig.forwarded.get().empty(); }));
    EXPECT_EQ(rig.forwarded.get(), std::vector<std::string>{"/orv/group/load"});

    rig.clock.advance(5.0);
    EXPECT_TRUE(rig.uplink.live());
    rig.clock.advance(0.01);
    EXPECT_FALSE(rig.uplink.live());
    EXPECT_EQ(rig.uplink.link(), nullptr);
    peer.send("/orv/hot", {});  // heard again, but only a new bind makes the link live
    peer.send("/orv/group/mute", {OSCValue::int32(1)});
    ASSERT_TRUE(waitFor([&] { return rig.forwarded.get().size() == 2; }));
    EXPECT_FALSE(rig.uplink.live());
    peer.send("/orv/bind", {OSCValue::int32(0), OSCValue::string(""), OSCValue::int32(17602)});
    ASSERT_TRUE(waitFor([&] { return rig.uplink.live(); }));
    EXPECT_EQ(rig.uplink.trackServerPort(), 17602);

    rig.settings.setValue(GroupUplink::kTargetKey, "");  // leaving the group closes the link
    rig.uplink.tick(rig.clock.now());
    EXPECT_FALSE(rig.uplink.live());
    EXPECT_FALSE(rig.uplink.targetEndpoint());
    EXPECT_TRUE(rig.statuses.empty());
}

// A name with an IPv6 address first, as a dual-stack machine lists it, for a host listening on IPv4 only.
TEST(GroupUplink, ANameWithBothFamiliesReachesAHostOnIPv4Only) {
    Peer peer;
    Rig rig(nullptr, 7100, [](const std::string& host) {
        std::vector<asio::ip::address> out;
        if (host == "booth.test") out = {asio::ip::make_address("::1"), asio::ip::make_address("127.0.0.1")};
        return out;
    });
    rig.settings.setValue(GroupUplink::kTargetKey, "booth.test:" + std::to_string(peer.sock.local_endpoint().port()));
    ASSERT_TRUE(waitFor([&] {
        rig.uplink.tick(rig.clock.now());
        return rig.uplink.targetEndpoint().has_value();
    }));
    EXPECT_EQ(rig.uplink.targetEndpoint()->address(), asio::ip::make_address("127.0.0.1"));
    ASSERT_EQ(peer.receive(), std::vector<std::string>{"/orv/hello"});
    peer.send("/orv/bind", {OSCValue::int32(0), OSCValue::string(""), OSCValue::int32(17600)});
    EXPECT_TRUE(waitFor([&] { return rig.uplink.live(); }));
    EXPECT_TRUE(rig.statuses.empty());
}

TEST(GroupUplink, RefusesThisHostAndReportsAMissingTargetOnce) {
    platform::FakeServiceRegistry registry;
    OrvHostBrowser browser(registry);
    const struct {
        std::string target;
        std::string status;
    } cases[] = {
        {"HostA-0002", "Plindo: group host HostA-0002 is this host — not joined"},
        {"127.0.0.1:7100", "Plindo: group host 127.0.0.1:7100 is this host — not joined"},
        {"0.0.0.0:7100", "Plindo: group host 0.0.0.0:7100 is this host — not joined"},
        {"192.0.2.7:7100", "Plindo: group host 192.0.2.7:7100 is this host — not joined"},
        {"[2001:db8::7]:7100", "Plindo: group host [2001:db8::7]:7100 is this host — not joined"},
        {"[::ffff:127.0.0.1]:7100", "Plindo: group host [::ffff:127.0.0.1]:7100 is this host — not joined"},
        {"Nobody-9999", "Plindo: group host Nobody-9999 not found"},
    };
    for (const auto& c : cases) {
        Rig rig(&browser, 7100);
        rig.settings.setValue(GroupUplink::kTargetKey, c.target);
        ASSERT_TRUE(waitFor([&] {
            rig.uplink.tick(rig.clock.now());
            return !rig.statuses.empty();
        })) << c.target;
        for (int i = 0; i < 20; ++i) {
            rig.clock.advance(1.0);
            rig.uplink.tick(rig.clock.now());
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
        EXPECT_EQ(rig.statuses, std::vector<std::string>{c.status}) << c.target;
        EXPECT_FALSE(rig.uplink.targetEndpoint()) << c.target;
    }
}
