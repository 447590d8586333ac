// One 128-frame render of a deck in each regime, against the 2.67 ms that a callback may take at 48 kHz
// ("pct_of_period", goal 1 % or less), beside libsamplerate's linear varispeed on the same track.
#include "motion/follow_player.h"

#include <benchmark/benchmark.h>

#ifdef PLINDO_HAVE_SAMPLERATE
#include <samplerate.h>
#endif

#include <cmath>
#include <vector>

using namespace plindo::motion;

namespace {
constexpr double kRate = 48000;
constexpr uint32_t kN = 128;
constexpr double kPeriod = kN / kRate;

StemRef track() {
    static StemRef t = [] {
        auto s = std::make_shared<StemBuf>();
        const size_t n = static_cast<size_t>(60 * kRate);
        s->left.resize(n);
        s->right.resize(n);
        for (size_t i = 0; i < n; ++i) {
            s->left[i] = static_cast<float>(std::sin(i * 0.01));
            s->right[i] = static_cast<float>(std::cos(i * 0.013));
        }
        s->sampleRate = 44100;  // resampled to the output rate, as most tracks are
        return s;
    }();
    return t;
}

void periodCounter(benchmark::State& state) {
    state.counters["pct_of_period"] =
        benchmark::Counter(kPeriod / 100.0, benchmark::Counter::kIsIterationInvariantRate | benchmark::Counter::kInvert);
}

enum class Regime { servo, snap, faded };

void renderRegime(benchmark::State& state, Regime regime) {
    plindo::platform::FakeClock clock;
    FollowPlayer p(AudioOutDevice{AudioOutDevice::nullId, "null", "null", 2}, 0, kN, clock);
    p.prepare(FollowConfig{});
    p.install(track(), 1);
    std::vector<float> l(kN), r(kN);
    double pos = 1.0;
    for (auto _ : state) {
        const double now = clock.now();
        switch (regime) {
            case Regime::servo: p.anchor.cell.write({pos + 0.01, now, 1.02, true}); break;
            case Regime::snap: p.anchor.cell.write({pos + 0.3, now, 1.0, true}); break;
            case Regime::faded: p.mute.setValue(1.0); p.anchor.cell.write({pos, now, 1.0, true}); break;
        }
        p.render(now, kRate, l.data(), r.data(), kN);
        benchmark::DoNotOptimize(l.data());
        benchmark::DoNotOptimize(r.data());
        clock.advance(kPeriod);
        pos = p.posCell.value();
        if (pos > 50) {
            pos = 1.0;
            p.anchor.cell.write({pos, now, 1.0, true});
            p.seek.request(pos);
        }
    }
    periodCounter(state);
}

void BM_RenderServo(benchmark::State& s) { renderRegime(s, Regime::servo); }
void BM_RenderSnap(benchmark::State& s) { renderRegime(s, Regime::snap); }
void BM_RenderFaded(benchmark::State& s) { renderRegime(s, Regime::faded); }
BENCHMARK(BM_RenderServo);
BENCHMARK(BM_RenderSnap);
BENCHMARK(BM_RenderFaded);

#ifdef PLINDO_HAVE_SAMPLERATE
// The same output through libsamplerate's linear converter with a varying ratio.
void BM_LibsamplerateLinearVarispeed(benchmark::State& state) {
    StemRef t = track();
    const size_t frames = t->frames();
    std::vector<float> in(2 * frames);
    for (size_t i = 0; i < frames; ++i) {
        in[2 * i] = t->left[i];
        in[2 * i + 1] = t->right[i];
    }
    int err = 0;
    SRC_STATE* src = src_new(SRC_LINEAR, 2, &err);
    std::vector<float> out(2 * kN);
    size_t at = 0;
    double phase = 0;
    for (auto _ : state) {
        phase += 0.01;
        SRC_DATA d{};
        d.data_in = in.data() + 2 * at;
        d.input_frames = static_cast<long>(std::min<size_t>(512, frames - at));
        d.data_out = out.data();
        d.output_frames = kN;
        d.src_ratio = kRate / t->sampleRate / (1.0 + 0.02 * std::sin(phase));
        src_process(src, &d);
        benchmark::DoNotOptimize(out.data());
        at += static_cast<size_t>(d.input_frames_used);
        if (at + 1024 > frames) {
            at = 0;
            src_reset(src);
        }
    }
    src_delete(src);
    periodCounter(state);
}
BENCHMARK(BM_LibsamplerateLinearVarispeed);
#endif

}  // namespace
