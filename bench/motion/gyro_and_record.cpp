// The raw-gyro update runs once per sensor sample on the network queue; the record decoder once per
// "/orv/dyn" message there too.
#include "motion/dynamo_gate.h"
#include "motion/gyro_core.h"

#include <benchmark/benchmark.h>

#include <bit>
#include <cmath>

using namespace plindo::motion;

static void BM_GyroFeed(benchmark::State& state) {
    GyroCore core;
    core.rateSink = std::make_shared<RateCell>();
    double ts = 1.0;
    for (auto _ : state) {
        ts += 0.005;
        core.feed(2.0 + 0.3 * std::sin(ts), ts);
        benchmark::DoNotOptimize(core.sinkAngle);
    }
}
BENCHMARK(BM_GyroFeed);

// A record with a full outline, four frame points, roots, two fired events and `marks` tail marks.
static std::vector<std::uint8_t> record(int marks) {
    std::vector<std::uint8_t> b;
    auto u8 = [&](unsigned v) { b.push_back(static_cast<std::uint8_t>(v)); };
    auto f32 = [&](float v) {
        const auto u = std::bit_cast<std::uint32_t>(v);
        for (int i = 0; i < 4; ++i) u8((u >> (8 * i)) & 0xFF);
    };
    auto str = [&](std::string_view s) {
        u8(static_cast<unsigned>(s.size()));
        b.insert(b.end(), s.begin(), s.end());
    };
    for (unsigned c : {0x31u, 0x4Eu, 0x59u, 0x44u}) u8(c);
    b.resize(226, 1);
    str("latched on spin");
    str("iPhone");
    u8(0), u8(0), f32(14.7f), f32(7.1f);
    u8(4);
    for (int i = 0; i < 8; ++i) f32(static_cast<float>(i));
    u8(1);
    for (int i = 0; i < 4; ++i) f32(1.5f);
    u8(3), f32(0.8f);
    u8(2);
    for (int e = 0; e < 2; ++e) {
        f32(0.5f);
        str("shove");
        for (int i = 0; i < 6; ++i) f32(0.1f);
    }
    u8(0), u8(marks & 0xFF), u8(marks >> 8);
    for (int m = 0; m < marks; ++m) {
        for (int i = 0; i < 4; ++i) f32(static_cast<float>(m));
        u8(1), u8(1);
    }
    return b;
}

static void BM_DecodeRecord(benchmark::State& state) {
    const auto bytes = record(static_cast<int>(state.range(0)));
    if (!DynamoGate::decode(bytes, 100.0)) state.SkipWithError("record does not decode");
    for (auto _ : state) {
        auto f = DynamoGate::decode(bytes, 100.0);
        benchmark::DoNotOptimize(f);
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * bytes.size()));
}
BENCHMARK(BM_DecodeRecord)->Arg(0)->Arg(64)->Arg(512);
