#include "motion/follow_player.h"
#include "platform/settings.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <new>
#include <vector>

using namespace plindo::motion;

// Counts allocations made on this thread while counting is switched on, to prove the render allocates
// nothing.
namespace {
thread_local bool tCounting = false;
thread_local long tAllocs = 0;

void* countedAlloc(std::size_t n) {
    if (tCounting) ++tAllocs;
    if (void* p = std::malloc(n ? n : 1)) return p;
    throw std::bad_alloc();
}
}  // namespace

void* operator new(std::size_t n) { return countedAlloc(n); }
void* operator new[](std::size_t n) { return countedAlloc(n); }
void* operator new(std::size_t n, const std::nothrow_t&) noexcept {
    if (tCounting) ++tAllocs;
    return std::malloc(n ? n : 1);
}
void* operator new[](std::size_t n, const std::nothrow_t&) noexcept {
    if (tCounting) ++tAllocs;
    return std::malloc(n ? n : 1);
}
void operator delete(void* p) noexcept { std::free(p); }
void operator delete[](void* p) noexcept { std::free(p); }
void operator delete(void* p, std::size_t) noexcept { std::free(p); }
void operator delete[](void* p, std::size_t) noexcept { std::free(p); }
void operator delete(void* p, const std::nothrow_t&) noexcept { std::free(p); }
void operator delete[](void* p, const std::nothrow_t&) noexcept { std::free(p); }

namespace {

constexpr double kRate = 48000;
constexpr uint32_t kN = 128;
constexpr double kBlock = kN / kRate;

// A track whose sample value is its frame index (right channel negated), so the output shows the position.
StemRef ramp(double seconds, double rate = kRate) {
    auto s = std::make_shared<StemBuf>();
    const auto n = static_cast<size_t>(seconds * rate);
    s->left.resize(n);
    s->right.resize(n);
    for (size_t i = 0; i < n; ++i) {
        s->left[i] = static_cast<float>(i);
        s->right[i] = -static_cast<float>(i);
    }
    s->sampleRate = rate;
    return s;
}

struct Rig {
    plindo::platform::FakeClock clock{1000.0};
    FollowPlayer p{AudioOutDevice{AudioOutDevice::nullId, "null", "null", 2}, 0, kN, clock};
    std::vector<float> L = std::vector<float>(kN), R = std::vector<float>(kN);
    int gen = 0;

