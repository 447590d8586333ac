// Cost of the MIDI input on a typical second of what the DJ application sends for two playing decks:
// platter records every 10 ms, elapsed time every 33 ms, screen-waveform bitmaps 8 times a second, progress
// controllers and a play light. Reported per byte and per message, against the MIDI read thread's budget.
#include "platform/clock.h"
#include "platform/log.h"
#include "platform/main_executor.h"
#include "platform/midi_backend.h"
#include "serato/midi_byte_parser.h"
#include "serato/serato_midi_in.h"
#include "serato/serato_return.h"
#include "serato/sysex_router.h"

#include <benchmark/benchmark.h>

#include <cstdio>
#include <vector>

namespace {

using namespace plindo;
using B = std::vector<uint8_t>;

class DropExecutor final : public platform::MainExecutor {
public:
    void post(std::function<void()>) override {}
    void invokeSync(const std::function<void()>& f) override { f(); }
};

void append(B& out, const B& m) { out.insert(out.end(), m.begin(), m.end()); }

B rane(uint8_t device, uint8_t type, const B& payload) {
    const B body = serato::SeratoReturn::packSeptets(payload);
    B m{0xF0, 0x00, 0x00, 0x17, device, 0x25, 0x05, type, 0, 0,
        static_cast<uint8_t>(body.size() / 128), static_cast<uint8_t>(body.size() % 128)};
    append(m, body);
    m.push_back(0xF7);
    return m;
}

struct Stream {
    B bytes;
    size_t messages = 0;
};

// One second of two playing decks, each message different from the one before it.
Stream typicalSecond() {
    Stream s;
    uint32_t offset = 0;
    for (int tick = 0; tick < 100; ++tick) {  // 10 ms steps
        for (uint8_t deck = 0; deck < 2; ++deck) {
            B p(15, 0);
            p[0] = deck;
            const uint32_t clock = 10000 + tick * 10;
            for (int i = 0; i < 4; ++i) p[1 + i] = static_cast<uint8_t>(clock >> (8 * i));
            p[9] = static_cast<uint8_t>(tick * 7);
            append(s.bytes, rane(0, 5, p));
            ++s.messages;
            if (tick % 3 == 0) {
                const uint32_t ms = 60000 + tick * 10;
                B t{0xF0, 0x00, 0x20, 0x7F, static_cast<uint8_t>(deck + 1), 0x04, 0x08};
                for (int sh = 24; sh >= 0; sh -= 4) t.push_back((ms >> sh) & 0x0F);
                t.push_back(0xF7);
                append(s.bytes, t);
                ++s.messages;
            }
            if (tick % 12 == 0) {
                B w(serato::SeratoReturn::ScreenWave::kRecordSize, 0);
                w[0] = deck;
                offset += 125;
                for (int i = 0; i < 4; ++i) w[2 + i] = static_cast<uint8_t>(offset >> (8 * i));
                w[8] = 0x70;
                w[9] = 0x08;
                for (int r = 20; r < 52; ++r) w[10 + r * 30 + tick % 30] = 180;
                append(s.bytes, rane(1, 9, w));
                ++s.messages;
            }
            if (tick % 10 == 0) {
                append(s.bytes, B{static_cast<uint8_t>(0xB0 | deck), 0x1C, static_cast<uint8_t>(tick), 0x3C,
                                  static_cast<uint8_t>(tick)});  // second pair under running status
                s.messages += 2;
            }
        }
    }
    append(s.bytes, B{0x90, 0x14, 0x7F});
    ++s.messages;
    return s;
}

const Stream& stream() {
    static const Stream s = typicalSecond();
    return s;
}

void counters(benchmark::State& state) {
    const double iters = static_cast<double>(state.iterations());
    state.counters["ns_per_byte"] = benchmark::Counter(iters * stream().bytes.size(),
                                                       benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
    state.counters["ns_per_msg"] = benchmark::Counter(iters * stream().messages,
                                                      benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
    state.SetBytesProcessed(static_cast<int64_t>(iters * stream().bytes.size()));
}

// The byte state machine alone.
void ParseTypicalSecond(benchmark::State& state) {
    serato::MidiByteParser parser;
    for (auto _ : state) {
        size_t events = 0;
        for (uint8_t b : stream().bytes) events += parser.feed(b).kind != serato::MidiByteParser::Event::Kind::none;
        benchmark::DoNotOptimize(events);
    }
    counters(state);
}
BENCHMARK(ParseTypicalSecond)->Unit(benchmark::kMicrosecond);

// Parse, decode and route through the whole input, callbacks posted to an executor that drops them. The
// clock stands still so that the rate-limited log lines are written once, not timed.
void ParseAndRouteTypicalSecond(benchmark::State& state) {
    // The few lines a fresh input logs are still formatted, but not written to the terminal.
    platform::logger("serato-in").set_level(spdlog::level::off);
    platform::LoopbackMidiBackend backend;
    DropExecutor main;
    platform::FakeClock uptime(100.0);
    serato::SeratoMIDIIn in(backend, main, nullptr, uptime);
    size_t platters = 0;
    in.onPlatter = [&platters](const serato::SeratoReturn::PlatterPosition&) { ++platters; };
    in.receive(stream().bytes);  // first sights and the first log lines
    for (auto _ : state) {
        // A fresh second each time: repeats of the last one would be dropped as unchanged.
        state.PauseTiming();
        serato::SeratoMIDIIn fresh(backend, main, nullptr, uptime);
        fresh.onPlatter = in.onPlatter;
        fresh.receive(B{0x90, 0x14, 0x7F, 0xB0, 0x1C, 0, 0xB1, 0x1C, 0});
        state.ResumeTiming();
        fresh.receive(stream().bytes);
    }
    benchmark::DoNotOptimize(platters);
    counters(state);
}
BENCHMARK(ParseAndRouteTypicalSecond)->Unit(benchmark::kMicrosecond);

}  // namespace
