// Wake-up lateness of the real MIDI drain thread over 10 s with two moving decks (deck 1 on the emitter,
// deck 2 driven directly through the jog queue), beside a bare 1 ms clock_nanosleep(TIMER_ABSTIME) loop on
// a thread of the same policy in the same run: the cyclictest method. Also counts the drain's allocations.
//
// The drain's deadlines are not visible from outside; both loops' lateness is therefore measured the same
// way, against the grid through their least late wake-up (k-th wake minus k periods, minimum taken as the
// grid). For the bare loop the true lateness against its known deadlines is printed too, so the floor that
// this way hides shows.
#include "platform/clock.h"
#include "platform/midi_backend.h"
#include "platform/realtime_thread.h"
#include "serato/midi_bridge_client.h"
#include "serato/serato_midi_out.h"

#include <benchmark/benchmark.h>

#include "../../tests/alloc_counter.h"

#include <pthread.h>
#include <sched.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <numbers>
#include <string>
#include <thread>
#include <vector>

namespace {

using namespace plindo;

constexpr int64_t kPeriodNs = 1'000'000;
constexpr double kRunSec = 10.0;
constexpr std::size_t kMaxWakes = 20'000;

const char* policyName(int policy) {
    switch (policy) {
        case SCHED_FIFO: return "SCHED_FIFO";
        case 6: return "SCHED_DEADLINE";
        case SCHED_OTHER: return "normal";
        default: return "other";
    }
}

// Wake-up times of one periodic loop, preallocated so that recording never allocates.
struct Wakes {
    std::vector<int64_t> at = std::vector<int64_t>(kMaxWakes);
    std::atomic<std::size_t> count{0};
    std::atomic<int> policy{-1};