    explicit Rig(bool ease = true) {
        FollowConfig c;
        c.followEase = ease;
        p.prepare(c);
    }
    void load(StemRef s) { p.install(std::move(s), ++gen); }
    void render(uint32_t n = kN) {
        p.render(clock.now(), kRate, L.data(), R.data(), n);
        clock.advance(n / kRate);
    }
    void anchor(double pos, double rate, double age = 0, bool valid = true) {
        p.anchor.cell.write({pos, clock.now() - age, rate, valid});
    }
    // An anchor exactly at the play position: the error is 0 and the applied rate is the eased rate.
    void track(double rate) { anchor(pos(), rate); }
    // Seeks with no anchor driving, so the next anchor starts from there.
    void seekTo(double sec) {
        p.anchor.cell.write({});
        p.seek.request(sec);
        render();
    }
    double pos() const { return p.posCell.value(); }
    double rate() const { return p.rateCell.value(); }
    double err() const { return p.errCell.value(); }
    // Renders `count` callbacks, each with a fresh anchor `ahead` seconds in front of the play position.
    void follow(double rate, int count, double ahead = 0) {
        for (int i = 0; i < count; ++i) {
            anchor(pos() + ahead, rate);
            render();
        }
    }
    bool allFinite() const {
        for (uint32_t i = 0; i < kN; ++i)
            if (!std::isfinite(L[i]) || !std::isfinite(R[i])) return false;
        return true;
    }
};

TEST(FollowRender, StartTakesEaseAndStillGateFromTheSettings) {
    plindo::platform::MemorySettings settings;
    HostConfig config(settings);
    settings.setValue("orv.followEase", false);
    settings.setValue("orv.stillGate", 0.02);
    FollowPlayer p(AudioOutDevice{AudioOutDevice::nullId, "null", "null", 2}, 0, kN);
    p.start(config);
    EXPECT_TRUE(p.out->running());
    EXPECT_EQ(p.easeOn.value(), 0.0);
    EXPECT_EQ(p.stillGate.value(), 0.02);
    settings.setValue("orv.stillGate", -1);
    settings.remove("orv.followEase");
    p.start(config);
    EXPECT_EQ(p.easeOn.value(), 1.0);
    EXPECT_EQ(p.stillGate.value(), 0.005);
}

TEST(FollowRender, SilentWithoutTrackAndKeepsSeekUntilOneArrives) {
    Rig rig;
    std::vector<float> one(kN, 7.0f);
    rig.p.render(rig.clock.now(), kRate, one.data(), nullptr, kN);
    rig.p.render(rig.clock.now(), kRate, one.data(), one.data(), 0);
    EXPECT_EQ(one[0], 7.0f) << "a missing buffer or an empty request writes nothing";

    rig.seekTo(2.0);
    rig.anchor(1.0, 1.0);
    for (int i = 0; i < 3; ++i) {
        std::fill(rig.L.begin(), rig.L.end(), 1.0f);
        rig.render();
        EXPECT_EQ(rig.L[0], 0.0f);
        EXPECT_EQ(rig.L[kN - 1], 0.0f);
    }
    rig.p.anchor.cell.write({});
    rig.load(ramp(10));
    rig.render();
    EXPECT_DOUBLE_EQ(rig.pos(), 2.0) << "the seek waited in its cell and applies with the new track";
    EXPECT_NEAR(rig.L[kN - 1] / 96000.0f, 1 - std::pow(0.98f, 128.0f), 1e-3) << "and the track fades in";
    EXPECT_NEAR(rig.R[kN - 1], -rig.L[kN - 1], 1e-2);
}

TEST(FollowRender, StaleAnchorStopsTheServoAndResetsItsMemory) {
    Rig rig;
    rig.load(ramp(10));
    rig.anchor(0.1, 0.0, 0.59);
    rig.render();
    EXPECT_NEAR(rig.err(), 0.1, 1e-9);
    EXPECT_NEAR(rig.rate(), 2.0 * 0.1 * std::exp(-5.9) + 0.5 * 0.1 * std::exp(-5.9) * kBlock, 1e-9)
        << "0.59 s old still drives the servo, weakly";

    Rig rig2;
    rig2.load(ramp(10));
    rig2.follow(1.0, 3);
    EXPECT_GT(rig2.rate(), 0.4);
    const double errBefore = rig2.err();
    rig2.anchor(rig2.pos() + 0.1, 1.0, 0.6);
    rig2.render();
    EXPECT_EQ(rig2.rate(), 0.0) << "0.6 s old no longer drives";
    EXPECT_EQ(rig2.err(), errBefore) << "and no error is measured";
    rig2.follow(1.0, 1);
    EXPECT_NEAR(rig2.rate(), 0.2, 1e-9) << "the eased rate starts again from 0";
}

TEST(FollowRender, SnapsAboveAQuarterSecondAndServosBelow) {
    struct Case {
        double err;
        bool snaps;
    };
    for (Case c : {Case{0.26, true}, Case{0.24, false}, Case{-0.26, true}, Case{-0.24, false}}) {
        Rig rig;
        rig.load(ramp(10));
        rig.seekTo(3.0);
        rig.follow(1.0, 60);
        const double before = rig.pos();
        rig.anchor(before + c.err, 1.0);
        rig.render();
        EXPECT_NEAR(rig.err(), c.err, 1e-9);
        const double moved = rig.pos() - before;
        const double firstGain = rig.L[0] / (rig.pos() * kRate);
        if (c.snaps) {
            EXPECT_NEAR(moved, c.err + kBlock * rig.rate(), 2e-4) << c.err;
            EXPECT_LT(firstGain, 0.05) << "a snap cuts the gain";
            EXPECT_NEAR(rig.rate(), 1.0, 1e-3) << "and plays at the eased anchor rate";
        } else {
            EXPECT_LT(std::abs(moved), 0.01) << c.err;
            EXPECT_GT(firstGain, 0.9);
            EXPECT_NEAR(rig.rate() - 1.0, std::clamp(2.0 * c.err, -0.5, 0.5), 0.01);
        }
    }
}

TEST(FollowRender, EasesTheAnchorRateUnlessEasingIsOff) {
    Rig eased(true), raw(false);
    for (Rig* r : {&eased, &raw}) r->load(ramp(10));
    const double expectEased[] = {0.2, 0.36, 0.488};
    for (double want : expectEased) {
        eased.follow(1.0, 1);
        raw.follow(1.0, 1);
        EXPECT_NEAR(eased.rate(), want, 1e-9);
        EXPECT_NEAR(raw.rate(), 1.0, 1e-9);
    }
}

TEST(FollowRender, ReversalBoostsTheServoForEightyMilliseconds) {
    Rig rig(false);
    rig.load(ramp(10));
    rig.seekTo(5.0);
    rig.follow(1.0, 5);

    // Reversing: gains tripled, correction limit widened to 1.5 (2 * 0.24 * 3 = 1.44).
    rig.follow(-1.0, 1, 0.24);
    EXPECT_NEAR(rig.rate(), -1.0 + 1.44, 0.01);
    // The boost runs on for 0.08 s of output (30 callbacks) after the last opposite-sign callback.
    for (int j = 1; j <= 28; ++j) rig.follow(-1.0, 1, 0.24);
    EXPECT_GT(rig.rate() + 1.0, 0.5) << "still boosted";
    rig.follow(-1.0, 3, 0.24);
    EXPECT_NEAR(rig.rate() + 1.0, 0.5, 1e-9) << "boost over: correction back within 0.5";

    Rig steady(false);
    steady.load(ramp(10));
    steady.seekTo(5.0);
    steady.follow(-1.0, 5);
    steady.follow(-1.0, 1, 0.24);
    EXPECT_NEAR(steady.rate(), -1.0 + 0.48, 0.01) << "no reversal, no boost";
}

TEST(FollowRender, StillPlatterFadesOutHoldsAndComesBack) {
    Rig rig;
    rig.load(ramp(10));
    rig.seekTo(2.0);
    rig.follow(1.0, 40);
    EXPECT_GT(rig.L[kN - 1] / (rig.pos() * kRate), 0.99);
    rig.follow(0.0, 100);
    const double held = rig.pos();
    rig.follow(0.0, 20);
    EXPECT_NEAR(rig.pos(), held, 1e-6) << "the position holds";
    EXPECT_LT(std::abs(rig.L[kN - 1]), 1e-3 * held * kRate) << "and the deck is faded out";
    rig.follow(1.0, 1);
    EXPECT_GT(rig.L[kN - 1], 0.5 * rig.pos() * kRate) << "the first moving callback fades in";

    // The gate comes from its cell: 0.008 is still under a gate of 0.01, moving under the default.
    for (double gate : {0.01, 0.0}) {
        Rig g(false);
        g.load(ramp(10));
        g.seekTo(2.0);
        g.p.stillGate.setValue(gate);
        g.follow(0.008, 120);
        const bool silent = std::abs(g.L[kN - 1]) < 1.0;
        EXPECT_EQ(silent, gate == 0.01) << gate;
    }
}

TEST(FollowRender, MuteDecaysTwoPercentPerFrameWhilePlayingOn) {
    Rig rig(false);
    rig.load(ramp(10));
    rig.seekTo(1.0);
    rig.follow(1.0, 60);
    rig.p.mute.setValue(1.0);
    const double start = rig.pos() * kRate;
    rig.follow(1.0, 1);
    const double g0 = rig.L[0] / (start + 1), g127 = rig.L[127] / (start + 128);
    EXPECT_NEAR(g127 / g0, std::pow(0.98, 127), 1e-3);
    EXPECT_NEAR(rig.pos() * kRate - start, 128, 0.5) << "the position still advances";
}

TEST(FollowRender, TrackEndIsSilentAndPlaysBackwardsFromThere) {
    Rig rig(false);
    rig.load(ramp(1));
    rig.seekTo(0.99);
    rig.follow(1.0, 10);
    const double last = 47999.0 / kRate;
    EXPECT_DOUBLE_EQ(rig.pos(), last);
    EXPECT_EQ(rig.L[kN - 1], 0.0f);
    rig.follow(-1.0, 2);
    EXPECT_LT(rig.pos(), last);
    EXPECT_GT(rig.L[0], 40000.0f);
    EXPECT_LT(rig.L[kN - 1], rig.L[0]) << "backwards: the ramp falls";
}

TEST(FollowRender, NewLoadRestartsOnlyWhenPastItsEnd) {
    for (double secs : {0.5, 2.0}) {
        Rig rig(false);
        rig.load(ramp(1));
        rig.seekTo(0.99);
        rig.follow(1.0, 10);
        rig.p.anchor.cell.write({});
        rig.load(ramp(secs));
        rig.render();
        if (secs < 1) {
            EXPECT_LT(rig.pos(), 0.001) << "past the new track's end: back to 0";
        } else {
            EXPECT_NEAR(rig.pos(), 1.0, 0.001) << "inside the new track: the position stays";
        }
        EXPECT_LT(std::abs(rig.L[0]), 0.03f * 48000) << "a new track fades in from 0";
    }
}

TEST(FollowRender, NonFiniteInputsNeverSilenceTheDeckForGood) {
    const double nan = std::nan(""), inf = INFINITY;
    struct Case {
        const char* what;
        AnchorCell::Snap snap;
    };
    Rig probe;
    const double w = probe.clock.now();
    for (Case c : {Case{"NaN pos", {nan, w, 1, true}}, Case{"inf rate", {1, w, inf, true}},
                   Case{"NaN wall", {1, nan, 1, true}}, Case{"future wall", {1, w + 1000, 1, true}},
                   Case{"overflowing pos", {1e308, w, 1, true}}}) {
        Rig rig;
        rig.load(ramp(10));
        rig.follow(1.0, 20);
        rig.p.anchor.cell.write(c.snap);
        rig.p.seek.request(nan);
        for (int i = 0; i < 3; ++i) {
            rig.render();
            EXPECT_TRUE(rig.allFinite()) << c.what;
            EXPECT_TRUE(std::isfinite(rig.pos())) << c.what;
        }
        rig.anchor(1.0, 1.0);
        rig.render();
        rig.follow(1.0, 40);
        EXPECT_GT(rig.pos(), 1.0 + 20 * kBlock) << c.what << ": the deck follows again";
        EXPECT_GT(rig.L[kN - 1], 0.9 * rig.pos() * kRate) << c.what;
    }
    Rig cells;
    cells.load(ramp(10));
    cells.p.mute.setValue(nan);
    cells.p.stillGate.setValue(nan);
    cells.p.easeOn.setValue(nan);
    cells.p.loadGenCell.setValue(nan);
    cells.follow(1.0, 50);
    EXPECT_TRUE(cells.allFinite());
    EXPECT_GT(cells.pos(), 0.1);
}

TEST(FollowRender, ClosedLoopSettlesUnderOneMillisecond) {
    // A phone reporting a platter at nominal speed every 10 ms; the deck starts a second behind, snaps,
    // and the servo removes what the eased rate lags.
    Rig rig;
    rig.load(ramp(30));
    const double t0 = rig.clock.now();
    double nextFrame = t0, settledAt = -1;
    for (int i = 0; i < int(3.0 / kBlock); ++i) {
        const double now = rig.clock.now();
        if (now >= nextFrame) {
            rig.p.anchor.cell.write({1.0 + (now - t0), now, 1.0, true});
            nextFrame += 0.01;
        }
        rig.render();
        if (std::abs(rig.err()) < 1e-3) {
            if (settledAt < 0) settledAt = now - t0;
        } else {
            settledAt = -1;
        }
    }
    ASSERT_GE(settledAt, 0) << "never settled";
    EXPECT_LT(settledAt, 1.2);
    std::printf("closed loop: error under 1 ms from %.2f s on\n", settledAt);
}

TEST(FollowRender, AllocatesNothingAndFreesReplacedTracksOffTheAudioThread) {
    Rig rig;
    StemRef first = ramp(10);
    std::weak_ptr<const StemBuf> watch = first;
    rig.load(std::move(first));
    rig.render();
    rig.load(ramp(5));  // the render still holds the first track
    rig.render();
    EXPECT_FALSE(watch.expired()) << "the render hands the old track on instead of freeing it";
    rig.p.collectRetired();
    EXPECT_TRUE(watch.expired());

    // The counter sees allocations at all.
    tAllocs = 0;
    tCounting = true;
    int* volatile probe = new int(1);
    delete probe;
    tCounting = false;
    ASSERT_EQ(tAllocs, 1);

    // Servo, snap, still, seek, mute and track change: not one allocation inside the render.
    StemRef next = ramp(10);
    tCounting = true;
    tAllocs = 0;
    rig.follow(1.0, 50);
    rig.follow(1.0, 5, 0.4);
    rig.follow(0.0, 80);
    rig.seekTo(3.0);
    rig.p.mute.setValue(1);
    rig.follow(-1.0, 20, 0.1);
    rig.p.install(next, 9);
    rig.follow(1.0, 5);
    rig.p.table.replace(nullptr);
    rig.render();
    tCounting = false;
    EXPECT_EQ(tAllocs, 0);
}

}  // namespace
