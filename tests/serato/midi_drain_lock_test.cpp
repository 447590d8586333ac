// The drain shares its lock with the controller's threads. On one core a SCHED_FIFO drain must keep ticking
// while a normal-priority thread takes that lock over and over: a holder preempted by the drain has to be
// let run until it lets go, not spun against.
#include "serato/serato_midi_out.h"

#include "midi_out_rig.h"

#include <gtest/gtest.h>

#include <pthread.h>
#include <sched.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <chrono>
#include <thread>

namespace plindo::serato {
namespace {

// The media clock, noting when each tick read it: the drain reads it once per tick, nothing else here does.
class TickClock final : public platform::Clock {
public:
    double now() const override {
        const int64_t t = platform::hostTimeNs();
        const std::size_t i = count_.fetch_add(1, std::memory_order_relaxed);
        if (sched_getscheduler(0) == SCHED_FIFO) fifo_.store(true, std::memory_order_relaxed);
        if (i < stamps_.size()) stamps_[i] = t;
        return static_cast<double>(t) / 1e9;
    }
    // The longest time between two ticks, and how many there were.
    std::pair<double, std::size_t> longestGapMs() const {
        const std::size_t n = std::min(count_.load(), stamps_.size());
        int64_t longest = 0;
        for (std::size_t i = 1; i < n; ++i) longest = std::max(longest, stamps_[i] - stamps_[i - 1]);
        return {static_cast<double>(longest) / 1e6, n};
    }
    bool sawFifo() const { return fifo_.load(); }

private:
    mutable std::atomic<std::size_t> count_{0};
    mutable std::array<int64_t, 8192> stamps_{};
    mutable std::atomic<bool> fifo_{false};
};

// Keeps the calling thread, and every thread it starts meanwhile, on one core.
struct OneCore {
    OneCore() {
        pthread_getaffinity_np(pthread_self(), sizeof saved, &saved);
        cpu_set_t one;
        CPU_ZERO(&one);
        CPU_SET(sched_getcpu(), &one);
        pthread_setaffinity_np(pthread_self(), sizeof one, &one);
    }
    ~OneCore() { pthread_setaffinity_np(pthread_self(), sizeof saved, &saved); }
    cpu_set_t saved;
};

TEST(SeratoMIDIOutDrain, KeepsTickingWhileANormalThreadTakesItsLockOnTheSameCore) {
    platform::LoopbackMidiBackend backend;
    SeratoOutSettings settings;
    settings.format = SeratoOutFormat::twelve;
    MIDIBridgeClient bridge(1);
    TickClock clock;
    OneCore pinned;
    SeratoMIDIOut out(backend, bridge, settings, clock, SeratoMIDIOutOptions{true, false});

    std::atomic<bool> stop{false};
    std::atomic<int64_t> taken{0};
    std::thread hog([&] {
        while (!stop.load(std::memory_order_relaxed)) {
            out.isActive(1);  // takes and releases the output's lock
            taken.fetch_add(1, std::memory_order_relaxed);
        }
    });
    out.setActive(1, true);
    ASSERT_TRUE(out.drainRunning());
    std::this_thread::sleep_for(std::chrono::milliseconds(400));
    out.setActive(1, false);
    stop = true;
    hog.join();

    const auto [gapMs, ticks] = clock.longestGapMs();
    std::printf("drain policy %s: %zu ticks, longest gap %.2f ms, lock taken %lld times by the normal thread\n",
                clock.sawFifo() ? "SCHED_FIFO" : "normal",
                ticks, gapMs, static_cast<long long>(taken.load()));
    EXPECT_GT(ticks, 200u);
    EXPECT_LT(gapMs, 50.0) << "the drain stalled behind a preempted lock holder";
    EXPECT_GT(taken.load(), 1000) << "the normal thread ran too";
}

}  // namespace
}  // namespace plindo::serato
