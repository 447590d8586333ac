// Cost of one drain tick of the jog emitter for two moving decks, against the 1 ms drain period and the
// 2 ms tunnel pump.
#include "serato/serato_emit.h"
#include "serato/serato_emit_messages.h"
#include "serato/serato_emit_plan.h"
#include "serato/serato_emit_step.h"

#include <benchmark/benchmark.h>

#include "period_share.h"

#include <chrono>
#include <cmath>
#include <cstdio>
#include <map>
#include <string>
#include <numbers>

namespace {

namespace E = plindo::serato::SeratoEmit;
using Clock = std::chrono::steady_clock;

plindo::bench::PeriodShares shares{{{"pct_of_1ms_drain", "the 1 ms drain period", 1e6},
                                     {"pct_of_2ms_pump", "the 2 ms pump", 2e6}}};

// Two decks fed a phone frame every 10 ms (at nominal speed and 1.5x), stepped every 1 ms: one op is one
// drain tick, both steps and the encoding of their messages; the frames' planning is included, amortised.
void EmitterStepTwoMovingDecks(benchmark::State& state) {
    E::Tuning tu = E::Tuning::liveStart();
    tu.delay = E::Tuning::defaults().delay;
    plindo::serato::SeratoOutSettings settings;
    E::State deck[2];
    const double speed[2] = {1.0, -1.5};
    double angle[2] = {0, 0};
    deck[0].active = deck[1].active = true;
    double now = 100.0, phoneTs = 5.0;
    long tick = 0;
    std::size_t bytes = 0;
    const auto start = Clock::now();
    for (auto _ : state) {
        now += 0.001;
        if (++tick % 10 == 0) {
            phoneTs += 0.01;
            for (int d = 0; d < 2; ++d) {
                angle[d] -= speed[d] * 2 * std::numbers::pi / 1.8 * 0.01;
                const E::Sample s{angle[d], phoneTs};
                deck[d] = E::plan(deck[d], std::span(&s, 1), tu, speed[d], now);
            }
        }
        for (int d = 0; d < 2; ++d) {
            auto r = E::step(deck[d], d + 1, tu, now);
            deck[d] = r.state;
            for (const auto& m : r.messages)
                bytes += E::stampMessage(m.deck, m.withPosition, static_cast<double>(m.tick), m.stampSec, settings)
                             .size();
        }
    }
    benchmark::DoNotOptimize(bytes);
    shares.recordSince(state, "EmitterStepTwoMovingDecks", start);
}
BENCHMARK(EmitterStepTwoMovingDecks);

}  // namespace
