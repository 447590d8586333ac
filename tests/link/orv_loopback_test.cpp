// The server on a real UDP socket, talked to over the loopback addresses only.
#include "link/orv_server.h"
#include "osc_bytes.h"
#include "thread_wakes.h"

#include <gtest/gtest.h>

#include <net/if.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <future>
#include <optional>
#include <thread>

using namespace plindo;
using namespace plindo::link;
using namespace plindo::link::testing;
using asio::ip::udp;

namespace {

struct Client {
    asio::io_context io;
    udp::endpoint server;
    udp::socket sock;

    explicit Client(int port, const char* host = "127.0.0.1")
        : server(asio::ip::make_address(host), static_cast<unsigned short>(port)),
          sock(io, udp::endpoint(server.address(), 0)) {
        timeval tv{0, 50000};  // bounds each receive
        ::setsockopt(sock.native_handle(), SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
    }
    void send(std::string_view address, std::vector<OSCValue> args) { sock.send_to(asio::buffer(OSCMessage::encode(address, args)), server); }
    // The first message other than a keep-alive, waiting up to `seconds` (a busy machine may be slow).
    std::optional<OSCMessage> nextReply(double seconds) {
        const auto end = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
        uint8_t buf[2048];
        while (std::chrono::steady_clock::now() < end) {
            const ssize_t n = ::recv(sock.native_handle(), buf, sizeof buf, 0);
            if (n <= 0) continue;
            for (auto& m : OSCMessage::decodePacket(buf, static_cast<size_t>(n)))
                if (m.address != "/orv/hot") return std::move(m);
        }
        return std::nullopt;
    }
    // Every message that arrives within `seconds`.
    std::vector<OSCMessage> receiveFor(double seconds) {
        std::vector<OSCMessage> out;
        const auto end = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
        uint8_t buf[2048];
        while (std::chrono::steady_clock::now() < end) {
            const ssize_t n = ::recv(sock.native_handle(), buf, sizeof buf, 0);
            if (n > 0)
                for (auto& m : OSCMessage::decodePacket(buf, static_cast<size_t>(n))) out.push_back(std::move(m));
        }
        return out;
    }
};

size_t hots(const std::vector<OSCMessage>& ms) {
    return static_cast<size_t>(std::count_if(ms.begin(), ms.end(), [](const auto& m) { return m.address == "/orv/hot"; }));
}

// Wake-ups of the server's thread over half a second of nothing arriving.
long wakesWhileQuiet() {
    const long before = plindo::test_threads::wakesOf("orv.udp");
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    return plindo::test_threads::wakesOf("orv.udp") - before;
}

struct Host {
    platform::InlineExecutor main;
    std::vector<std::string> statuses;
    std::vector<platform::NetInterface> interfaces;
    OrvServer server{OrvServer::Deps{.main = main, .interfaces = [this] { return interfaces; }}};
    std::mutex m;  // status lines may come from the server's thread
    Host() {
        server.onStatus = [this](const std::string& s) {
            std::lock_guard g(m);
            statuses.push_back(s);
        };
    }
};

}  // namespace

TEST(OrvLoopback, HelloGetsBindThenKeepAliveOnlyWhileThePhoneTalks) {
    Host host;
    host.server.start(0, 2.5);
    ASSERT_TRUE(host.server.running());
    EXPECT_EQ(host.statuses.front(), "Plindo: listening on UDP :0");  // nothing advertised
    EXPECT_EQ(localNetworkDenied().value(), 0.0);
    // Nobody heard: the server's thread sleeps (a running keep-alive would wake it 50 times).
    EXPECT_LT(wakesWhileQuiet(), 10);
    Client phone(host.server.localPort());

    phone.send("/orv/hello", {I(1), S("Ann"), I(0), S("remote"), I(1), S("1215")});
    const auto got = phone.nextReply(5.0);
    ASSERT_TRUE(got);
    // The first address offered is the one the datagram reached.
    EXPECT_EQ(got->address, "/orv/bind");
    EXPECT_EQ(got->args.at(1), S("127.0.0.1"));
    EXPECT_EQ(got->args.at(2), I(17600));

    // Frames keep it alive: keep-alives arrive every few tens of milliseconds while frames come.
    using Clock = std::chrono::steady_clock;
    size_t n = 0;
    for (const auto end = Clock::now() + std::chrono::seconds(10); n < 5 && Clock::now() < end;) {
        phone.send("/orv/frame", {I(1), S(""), D(0), D(1)});
        n += hots(phone.receiveFor(0.05));
    }
    EXPECT_GE(n, 5u);
    EXPECT_EQ(host.server.remoteName(1), "Ann");

    // Silent for over a second: nothing more arrives (a server running late on a busy machine may send its
    // last few late, never for long).
    const auto quiet = Clock::now();
    phone.receiveFor(1.1);
    bool stopped = false;
    while (!stopped && Clock::now() - quiet < std::chrono::seconds(10)) stopped = phone.receiveFor(0.3).empty();
    EXPECT_TRUE(stopped);
    EXPECT_LT(wakesWhileQuiet(), 10);

    // The phone speaks again: keep-alives resume.
    n = 0;
    for (const auto end = Clock::now() + std::chrono::seconds(10); n < 5 && Clock::now() < end;) {
        phone.send("/orv/frame", {I(1), S(""), D(0), D(1)});
        n += hots(phone.receiveFor(0.05));
    }
    EXPECT_GE(n, 5u);
}

TEST(OrvLoopback, PortInUseIsReportedAndASecondStartIsSilent) {
    // Something already holds the port (without address reuse, as any other program would).
    asio::io_context io;
    udp::socket holder(io, udp::endpoint(udp::v4(), 0));
    const int busy = holder.local_endpoint().port();

    Host host;
    host.server.start(busy, 2.5);
    EXPECT_FALSE(host.server.running());
    host.server.start(70000, 2.5);
    EXPECT_EQ(host.statuses, (std::vector<std::string>{
                                 "Plindo: UDP :" + std::to_string(busy) + " in use — change the port in Settings",
                                 "Plindo: UDP :70000 in use — change the port in Settings"}));

    // Idle after a failure, so a later start may bind; a second start says nothing.
    host.server.start(0, 2.5);
    EXPECT_TRUE(host.server.running());
    const size_t before = host.statuses.size();
    host.server.start(0, 2.5);
    EXPECT_EQ(host.statuses.size(), before);

    Host other;
    other.server.start(host.server.localPort(), 2.5);
    EXPECT_FALSE(other.server.running());

    // The bound port is advertised under the service name.
    platform::FakeServiceRegistry registry;
    platform::InlineExecutor main;
    OrvServer advertised{OrvServer::Deps{.main = main, .advertiser = &registry, .serviceName = "Studio"}};
    advertised.start(0, 2.5);
    const auto found = registry.browse("_plindo._udp", 0.1);
    ASSERT_EQ(found.size(), 1u);
    EXPECT_EQ(found[0].name, "Studio");
    EXPECT_EQ(found[0].port, advertised.localPort());
}

// Takes every service and publishes it when the test says so, as a daemon does some time later.
struct LateAdvertiser final : platform::ServiceAdvertiser {
    using platform::ServiceAdvertiser::advertise;
    std::function<void()> publish;
    std::unique_ptr<platform::ServiceRegistration> advertise(const std::string&, const std::string&, int,
                                                             const std::function<void(const std::string&)>&,
                                                             const std::function<void()>& onRegistered) override {
        publish = onRegistered;
        return std::make_unique<platform::ServiceRegistration>();
    }
};

TEST(OrvLoopback, StatusNamesTheServiceOnlyOncePublished) {
    platform::InlineExecutor main;
    std::vector<std::string> lines;
    const auto record = [&](const std::string& s) { lines.push_back(s); };

    platform::FakeServiceRegistry registry;  // publishes at once
    OrvServer atOnce{OrvServer::Deps{.main = main, .advertiser = &registry, .serviceName = "Studio"}};
    atOnce.onStatus = record;
    atOnce.start(0, 2.5);
    EXPECT_EQ(lines, std::vector<std::string>{"Plindo: listening on UDP :0, Bonjour _plindo._udp"});

    lines.clear();
    LateAdvertiser daemon;
    OrvServer later{OrvServer::Deps{.main = main, .advertiser = &daemon, .serviceName = "Studio"}};
    later.onStatus = record;
    later.start(0, 2.5);
    EXPECT_EQ(lines, std::vector<std::string>{"Plindo: listening on UDP :0"});  // not published (yet)
    ASSERT_TRUE(daemon.publish);
    daemon.publish();
    EXPECT_EQ(lines, (std::vector<std::string>{"Plindo: listening on UDP :0", "Plindo: listening on UDP :0, Bonjour _plindo._udp"}));
}

TEST(OrvLoopback, HelloIsAnsweredOverIPv6AndIPv4AndReadsTheArrivalInterface) {
    Host host;
    // The loopback posing as a wired port: the link kind then shows that the arrival interface was read.
    host.interfaces = {{.name = "lo", .up = true, .ipv4 = "127.0.0.1", .index = ::if_nametoindex("lo"),
                        .medium = platform::NetInterface::Medium::Wired}};
    host.server.start(0, 2.5);
    ASSERT_TRUE(host.server.running());
    const struct {
        const char* address;
        int deck;
        const char* firstOffered;  // an IPv6 arrival offers the primary IPv4 address instead
    } cases[] = {{"127.0.0.1", 1, "127.0.0.1"}, {"::1", 2, "127.0.0.1"}};
    for (const auto& c : cases) {
        if (std::string(c.address) == "::1" && ::access("/proc/net/if_inet6", F_OK) != 0) continue;  // no IPv6
        Client phone(host.server.localPort(), c.address);
        for (int k = 0; k < 2; ++k) {
            phone.send("/orv/hello", {I(c.deck), S("Ann"), I(0), S("remote"), I(1), S("1215")});
            const auto got = phone.nextReply(5.0);
            ASSERT_TRUE(got) << c.address;
            EXPECT_EQ(got->address, "/orv/bind");
            EXPECT_EQ(got->args.at(0), I(c.deck));
            EXPECT_EQ(got->args.at(1), S(c.firstOffered)) << c.address;
        }
        EXPECT_EQ(host.server.remoteVia(c.deck), "LAN") << c.address;
        EXPECT_EQ(host.server.remoteHost(c.deck), std::string(c.address) == "::1" ? "" : c.address);
    }
}

TEST(OrvLoopback, ABoundPhoneIsServedThroughAFloodOfStrangers) {
    Host host;
    std::atomic<int> frames{0};
    host.server.onFrame = [&](int, std::string_view, double, double, std::span<const OrvServer::FrameSample>) { ++frames; };
    host.server.start(0, 2.5);
    ASSERT_TRUE(host.server.running());
    Client phone(host.server.localPort());
    phone.send("/orv/hello", {I(1), S("Ann"), I(0), S("remote"), I(1), S("1215")});
    ASSERT_TRUE(phone.nextReply(5.0));
    phone.send("/orv/frame", {I(1), S(""), D(0), D(1)});
    for (int i = 0; i < 500 && frames.load() < 1; ++i) std::this_thread::sleep_for(std::chrono::milliseconds(10));
    ASSERT_EQ(frames.load(), 1);

    // While the server is busy, 20 strangers queue 100 pings ahead of the phone's next frame: the frame is
    // handled, and only a small share of the strangers is answered.
    std::promise<void> release;
    std::promise<void> holding;
    host.server.runOnQueue([&, f = release.get_future().share()] {
        holding.set_value();
        f.wait();
    });
    holding.get_future().wait();
    std::vector<std::unique_ptr<Client>> strangers;
    for (int s = 0; s < 20; ++s) {
        strangers.push_back(std::make_unique<Client>(host.server.localPort(), ("127.0.0." + std::to_string(2 + s)).c_str()));
        for (int k = 0; k < 5; ++k) strangers.back()->send("/orv/ping", {I(1), I(k)});
    }
    phone.send("/orv/frame", {I(1), S(""), D(0), D(1)});
    release.set_value();
    for (int i = 0; i < 500 && frames.load() < 2; ++i) std::this_thread::sleep_for(std::chrono::milliseconds(10));
    EXPECT_EQ(frames.load(), 2);
    size_t pongs = 0;
    for (auto& c : strangers) {
        for (const auto& m : c->receiveFor(0.05)) pongs += m.address == "/orv/pong";
    }
    EXPECT_LE(pongs, OrvServer::kStrangerReadsPerWake);
}
