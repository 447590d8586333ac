#include "platform/http_client.h"
#include "scripted_http_server.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

namespace plindo::platform {
namespace {

namespace fs = std::filesystem;
using plindo::testing::ScriptedHttpServer;

TEST(HttpClient, ParsesHttpUrls) {
    const struct {
        std::string url;
        std::optional<std::tuple<std::string, int, std::string>> parts;
    } cases[] = {
        {"http://127.0.0.1:17600/audio/stream?path=%2Fa", std::tuple{"127.0.0.1", 17600, "/audio/stream?path=%2Fa"}},
        {"HTTP://host", std::tuple{"host", 80, "/"}},
        {"http://host?x=1#frag", std::tuple{"host", 80, "/?x=1"}},
        {"http://[::1]:8080/x", std::tuple{"::1", 8080, "/x"}},
        {"https://host/", std::nullopt},
        {"http://:80/", std::nullopt},
        {"http://host:0/", std::nullopt},
        {"http://host:70000/", std::nullopt},
        {"http://host:8x/", std::nullopt},
        {"http://host/a b", std::nullopt},
        {"http://user@host/", std::nullopt},
        {"http://host/a\r\nX: y", std::nullopt},
    };
    for (const auto& c : cases) {
        const auto u = parseHttpUrl(c.url);
        ASSERT_EQ(u.has_value(), c.parts.has_value()) << c.url;
        if (u) EXPECT_EQ(std::tuple(u->host, u->port, u->target), *c.parts) << c.url;
    }
}

TEST(HttpClient, ReadsResponseHeads) {
    const struct {
        std::string bytes;
        std::optional<std::pair<int, std::optional<int64_t>>> head;
    } cases[] = {
        {"HTTP/1.1 200 OK\r\nContent-Length: 5\r\n\r\nhello", std::pair{200, std::optional<int64_t>(5)}},
        {"HTTP/1.0 404\r\n\r\n", std::pair{404, std::optional<int64_t>()}},
        {"HTTP/1.1 200 OK\r\ncontent-length:\t 7 \r\nContent-Length: 7\r\n\r\n", std::pair{200, std::optional<int64_t>(7)}},
        // Lengths that cannot frame a body make the head unreadable.
        {"HTTP/1.1 200 OK\r\ncontent-length: 12\r\nContent-Length: 7\r\n\r\n", std::nullopt},
        {"HTTP/1.1 200 OK\r\nContent-Length: 7\r\nContent-Length: x\r\n\r\n", std::nullopt},
        {"HTTP/1.1 200 OK\r\nContent-Length: 99999999999999999999\r\n\r\n", std::nullopt},
        {"HTTP/1.1 200 OK\r\nContent-Length:\r\n\r\n", std::nullopt},
        {"HTTP/1.1 200 OK\r\nContent-Length:-6\r\n\r\n", std::nullopt},
        {"HTTP/1.1 200 OK\r\nContent-Length: +6\r\n\r\n", std::nullopt},
        {"HTTP/1.1 200 OK\r\nContent-Length: 6 6\r\n\r\n", std::nullopt},
        {"HTTP/1.1 +200 OK\r\n\r\n", std::pair{200, std::optional<int64_t>()}},
        {"HTTP/1.1 99999999999 OK\r\n\r\n", std::nullopt},
        {"ICY 200 OK\r\n\r\n", std::nullopt},
        {"HTTP/1.1\r\n\r\n", std::nullopt},
        {"HTTP/1.1 200 OK\r\nX: caf\xC3\xA9\r\n\r\n", std::nullopt},
        {"HTTP/1.1 200 OK\r\n", std::nullopt},
    };
    for (const auto& c : cases) {
        const auto h = parseHttpResponseHead(c.bytes);
        ASSERT_EQ(h.has_value(), c.head.has_value()) << c.bytes;
        if (!h) continue;
        EXPECT_EQ(h->status, c.head->first) << c.bytes;
        EXPECT_EQ(h->contentLength, c.head->second) << c.bytes;
    }
    EXPECT_EQ(parseHttpResponseHead("HTTP/1.1 200 OK\r\n\r\nbody")->bodyStart, 19u);
}

TEST(HttpClient, DownloadsOnlyCompleteOkAnswersToAFile) {
    const fs::path file = fs::temp_directory_path() / ("plindo-http-" + std::to_string(::getpid()));
    std::string reply;
    ScriptedHttpServer peer([&](const std::string&) { return reply; });
    const std::string url = "http://127.0.0.1:" + std::to_string(peer.port()) + "/audio/stream?path=%2Fa";

    reply = "HTTP/1.1 200 OK\r\nContent-Length: 4\r\n\r\nabcd";
    auto r = httpDownloadToFile(url, file.string(), 5);
    EXPECT_TRUE(r.ok) << r.error;
    EXPECT_EQ(r.status, 200);
    std::ifstream in(file, std::ios::binary);
    EXPECT_EQ(std::string(std::istreambuf_iterator<char>(in), {}), "abcd");
    EXPECT_EQ(peer.requests().back(), "GET /audio/stream?path=%2Fa HTTP/1.1\r\nHost: 127.0.0.1\r\nConnection: close\r\n\r\n");
    fs::remove(file);

    for (const std::string bad : {"HTTP/1.1 404 Not Found\r\nContent-Length: 2\r\n\r\n{}",
                                  "HTTP/1.1 200 OK\r\nContent-Length: 10\r\n\r\nshort", "garbage"}) {
        reply = bad;
        r = httpDownloadToFile(url, file.string(), 5);
        EXPECT_FALSE(r.ok) << bad;
        EXPECT_FALSE(fs::exists(file)) << bad;
    }
    EXPECT_EQ(httpDownloadToFile("http://127.0.0.1:1/x", file.string(), 5).ok, false);
    EXPECT_FALSE(fs::exists(file));
}

TEST(HttpClient, GivesUpOnASilentServer) {
    ScriptedHttpServer silent([](const std::string&) { return std::string("HTTP/1.1 200 OK\r\n"); }, 3.0);
    const auto t0 = std::chrono::steady_clock::now();
    const auto r = httpDownloadToFile("http://127.0.0.1:" + std::to_string(silent.port()) + "/", "/nonexistent/x", 0.3);
    EXPECT_FALSE(r.ok);
    EXPECT_EQ(r.error, "timed out");
    EXPECT_LT(std::chrono::steady_clock::now() - t0, std::chrono::seconds(2));
}

}  // namespace
}  // namespace plindo::platform
