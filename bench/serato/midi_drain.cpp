// Cost of one drain tick of the MIDI output with two decks bridged to the DJ application, through the
// loopback backend (counting only, so the backend itself does not allocate), against the 1 ms drain period.
// Only the ticks are timed; the phone frames and platter samples that keep the decks moving are not.
#include "platform/clock.h"
#include "platform/midi_backend.h"
#include "serato/midi_bridge_client.h"
#include "serato/serato_midi_out.h"

#include <benchmark/benchmark.h>

#include "period_share.h"

#include <chrono>
#include <cstdio>
#include <map>
#include <numbers>
#include <string>

namespace {

using namespace plindo;
using Steady = std::chrono::steady_clock;

plindo::bench::PeriodShares shares{{{"pct_of_1ms", "the 1 ms drain period", 1e6}}};

double angleOf(double ticks) { return -ticks / 3600.0 * 2 * std::numbers::pi; }

struct Rig {
    platform::LoopbackMidiBackend backend;
    serato::SeratoOutSettings settings;
    platform::FakeClock clock{1000.0};
    serato::MIDIBridgeClient bridge{1, clock};
    std::unique_ptr<serato::SeratoMIDIOut> out;
    double ts = 10.0;
    double ticks[2] = {0, 0};

    explicit Rig(uint8_t format) {
        settings.format = format;
        settings.tuning.store(serato::SeratoEmit::Tuning::defaults());
        backend.setRecordLimit(0);
        out = std::make_unique<serato::SeratoMIDIOut>(backend, bridge, settings, clock,
                                                      serato::SeratoMIDIOutOptions{false, false});
        out->setActive(1, true);
        out->setActive(2, true);
        settings.engaged[0] = true;
        settings.engaged[1] = true;
    }
};

// One op: 10 ticks 1 ms apart after one phone frame per deck (nominal speed and 1.5x); the emitter steps
// both decks every tick.
void BM_DrainTickEmitter(benchmark::State& state) {
    Rig rig(serato::SeratoOutFormat::twelve);
    double timedNs = 0;
    int64_t tickCount = 0;
    for (auto _ : state) {
        rig.ts += 0.010;
        for (int d = 0; d < 2; ++d) {
            rig.ticks[d] += (d == 0 ? 2000.0 : 3000.0) * 0.010;
            const serato::SeratoEmit::Sample s{angleOf(rig.ticks[d]), rig.ts};
            rig.out->feed(d + 1, std::span(&s, 1), d == 0 ? 1.0 : 1.5);
        }
        for (int k = 0; k < 10; ++k) {
            rig.clock.advance(0.001);
            const auto t0 = Steady::now();
            rig.out->drainTick();
            timedNs += std::chrono::duration<double, std::nano>(Steady::now() - t0).count();
            ++tickCount;
        }
    }
    const double ns = timedNs / static_cast<double>(tickCount);
    state.counters["ns_per_tick"] = ns;
    state.counters["msgs_per_tick"] = static_cast<double>(rig.backend.sentCount()) / static_cast<double>(tickCount);
    shares.record(state, "emitter, two decks", ns);
}
BENCHMARK(BM_DrainTickEmitter);

// One op: 10 ticks after one platter sample per deck that queues ten jog sub-steps; the ticks release them.
void BM_DrainTickJogQueue(benchmark::State& state) {
    Rig rig(serato::SeratoOutFormat::twelve);
    double timedNs = 0;
    int64_t tickCount = 0;
    for (auto _ : state) {
        rig.ts += 0.010;
        for (int d = 0; d < 2; ++d) {
            rig.ticks[d] += 20;
            rig.out->drive(d + 1, true, angleOf(rig.ticks[d]), rig.ts, 0);
        }
        for (int k = 0; k < 10; ++k) {
            rig.clock.advance(0.001);
            const auto t0 = Steady::now();
            rig.out->drainTick();
            timedNs += std::chrono::duration<double, std::nano>(Steady::now() - t0).count();
            ++tickCount;
        }
    }
    const double ns = timedNs / static_cast<double>(tickCount);
    state.counters["ns_per_tick"] = ns;
    state.counters["msgs_per_tick"] = static_cast<double>(rig.backend.sentCount()) / static_cast<double>(tickCount);
    shares.record(state, "jog queue, two decks", ns);
}
BENCHMARK(BM_DrainTickJogQueue);

}  // namespace
