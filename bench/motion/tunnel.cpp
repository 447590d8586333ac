// Cost of the tick road per operation, against the 2 ms tunnel pump and the 1 ms drain period.
#include "motion/serato_tunnel.h"
#include "motion/serato_upsampler.h"

#include <benchmark/benchmark.h>

#include "period_share.h"

#include <array>
#include <chrono>
#include <cstdio>
#include <map>
#include <string>

namespace {

using plindo::motion::SeratoTunnel;
using plindo::motion::SeratoUpsampler;
using Clock = std::chrono::steady_clock;

plindo::bench::PeriodShares shares{{{"pct_of_1ms_drain", "the 1 ms drain period", 1e6},
                                     {"pct_of_2ms_pump", "the 2 ms pump", 2e6}}};

// One phone batch of the ten newest ticks, then the output it makes due.
void TunnelIngestTenAndNext(benchmark::State& state) {
    SeratoTunnel tun;
    std::array<SeratoTunnel::Tick, 10> batch;
    int64_t seq = 100;
    const auto start = Clock::now();
    for (auto _ : state) {
        ++seq;
        for (int i = 0; i < 10; ++i) {
            const int64_t q = seq - 9 + i;
            batch[static_cast<std::size_t>(i)] = {q, q * 7, static_cast<double>(q) * 0.01, true};
        }
        benchmark::DoNotOptimize(tun.ingest(batch));
        benchmark::DoNotOptimize(tun.next());
    }
    shares.recordSince(state, "TunnelIngestTenAndNext", start);
}
BENCHMARK(TunnelIngestTenAndNext);

// One earbud sample every 20 ms at 20000 ticks/s, then the five drains that follow it.
void UpsamplerPushAndFiveDrains(benchmark::State& state) {
    SeratoUpsampler up;
    double ts = 1.0, cum = 0;
    const auto start = Clock::now();
    for (auto _ : state) {
        ts += 0.02;
        cum += 400;
        benchmark::DoNotOptimize(up.push(ts, cum));
        for (int j = 1; j <= 5; ++j) benchmark::DoNotOptimize(up.drain(ts + j * 0.004).size());
    }
    shares.recordSince(state, "UpsamplerPushAndFiveDrains", start);
}
BENCHMARK(UpsamplerPushAndFiveDrains);

}  // namespace
