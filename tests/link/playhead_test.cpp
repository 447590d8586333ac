#include "link/osc_playhead_in.h"
#include "osc_bytes.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <limits>
#include <mutex>

using namespace plindo::link;
using namespace plindo::link::testing;

namespace {

using Call = std::pair<int, double>;

int udpSocket() { return ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0); }

sockaddr_in address(uint32_t host, uint16_t port) {
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(host);
    a.sin_port = htons(port);
    return a;
}

// A started input on an ephemeral port, a loopback sender, and the calls it has made so far.
struct Loopback {
    OSCPlayheadIn in;
    std::vector<std::string> statuses;
    int tx = udpSocket();
    std::mutex m;
    std::condition_variable cv;
    std::vector<Call> calls;

    Loopback() {
        in.onPlayhead = [this](int deck, double seconds) {
            std::lock_guard g(m);
            calls.emplace_back(deck, seconds);
            cv.notify_all();
        };
        in.onStatus = [this](const std::string& s) { statuses.push_back(s); };
        in.start(0);
    }
    ~Loopback() { ::close(tx); }

    void send(const Bytes& bytes) {
        const auto to = address(INADDR_LOOPBACK, in.port());
        ::sendto(tx, bytes.data(), bytes.size(), 0, reinterpret_cast<const sockaddr*>(&to), sizeof to);
    }
    void send(std::string_view address, std::vector<OSCValue> args) { send(OSCMessage::encode(address, args)); }

    // Sends a marker that is always accepted and waits for it, so the calls before it are exactly those of
    // the earlier datagrams.
    std::vector<Call> drain() {
        send("/drain/position2", {I(-3000)});
        const Call marker{1, -1.0};
        std::unique_lock g(m);
        EXPECT_TRUE(cv.wait_for(g, std::chrono::seconds(3), [&] { return !calls.empty() && calls.back() == marker; }));
        std::vector<Call> out = std::exchange(calls, {});
        if (!out.empty() && out.back() == marker) out.pop_back();
        return out;
    }
};

}  // namespace

TEST(OSCPlayheadIn, TakesFiniteNumbersAtAddressesEndingInPositionOneOrTwo) {
    Loopback lb;
    ASSERT_TRUE(lb.in.running());
    const double inf = std::numeric_limits<double>::infinity();
    lb.send("/deck/Position1", {OSCValue::float32(3000.0f)});
    lb.send("/x/position2", {I(6000)});
    lb.send("/POSITION2", {D(1500)});
    lb.send("position1", {I(3000)});  // not an OSC address: the codec drops it
    lb.send("/position12", {I(3000)});
    lb.send("/deck/position", {I(3000)});
    lb.send("/position1/x", {I(3000)});
    lb.send("/a/b/c/anything-position1", {OSCValue::int64(-9000)});
    EXPECT_EQ(lb.drain(), (std::vector<Call>{{0, 1.0}, {1, 2.0}, {1, 0.5}, {0, -3.0}}));

    lb.send("/position1", {S("3000")});
    lb.send("/position1", {});
    lb.send("/position1", {OSCValue::float32(std::numeric_limits<float>::quiet_NaN())});
    lb.send("/position2", {D(inf)});
    lb.send("/position2", {D(-inf)});
    lb.send("/position1", {S("x"), I(3000)});
    lb.send("/position1", {I(300), S("ignored"), I(9)});
    lb.send(Bytes{});
    lb.send(Bytes{0xFF, 0x00, 0x13});
    EXPECT_EQ(lb.drain(), (std::vector<Call>{{0, 0.1}}));

    // A bundle gives one call per message, nested ones included, in order.
    lb.send(bundle({OSCMessage::encode("/position1", std::vector{I(3000)}), OSCMessage::encode("/other", std::vector{I(1)}),
                    bundle({OSCMessage::encode("/position2", std::vector{I(9000)})})}));
    EXPECT_EQ(lb.drain(), (std::vector<Call>{{0, 1.0}, {1, 3.0}}));

    // A second start changes nothing.
    const auto port = lb.in.port();
    lb.in.start(0);
    lb.in.start(port);
    EXPECT_EQ(lb.in.port(), port);
    EXPECT_EQ(lb.statuses, std::vector<std::string>{"Playhead in: OSC :" + std::to_string(port) +
                                                    " direct (position1/2) - no parallel OSC listener allowed"});
}

TEST(OSCPlayheadIn, PortInUseIsReportedAndALaterStartBinds) {
    for (int reuse : {0, 1}) {
        // Another listener on the wildcard address, with or without address reuse.
        const int other = udpSocket();
        ::setsockopt(other, SOL_SOCKET, SO_REUSEADDR, &reuse, sizeof reuse);
        auto a = address(INADDR_ANY, 0);
        socklen_t len = sizeof a;
        ASSERT_EQ(::bind(other, reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
        ::getsockname(other, reinterpret_cast<sockaddr*>(&a), &len);
        const int port = ntohs(a.sin_port);

        OSCPlayheadIn in;
        std::vector<std::string> statuses;
        in.onStatus = [&](const std::string& s) { statuses.push_back(s); };
        in.start(port);
        EXPECT_FALSE(in.running());
        EXPECT_EQ(in.port(), 0);
        ::close(other);
        in.start(port);
        EXPECT_TRUE(in.running());
        EXPECT_EQ(in.port(), port);
        EXPECT_EQ(statuses, (std::vector<std::string>{
                                "Playhead in: UDP :" + std::to_string(port) +
                                    " already in use - is another OSC listener still running? (must NOT run in parallel)",
                                "Playhead in: OSC :" + std::to_string(port) +
                                    " direct (position1/2) - no parallel OSC listener allowed"}));
    }
}
