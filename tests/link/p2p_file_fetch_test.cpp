#include "link/p2p_file_fetch.h"

#include "../platform/scripted_http_server.h"

#include <gtest/gtest.h>

#include <condition_variable>
#include <filesystem>
#include <fstream>
#include <regex>

namespace plindo::link {
namespace {

namespace fs = std::filesystem;
using plindo::testing::ScriptedHttpServer;

struct Outcome {
    std::mutex m;
    std::condition_variable cv;
    std::vector<P2PFileFetch::Result> results;

    std::function<void(P2PFileFetch::Result)> done() {
        return [this](P2PFileFetch::Result r) {
            std::lock_guard l(m);
            results.push_back(std::move(r));
            cv.notify_all();
        };
    }
    P2PFileFetch::Result wait(size_t count = 1) {
        std::unique_lock l(m);
        cv.wait_for(l, std::chrono::seconds(10), [&] { return results.size() >= count; });
        return results.empty() ? P2PFileFetch::Result{P2PFileFetch::Failure{}} : results[count - 1];
    }
    size_t count() {
        std::lock_guard l(m);
        return results.size();
    }
};

std::string failureText(const P2PFileFetch::Result& r) {
    return std::holds_alternative<P2PFileFetch::Failure>(r) ? std::get<P2PFileFetch::Failure>(r).message() : "ok";
}

std::string slurp(const std::string& path) {
    std::ifstream f(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(f), {});
}

struct P2PFileFetchTest : ::testing::Test {
    fs::path tmp = fs::temp_directory_path() / ("plindo-p2p-" + std::to_string(::getpid()));
    std::shared_ptr<platform::FakeServiceRegistry> registry = std::make_shared<platform::FakeServiceRegistry>();
    std::string oldTmp;

    void SetUp() override {
        fs::remove_all(tmp);
        fs::create_directories(tmp);
        if (const char* t = std::getenv("TMPDIR")) oldTmp = t;
        ::setenv("TMPDIR", tmp.c_str(), 1);
    }
    void TearDown() override {
        for (int i = 0; i < 200 && P2PFileFetch::liveJobs() > 0; ++i) std::this_thread::sleep_for(std::chrono::milliseconds(10));
        EXPECT_EQ(P2PFileFetch::liveJobs(), 0);
        if (oldTmp.empty())
            ::unsetenv("TMPDIR");
        else
            ::setenv("TMPDIR", oldTmp.c_str(), 1);
        fs::remove_all(tmp);
    }
    size_t filesLeft() { return static_cast<size_t>(std::distance(fs::directory_iterator(tmp), fs::directory_iterator())); }

