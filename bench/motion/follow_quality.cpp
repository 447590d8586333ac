// How closely a deck follows a platter, simulated without a clock: a phone samples the platter at 60 or
// 120 Hz, its frames arrive with up to 5 ms of jitter, the angle integrator turns them into anchors, and the
// render plays 128-frame callbacks at 48 kHz. Reports the RMS and largest error between the platter and
// the played position while steady, in the 0.5 s after a 0.2 s jump, and while scratching.
#include "motion/angle_integrator.h"
#include "motion/follow_player.h"

#include <benchmark/benchmark.h>

#include <cmath>
#include <cstdio>
#include <numbers>
#include <vector>

using namespace plindo::motion;

namespace {
constexpr double kRate = 48000;
constexpr uint32_t kN = 128;
constexpr double kRunSec = 10.0;
constexpr double kJumpAt = 4.0, kJumpSec = 0.2;
constexpr double kScratchFrom = 7.0;
// The phone's own clock reads this at the start of the run.
constexpr double kPhoneClock = 5000.0;

// The platter's track position: nominal speed, a 0.2 s jump, then a back-and-forth scratch.
double platter(double t) {
    double p = 1.0 + t;
    if (t >= kJumpAt) p += kJumpSec;
    if (t >= kScratchFrom) {
        const double u = t - kScratchFrom;
        p = 1.0 + kScratchFrom + kJumpSec + 0.3 * std::sin(2 * std::numbers::pi * 1.5 * u);
    }
    return p;
}

struct Segment {
    const char* name;
    double from, to;
    double sum = 0, max = 0;
    size_t n = 0;
    double rms() const { return n ? std::sqrt(sum / n) : 0.0; }
};

std::vector<Segment> simulate(double frameHz) {
    std::vector<Segment> segs = {{"steady", 0.5, kJumpAt},
                                 {"jump+0.5s", kJumpAt, kJumpAt + 0.5},
                                 {"steady-after-jump", kJumpAt + 0.5, kScratchFrom},
                                 {"scratch", kScratchFrom, kRunSec}};
    plindo::platform::FakeClock clock(0.0);
    FollowPlayer p(AudioOutDevice{AudioOutDevice::nullId, "null", "null", 2}, 0, kN, clock);
    p.prepare(FollowConfig{});
    auto stem = std::make_shared<StemBuf>();
    stem->left.assign(static_cast<size_t>(30 * kRate), 0.5f);
    stem->right = stem->left;
    p.install(stem, 1);
    AngleIntegrator integ;
    integ.seek(platter(0));

    // Deterministic jitter: a fixed linear congruential sequence.
    uint32_t lcg = 12345;
    auto jitter = [&] {
        lcg = lcg * 1664525u + 1013904223u;
        return 0.005 * (lcg >> 8) / double(1u << 24);
    };
    struct Frame {
        double arrive, ts;
    };
    std::vector<Frame> frames;
    for (double ts = 0; ts < kRunSec; ts += 1.0 / frameHz) frames.push_back({ts + jitter(), ts});
    size_t next = 0;

    std::vector<float> l(kN), r(kN);
    const double block = kN / kRate;
    for (double now = 0; now < kRunSec; now += block) {
        while (next < frames.size() && frames[next].arrive <= now) {
            // The platter angle falls as the track plays forward: 2π per 1.8 s.
            const double ts = frames[next].ts;
            const double angle = -(platter(ts) - platter(0)) / 1.8 * 2 * std::numbers::pi;
            const auto res = integ.feed({{angle, kPhoneClock + ts}});
            p.anchor.cell.write({res.posSec, frames[next].arrive, res.rate, true});
            ++next;
        }
        // posCell holds where the previous callback left the deck: the position at `now`.
        const double e = std::abs(p.posCell.value() - platter(now));
        for (Segment& sg : segs) {
            if (now >= sg.from && now < sg.to) {
                sg.sum += e * e;
                sg.max = std::max(sg.max, e);
                ++sg.n;
            }
        }
        clock.set(now);
        p.render(now, kRate, l.data(), r.data(), kN);
    }
    return segs;
}

void BM_FollowQuality(benchmark::State& state) {
    const double hz = static_cast<double>(state.range(0));
    std::vector<Segment> segs;
    for (auto _ : state) segs = simulate(hz);
    for (const Segment& sg : segs) {
        state.counters[std::string(sg.name) + "_rms_ms"] = sg.rms() * 1e3;
        state.counters[std::string(sg.name) + "_max_ms"] = sg.max * 1e3;
        std::printf("frames %3.0f Hz, 5 ms jitter, %-17s (%4.1f-%4.1f s): error rms %7.2f ms, max %7.2f ms\n", hz,
                    sg.name, sg.from, sg.to, sg.rms() * 1e3, sg.max * 1e3);
    }
}
BENCHMARK(BM_FollowQuality)->Arg(60)->Arg(120)->Iterations(1)->Unit(benchmark::kMillisecond);

}  // namespace
