#include "motion/follow_player.h"
#include "ramp_stem.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <vector>

using namespace plindo::motion;
using test::rampStem;

#include "platform/queue_executor.h"

#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <fstream>
#include <functional>
#include <string>
#include <thread>

// Counts allocations made on this thread while counting is on, to prove the render allocates nothing.
#include "alloc_counter.h"

namespace {

// Waits (bounded) until thread `tid` of this process sleeps, i.e. waits on a lock.
bool waitBlocked(pid_t tid) {
    for (int i = 0; i < 2000; ++i) {
        std::ifstream stat("/proc/self/task/" + std::to_string(tid) + "/stat");
        std::string text((std::istreambuf_iterator<char>(stat)), std::istreambuf_iterator<char>());
        const auto close = text.rfind(')');
        if (close != std::string::npos && close + 2 < text.size() && text[close + 2] == 'S') return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return false;
}

bool waitUntil(const std::function<bool()>& done, double seconds = 2.0) {
    const auto end = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
    while (std::chrono::steady_clock::now() < end) {
        if (done()) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return done();
}

constexpr double kRate = 48000;
constexpr uint32_t kN = 128;
constexpr double kBlock = kN / kRate;
const AudioOutDevice kNull{AudioOutDevice::nullId, "null", "null", 2};

struct Rig {
    plindo::platform::FakeClock clock{1000.0};
    FollowPlayer p{kNull, 0, kN, clock};
    std::vector<float> L = std::vector<float>(kN), R = std::vector<float>(kN);
    int gen = 0;

    explicit Rig(bool ease = true, double trackSec = 10) {
        FollowConfig c;
        c.followEase = ease;
        p.prepare(c);
        if (trackSec > 0) load(rampStem(trackSec));
    }
    void load(StemRef s) { p.install(std::move(s), ++gen); }
    void render() {
        p.render(clock.now(), kRate, L.data(), R.data(), kN);
        clock.advance(kBlock);
    }
    void anchor(double pos, double rate, double age = 0) { p.anchor.cell.write({pos, clock.now() - age, rate, true}); }
    // Seeks with no anchor driving, so the next anchor starts from there.
    void seekTo(double sec) {
        p.anchor.cell.write({});
        p.seek.request(sec);
        render();
    }
    double pos() const { return p.posCell.value(); }
    double rate() const { return p.rateCell.value(); }
    double err() const { return p.errCell.value(); }
    // The gain of the last frame, read off the ramp.
    double lastGain() const { return L[kN - 1] / (pos() * kRate); }
    // Renders `count` callbacks, each with a fresh anchor `ahead` seconds in front of the play position.
    void follow(double rate, int count, double ahead = 0) {
        for (int i = 0; i < count; ++i) {
            anchor(pos() + ahead, rate);
            render();
        }
    }
};

TEST(FollowRender, SilentWithoutTrackAndKeepsSeekUntilOneArrives) {
    Rig rig(true, 0);
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
    rig.load(rampStem(10));
    rig.render();
    EXPECT_DOUBLE_EQ(rig.pos(), 2.0) << "the seek waited in its cell and applies with the new track";
    EXPECT_NEAR(rig.L[kN - 1] / 96000.0f, 1 - std::pow(0.98f, 128.0f), 1e-3) << "and the track fades in";
    EXPECT_NEAR(rig.R[kN - 1], -rig.L[kN - 1], 1e-2);
}

TEST(FollowRender, StaleAnchorStopsTheServoAndEasingRestartsFromZero) {
    Rig rig;
    rig.anchor(0.1, 0.0, 0.59);
    rig.render();
    EXPECT_NEAR(rig.err(), 0.1, 1e-9);
    EXPECT_GT(rig.rate(), 0.0) << "0.59 s old still drives the servo";
    EXPECT_LT(rig.rate(), 0.001) << "but weakly";
    Rig eased, raw(false);
    for (double want : {0.2, 0.36, 0.488}) {
        eased.follow(1.0, 1);
        raw.follow(1.0, 1);
        EXPECT_NEAR(eased.rate(), want, 1e-9);
        EXPECT_NEAR(raw.rate(), 1.0, 1e-9) << "easing off takes the anchor rate as it is";
    }
    const double errBefore = eased.err();
    eased.anchor(eased.pos() + 0.1, 1.0, 0.6);
    eased.render();
    EXPECT_EQ(eased.rate(), 0.0) << "0.6 s old no longer drives";
    EXPECT_EQ(eased.err(), errBefore) << "and no error is measured";
    eased.follow(1.0, 1);
    EXPECT_NEAR(eased.rate(), 0.2, 1e-9) << "the eased rate starts again from 0";
}

TEST(FollowRender, SnapsAboveAQuarterSecondAndServosBelow) {
    for (double err : {0.26, 0.24, -0.26, -0.24}) {
        Rig rig;
        rig.seekTo(3.0);
        rig.follow(1.0, 60);
        const double before = rig.pos();
        rig.anchor(before + err, 1.0);
        rig.render();
        EXPECT_NEAR(rig.err(), err, 1e-9);
        const double moved = rig.pos() - before;
        const double firstGain = rig.L[0] / (rig.pos() * kRate);
        if (std::abs(err) > 0.25) {
            EXPECT_NEAR(moved, err + kBlock * rig.rate(), 2e-4) << err;
            EXPECT_LT(firstGain, 0.05) << "a snap cuts the gain";
            EXPECT_NEAR(rig.rate(), 1.0, 1e-3) << "and plays at the eased anchor rate";
        } else {
            EXPECT_LT(std::abs(moved), 0.01) << err;
            EXPECT_GT(firstGain, 0.9);
            EXPECT_NEAR(rig.rate() - 1.0, std::clamp(2.0 * err, -0.5, 0.5), 0.01);
        }
    }
}

TEST(FollowRender, ReversalBoostsTheServoForEightyMilliseconds) {
    Rig rig(false), steady(false);
    for (Rig* r : {&rig, &steady}) r->seekTo(5.0);
    rig.follow(1.0, 5);
    // Reversing: gains tripled, correction limit widened to 1.5 (2 * 0.24 * 3 = 1.44).
    rig.follow(-1.0, 1, 0.24);
    EXPECT_NEAR(rig.rate(), -1.0 + 1.44, 0.01);
    // The boost runs on for 0.08 s of output (30 callbacks) after the last opposite-sign callback.
    rig.follow(-1.0, 28, 0.24);
    EXPECT_GT(rig.rate() + 1.0, 0.5) << "still boosted";
    rig.follow(-1.0, 3, 0.24);
    EXPECT_NEAR(rig.rate() + 1.0, 0.5, 1e-9) << "boost over: correction back within 0.5";
    steady.follow(-1.0, 5);
    steady.follow(-1.0, 1, 0.24);
    EXPECT_NEAR(steady.rate(), -1.0 + 0.48, 0.01) << "no reversal, no boost";
}

TEST(FollowRender, StillPlatterOrMuteFadesTheDeck) {
    Rig rig;
    rig.seekTo(2.0);
    rig.follow(1.0, 40);
    EXPECT_GT(rig.lastGain(), 0.99);
    rig.follow(0.0, 100);
    const double held = rig.pos();
    rig.follow(0.0, 20);
    EXPECT_NEAR(rig.pos(), held, 1e-6) << "the position holds";
    EXPECT_LT(std::abs(rig.lastGain()), 1e-3) << "and the deck is faded out";
    rig.follow(1.0, 1);
    EXPECT_GT(rig.lastGain(), 0.5) << "the first moving callback fades in";

    // The gate comes from its cell: 0.008 is still under a gate of 0.01, moving under the default.
    for (double gate : {0.01, 0.0}) {
        Rig g(false);
        g.seekTo(2.0);
        g.p.stillGate.setValue(gate);
        g.follow(0.008, 120);
        EXPECT_EQ(std::abs(g.L[kN - 1]) < 1.0, gate == 0.01) << gate;
    }

    // Mute decays the gain two percent per frame while the position plays on.
    Rig m(false);
    m.seekTo(1.0);
    m.follow(1.0, 60);
    m.p.mute.setValue(1.0);
    const double start = m.pos() * kRate;
    m.follow(1.0, 1);
    EXPECT_NEAR((m.L[127] / (start + 128)) / (m.L[0] / (start + 1)), std::pow(0.98, 127), 1e-3);
    EXPECT_NEAR(m.pos() * kRate - start, 128, 0.5) << "the position still advances";
}

TEST(FollowRender, TrackEndIsSilentAndANewLoadRestartsOnlyWhenPastItsEnd) {
    Rig rig(false, 1);
    rig.seekTo(0.99);
    rig.follow(1.0, 10);
    const double last = 47999.0 / kRate;
    EXPECT_DOUBLE_EQ(rig.pos(), last);
    EXPECT_EQ(rig.L[kN - 1], 0.0f);
    rig.follow(-1.0, 2);
    EXPECT_LT(rig.pos(), last);
    EXPECT_GT(rig.L[0], 40000.0f);
    EXPECT_LT(rig.L[kN - 1], rig.L[0]) << "backwards from the end: the ramp falls";
    for (double secs : {0.5, 2.0}) {
        Rig r(false, 1);
        r.seekTo(0.99);
        r.follow(1.0, 10);
        r.p.anchor.cell.write({});
        r.load(rampStem(secs));
        r.render();
        EXPECT_NEAR(r.pos(), secs < 1 ? 0.0 : 1.0, 0.001) << "past the new end: back to 0, else it stays";
        EXPECT_LT(std::abs(r.L[0]), 0.03f * 48000) << "a new track fades in from 0";
    }
}

TEST(FollowRender, NonFiniteInputsNeverSilenceTheDeckForGood) {
    const double nan = std::nan(""), inf = INFINITY;
    const auto allFinite = [](const Rig& r) {
        return std::all_of(r.L.begin(), r.L.end(), [](float v) { return std::isfinite(v); }) &&
               std::all_of(r.R.begin(), r.R.end(), [](float v) { return std::isfinite(v); });
    };
    const double w = 1000.0;  // where the rigs' clocks start
    for (auto [what, snap] : {std::pair<const char*, AnchorCell::Snap>{"NaN pos", {nan, w, 1, true}},
                              {"inf rate", {1, w, inf, true}}, {"NaN wall", {1, nan, 1, true}},
                              {"future wall", {1, w + 1000, 1, true}}, {"overflowing pos", {1e308, w, 1, true}}}) {
        Rig rig;
        rig.follow(1.0, 20);
        rig.p.anchor.cell.write(snap);
        rig.p.seek.request(nan);
        for (int i = 0; i < 3; ++i) {
            rig.render();
            EXPECT_TRUE(allFinite(rig) && std::isfinite(rig.pos())) << what;
        }
        rig.anchor(1.0, 1.0);
        rig.render();
        rig.follow(1.0, 40);
        EXPECT_GT(rig.pos(), 1.0 + 20 * kBlock) << what << ": the deck follows again";
        EXPECT_GT(rig.lastGain(), 0.9) << what;
    }
    Rig cells;
    for (ValueCell* c : {&cells.p.mute, &cells.p.stillGate, &cells.p.easeOn, &cells.p.loadGenCell}) c->setValue(nan);
    cells.follow(1.0, 50);
    EXPECT_TRUE(allFinite(cells));
    EXPECT_GT(cells.pos(), 0.1);
}

TEST(FollowRender, ClosedLoopSettlesUnderOneMillisecond) {
    // A phone reporting a platter at nominal speed every 10 ms; the deck starts a second behind, snaps,
    // and the servo removes what the eased rate lags.
    Rig rig(true, 30);
    const double t0 = rig.clock.now();
    double nextFrame = t0, settledAt = -1;
    for (int i = 0; i < int(3.0 / kBlock); ++i) {
        const double now = rig.clock.now();
        if (now >= nextFrame) {
            rig.p.anchor.cell.write({1.0 + (now - t0), now, 1.0, true});
            nextFrame += 0.01;
        }
        rig.render();
        if (std::abs(rig.err()) >= 1e-3) settledAt = -1;
        else if (settledAt < 0) settledAt = now - t0;
    }
    ASSERT_GE(settledAt, 0) << "never settled";
    EXPECT_LT(settledAt, 1.2);
}

TEST(FollowRender, AllocatesNothing) {
    Rig rig(true, 0);
    tAllocs = 0;  // the counter sees allocations at all
    tCounting = true;
    int* volatile probe = new int(1);
    delete probe;
    tCounting = false;
    ASSERT_EQ(tAllocs, 1);

    // Servo, snap, still, seek, mute and track change: not one allocation inside the render.
    StemRef next = rampStem(10);
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

// Replaced tracks are freed on the control side, as soon as no render callback can still be using them:
// at once between callbacks, else once the callback in flight has ended, and never by the render.
TEST(FollowRetire, AReplacedTrackIsFreedAtOnceOrWhenTheCallbackInFlightEnds) {
    Rig rig(true, 0);
    StemRef first = rampStem(10);
    std::weak_ptr<const StemBuf> watch = first;
    rig.load(std::move(first));
    rig.render();
    rig.load(rampStem(5));
    EXPECT_TRUE(watch.expired()) << "between callbacks nothing holds the old track";
    EXPECT_EQ(rig.p.retiredCount(), 0u);

    // A callback held up halfway (at the mute cell, after it took the track) while the track is unloaded.
    watch = rig.p.table.read();
    std::atomic<bool> release{false}, holding{false};
    std::thread holder([&] {
        rig.p.mute.cell.update([&](double&) {
            holding = true;
            while (!release) std::this_thread::yield();
        });
    });
    while (!holding) std::this_thread::yield();
    std::atomic<pid_t> renderTid{0};
    std::thread audio([&] {
        renderTid = static_cast<pid_t>(syscall(SYS_gettid));
        rig.render();
    });
    while (renderTid == 0) std::this_thread::yield();
    ASSERT_TRUE(waitBlocked(renderTid)) << "the callback did not reach the held cell";
    rig.p.loadedPath = "/a.wav";
    rig.p.unload();
    EXPECT_EQ(rig.p.retiredCount(), 1u);
    rig.p.collectRetired();
    EXPECT_FALSE(watch.expired()) << "the callback in flight still plays it";
    release = true;
    holder.join();
    audio.join();
    EXPECT_FALSE(watch.expired()) << "the render never frees it";
    rig.p.collectRetired();
    EXPECT_TRUE(watch.expired());
    EXPECT_EQ(rig.p.retiredCount(), 0u);
}

// Load, play, unload on a running output: after the main thread's next turns the player holds no retired
// buffer, whichever moment of the callback the unload met.
TEST(FollowRetire, UnloadOnAPlayingDeckLeavesNoRetiredBufferAfterAMainTurn) {
    plindo::platform::QueueExecutor main;
    FollowPlayer p{kNull, 0, kN};
    p.loadMain = &main;
    p.start(FollowConfig{});
    ASSERT_TRUE(p.out->running());
    for (int round = 0; round < 100; ++round) {
        std::weak_ptr<const StemBuf> watch;
        main.invokeSync([&] {
            StemRef stem = rampStem(1);
            watch = stem;
            p.loadedPath = "/track.wav";
            p.install(std::move(stem), round + 1);
        });
        std::this_thread::sleep_for(std::chrono::microseconds(300 + 97 * (round % 31)));
        main.invokeSync([&] { p.unload(); });
        main.drain();
        const bool freed = waitUntil([&] {
            main.drain();
            return watch.expired();
        });
        ASSERT_TRUE(freed) << "round " << round;
        std::size_t left = 1;
        main.invokeSync([&] { left = p.retiredCount(); });
        EXPECT_EQ(left, 0u) << "round " << round;
    }
}

}  // namespace
