#include "ui/library/wave_build_pool.h"
#include "ui/library/wave_lru_cache.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>

namespace plindo::ui {
namespace {

using namespace std::chrono_literals;
using Envelope = WaveBuildPool::Envelope;

TEST(WaveLruCache, EvictsTheLeastRecentlyUsedBeyondItsCostAndKeepsTheNewest) {
    WaveLruCache<int> cache(10, [](const int& v) { return size_t(v); });
    cache.put("a", 3);
    cache.put("b", 3);
    cache.put("c", 3);
    ASSERT_NE(cache.find("a"), nullptr);  // a is now the most recent
    cache.put("d", 3);                    // 12 > 10: b goes
    EXPECT_FALSE(cache.contains("b"));
    EXPECT_TRUE(cache.contains("a") && cache.contains("c") && cache.contains("d"));
    EXPECT_EQ(cache.cost(), 9u);
    cache.put("a", 5);  // replacing counts the new cost only: 11 > 10, c goes
    EXPECT_FALSE(cache.contains("c"));
    EXPECT_EQ(cache.cost(), 8u);
    cache.put("huge", 50);  // alone above the bound, it stays
    EXPECT_EQ(cache.size(), 1u);
    EXPECT_EQ(*cache.find("huge"), 50);
    cache.setCapacity(0);
    EXPECT_EQ(cache.size(), 1u);

    WaveLruCache<std::string> counted(2);
    counted.put("x", "1");
    counted.put("y", "2");
    counted.put("z", "3");
    EXPECT_EQ(counted.size(), 2u);
    EXPECT_FALSE(counted.contains("x"));
}

// Runs what the pool posts to "main" when the test says so.
class ManualExecutor : public platform::MainExecutor {
public:
    void post(std::function<void()> f) override {
        std::lock_guard l(m_);
        q_.push_back(std::move(f));
    }
    void invokeSync(const std::function<void()>& f) override { f(); }
    // Runs posted work until `done` holds or 5 s pass.
    bool runUntil(const std::function<bool()>& done) {
        const auto until = std::chrono::steady_clock::now() + 5s;
        while (!done()) {
            if (std::chrono::steady_clock::now() > until) return false;
            std::vector<std::function<void()>> q;
            {
                std::lock_guard l(m_);
                q.swap(q_);
            }
            for (auto& f : q) f();
            std::this_thread::sleep_for(1ms);
        }
        return true;
    }

private:
    std::mutex m_;
    std::vector<std::function<void()>> q_;
};

// Builds that wait for the test to open their gate, recording what they built and how many ran at once.
struct GatedBuilds {
    std::mutex m;
    std::condition_variable cv;
    bool open = false;
    std::vector<std::string> started;
    int now = 0, most = 0;
    std::atomic<int> cancelledSeen{0};

    WaveBuildPool::Build build() {
        return [this](const std::string& path, const std::function<bool()>& cancelled) -> Envelope {
            std::unique_lock l(m);
            started.push_back(path);
            most = std::max(most, ++now);
            while (!open) {
                if (cancelled()) {
                    ++cancelledSeen;
                    --now;
                    return nullptr;
                }
                cv.wait_for(l, 2ms);
            }
            --now;
            auto env = std::make_shared<library::PeakEnvelope>();
            env->audioPath = path;
            return env;
        };
    }
    void release() {
        std::lock_guard l(m);
        open = true;
        cv.notify_all();
    }
    size_t startedCount() {
        std::lock_guard l(m);
        return started.size();
    }
};

TEST(WaveBuildPool, JoinsRequestsForOnePathAndRunsAtMostTwoBuilds) {
    ManualExecutor main;
    GatedBuilds builds;
    std::vector<std::string> built;
    WaveBuildPool pool(main, builds.build(), [&](const std::string& p, const Envelope& e) {
        built.push_back(p);
        EXPECT_EQ(e->audioPath, p);
    });
    std::vector<std::string> heard;
    std::vector<WaveBuildPool::Ticket> tickets;
    for (const char* p : {"a", "b", "a", "c", "d", "b"})
        tickets.push_back(pool.request(p, [&heard, p](const Envelope& e) { heard.push_back(p + std::string(e ? "+" : "-")); }));
    ASSERT_TRUE(main.runUntil([&] { return builds.startedCount() == 2; }));
    EXPECT_EQ(pool.queued(), 2);
    builds.release();
    ASSERT_TRUE(main.runUntil([&] { return heard.size() == 6; }));
    EXPECT_EQ(builds.startedCount(), 4u);  // one build per path
    EXPECT_LE(builds.most, 2);
    EXPECT_EQ(built.size(), 4u);
}

TEST(WaveBuildPool, DropsAQueuedBuildWhoseWaitersLeftButFinishesAStartedOne) {
    ManualExecutor main;
    GatedBuilds builds;
    std::vector<std::string> built;
    WaveBuildPool pool(main, builds.build(), [&](const std::string& p, const Envelope&) { built.push_back(p); });
    int heard = 0;
    auto a = pool.request("a", [&](const Envelope&) { ++heard; });
    auto b = pool.request("b", [&](const Envelope&) { ++heard; });
    ASSERT_TRUE(main.runUntil([&] { return builds.startedCount() == 2; }));
    auto c1 = pool.request("c", [&](const Envelope&) { ++heard; });
    auto c2 = pool.request("c", [&](const Envelope&) { ++heard; });
    c1.release();
    EXPECT_EQ(pool.queued(), 1);  // one waiter is still there
    c2 = WaveBuildPool::Ticket();
    EXPECT_EQ(pool.queued(), 0);
    a.release();  // already started: it runs on and is still reported to the cache
    builds.release();
    ASSERT_TRUE(main.runUntil([&] { return built.size() == 2; }));
    std::this_thread::sleep_for(20ms);
    main.runUntil([] { return true; });
    std::sort(builds.started.begin(), builds.started.end());  // the two threads start in either order
    EXPECT_EQ(builds.started, (std::vector<std::string>{"a", "b"}));
    EXPECT_EQ(heard, 1);  // only b's waiter was left
}

TEST(WaveBuildPool, ShutdownCancelsRunningBuildsAndNothingIsReportedAfterIt) {
    ManualExecutor main;
    GatedBuilds builds;
    int reports = 0;
    std::optional<WaveBuildPool::Ticket> outliving;
    {
        WaveBuildPool pool(main, builds.build(), [&](const std::string&, const Envelope&) { ++reports; });
        outliving = pool.request("a", [&](const Envelope&) { ++reports; });
        auto b = pool.request("b", [&](const Envelope&) { ++reports; });
        auto c = pool.request("c", [&](const Envelope&) { ++reports; });
        ASSERT_TRUE(main.runUntil([&] { return builds.startedCount() == 2; }));
        pool.shutdown();  // returns only after both running builds saw the cancel
        EXPECT_EQ(builds.cancelledSeen.load(), 2);
        EXPECT_FALSE(pool.request("d", [&](const Envelope&) { ++reports; }).active());
    }
    outliving.reset();  // a ticket that outlives its pool does nothing
    main.runUntil([] { return true; });
    EXPECT_EQ(reports, 0);
    EXPECT_EQ(builds.startedCount(), 2u);
}

}  // namespace
}  // namespace plindo::ui
