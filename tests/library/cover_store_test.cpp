#include "library/cover_store.h"
#include "platform/queue_executor.h"

#include "../platform/scripted_http_server.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <map>
#include <mutex>
#include <thread>

namespace plindo::library {
namespace {

using Bytes = std::vector<uint8_t>;
using plindo::testing::ScriptedHttpServer;

const Bytes kPng{0x89, 'P', 'N', 'G', 0x0D, 0x0A, 0x1A, 0x0A, 0, 0, 0, 13, 'I', 'H', 'D', 'R'};
const Bytes kJpeg{0xFF, 0xD8, 0xFF, 0xE0, 0, 16, 'J', 'F', 'I', 'F', 0};

std::string answer(int status, const Bytes& body) {
    std::string s = "HTTP/1.1 " + std::to_string(status) + " X\r\nContent-Length: " + std::to_string(body.size()) +
                    "\r\nConnection: close\r\n\r\n";
    s.append(body.begin(), body.end());
    return s;
}

template <typename Pred>
bool waitUntil(Pred pred, double seconds = 5.0) {
    const auto until = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
    while (!pred()) {
        if (std::chrono::steady_clock::now() > until) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    return true;
}

// Completions as they arrive: the caller's tag and whether an image came, with the image bytes.
struct Calls {
    std::mutex m;
    std::vector<std::pair<std::string, CoverStore::Image>> got;
    CoverStore::Completion make(std::string tag) {
        return [this, tag](CoverStore::Image img) {
            std::lock_guard l(m);
            got.emplace_back(tag, std::move(img));
        };
    }
    size_t size() {
        std::lock_guard l(m);
        return got.size();
    }
};

struct CoverFixture : ::testing::Test {
    Calls calls;  // before the executor: deliveries still queued there reach it while the executor drains
    platform::QueueExecutor main{"test-main"};

    void request(CoverStore& store, const std::string& key, std::optional<std::string> url,
                 std::optional<std::string> file, const std::string& tag) {
        main.invokeSync([&] { store.request(key, url, file, 0, calls.make(tag)); });
    }
    static std::string url(const ScriptedHttpServer& s, const std::string& path = "/cover_art?path=a") {
        return "http://127.0.0.1:" + std::to_string(s.port()) + path;
    }
};

TEST_F(CoverFixture, FetchesOnceForConcurrentWaitersAndThenAnswersFromCache) {
    ScriptedHttpServer server([](const std::string&) { return answer(200, kPng); }, 0.3);
    CoverStore store({main, {}, 0.05});
    request(store, "/music/a.mp3", url(server), std::nullopt, "first");
    request(store, "/music/a.mp3", url(server), std::nullopt, "second");
    ASSERT_TRUE(waitUntil([&] { return calls.size() == 2; }));
    EXPECT_EQ(server.requests().size(), 1u);
    EXPECT_EQ(calls.got[0].first, "first");
    ASSERT_TRUE(calls.got[0].second);
    EXPECT_EQ(*calls.got[0].second, kPng);
    EXPECT_EQ(calls.got[1].second, calls.got[0].second);

    // A cached key answers before request returns, on the caller's thread.
    bool answered = false;
    store.request("/music/a.mp3", url(server), std::nullopt, 0,
                  [&](CoverStore::Image img) { answered = img != nullptr; });
    EXPECT_TRUE(answered);
    EXPECT_EQ(store.cached("/music/a.mp3"), calls.got[0].second);
    EXPECT_EQ(server.requests().size(), 1u);
}

TEST_F(CoverFixture, FailedFetchesAnswerOnceAndRetryUntilTheyGiveUp) {
    const struct {
        const char* name;
        std::string reply;
    } failures[] = {
        {"404", answer(404, kPng)},
        {"304", answer(304, {})},
        {"not an image", answer(200, Bytes{'<', 'h', 't', 'm', 'l', '>'})},
        {"truncated", "HTTP/1.1 200 OK\r\nContent-Length: 100\r\n\r\n\xFF\xD8\xFF"},
    };
    for (const auto& f : failures) {
        ScriptedHttpServer server([&](const std::string&) { return f.reply; }, 0.03);
        CoverStore store({main, {}, 0.01});
        Calls local;
        main.invokeSync([&] {
            store.request("k", url(server), std::nullopt, 0, local.make("first"));
            store.request("k", url(server), std::nullopt, 0, local.make("waiter"));  // joins the first fetch
        });
        ASSERT_TRUE(waitUntil([&] { return server.requests().size() >= 21; }, 10.0)) << f.name;
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
        main.drain();
        EXPECT_EQ(server.requests().size(), 21u) << f.name;  // the first try and 20 retries
        std::lock_guard l(local.m);
        ASSERT_EQ(local.got.size(), 2u) << f.name;  // told once each; the waiter is dropped at the end
        EXPECT_EQ(local.got[0].first, "first");
        EXPECT_EQ(local.got[1].first, "waiter");
        EXPECT_FALSE(local.got[0].second);
        EXPECT_FALSE(local.got[1].second);
    }
}

TEST_F(CoverFixture, ARetryThatSucceedsAnswersEveryoneStillWaiting) {
    std::atomic<int> served{0};
    ScriptedHttpServer server([&](const std::string&) { return ++served <= 2 ? answer(500, {}) : answer(200, kJpeg); },
                              0.05);
    CoverStore store({main, {}, 0.2});
    request(store, "k", url(server), std::nullopt, "first");
    request(store, "k", url(server), std::nullopt, "waiter");  // joins the running fetch
    ASSERT_TRUE(waitUntil([&] { return calls.size() == 2; }));
    EXPECT_FALSE(calls.got[0].second);
    EXPECT_FALSE(calls.got[1].second);

    ASSERT_TRUE(waitUntil([&] { return calls.size() == 4; }));
    main.drain();
    std::lock_guard l(calls.m);
    EXPECT_EQ(calls.got[2].first, "first");
    EXPECT_EQ(calls.got[3].first, "waiter");
    ASSERT_TRUE(calls.got[2].second);
    EXPECT_EQ(*calls.got[2].second, kJpeg);
    EXPECT_EQ(served.load(), 3);
}

TEST_F(CoverFixture, ARequestDuringTheRetryPauseJoinsTheRunningChain) {
    ScriptedHttpServer server([](const std::string&) { return answer(404, {}); });
    CoverStore store({main, {}, 0.1});
    request(store, "k", url(server), std::nullopt, "first");
    ASSERT_TRUE(waitUntil([&] { return calls.size() == 1; }));
    request(store, "k", url(server), std::nullopt, "late");  // the first fetch failed; its retry is pending
    ASSERT_TRUE(waitUntil([&] { return server.requests().size() >= 21; }, 10.0));
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    main.drain();
    EXPECT_EQ(server.requests().size(), 21u) << "one chain of 21 fetches, not a second one for the late request";
    std::lock_guard l(calls.m);
    ASSERT_EQ(calls.got.size(), 2u);
    EXPECT_EQ(calls.got[1].first, "late");
    EXPECT_FALSE(calls.got[1].second);
}

TEST_F(CoverFixture, ABodyThatDoesNotDecodeIsAFailedFetchAndNeverCached) {
    // Starts like a PNG; the injected decoder rejects what ends in 0xEE, as a real one rejects damaged data.
    Bytes corrupt = kPng;
    corrupt.push_back(0xEE);
    std::atomic<int> served{0};
    ScriptedHttpServer server([&](const std::string&) { return answer(200, ++served == 1 ? corrupt : kPng); });
    std::atomic<int> judged{0};
    CoverStore store({main,
                      [&](const std::string&) -> std::optional<Bytes> { return corrupt; },
                      0.2,
                      [&](std::span<const uint8_t> b) {
                          ++judged;
                          return !b.empty() && b.back() != 0xEE;
                      }});
    request(store, "k", url(server), std::string("/damaged-art.flac"), "first");
    ASSERT_TRUE(waitUntil([&] { return calls.size() == 1; }));
    EXPECT_FALSE(calls.got[0].second);
    EXPECT_FALSE(store.cached("k")) << "the corrupt body is not kept";
    ASSERT_TRUE(waitUntil([&] { return calls.size() == 2; }));
    main.drain();
    ASSERT_TRUE(calls.got[1].second);
    EXPECT_EQ(*calls.got[1].second, kPng);
    EXPECT_EQ(served.load(), 2);
    EXPECT_EQ(judged.load(), 3) << "the embedded picture and both bodies";
}

TEST_F(CoverFixture, ReadsEmbeddedArtworkFirstAndFallsBack) {
    ScriptedHttpServer server([](const std::string&) { return answer(200, kPng); });
    std::atomic<int> reads{0};
    CoverStore store({main,
                      [&](const std::string& path) -> std::optional<Bytes> {
                          ++reads;
                          if (path == "/with-art.flac") return kJpeg;
                          if (path == "/bad-art.flac") return Bytes{1, 2, 3};
                          return std::nullopt;
                      },
                      0.05});
    request(store, "with", url(server), std::string("/with-art.flac"), "embedded");
    request(store, "bad", url(server), std::string("/bad-art.flac"), "fallback");
    request(store, "none", std::nullopt, std::string("/no-art.flac"), "nothing");
    request(store, "bare", std::nullopt, std::nullopt, "no address");
    ASSERT_TRUE(waitUntil([&] { return calls.size() == 4; }));
    main.drain();
    std::map<std::string, CoverStore::Image> byTag(calls.got.begin(), calls.got.end());
    ASSERT_TRUE(byTag["embedded"]);
    EXPECT_EQ(*byTag["embedded"], kJpeg);
    ASSERT_TRUE(byTag["fallback"]);
    EXPECT_EQ(*byTag["fallback"], kPng);
    EXPECT_FALSE(byTag["nothing"]);
    EXPECT_FALSE(byTag["no address"]);
    EXPECT_EQ(server.requests().size(), 1u);
    EXPECT_EQ(reads.load(), 3);
}

TEST_F(CoverFixture, KnowsCoverFormatsAndDropsWorkWhenGone) {
    EXPECT_TRUE(CoverStore::looksLikeImage(kPng));
    EXPECT_TRUE(CoverStore::looksLikeImage(kJpeg));
    EXPECT_TRUE(CoverStore::looksLikeImage(Bytes{'G', 'I', 'F', '8', '9', 'a'}));
    EXPECT_TRUE(CoverStore::looksLikeImage(Bytes{'R', 'I', 'F', 'F', 0, 0, 0, 0, 'W', 'E', 'B', 'P'}));
    EXPECT_FALSE(CoverStore::looksLikeImage(Bytes{'R', 'I', 'F', 'F', 0, 0, 0, 0, 'W', 'A', 'V', 'E'}));
    EXPECT_FALSE(CoverStore::looksLikeImage(Bytes{0xFF, 0xD8}));
    EXPECT_FALSE(CoverStore::looksLikeImage(Bytes{}));

    // A store destroyed with a fetch pending never calls back afterwards. The server answers (and the
    // retries would start) only once the store has gone; the store's threads are joined by then, so what
    // it could still deliver is on main, and the drain runs it.
    std::atomic<bool> gone{false};
    ScriptedHttpServer server([&](const std::string&) {
        while (!gone) std::this_thread::sleep_for(std::chrono::milliseconds(2));
        return answer(404, {});
    }, 0.2);
    {
        CoverStore store({main, {}, 0.01});
        request(store, "k", url(server), std::nullopt, "gone");
        EXPECT_TRUE(waitUntil([&] { return server.requests().size() == 1; }, 30.0));
    }
    gone = true;
    main.drain();
    EXPECT_EQ(calls.size(), 0u);
    CoverStore store({main, {}, 3.0});
    request(store, "k", std::string("not a url"), std::nullopt, "bad url");
    ASSERT_TRUE(waitUntil([&] { return calls.size() == 1; }));
    EXPECT_FALSE(calls.got[0].second);

    // The process-wide store outlives every test, so it gets an executor that does too.
    static auto* processMain = new platform::QueueExecutor("cover-main");
    EXPECT_EQ(&CoverStore::shared(*processMain), &CoverStore::shared(*processMain));
}

}  // namespace
}  // namespace plindo::library
