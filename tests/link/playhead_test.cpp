#include "link/osc_playhead_in.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <limits>
#include <mutex>

using namespace plindo::link;
using namespace std::chrono_literals;

namespace {

struct Call {
    int deck;
    double seconds;
    bool operator==(const Call&) const = default;
};

std::ostream& operator<<(std::ostream& os, const Call& c) { return os << "(" << c.deck << ", " << c.seconds << ")"; }

// A started input on an ephemeral port, a loopback sender, and the calls it has made so far.
class Loopback {
public:
    Loopback() {
        in.onPlayhead = [this](int deck, double seconds) {
            std::lock_guard g(m);
            calls.push_back({deck, seconds});
            cv.notify_all();
        };
        in.onStatus = [this](const std::string& s) { statuses.push_back(s); };
        in.start(0);
        tx = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    }
    ~Loopback() { ::close(tx); }

    void send(const std::vector<std::uint8_t>& bytes) {
        sockaddr_in to{};
        to.sin_family = AF_INET;
        to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        to.sin_port = htons(in.port());
        ASSERT_EQ(::sendto(tx, bytes.data(), bytes.size(), 0, reinterpret_cast<sockaddr*>(&to), sizeof to),
                  static_cast<ssize_t>(bytes.size()));
    }
    void send(std::string_view address, std::vector<OSCValue> args) { send(OSCMessage::encode(address, args)); }

    // Sends a marker that is always accepted and waits for it: everything sent before has been handled, so
    // the calls made before the marker are exactly those of the earlier datagrams.
    std::vector<Call> drain() {
        send("/drain/position2", {OSCValue::int32(-3000)});
        std::unique_lock g(m);
        cv.wait_for(g, 3s, [&] { return !calls.empty() && calls.back() == Call{1, -1.0}; });
        EXPECT_FALSE(calls.empty());
        std::vector<Call> out;
        if (!calls.empty() && calls.back() == Call{1, -1.0}) out.assign(calls.begin(), calls.end() - 1);
        calls.clear();
        return out;
    }

    OSCPlayheadIn in;
    std::vector<std::string> statuses;

private:
    int tx = -1;
    std::mutex m;
    std::condition_variable cv;
    std::vector<Call> calls;
};

std::vector<std::uint8_t> bundle(const std::vector<std::vector<std::uint8_t>>& elements) {
    std::vector<std::uint8_t> b = {'#', 'b', 'u', 'n', 'd', 'l', 'e', 0, 0, 0, 0, 0, 0, 0, 0, 1};
    for (const auto& e : elements) {
        const auto n = static_cast<std::uint32_t>(e.size());
        b.insert(b.end(), {std::uint8_t(n >> 24), std::uint8_t(n >> 16), std::uint8_t(n >> 8), std::uint8_t(n)});
        b.insert(b.end(), e.begin(), e.end());
    }
    return b;
}

// An ephemeral UDP port held by another listener on the wildcard address.
struct Blocker {
    int fd;
    std::uint16_t port = 0;
    explicit Blocker(bool reuse) {
        fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        int one = 1;
        if (reuse) ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_ANY);
        socklen_t len = sizeof a;
        if (::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0 &&
            ::getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len) == 0) {
            port = ntohs(a.sin_port);
        }
    }
    ~Blocker() { release(); }
    void release() {
        if (fd >= 0) ::close(fd);
        fd = -1;
    }
};

}  // namespace

TEST(OSCPlayheadIn, MatchesTheAddressEndInAnyCase) {
    Loopback lb;
    ASSERT_TRUE(lb.in.running());
    lb.send("/deck/Position1", {OSCValue::float32(3000.0f)});
    lb.send("/x/position2", {OSCValue::int32(6000)});
    lb.send("/POSITION2", {OSCValue::float64(1500)});
    lb.send("position1", {OSCValue::int32(3000)});  // not an OSC address: the codec drops it
    lb.send("/position12", {OSCValue::int32(3000)});
    lb.send("/deck/position", {OSCValue::int32(3000)});
    lb.send("/position1/x", {OSCValue::int32(3000)});
    lb.send("/a/b/c/anything-position1", {OSCValue::int64(-9000)});
    EXPECT_EQ(lb.drain(), (std::vector<Call>{{0, 1.0}, {1, 2.0}, {1, 0.5}, {0, -3.0}}));
}

TEST(OSCPlayheadIn, TakesOnlyAFiniteNumericFirstArgument) {
    Loopback lb;
    const float nan = std::numeric_limits<float>::quiet_NaN();
    const double inf = std::numeric_limits<double>::infinity();
    lb.send("/position1", {OSCValue::string("3000")});
    lb.send("/position1", {});
    lb.send("/position1", {OSCValue::float32(nan)});
    lb.send("/position2", {OSCValue::float64(inf)});
    lb.send("/position2", {OSCValue::float64(-inf)});
    lb.send("/position1", {OSCValue::string("x"), OSCValue::int32(3000)});
    lb.send("/position1", {OSCValue::int32(300), OSCValue::string("ignored"), OSCValue::int32(9)});
    lb.send(std::vector<std::uint8_t>{});
    lb.send(std::vector<std::uint8_t>{0xFF, 0x00, 0x13});
    EXPECT_EQ(lb.drain(), (std::vector<Call>{{0, 0.1}}));
}

TEST(OSCPlayheadIn, BundlesGiveOneCallPerMessageInOrder) {
    Loopback lb;
    lb.send(bundle({OSCMessage::encode("/position1", std::vector{OSCValue::int32(3000)}),
                    OSCMessage::encode("/other", std::vector{OSCValue::int32(1)}),
                    bundle({OSCMessage::encode("/position2", std::vector{OSCValue::int32(9000)})})}));
    EXPECT_EQ(lb.drain(), (std::vector<Call>{{0, 1.0}, {1, 3.0}}));

}

TEST(OSCPlayheadIn, SecondStartChangesNothing) {
    Loopback lb;
    ASSERT_EQ(lb.statuses.size(), 1u);
    const auto port = lb.in.port();
    EXPECT_EQ(lb.statuses[0],
              "Playhead in: OSC :" + std::to_string(port) + " direct (position1/2) - no parallel OSC listener allowed");
    lb.in.start(0);
    lb.in.start(port);
    EXPECT_EQ(lb.statuses.size(), 1u);
    EXPECT_EQ(lb.in.port(), port);
    lb.send("/position1", {OSCValue::int32(3000)});
    EXPECT_EQ(lb.drain(), (std::vector<Call>{{0, 1.0}}));
}

TEST(OSCPlayheadIn, PortInUseIsReportedAndALaterStartBinds) {
    for (bool reuse : {false, true}) {
        Blocker other(reuse);
        ASSERT_NE(other.port, 0);
        OSCPlayheadIn in;
        std::vector<std::string> statuses;
        in.onStatus = [&](const std::string& s) { statuses.push_back(s); };
        in.start(other.port);
        ASSERT_EQ(statuses.size(), 1u);
        EXPECT_EQ(statuses[0], "Playhead in: UDP :" + std::to_string(other.port) +
                                   " already in use - is another OSC listener still running? (must NOT run in parallel)");
        EXPECT_FALSE(in.running());
        EXPECT_EQ(in.port(), 0);

        other.release();
        in.start(other.port);
        ASSERT_EQ(statuses.size(), 2u);
        EXPECT_TRUE(in.running());
        EXPECT_EQ(in.port(), other.port);
        EXPECT_EQ(statuses[1], "Playhead in: OSC :" + std::to_string(other.port) +
                                   " direct (position1/2) - no parallel OSC listener allowed");
    }
}
