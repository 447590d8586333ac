#include "link/p2p_file_fetch.h"
#include "temp_folder.h"

#include "../platform/scripted_http_server.h"

#include <gtest/gtest.h>

#include <condition_variable>
#include <regex>

namespace plindo::link {
namespace {

namespace fs = std::filesystem;
using plindo::testing::ScriptedHttpServer;
using testing::slurp;
using Result = P2PFileFetch::Result;

// Collects the reports of fetches; `wait` gives the n-th once it came.
struct Outcome {
    std::mutex m;
    std::condition_variable cv;
    std::vector<Result> results;

    std::function<void(Result)> done() {
        return [this](Result r) {
            std::lock_guard l(m);
            results.push_back(std::move(r));
            cv.notify_all();
        };
    }
    Result wait(size_t n = 1) {
        std::unique_lock l(m);
        cv.wait_for(l, std::chrono::seconds(10), [&] { return results.size() >= n; });
        return results.size() < n ? Result{P2PFileFetch::Failure{}} : results[n - 1];
    }
};

std::string text(const Result& r) { return std::holds_alternative<std::string>(r) ? "ok" : std::get<1>(r).message(); }
std::string ok(const std::string& body) { return "HTTP/1.1 200 OK\r\nContent-Length: " + std::to_string(body.size()) + "\r\n\r\n" + body; }

struct P2PFileFetchTest : ::testing::Test {
    testing::TempFolder tmp{"plindo-p2p"};
    std::shared_ptr<platform::FakeServiceRegistry> registry = std::make_shared<platform::FakeServiceRegistry>();

    void TearDown() override {
        for (int i = 0; i < 200 && P2PFileFetch::liveJobs() > 0; ++i) std::this_thread::sleep_for(std::chrono::milliseconds(10));
        EXPECT_EQ(P2PFileFetch::liveJobs(), 0);
    }
    Result fetchOnce(std::optional<std::string> service, double timeout = 3.0, const std::string& suggested = "Track.mp3") {
        Outcome o;
        P2PFileFetch::fetch(registry, {"/audio/stream?path=%2Fm%2FTrack.mp3", service, "me", suggested, timeout}, o.done());
        return o.wait();
    }
};

TEST_F(P2PFileFetchTest, FetchesFromTheChosenServiceIntoNewTemporaryFiles) {
    ScriptedHttpServer mine([](const std::string&) { return ok("mine"); });
    ScriptedHttpServer other([](const std::string&) { return ok("other body"); });
    auto r1 = registry->advertise("me", "_plindo-file._tcp", mine.port(), nullptr);
    auto r2 = registry->advertise("other", "_plindo-file._tcp", other.port(), nullptr);
    auto r3 = registry->advertise("osc", "_plindo._udp", other.port(), nullptr);

    const auto any = fetchOnce(std::nullopt);
    ASSERT_EQ(text(any), "ok");
    const fs::path path = std::get<std::string>(any);
    EXPECT_EQ(slurp(path), "other body");
    EXPECT_EQ(path.parent_path(), tmp.dir);
    EXPECT_TRUE(std::regex_match(path.filename().string(),
                                 std::regex("[0-9A-F]{8}-[0-9A-F]{4}-4[0-9A-F]{3}-[89AB][0-9A-F]{3}-[0-9A-F]{12}-Track\\.mp3")));
    EXPECT_EQ(other.requests().at(0),
              "GET /audio/stream?path=%2Fm%2FTrack.mp3 HTTP/1.1\r\nHost: plindo\r\nConnection: close\r\n\r\n");
    const auto wanted = fetchOnce(std::string("me"));
    ASSERT_EQ(text(wanted), "ok");
    EXPECT_EQ(slurp(std::get<std::string>(wanted)), "mine");

    // Hostile suggested names stay inside the temporary folder.
    for (const std::string& name : {std::string("../../x.mp3"), std::string(".."), std::string("."),
                                    std::string("a\0b", 3), std::string(400, 'n')}) {
        const auto r = fetchOnce(std::nullopt, 3.0, name);
        ASSERT_EQ(text(r), "ok");
        EXPECT_EQ(fs::path(std::get<std::string>(r)).parent_path(), tmp.dir);
        EXPECT_EQ(slurp(std::get<std::string>(r)), "other body");
    }

    // Two fetches at once get files of their own.
    Outcome both;
    P2PFileFetch::fetch(registry, {"/audio/stream", std::nullopt, "me", "T.mp3", 5}, both.done());
    P2PFileFetch::fetch(registry, {"/audio/stream", std::nullopt, "me", "T.mp3", 5}, both.done());
    ASSERT_EQ(text(both.wait(2)), "ok");
    ASSERT_EQ(text(both.wait(1)), "ok");
    EXPECT_NE(std::get<std::string>(both.results[0]), std::get<std::string>(both.results[1]));
    for (const auto& r : both.results) EXPECT_EQ(slurp(std::get<std::string>(r)), "other body");
}

TEST_F(P2PFileFetchTest, WaitsForAnAcceptableServiceUntilTheTimeout) {
    ScriptedHttpServer mine([](const std::string&) { return ok("mine"); });
    EXPECT_EQ(text(fetchOnce(std::nullopt, 0.5)), "no file service found (none advertised)");
    auto r1 = registry->advertise("me", "_plindo-file._tcp", mine.port(), nullptr);
    EXPECT_EQ(text(fetchOnce(std::nullopt, 0.5)), "no file service found (me)");
    auto r2 = registry->advertise("b", "_plindo-file._tcp", mine.port(), nullptr);
    EXPECT_EQ(text(fetchOnce(std::string("ghost"), 0.5)), "no file service found (me, b)");
    EXPECT_TRUE(mine.requests().empty());
}

TEST_F(P2PFileFetchTest, RefusesBadResponsesAndLeavesNoFileBehind) {
    const std::pair<std::string, std::string> cases[] = {
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
    for (const auto& [reply, result] : cases) {
        ScriptedHttpServer peer([reply = reply](const std::string&) { return reply; });
        auto reg = registry->advertise("peer", "_plindo-file._tcp", peer.port(), nullptr);
        const auto r = fetchOnce(std::nullopt);
        EXPECT_EQ(text(r), result) << reply.substr(0, 40);
        EXPECT_EQ(tmp.files(), result == "ok" ? 1u : 0u) << reply.substr(0, 40);
        if (result == "ok") fs::remove(std::get<std::string>(r));
    }
}

TEST_F(P2PFileFetchTest, ReportsOnceWhenAStalledTransferTimesOut) {
    ScriptedHttpServer stall([](const std::string&) { return "HTTP/1.1 200 OK\r\nContent-Length: 100\r\n\r\npart"; }, 3.0);
    auto reg = registry->advertise("slow", "_plindo-file._tcp", stall.port(), nullptr);
    Outcome o;
    P2PFileFetch::fetch(registry, {"/audio/stream", std::nullopt, "me", "T.mp3", 0.6}, o.done());
    EXPECT_EQ(text(o.wait()), "no file service found (slow)");
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    EXPECT_EQ(o.results.size(), 1u);
    EXPECT_EQ(tmp.files(), 0u);
}

}  // namespace
}  // namespace plindo::link
