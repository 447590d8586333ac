// The motion road of a started host: one phone frame datagram through the server into the deck (the own
// player's anchor, or the MIDI output of a bridged deck) beside liblo's decode of the same bytes; one pass of
// the 2 ms tunnel pump as a share of its period; and the pump's wake-up lateness over 10 s beside a bare
// 2 ms loop in the same run. Allocations on the measured threads are counted.
#include "host/host_state.h"

#include "host/serato_parts.h"
#include "period_share.h"
#include "platform/log.h"
#include "platform/queue_executor.h"
#include "platform/realtime_thread.h"
#include "platform/settings.h"

#include "../../tests/alloc_counter.h"

#include <benchmark/benchmark.h>

#ifdef PLINDO_HAVE_LIBLO
#include <lo/lo_lowlevel.h>
#endif

#include <pthread.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstring>
#include <functional>
#include <memory>
#include <numbers>
#include <thread>
#include <vector>

namespace {

using namespace plindo;

constexpr int64_t kPumpPeriodNs = 2'000'000;
constexpr double kRunSec = 10.0;
constexpr std::size_t kMaxWakes = 8000;

class NullSink final : public link::OrvServer::Sink {
public:
    void send(const link::OrvServer::Endpoint&, std::span<const uint8_t>) override {}
};

// Wake-up times of one periodic loop, preallocated so that recording never allocates.
struct Wakes {
    std::vector<int64_t> at = std::vector<int64_t>(kMaxWakes);
    std::atomic<std::size_t> count{0};
    void note(int64_t t) {
        const std::size_t i = count.load(std::memory_order_relaxed);
        if (i < at.size()) at[i] = t;
        count.store(i + 1, std::memory_order_release);
    }
};

// The media clock; notes one wake per pump pass and the allocations made on the pump thread. A pass reads the
// clock once, first thing; only a pass that emits to a bridged deck reads it again (in the MIDI output), and no
// deck is bridged here, so each read on the pump thread is one pass, catch-up passes after a stall included.
class PumpClock final : public platform::Clock {
public:
    Wakes wakes;
    double now() const override {
        const int64_t t = platform::hostTimeNs();
        thread_local int onPump = -1;
        if (onPump < 0) {
            char name[16] = {};
            pthread_getname_np(pthread_self(), name, sizeof name);
            onPump = std::strcmp(name, "plindo.tunnel") == 0 ? 1 : 0;
            if (onPump) {
                tCounting = true;
                tAllocs = 0;
            }
        }
        if (onPump) {
            const_cast<Wakes&>(wakes).note(t);
            allocs.store(tAllocs, std::memory_order_relaxed);
        }
        return static_cast<double>(t) / 1e9;
    }
    mutable std::atomic<long> allocs{0};
};

double p99Of(std::vector<double> late) {
    if (late.empty()) return -1;
    std::sort(late.begin(), late.end());
    return late[std::min(late.size() - 1, static_cast<std::size_t>(0.99 * static_cast<double>(late.size())))];
}

// The pump's lateness against its own deadlines. They are not visible from outside, but they follow from its
// wakes: the pump runs a pass at once on start, then sleeps until the deadline that PeriodicDeadline gives for
// the time the pass ended (within microseconds of its wake), so the same arithmetic replayed over the wakes
// gives each pass's deadline, stalls and restarts of the grid included. The first wakes (start-up) are skipped.
double p99Lateness(const Wakes& w) {
    const std::size_t n = std::min(w.count.load(), w.at.size());
    if (n < 110) return -1;
    platform::PeriodicDeadline deadline{.periodNs = kPumpPeriodNs, .next = w.at[0]};
    std::vector<double> late;
    for (std::size_t k = 1; k < n; ++k) {
        const int64_t next = deadline.advance(w.at[k - 1]);
        if (k >= 100) late.push_back(static_cast<double>(std::max<int64_t>(0, w.at[k] - next)) / 1000.0);
    }
    return p99Of(std::move(late));
}

struct Host {
    platform::MemorySettings settings;
    platform::QueueExecutor main;
    NullSink sink;
    // The MIDI output sends to an in-process loopback that keeps no record: the figures are the road's own,
    // with or without a sequencer on the machine.
    platform::LoopbackMidiBackend midi;
    std::unique_ptr<host::HostState> host;
    link::OrvServer::Origin phone{asio::ip::udp::endpoint(asio::ip::make_address_v4("192.168.1.20"), 50000),
                                  asio::ip::make_address_v4("192.168.1.10")};

