#include "platform/serial_queue.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <mutex>
#include <thread>
#include <vector>

using namespace plindo::platform;
using namespace std::chrono_literals;

TEST(SerialQueue, RunsPostedWorkInOrderOnItsOwnThread) {
    SerialQueue q("test.queue");
    std::vector<int> order;
    for (int i = 0; i < 100; ++i) q.post([&order, i] { order.push_back(i); });
    bool onQueue = false;
    bool nested = false;
    q.sync([&] {
        onQueue = q.isCurrent();
        q.sync([&] { nested = true; });  // already on the queue: runs inline instead of deadlocking
    });
    EXPECT_TRUE(onQueue);
    EXPECT_TRUE(nested);
    EXPECT_FALSE(q.isCurrent());
    ASSERT_EQ(order.size(), 100u);
    for (int i = 0; i < 100; ++i) EXPECT_EQ(order[i], i);
}

TEST(SerialQueue, StopLetsQueuedWorkFinish) {
    std::atomic<int> ran{0};
    {
        SerialQueue q("test.stop");
        for (int i = 0; i < 10; ++i) q.post([&] { ++ran; });
        q.stop();
        q.stop();
    }
    EXPECT_EQ(ran, 10);
}

TEST(RepeatingTimer, TicksUntilCancelledAndNeverAfter) {
    SerialQueue q("test.timer");
    std::atomic<int> ticks{0};
    RepeatingTimer t(q, 2ms, [&] { ++ticks; });
    t.start();
    const auto until = std::chrono::steady_clock::now() + 2s;
    while (ticks < 5 && std::chrono::steady_clock::now() < until) std::this_thread::sleep_for(1ms);
    t.cancel();
    const int atCancel = ticks;
    EXPECT_GE(atCancel, 5);
    std::this_thread::sleep_for(20ms);
    EXPECT_EQ(ticks, atCancel);
}

TEST(RepeatingTimer, AStartFromTheQueueNeverOutlivesACancelAlreadyWaitingThere) {
    SerialQueue q("test.timer3");
    std::atomic<int> ticks{0};
    RepeatingTimer t(q, 1ms, [&] { ++ticks; });
    std::atomic<bool> cancelling{false};
    std::thread canceller;
    q.sync([&] {
        canceller = std::thread([&] {
            cancelling = true;
            t.cancel();
        });
        while (!cancelling) std::this_thread::yield();
        std::this_thread::sleep_for(20ms);  // lets the cancel reach the queue behind this task
        t.start();                          // as a receive handler wakes its idle timer
    });
    canceller.join();
    const int atCancel = ticks;
    std::this_thread::sleep_for(20ms);
    EXPECT_EQ(ticks, atCancel);
}

TEST(RepeatingTimer, CancelThenDestroyAndDestroyWithoutStartAreSafe) {
    SerialQueue q("test.timer2");
    {
        RepeatingTimer never(q, 1ms, [] {});
    }
    auto ticks = std::make_shared<std::atomic<int>>(0);
    {
        auto t = std::make_unique<RepeatingTimer>(q, 1ms, [ticks] { ++*ticks; });
        t->start();
        std::this_thread::sleep_for(5ms);
        t->cancel();
        t.reset();
    }
    // A tick that cancels its own timer from inside the tick.
    std::unique_ptr<RepeatingTimer> self;
    std::atomic<int> selfTicks{0};
    self = std::make_unique<RepeatingTimer>(q, 1ms, [&] {
        if (++selfTicks == 3) self->cancel();
    });
    self->start();
    const auto until = std::chrono::steady_clock::now() + 2s;
    while (selfTicks < 3 && std::chrono::steady_clock::now() < until) std::this_thread::sleep_for(1ms);
    std::this_thread::sleep_for(10ms);
    EXPECT_EQ(selfTicks, 3);
    self.reset();
    const int before = *ticks;
    std::this_thread::sleep_for(10ms);
    EXPECT_EQ(*ticks, before);
}