    void note(int64_t t) {
        const std::size_t i = count.load(std::memory_order_relaxed);
        if (i < at.size()) at[i] = t;
        count.store(i + 1, std::memory_order_release);
    }
};

struct Stats {
    double p50 = 0, p99 = 0, max = 0;  // microseconds
};

Stats statsOf(std::vector<double> late) {
    if (late.empty()) return {};
    std::sort(late.begin(), late.end());
    auto at = [&](double q) { return late[std::min(late.size() - 1, static_cast<std::size_t>(q * static_cast<double>(late.size())))]; };
    return {at(0.5), at(0.99), late.back()};
}

// Lateness against the grid through the least late wake-up; skips the first wakes (thread start-up).
Stats gridLateness(const Wakes& w) {
    const std::size_t n = std::min(w.count.load(), w.at.size());
    if (n < 110) return {};
    int64_t origin = INT64_MAX;
    for (std::size_t k = 100; k < n; ++k) origin = std::min(origin, w.at[k] - static_cast<int64_t>(k) * kPeriodNs);
    std::vector<double> late;
    for (std::size_t k = 100; k < n; ++k)
        late.push_back(static_cast<double>(w.at[k] - static_cast<int64_t>(k) * kPeriodNs - origin) / 1000.0);
    return statsOf(std::move(late));
}

// The media clock as the output sees it; notes each tick of the drain thread (the drain reads the clock
// once per tick, first thing after it wakes) and the allocations made on that thread since it started.
class DrainClock final : public platform::Clock {
public:
    explicit DrainClock(Wakes& w) : wakes_(w) {}
    double now() const override {
        const int64_t t = platform::hostTimeNs();
        thread_local int onDrain = -1;
        if (onDrain < 0) {
            char name[16] = {};
            pthread_getname_np(pthread_self(), name, sizeof name);
            onDrain = std::strcmp(name, "serato-drain") == 0 ? 1 : 0;
            if (onDrain) {
                wakes_.policy = sched_getscheduler(0);
                tCounting = true;
                tAllocs = 0;
            }
        }
        if (onDrain) {
            wakes_.note(t);
            allocs_.store(tAllocs, std::memory_order_relaxed);
        }
        return static_cast<double>(t) / 1e9;
    }
    long allocs() const { return allocs_.load(); }

private:
    Wakes& wakes_;
    mutable std::atomic<long> allocs_{0};
};

double angleOf(double ticks) { return -ticks / 3600.0 * 2 * std::numbers::pi; }

void BM_DrainWakeLateness(benchmark::State& state) {
    Wakes drain, bare;
    std::vector<double> bareTrue(kMaxWakes);  // the bare loop's lateness against its own deadlines, us
    long drainAllocs = 0;
    for (auto _ : state) {
        // The real drain, two decks moving: phone frames for deck 1, direct samples for deck 2.
        {
            platform::LoopbackMidiBackend backend;
            backend.setRecordLimit(0);
            serato::SeratoOutSettings settings;
            settings.format = serato::SeratoOutFormat::twelve;
            settings.tuning.store(serato::SeratoEmit::Tuning::defaults());
            settings.engaged[0] = true;
            settings.engaged[1] = true;
            DrainClock clock(drain);
            serato::MIDIBridgeClient bridge(1, clock);
            serato::SeratoMIDIOut out(backend, bridge, settings, clock, serato::SeratoMIDIOutOptions{true, false});
            out.setActive(1, true);
            out.setActive(2, true);
            const double t0 = clock.now();
            double ticks = 0;
            for (double t = t0; t - t0 < kRunSec; t = clock.now()) {
                ticks += 20;
                const serato::SeratoEmit::Sample s{angleOf(ticks), t - t0 + 1.0};
                out.feed(1, std::span(&s, 1), 1.0);
                out.drive(2, true, angleOf(ticks), t - t0 + 1.0, 0);
                std::this_thread::sleep_for(std::chrono::milliseconds(10));
            }
            out.setActive(1, false);
            out.setActive(2, false);
            drainAllocs = clock.allocs();
            state.counters["msgs_sent"] = static_cast<double>(backend.sentCount());
        }
        // The bare loop: the same policy request, the same deadline arithmetic, nothing else.
        std::thread loop = platform::startRealtimeThread("bare-loop", kPeriodNs, [&](platform::RealtimeGrant) {
            bare.policy = sched_getscheduler(0);
            platform::PeriodicDeadline deadline{kPeriodNs, platform::hostTimeNs()};
            const int64_t end = platform::hostTimeNs() + static_cast<int64_t>(kRunSec * 1e9);
            while (platform::hostTimeNs() < end) {
                const int64_t now = platform::hostTimeNs();
                const int64_t next = deadline.advance(now);
                if (now < next) platform::sleepUntilNs(next);
                const int64_t woke = platform::hostTimeNs();
                if (const std::size_t i = bare.count.load(); i < bareTrue.size())
                    bareTrue[i] = static_cast<double>(woke - next) / 1000.0;
                bare.note(woke);
            }
        });
        loop.join();
    }

    const Stats d = gridLateness(drain);
    const Stats b = gridLateness(bare);
    const std::size_t bareN = std::min(bare.count.load(), bareTrue.size());
    const Stats bt = statsOf(std::vector<double>(bareTrue.begin() + std::min<std::size_t>(100, bareN), bareTrue.begin() + static_cast<std::ptrdiff_t>(bareN)));
    const std::size_t ticks = std::min(drain.count.load(), drain.at.size());
    state.counters["drain_p50_us"] = d.p50;
    state.counters["drain_p99_us"] = d.p99;
    state.counters["drain_max_us"] = d.max;
    state.counters["bare_p50_us"] = b.p50;
    state.counters["bare_p99_us"] = b.p99;
    state.counters["bare_max_us"] = b.max;
    state.counters["allocs_per_tick"] = ticks ? static_cast<double>(drainAllocs) / static_cast<double>(ticks) : -1;
    std::printf("drain wake-up lateness (%s, %zu ticks): p50 %.1f us, p99 %.1f us, max %.1f us; %ld allocations\n",
                policyName(drain.policy.load()), ticks, d.p50, d.p99, d.max, drainAllocs);
    std::printf("bare clock_nanosleep loop (%s): p50 %.1f us, p99 %.1f us, max %.1f us (against its own deadlines: "
                "p50 %.1f us, p99 %.1f us, max %.1f us)\n",
                policyName(bare.policy.load()), b.p50, b.p99, b.max, bt.p50, bt.p99, bt.max);
    std::printf("drain p99 = bare p99 %+.1f us (goal: within +50 us)\n", d.p99 - b.p99);
}
BENCHMARK(BM_DrainWakeLateness)->Iterations(1)->Unit(benchmark::kSecond);

}  // namespace