    P2PFileFetch::Result fetchOnce(std::optional<std::string> service, double timeout = 3.0,
                                   const std::string& suggested = "Track.mp3") {
        Outcome o;
        P2PFileFetch::fetch(registry, {"/audio/stream?path=%2Fm%2FTrack.mp3", service, "me", suggested, timeout}, o.done());
        return o.wait();
    }
};

std::string ok(const std::string& body) {
    return "HTTP/1.1 200 OK\r\nContent-Length: " + std::to_string(body.size()) + "\r\n\r\n" + body;
}

TEST_F(P2PFileFetchTest, FetchesFromTheChosenServiceIntoANewTemporaryFile) {
    ScriptedHttpServer mine([](const std::string&) { return ok("mine"); });
    ScriptedHttpServer other([](const std::string&) { return ok("other body"); });
    auto r1 = registry->advertise("me", "_plindo-file._tcp", mine.port(), nullptr);
    auto r2 = registry->advertise("other", "_plindo-file._tcp", other.port(), nullptr);
    auto r3 = registry->advertise("osc", "_plindo._udp", other.port(), nullptr);

    const auto any = fetchOnce(std::nullopt);
    ASSERT_TRUE(std::holds_alternative<std::string>(any)) << failureText(any);
    const std::string path = std::get<std::string>(any);
    EXPECT_EQ(slurp(path), "other body");
    EXPECT_EQ(fs::path(path).parent_path(), tmp);
    EXPECT_TRUE(std::regex_match(fs::path(path).filename().string(),
                                 std::regex("[0-9A-F]{8}-[0-9A-F]{4}-4[0-9A-F]{3}-[89AB][0-9A-F]{3}-[0-9A-F]{12}-Track\\.mp3")));
    EXPECT_EQ(other.requests().at(0),
              "GET /audio/stream?path=%2Fm%2FTrack.mp3 HTTP/1.1\r\nHost: plindo\r\nConnection: close\r\n\r\n");

    const auto wanted = fetchOnce(std::string("me"));
    ASSERT_TRUE(std::holds_alternative<std::string>(wanted));
    EXPECT_EQ(slurp(std::get<std::string>(wanted)), "mine");

    // Hostile suggested names stay inside the temporary folder.
    for (const std::string& name : std::vector<std::string>{"../../x.mp3", "..", ".", std::string("a\0b", 3), std::string(400, 'n')}) {
        const auto r = fetchOnce(std::nullopt, 3.0, name);
        ASSERT_TRUE(std::holds_alternative<std::string>(r));
        const fs::path p = std::get<std::string>(r);
        EXPECT_EQ(p.parent_path(), tmp);
        EXPECT_EQ(slurp(p.string()), "other body");
    }
}

TEST_F(P2PFileFetchTest, WaitsForAnAcceptableServiceUntilTheTimeout) {
    ScriptedHttpServer mine([](const std::string&) { return ok("mine"); });
    EXPECT_EQ(failureText(fetchOnce(std::nullopt, 0.5)), "no file service found (none advertised)");
    auto r1 = registry->advertise("me", "_plindo-file._tcp", mine.port(), nullptr);
    EXPECT_EQ(failureText(fetchOnce(std::nullopt, 0.5)), "no file service found (me)");
    auto r2 = registry->advertise("b", "_plindo-file._tcp", mine.port(), nullptr);
    EXPECT_EQ(failureText(fetchOnce(std::string("ghost"), 0.5)), "no file service found (me, b)");
    EXPECT_TRUE(mine.requests().empty());
}

TEST_F(P2PFileFetchTest, RefusesBadResponsesAndLeavesNoFileBehind) {
    const struct {
        std::string reply;
        std::string result;  // "ok" or the failure text
    } cases[] = {
        {"HTTP/1.1 200 OK\r\nContent-Length: 2000\r\n\r\n" + std::string(1000, 'a'), "transfer broke off (1000 of 2000 bytes)"},
        {"HTTP/1.1 200 OK\r\nContent-Length: 5\r\n\r\n" + std::string(10, 'a'), "transfer broke off (10 of 5 bytes)"},
        {"HTTP/1.1 200 OK\r\n\r\nno length at all", "ok"},
        {"HTTP/1.1 200 OK\r\ncontent-LENGTH: \t 12 \r\n\r\ntwelve bytes", "ok"},
        {"HTTP/1.1 200\r\nContent-Length: 1\r\n\r\nx", "ok"},
        {"HTX/1.1 200 OK\r\n\r\nbody", "server said no HTTP header"},
        {"HTTP/1.1 200 OK\r\nbody without end of head", "server said no HTTP header"},
        {"HTTP/1.1 2x0 OK\r\n\r\nbody", "server said no HTTP header"},
        {"HTTP/1.1 404 Not Found\r\nContent-Length: 2\r\n\r\n{}", "server said HTTP 404"},
        {"HTTP/1.1 200 OK\r\nContent-Length: 0\r\n\r\n", "server said empty body"},
        {"", "server said no HTTP header"},
    };
    for (const auto& c : cases) {
        ScriptedHttpServer peer([&](const std::string&) { return c.reply; });
        auto reg = registry->advertise("peer", "_plindo-file._tcp", peer.port(), nullptr);
        const auto r = fetchOnce(std::nullopt);
        EXPECT_EQ(failureText(r), c.result) << c.reply.substr(0, 40);
        if (std::holds_alternative<std::string>(r)) {
            EXPECT_EQ(filesLeft(), 1u);
            fs::remove(std::get<std::string>(r));
        }
        EXPECT_EQ(filesLeft(), 0u) << c.reply.substr(0, 40);
    }
}

TEST_F(P2PFileFetchTest, RunsConcurrentFetchesIntoSeparateFiles) {
    ScriptedHttpServer peer([](const std::string&) { return ok("same"); });
    auto reg = registry->advertise("peer", "_plindo-file._tcp", peer.port(), nullptr);
    Outcome a, b;
    P2PFileFetch::fetch(registry, {"/audio/stream", std::nullopt, "me", "T.mp3", 5}, a.done());
    P2PFileFetch::fetch(registry, {"/audio/stream", std::nullopt, "me", "T.mp3", 5}, b.done());
    const auto ra = a.wait();
    const auto rb = b.wait();
    ASSERT_TRUE(std::holds_alternative<std::string>(ra));
    ASSERT_TRUE(std::holds_alternative<std::string>(rb));
    EXPECT_NE(std::get<std::string>(ra), std::get<std::string>(rb));
    EXPECT_EQ(slurp(std::get<std::string>(ra)), "same");
    EXPECT_EQ(slurp(std::get<std::string>(rb)), "same");
}

TEST_F(P2PFileFetchTest, ReportsOnceWhenAStalledTransferTimesOut) {
    ScriptedHttpServer stall([](const std::string&) { return "HTTP/1.1 200 OK\r\nContent-Length: 100\r\n\r\npart"; }, 3.0);
    auto reg = registry->advertise("slow", "_plindo-file._tcp", stall.port(), nullptr);
    Outcome o;
    P2PFileFetch::fetch(registry, {"/audio/stream", std::nullopt, "me", "T.mp3", 0.6}, o.done());
    EXPECT_EQ(failureText(o.wait()), "no file service found (slow)");
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    EXPECT_EQ(o.count(), 1u);
    EXPECT_EQ(filesLeft(), 0u);
}

}  // namespace
}  // namespace plindo::link
