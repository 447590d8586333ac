// The synthesis switch of a raw follower: it waits for fresh raw data, keeps one timer, and stays at one
// timer however many threads flip it.
#include "host/raw_follow.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>

namespace plindo::host {
namespace {

TEST(RawFollowSynth, WaitsForQuietRawDataAndKeepsOneTimer) {
    platform::FakeClock clock(100.0);
    RawFollow f(clock);
    std::atomic<int> steps{0};
    f.onSynthStep = [&](RawFollow&) { ++steps; };

    // Raw samples 0.3 s ago drive the follower: omega is stored, no timer starts.
    f.lastWall = 99.7;
    f.setRawSynth(2.0, false);
    {
        std::lock_guard g(f.core.lock);
        EXPECT_TRUE(f.core.synthSpinOn);
        EXPECT_EQ(f.core.synthOmega, 2.0);
    }
    EXPECT_FALSE(f.synthTimerRunning());

    // The raw feed went quiet: a later start runs the timer; a second start keeps it and takes the omega.
    clock.set(101.0);
    f.setRawSynth(3.0, false);
    EXPECT_TRUE(f.synthTimerRunning());
    f.setRawSynth(4.0, false);
    EXPECT_EQ(f.liveTimers(), 1);
    {
        std::lock_guard g(f.core.lock);
        EXPECT_EQ(f.core.synthOmega, 4.0);
    }
    for (int i = 0; i < 200 && steps.load() < 2; ++i) std::this_thread::sleep_for(std::chrono::milliseconds(5));
    EXPECT_GE(steps.load(), 2);

    // Stopping clears the speed and ends the timer; stopping again is harmless.
    f.setRawSynth(5.0, true);
    f.setRawSynth(5.0, true);
    EXPECT_FALSE(f.synthTimerRunning());
    EXPECT_EQ(f.liveTimers(), 0);
    std::lock_guard g(f.core.lock);
    EXPECT_FALSE(f.core.synthSpinOn);
    EXPECT_EQ(f.core.synthOmega, 0.0);
}

TEST(RawFollowSynth, TwoThreadsFlippingItLeaveOneTimerAtMost) {
    RawFollow f;
    std::atomic<int> most{0};
    std::atomic<bool> go{false};
    auto flip = [&](bool stopFirst) {
        while (!go.load()) std::this_thread::yield();
        for (int i = 0; i < 10000; ++i) {
            f.setRawSynth(1.0, (i % 2 == 0) == stopFirst);
            const int live = f.liveTimers();
            int seen = most.load();
            while (live > seen && !most.compare_exchange_weak(seen, live)) {
            }
        }
    };
    std::thread a(flip, true), b(flip, false);
    go = true;
    a.join();
    b.join();
    EXPECT_LE(most.load(), 1);
    EXPECT_LE(f.liveTimers(), 1);
    f.setRawSynth(0, true);
    EXPECT_EQ(f.liveTimers(), 0);
}

}  // namespace
}  // namespace plindo::host