    // `beforeStart` runs on main between the host's making and its start.
    explicit Host(const platform::Clock& clock, const std::function<void(host::HostState&)>& beforeStart = {}) {
        platform::setLogFolder("");
        settings.setValue("orv.oscPort", 47311);
        settings.setValue("orv.devUID.1", "null");
        settings.setValue("orv.devUID.2", "null");
        main.invokeSync([&] {
            host = std::make_unique<host::HostState>(host::HostState::Deps{
                .settings = settings,
                .main = main,
                .clock = clock,
                .interfaces = [] { return std::vector<platform::NetInterface>{}; },
                .trackServerPort = 0,
                .midi = &midi,
                .sink = &sink});
            if (beforeStart) beforeStart(*host);
            host->start();
        });
        midi.setRecordLimit(0);
        const std::vector<link::OSCValue> hello{link::OSCValue::int32(1), link::OSCValue::string("Bench"),
                                                link::OSCValue::int32(0), link::OSCValue::string("remote"),
                                                link::OSCValue::int32(1), link::OSCValue::string("1215"),
                                                link::OSCValue::string("")};
        const auto b = link::OSCMessage::encode("/orv/hello", hello);
        host->server->handleDatagram(b.data(), b.size(), phone, clock.now());
        main.drain();
    }
    ~Host() {
        main.invokeSync([&] { host.reset(); });
        main.drain();
    }
};

// A phone frame as the phone sends it: deck, path, pos, rate and 2 (angle, ts) pairs.
std::vector<uint8_t> frameBytes(double angle, double ts) {
    const std::vector<link::OSCValue> args{link::OSCValue::int32(1), link::OSCValue::string(""),
                                           link::OSCValue::float64(10), link::OSCValue::float64(1),
                                           link::OSCValue::float64(angle), link::OSCValue::float64(ts),
                                           link::OSCValue::float64(angle - 0.0175), link::OSCValue::float64(ts + 0.005)};
    return link::OSCMessage::encode("/orv/frame", args);
}

void BM_FrameToDeck(benchmark::State& state) {
    const bool bridged = state.range(0) != 0;
    Host h(platform::systemClock());
    if (bridged) h.main.invokeSync([&] { h.host->setSeratoDeck(1, true); });
    // A turning platter: each datagram a little further on (prepared before the timed loop).
    std::vector<std::vector<uint8_t>> frames;
    for (int k = 0; k < 1000; ++k) frames.push_back(frameBytes(-0.035 * k, 1.0 + 0.01 * k));
    std::size_t k = 0;
    long allocs = 0;
    for (auto _ : state) {
        const auto& f = frames[k++ % frames.size()];
        tCounting = true;
        tAllocs = 0;
        h.host->server->handleDatagram(f.data(), f.size(), h.phone, platform::systemClock().now());
        allocs += tAllocs;
        tCounting = false;
    }
    state.counters["allocs_per_op"] = static_cast<double>(allocs) / static_cast<double>(state.iterations());
    state.SetLabel(bridged ? "bridged deck" : "host deck");
}
BENCHMARK(BM_FrameToDeck)->Arg(0)->Arg(1);

#ifdef PLINDO_HAVE_LIBLO
void BM_LibloDeserialiseFrame(benchmark::State& state) {
    std::vector<uint8_t> buf = frameBytes(-0.035, 1.0);
    for (auto _ : state) {
        int result = 0;
        lo_message m = lo_message_deserialise(buf.data(), buf.size(), &result);
        benchmark::DoNotOptimize(m);
        if (m) lo_message_free(m);
    }
}
BENCHMARK(BM_LibloDeserialiseFrame);
#endif

// One pump pass with both roads busy on a bridged deck: a fresh tick batch that lets the pass guess, and an
// earbud stream for the upsampler to drain.
void BM_PumpPass(benchmark::State& state) {
    static bench::PeriodShares shares({{"pct_of_2ms_pump", "the 2 ms pump period", 2e6}});
    Host h(platform::systemClock());
    const bool bridged = state.range(0) != 0;
    if (bridged) h.main.invokeSync([&] { h.host->setSeratoDeck(1, true); });
    auto& feeds = *h.host->feeds;
    long allocs = 0;
    double now = platform::systemClock().now();
    int64_t seq = 0;
    const auto start = std::chrono::steady_clock::now();
    for (auto _ : state) {
        state.PauseTiming();
        now += 0.004;
        ++seq;
        std::array<motion::SeratoTunnel::Tick, 2> batch{{{seq * 2, seq * 240, now, true}, {seq * 2 + 1, seq * 240 + 120, now + 0.002, true}}};
        feeds.tunnelCell[0].update([&](host::TunnelState& st) {
            st.tun.ingest(batch);
            st.wall = now;
            st.guessRun = 0;
        });
        feeds.budUpCell[0].update([&](host::BudUpState& st) {
            st.up.push(now, static_cast<double>(seq) * 240.0);
            st.offMax = 0;
            st.wall = now;
        });
        state.ResumeTiming();
        tCounting = true;
        tAllocs = 0;
        host::HostState::tunnelPumpTick(feeds, now + 0.004);
        allocs += tAllocs;
        tCounting = false;
    }
    shares.recordSince(state, bridged ? "pump pass, bridged deck" : "pump pass, own deck", start);
    state.SetLabel(bridged ? "bridged deck" : "own deck");
    state.counters["allocs_per_op"] = static_cast<double>(allocs) / static_cast<double>(state.iterations());
}
BENCHMARK(BM_PumpPass)->Arg(0)->Arg(1);

void BM_PumpWakeLateness(benchmark::State& state) {
    double pump = -1, bare = -1, bareOwn = -1;
    std::size_t passes = 0;
    long allocs = 0;
    for (auto _ : state) {
        PumpClock clock;
        Wakes bareWakes;
        std::vector<double> bareLate(kMaxWakes);  // the bare loop against its own deadlines, us
        {
            // A tick stream is live on deck 2 from before the pump starts and stays so (its batches hold no
            // ticks to guess from): the pump keeps its period on one grid instead of sleeping between streams.
            const auto live = [&clock](host::HostState& host) {
                host.feeds->tunnelCell[1].update([&](host::TunnelState& st) { st.wall = clock.now(); });
            };
            Host h(clock, live);
            std::atomic<bool> streaming{true};
            std::thread stream([&] {
                while (streaming.load()) {
                    live(*h.host);
                    h.host->feeds->pumpWake.notify();
                    std::this_thread::sleep_for(std::chrono::milliseconds(100));
                }
            });
            // The bare loop: the same policy request and deadline arithmetic, nothing else, one wake per pass.
            std::thread loop = platform::startRealtimeThread("bare-loop", kPumpPeriodNs, [&](platform::RealtimeGrant) {
                platform::PeriodicDeadline deadline{.periodNs = kPumpPeriodNs, .next = platform::hostTimeNs()};
                const int64_t end = platform::hostTimeNs() + static_cast<int64_t>(kRunSec * 1e9);
                int64_t due = deadline.next;
                while (platform::hostTimeNs() < end) {
                    const int64_t woke = platform::hostTimeNs();
                    if (const std::size_t i = bareWakes.count.load(); i < bareLate.size())
                        bareLate[i] = static_cast<double>(woke - due) / 1000.0;
                    bareWakes.note(woke);
                    due = deadline.advance(platform::hostTimeNs());
                    platform::sleepUntilNs(due);
                }
            });
            loop.join();
            streaming = false;
            stream.join();
            allocs = clock.allocs.load();
            pump = p99Lateness(clock.wakes);
            passes = clock.wakes.count.load();
        }
        // The bare loop both ways: replayed from its wakes as the pump is, and as it measured itself.
        bare = p99Lateness(bareWakes);
        const std::size_t n = std::min(bareWakes.count.load(), bareLate.size());
        bareOwn = p99Of(std::vector<double>(bareLate.begin() + static_cast<std::ptrdiff_t>(std::min<std::size_t>(100, n)),
                                            bareLate.begin() + static_cast<std::ptrdiff_t>(n)));
    }
    state.counters["pump_p99_us"] = pump;
    state.counters["bare_p99_us"] = bare;
    state.counters["bare_own_p99_us"] = bareOwn;
    state.counters["pump_passes"] = static_cast<double>(passes);
    state.counters["pump_allocs"] = static_cast<double>(allocs);
    std::printf("pump wake-up lateness p99 %.1f us over %zu passes, bare 2 ms loop p99 %.1f us (as it measured "
                "itself %.1f us); pump p99 = bare p99 %+.1f us (goal: within +50 us); %ld allocations\n",
                pump, passes, bare, bareOwn, pump - bare, allocs);
}
BENCHMARK(BM_PumpWakeLateness)->Iterations(1)->Unit(benchmark::kSecond);

}  // namespace
