// One supervision pass (the tick and the anchor broadcast) of a started host with a phone bound to each deck,
// as a share of the 0.1 s tick and of a 16.7 ms display frame: median and p99 over single passes, and the
// change signals of the published decks per pass. Goal: p99 under 2 % of the frame.
#include "host/host_state.h"
#include "link/osc.h"
#include "period_share.h"
#include "platform/log.h"
#include "platform/queue_executor.h"
#include "platform/settings.h"

#include <benchmark/benchmark.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <mutex>
#include <vector>

namespace {

using namespace plindo;

plindo::bench::PeriodShares shares({{"pct_of_100ms_tick", "the 0.1 s tick", 100e6},
                                    {"pct_of_16ms_frame", "a 16.7 ms frame", 1e9 / 60}});

// Datagrams to the phones are counted, not sent.
class CountingSink final : public link::OrvServer::Sink {
public:
    void send(const link::OrvServer::Endpoint&, std::span<const uint8_t>) override { ++count; }
    std::atomic<int64_t> count{0};
};

void BM_SupervisionPassTwoPhones(benchmark::State& state) {
    platform::setLogFolder("");
    platform::MemorySettings settings;
    settings.setValue("orv.oscPort", 0);
    settings.setValue("orv.devUID.1", "null");
    settings.setValue("orv.devUID.2", "null");
    platform::QueueExecutor main;
    main.useManualTimers();  // timers never fire: the benchmark runs the passes itself
    CountingSink sink;
    platform::LoopbackMidiBackend midi;
    host::HostState host({.settings = settings,
                          .main = main,
                          .interfaces = [] { return std::vector<platform::NetInterface>{}; },
                          .trackServerPort = 0,
                          .midi = &midi,
                          .sink = &sink});
    main.invokeSync([&] { host.start(); });
    if (host.players.size() != 2) {
        state.SkipWithError("the host did not start its decks");
        return;
    }
    // A phone on each deck, heard again before every pass so that both stay fresh.
    const auto hello = [&](int deck) {
        const link::OSCValue args[] = {link::OSCValue::int32(deck), link::OSCValue::string("Phone"),
                                       link::OSCValue::int32(0), link::OSCValue::string("remote"),
                                       link::OSCValue::int32(1), link::OSCValue::string("1215"),
                                       link::OSCValue::string("")};
        const auto bytes = link::OSCMessage::encode("/orv/hello", args);
        const link::OrvServer::Origin from{{asio::ip::make_address("192.168.1.10"), uint16_t(50000 + deck)},
                                           asio::ip::make_address("192.168.1.2"), 2};
        host.server->handleDatagram(bytes.data(), bytes.size(), from, host.mediaNow());
    };
    for (int d = 1; d <= 2; ++d) host.players[d - 1]->anchor.cell.write({10.0 * d, host.mediaNow(), 1.0, true});
    int64_t changeSignals = 0;
    QObject::connect(&host, &host::HostUi::decksChanged, [&] { ++changeSignals; });

    std::vector<double> ns;
    ns.reserve(1 << 16);
    int64_t passes = 0;
    for (auto _ : state) {
        state.PauseTiming();
        hello(1);
        hello(2);
        // Both phones sent a frame since the last pass: every pass changes both decks' records.
        for (auto& w : host.feeds->wireDiag) w.cell.update([](host::WireDiag::Shot& s) { ++s.frameN; });
        main.drain();
        state.ResumeTiming();
        // On main, as the timer runs it; only the pass itself is measured.
        std::chrono::steady_clock::time_point t0, t1;
        main.invokeSync([&] {
            t0 = std::chrono::steady_clock::now();
            host.uiTick();
            host.broadcastOtherAnchors();
            t1 = std::chrono::steady_clock::now();
        });
        state.PauseTiming();
        main.drain();  // the coalesced change signals go out here
        ++passes;
        if (ns.size() < ns.capacity()) ns.push_back(std::chrono::duration<double, std::nano>(t1 - t0).count());
        state.ResumeTiming();
    }
    std::sort(ns.begin(), ns.end());
    const double median = ns.empty() ? 0 : ns[ns.size() / 2];
    const double p99 = ns.empty() ? 0 : ns[std::min(ns.size() - 1, ns.size() * 99 / 100)];
    shares.record(state, "supervision pass, two phones (p99)", p99);
    state.counters["median_ns"] = median;
    state.counters["p99_ns"] = p99;
    state.counters["p99_pct_of_frame"] = p99 / (1e9 / 60) * 100;
    state.counters["signals_per_pass"] = passes ? static_cast<double>(changeSignals) / static_cast<double>(passes) : 0;
    state.counters["datagrams_per_pass"] = passes ? static_cast<double>(sink.count) / static_cast<double>(passes) : 0;
    std::printf("supervision pass: median %.0f ns, p99 %.0f ns = %.3f %% of a 16.7 ms frame (goal < 2 %%), "
                "%.2f decks signals per pass\n",
                median, p99, p99 / (1e9 / 60) * 100,
                passes ? static_cast<double>(changeSignals) / static_cast<double>(passes) : 0.0);
    main.invokeSync([&] { host.terminate(); });
}
BENCHMARK(BM_SupervisionPassTwoPhones)->Iterations(3000);

}  // namespace
