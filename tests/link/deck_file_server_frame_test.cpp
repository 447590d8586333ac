#include "link/deck_file_server.h"
#include "raw_http.h"
#include "temp_folder.h"

#include <gtest/gtest.h>

#include <dirent.h>

#include <mutex>
#include <random>
#include <vector>

namespace plindo::link {
namespace {

using namespace testing;

const std::string kBuildReply =
    "HTTP/1.1 200 OK\r\nContent-Length: 3\r\nContent-Type: text/plain\r\n"
    "Access-Control-Allow-Origin: *\r\nConnection: close\r\n\r\norv";
const std::string kBadRequestReply =
    "HTTP/1.1 400 Bad Request\r\nContent-Length: 0\r\nContent-Type: application/octet-stream\r\n"
    "Access-Control-Allow-Origin: *\r\nConnection: close\r\n\r\n";

struct Server {
    // Before the server: its threads may report a line while it stops.
    std::mutex m;
    std::vector<std::string> lines;
    platform::FakeServiceRegistry registry;
    DeckFileServer server{&registry, "studio-AB12", nullptr};
    explicit Server(double headTimeoutSec = DeckFileServer::kHeadTimeoutSec, double idleSec = DeckFileServer::kIdleSec) {
        server.onStatus = [this](const std::string& s) {
            std::lock_guard l(m);
            lines.push_back(s);
        };
        server.headTimeoutSec = headTimeoutSec;
        server.idleSec = idleSec;
        server.start(0);
    }
    int port() const { return server.boundPort(); }
};

// Sends `request` and reads what comes within `limit` seconds, leaving the connection open.
Reply sendAndRead(int fd, const std::string& request, double limit) {
    EXPECT_TRUE(sendAll(fd, request));
    return readAll(fd, limit);
}

TEST(DeckFileServerFrame, AssemblesAHeadFromManySegmentsAndAnswersWithTheExactHead) {
    Server s;
    const int fd = connectLoopback(s.port());
    ASSERT_GE(fd, 0);
    for (char c : getRequest("/deck_build")) {
        ASSERT_TRUE(sendAll(fd, std::string(1, c)));
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    const Reply r = readAll(fd);
    ::close(fd);
    EXPECT_EQ(r.bytes, kBuildReply);
    EXPECT_TRUE(r.closed);
}

TEST(DeckFileServerFrame, AbandonsHeadsThatOverflowNeverEndOrComeTooSlowly) {
    const std::string line = "GET /deck_build HTTP/1.1\r\n";
    Server s;
    int fd = connectLoopback(s.port());
    EXPECT_FALSE(sendAndRead(fd, line + std::string(65535 - line.size(), 'x'), 0.4).closed);  // one below the cap
    EXPECT_EQ(sendAndRead(fd, "\r\n\r\n", 5).bytes, kBuildReply);
    ::close(fd);

    fd = connectLoopback(s.port());
    const Reply over = sendAndRead(fd, line + std::string(65536 - line.size(), 'x'), 3);
    EXPECT_TRUE(over.closed);
    EXPECT_EQ(over.bytes, "");
    ::close(fd);

    // Bare line feeds never form the terminator: the head is answered 400 at once.
    for (const char* bare : {"GET /deck_build HTTP/1.1\n\n", "GET /deck_build HTTP/1.1\r\nHost: x\n", "\n"}) {
        fd = connectLoopback(s.port());
        const Reply lf = sendAndRead(fd, bare, 3);
        EXPECT_TRUE(lf.closed) << bare;
        EXPECT_EQ(lf.bytes, kBadRequestReply) << bare;
        ::close(fd);
    }
    // A head cut short: a half-close ends it without an answer.
    fd = connectLoopback(s.port());
    EXPECT_FALSE(sendAndRead(fd, "GET /deck_build HTTP/1.1\r\n", 0.3).closed);
    ::shutdown(fd, SHUT_WR);
    const Reply half = readAll(fd, 3);
    EXPECT_TRUE(half.closed);
    EXPECT_EQ(half.bytes, "");
    ::close(fd);

    Server slow(0.3);
    fd = connectLoopback(slow.port());
    const auto t0 = std::chrono::steady_clock::now();
    const Reply late = sendAndRead(fd, "GET /deck_build HT", 5);
    EXPECT_TRUE(late.closed);
    EXPECT_EQ(late.bytes, "");
    EXPECT_LT(std::chrono::steady_clock::now() - t0, std::chrono::seconds(3));
    ::close(fd);
}

TEST(DeckFileServerFrame, AnswersOnlyGetWithATarget) {
    Server s;
    const std::pair<std::string, bool> cases[] = {
        {"GET /deck_build\r\n\r\n", true},
        {"GET  /deck_build   HTTP/1.1\r\n\r\n", true},
        {"GET /deck_build HTTP/1.1\r\n\r\nPOST / HTTP/1.1\r\n\r\n", true},
        {"get /deck_build HTTP/1.1\r\n\r\n", false},  // other bad request lines: the head parser's table
        {"\r\n\r\n", false},
        // A GET whose target is no URL (a malformed percent escape, a raw byte) is not routed either.
        {getRequest("/deck%zz_build"), false},
        {getRequest("/ctl?cmd=load&path=%2Fa%4"), false},
        {getRequest("/deck/stem?path=/a%ZZ.mp3"), false},
        {getRequest("/a\xC3\xA9"), false},
    };
    for (const auto& [request, ok] : cases) {
        const Reply r = roundTrip(s.port(), request);
        EXPECT_EQ(r.bytes, ok ? kBuildReply : kBadRequestReply) << request;
        EXPECT_TRUE(r.closed) << request;
    }
    EXPECT_EQ(statusLineOf(roundTrip(s.port(), getRequest("/deck%5Fbuild"))), "HTTP/1.1 200 OK");
    EXPECT_EQ(bodyOf(roundTrip(s.port(), getRequest("/deck_build/"))), R"({"error":"no route"})");
}

TEST(DeckFileServerFrame, StartsOnceStopsAndStartsAgainAndAdvertises) {
    Server s;
    const int port = s.port();
    ASSERT_GT(port, 0);
    s.server.start(0);  // already running: nothing changes
    EXPECT_EQ(s.server.boundPort(), port);
    auto ads = s.registry.browse(DeckFileServer::kServiceType, 0);
    ASSERT_EQ(ads.size(), 1u);
    EXPECT_EQ(ads[0].name, "studio-AB12");
    EXPECT_EQ(ads[0].port, port);

    s.server.stop();
    EXPECT_FALSE(s.server.running());
    EXPECT_LT(connectLoopback(port), 0);
    EXPECT_TRUE(s.registry.browse(DeckFileServer::kServiceType, 0).empty());
    s.server.start(port);
    EXPECT_EQ(roundTrip(port, getRequest("/deck_build")).bytes, kBuildReply);

    // A second server on the same port steps back with the status line.
    DeckFileServer other(nullptr, "y", nullptr);
    std::string line;
    other.onStatus = [&](const std::string& l) { line = l; };
    other.start(port);
    EXPECT_FALSE(other.running());
    const std::string p = std::to_string(port);
    EXPECT_EQ(line, "Track server: :" + p + " in use \u2014 companion media server is serving (ok, host steps back)");
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    std::lock_guard l(s.m);
    EXPECT_NE(std::find(s.lines.begin(), s.lines.end(), "Track server: :" + p + " /deck/stem (files served directly from the host)"),
              s.lines.end());
}

int openDescriptors() {
    int n = 0;
    if (DIR* d = ::opendir("/proc/self/fd")) {
        while (::readdir(d)) ++n;
        ::closedir(d);
    }
    return n;
}

TEST(DeckFileServerFrame, KeepsAnsweringThroughFloodsOfIdleConnectionsAndGarbage) {
    Server s;
    const int before = openDescriptors();
    std::vector<int> idle;
    for (int i = 0; i < 500; ++i) {
        idle.push_back(connectLoopback(s.port()));
        ASSERT_GE(idle.back(), 0);
        sendAll(idle.back(), "GET /deck_b");
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    // The server holds at most its bound of connections, however many clients hold theirs open.
    EXPECT_LE(openDescriptors() - before, 500 + static_cast<int>(DeckFileServer::kMaxConnections) + 8);
    EXPECT_EQ(roundTrip(s.port(), getRequest("/deck_build")).bytes, kBuildReply);

    std::mt19937 rng(7);
    for (int i = 0; i < 30; ++i) {
        std::string junk(static_cast<size_t>(rng() % 3000), '\0');
        for (auto& c : junk) c = static_cast<char>(rng());
        const Reply r = roundTrip(s.port(), junk + "\r\n\r\n");
        EXPECT_TRUE(r.closed);
        EXPECT_EQ(statusLineOf(r), "HTTP/1.1 400 Bad Request");
    }
    EXPECT_EQ(roundTrip(s.port(), getRequest("/deck_build")).bytes, kBuildReply);
    for (int fd : idle) ::close(fd);
}

TEST(DeckFileServerFrame, StalledDownloadsNeitherLockOthersOutNorPileUp) {
    TempFolder tmp("plindo-stall");
    const std::string track = (tmp.dir / "big.wav").string();
    writeSparse(track, 60 << 20);
    const std::string request = getRequest("/audio/stream?path=" + track);
    Server s;
    const int before = openDescriptors();

    // 300 clients from ten addresses ask for the track and never read: more than the server holds at once.
    std::vector<int> stalled;
    for (int i = 0; i < 300; ++i) {
        const int fd = connectTo("127.0.0.1", s.port(), "127.0.0." + std::to_string(2 + i % 10), 4096);
        ASSERT_GE(fd, 0);
        ASSERT_TRUE(sendAll(fd, request));
        stalled.push_back(fd);
    }
    // The server drops the surplus as it takes the requests in, which a busy machine makes slow.
    const int surplus = 300 - static_cast<int>(DeckFileServer::kMaxConnections);
    int reset = 0;
    for (const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(30);
         reset < surplus && std::chrono::steady_clock::now() < end;
         std::this_thread::sleep_for(std::chrono::milliseconds(20)))
        reset = static_cast<int>(std::count_if(stalled.begin(), stalled.end(), [](int fd) { return hungUp(fd); }));
    EXPECT_GE(reset, surplus);
    // Each held download costs the server a socket and the open track.
    EXPECT_LE(openDescriptors() - before, 300 + 2 * static_cast<int>(DeckFileServer::kMaxConnections) + 8);

    EXPECT_EQ(roundTrip(s.port(), getRequest("/deck_build")).bytes, kBuildReply);

    // One address holds at most its share: the stalest of its own connections goes first.
    std::vector<int> onePeer;
    for (int i = 0; i < 40; ++i) {
        onePeer.push_back(connectTo("127.0.0.1", s.port(), "127.0.0.50", 4096));
        ASSERT_TRUE(sendAll(onePeer.back(), request));
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    const size_t over = onePeer.size() - DeckFileServer::kMaxConnectionsPerPeer;
    for (size_t i = 0; i < onePeer.size(); ++i) EXPECT_EQ(hungUp(onePeer[i], i < over ? 10000 : 0), i < over) << i;
    EXPECT_EQ(roundTrip(s.port(), getRequest("/deck_build")).bytes, kBuildReply);
    for (int fd : stalled) ::close(fd);
    for (int fd : onePeer) ::close(fd);
}

TEST(DeckFileServerFrame, DropsAClientThatTakesNothingButNotASlowReader) {
    TempFolder tmp("plindo-idle");
    const std::string big = (tmp.dir / "big.wav").string();
    writeSparse(big, 60 << 20);
    // Larger than the socket buffers of both ends, so the server waits on the reader many times.
    const std::string track = (tmp.dir / "t.mp3").string();
    std::string bytes(8 << 20, '\0');
    for (size_t i = 0; i < bytes.size(); ++i) bytes[i] = static_cast<char>(i * 31 + (i >> 11));
    writeFile(track, bytes);
    Server s(DeckFileServer::kHeadTimeoutSec, 1.0);

    const int idle = connectTo("127.0.0.1", s.port(), "", 4096);
    ASSERT_TRUE(sendAll(idle, getRequest("/audio/stream?path=" + big)));
    EXPECT_FALSE(hungUp(idle, 100));
    EXPECT_TRUE(hungUp(idle, 5000));
    ::close(idle);

    // Reading a little at a time, with pauses each far shorter than the limit but taking longer than it in
    // all, gets the whole answer. The limit leaves room for pauses that a busy machine stretches.
    Server roomy(DeckFileServer::kHeadTimeoutSec, 1.5);
    const int slow = connectTo("127.0.0.1", roomy.port());
    ASSERT_TRUE(sendAll(slow, getRequest("/audio/stream?path=" + track)));
    std::string got;
    std::vector<char> buf(32 << 10);  // at least 256 reads and pauses
    for (;;) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
        pollfd p{slow, POLLIN, 0};
        if (::poll(&p, 1, 10000) <= 0) break;
        const ssize_t n = ::recv(slow, buf.data(), buf.size(), 0);
        if (n <= 0) break;
        got.append(buf.data(), static_cast<size_t>(n));
    }
    ::close(slow);
    const size_t body = got.find("\r\n\r\n");
    ASSERT_NE(body, std::string::npos);
    EXPECT_EQ(got.size() - body - 4, bytes.size());
    EXPECT_TRUE(got.compare(body + 4, std::string::npos, bytes) == 0);
}

TEST(DeckFileServerFrame, KeepsASteadyReaderSlowerThanTheSocketBufferDrains) {
    // The reader's small receive buffer keeps the answer queued at the server, whose send buffer (up to 4 MB)
    // holds far more than the reader takes within the limit: the server itself writes nothing for longer
    // than the limit while the reader takes bytes all along. The body is far larger than both buffers, so
    // the server is still sending when a reader it wrongly took for stalled would be dropped.
    TempFolder tmp("plindo-steady");
    const std::string track = (tmp.dir / "t.mp3").string();
    std::string bytes(8 << 20, '\0');
    for (size_t i = 0; i < bytes.size(); ++i) bytes[i] = static_cast<char>(i * 7 + (i >> 13));
    writeFile(track, bytes);
    Server s(DeckFileServer::kHeadTimeoutSec, 0.25);
    const int fd = connectTo("127.0.0.1", s.port(), "", 64 << 10);
    ASSERT_TRUE(sendAll(fd, getRequest("/audio/stream?path=" + track)));
    std::string got;
    std::vector<char> buf(32768);
    for (const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(60); std::chrono::steady_clock::now() < end;) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
        pollfd p{fd, POLLIN, 0};
        if (::poll(&p, 1, 5000) <= 0) break;
        const ssize_t n = ::recv(fd, buf.data(), buf.size(), 0);
        if (n <= 0) break;
        got.append(buf.data(), static_cast<size_t>(n));
    }
    ::close(fd);
    const size_t body = got.find("\r\n\r\n");
    ASSERT_NE(body, std::string::npos);
    EXPECT_EQ(got.size() - body - 4, bytes.size());
}

TEST(DeckFileServerFrame, AnswersOverIPv6AndIPv4) {
    Server s;
    for (const char* host : {"127.0.0.1", "::1"}) {
        const int fd = connectTo(host, s.port());
        if (fd < 0 && std::string(host) == "::1" && ::access("/proc/net/if_inet6", F_OK) != 0) continue;  // no IPv6
        ASSERT_GE(fd, 0) << host;
        ASSERT_TRUE(sendAll(fd, getRequest("/deck_build")));
        EXPECT_EQ(readAll(fd).bytes, kBuildReply) << host;
        ::close(fd);
    }
}

// The cap on one address, exactly: with the idle rule far off, only the cap can hang a stalled download up.
TEST(DeckFileServerFrame, OneAddressHoldsExactlyItsCapAndItsStalestGoFirst) {
    TempFolder tmp("plindo-cap");
    const std::string track = (tmp.dir / "big.wav").string();
    writeSparse(track, 60 << 20);
    const std::string request = getRequest("/audio/stream?path=" + track);
    Server s(DeckFileServer::kHeadTimeoutSec, 600.0);

    const size_t over = 2;
    std::vector<int> fds;
    for (size_t i = 0; i < DeckFileServer::kMaxConnectionsPerPeer + over; ++i) {
        fds.push_back(connectTo("127.0.0.1", s.port(), "127.0.0.60", 4096));
        ASSERT_GE(fds.back(), 0);
        ASSERT_TRUE(sendAll(fds.back(), request));
        // The answer has begun: this one is taken in, and has stalled, after the one before it.
        pollfd p{fds.back(), POLLIN, 0};
        ASSERT_EQ(::poll(&p, 1, 10000), 1) << i;
    }
    for (size_t i = 0; i < over; ++i) EXPECT_TRUE(hungUp(fds[i], 2000)) << i;
    for (size_t i = over; i < fds.size(); ++i) EXPECT_FALSE(hungUp(fds[i])) << i;
    for (int fd : fds) ::close(fd);
}

}  // namespace
}  // namespace plindo::link
