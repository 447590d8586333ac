// One group broadcast round of a full roster: our encode of 64 members plus a peer's apply of those bytes,
// as a share of the 0.1 s supervision tick, beside nlohmann's parse of the same bytes alone (the floor that
// apply builds on).
#include "group/group_state.h"
#include "period_share.h"

#include <benchmark/benchmark.h>
#include <nlohmann/json.hpp>

#include <chrono>

using namespace plindo::group;

namespace {

plindo::bench::PeriodShares shares({{"pct_of_100ms_tick", "the 0.1 s tick", 100e6}});

constexpr int64_t kWall = 1'700'000'000;

// Four own records and 60 foreign seats, each with a track and a seat name, as a busy group looks.
GroupState fullRoster() {
    GroupState g("Booth Left-1A2B", [] { return kWall; });
    g.setMine("", GroupRole::Host, true, std::nullopt, 100.0);
    for (int n = 1; n <= 3; ++n) {
        g.setMine(n == 1 ? "left" : "right", GroupRole::Deck, false, n, 100.0);
        g.setSeatLabel(n, "Seat " + std::to_string(n));
    }
    auto peers = nlohmann::json::array();
    for (int i = 0; i < 60; ++i) {
        peers.push_back({{"name", "Host " + std::to_string(i / 4) + "-9F3C#" + std::to_string(i % 4 + 1)},
                         {"role", "deck"},
                         {"side", i % 2 ? "right" : "left"},
                         {"spinnerWanted", false},
                         {"slotNo", i % 4 + 1},
                         {"seq", kWall + i},
                         {"label", "Deck " + std::to_string(i % 4 + 1)},
                         {"path", "/home/dj/Music/Artist " + std::to_string(i) + " - Title (Extended Mix).flac"},
                         {"server", "Host " + std::to_string(i / 4) + "-9F3C"},
                         {"gen", kWall + 7}});
    }
    g.apply(peers.dump(), 100.0);
    return g;
}

void BM_EncodeAndApplyRoster64(benchmark::State& state) {
    const GroupState sender = fullRoster();
    size_t members = 0;
    const auto start = std::chrono::steady_clock::now();
    for (auto _ : state) {
        const std::string bytes = sender.encodeMembers();
        GroupState receiver("Peer-0000", [] { return kWall; });
        receiver.apply(bytes, 101.0);
        members = receiver.members().size();
        benchmark::DoNotOptimize(members);
    }
    shares.recordSince(state, "encode+apply 64 members", start);
    state.counters["members"] = static_cast<double>(members);
    state.counters["bytes"] = static_cast<double>(sender.encodeMembers().size());
}
BENCHMARK(BM_EncodeAndApplyRoster64);

void BM_NlohmannParseSameBytes(benchmark::State& state) {
    const std::string bytes = fullRoster().encodeMembers();
    const auto start = std::chrono::steady_clock::now();
    for (auto _ : state) {
        auto j = nlohmann::json::parse(bytes);
        benchmark::DoNotOptimize(j);
    }
    shares.recordSince(state, "nlohmann::json::parse", start);
}
BENCHMARK(BM_NlohmannParseSameBytes);

}  // namespace
