// The motion road through the controller: each phone message as a datagram into the server of a started
// host on a fake clock, what reaches the cells and the MIDI output; the tunnel pump pass; the bridge to the
// DJ application and the deck restore; the gesture handlers.
#include "host_rig.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cmath>
#include <limits>
#include <thread>

namespace plindo::host {
namespace {

using link::testing::D;
using link::testing::I;
using link::testing::S;
using testing::HostRig;
using Tick = motion::SeratoTunnel::Tick;

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

struct FeedRig : HostRig {
    platform::FakeClock fake{1000.0};
    HostState* h = nullptr;
    link::OrvServer::Origin phone1 = link::testing::phone(1);
    link::OrvServer::Origin phone2 = link::testing::phone(2);

    FeedRig() {
        clock = &fake;
        started();
        h = host.get();
        hello(phone1, 1);
        hello(phone2, 2);
        main.drain();
        sink.take();
    }
    const link::OrvServer::Origin& from(int deck) const { return deck == 1 ? phone1 : phone2; }
    void recv(int deck, std::string_view address, std::vector<link::OSCValue> args) {
        const auto bytes = link::OSCMessage::encode(address, args);
        h->server->handleDatagram(bytes.data(), bytes.size(), from(deck), fake.now());
    }
    void hello(const link::OrvServer::Origin& o, int deck) {
        const auto b = link::OSCMessage::encode(
            "/orv/hello", std::vector<link::OSCValue>{I(deck), S("Phone"), I(0), S("remote"), I(1), S("1215"), S("")});
        h->server->handleDatagram(b.data(), b.size(), o, fake.now());
    }
    void frame(int deck, double angle, double ts, double rate = 1.0) {
        recv(deck, "/orv/frame", {I(deck), S(""), D(0), D(rate), D(angle), D(ts)});
    }
    void imu(int deck, double ts, double dmWz, double yaw, double grip = 1.0) {
        recv(deck, "/orv/imu", {I(deck), D(ts), D(0), D(0), D(0), D(ts), D(dmWz), D(yaw), D(0), D(0), D(0), D(0), D(0),
                                D(0), D(grip)});
    }
    void bud(int deck, double ts, double yaw) {
        recv(deck, "/orv/bud", {I(deck), D(ts), D(0), D(0), D(0), D(ts), D(0), D(yaw), D(0), D(0), D(0), D(0), D(0),
                                D(0), D(0)});
    }
    void raw(int deck, double wz, double yaw, double ts) {
        recv(deck, "/orv/raw", {I(deck), D(wz), D(0), D(0), D(yaw), D(ts)});
    }
    void tun(int deck, int epoch, const std::vector<Tick>& ticks) {
        std::vector<link::OSCValue> args{I(deck), D(epoch), I(static_cast<int>(ticks.size()))};
        for (const auto& t : ticks) {
            args.push_back(D(static_cast<double>(t.seq)));
            args.push_back(D(static_cast<double>(t.cum)));
            args.push_back(D(t.stamp));
            args.push_back(D(t.measured ? 1 : 0));
        }
        recv(deck, "/orv/tun", args);
    }
    void bridge(int deck, bool on) {
        onMain([&] { h->setSeratoDeck(deck, on); });
    }
    TunnelState tunnel(int deck) { return h->feeds->tunnelCell[deck - 1].read(); }
    BudUpState budUp(int deck) { return h->feeds->budUpCell[deck - 1].read(); }
};

// Ticks seq from..to, 100 ticks apart, 10 ms apart.
std::vector<Tick> ticks(int64_t from, int64_t to, int64_t cumBase = 0) {
    std::vector<Tick> out;
    for (int64_t s = from; s <= to; ++s) out.push_back({s, cumBase + s * 100, 0.01 * static_cast<double>(s), true});
    return out;
}

// --- Frames: which road drives the deck ---

TEST(FeedHandlers, AFrameGoesToTheRoadThatOwnsTheDeck) {
    enum class Synth { none, running, stopped };  // stopped: it stepped, then stopped, 0.1 s ago
    struct Row {
        const char* name;
        bool bridged;
        double imuAge;  // below 0: none
        double rawAge;  // below 0: none
        Synth synth;
        bool integrated;
        bool fed;
    };
    const Row rows[] = {
        {"own player", false, -1, -1, Synth::none, true, false},
        {"own player, raw record 0.1 s old", false, -1, 0.1, Synth::none, false, false},
        {"own player, raw record 0.6 s old", false, -1, 0.6, Synth::none, true, false},
        {"own player, synthesis running", false, -1, -1, Synth::running, false, false},
        {"own player, synthesis just stopped", false, -1, -1, Synth::stopped, true, false},
        {"bridged", true, -1, -1, Synth::none, false, true},
        {"bridged, IMU 0.1 s old", true, 0.1, -1, Synth::none, false, false},
        {"bridged, IMU 0.6 s old", true, 0.6, -1, Synth::none, false, true},
    };
    for (const auto& r : rows) {
        SCOPED_TRACE(r.name);
        FeedRig rig;
        if (r.bridged) rig.bridge(1, true);
        if (r.imuAge >= 0) {
            rig.imu(1, 0.5, 0, 0);
            rig.fake.advance(r.imuAge);
        }
        if (r.rawAge >= 0) {
            rig.raw(1, 0, 0, 0.5);
            rig.fake.advance(r.rawAge);
        }
        if (r.synth != Synth::none) {
            auto& rf = *rig.h->feeds->rawFollow[0];
            rf.setRawSynth(-3.5, false);
            rf.onSynthStep(rf);
            rig.fake.advance(0.1);
            if (r.synth == Synth::stopped) rf.setRawSynth(0, true);
        }
        rig.frame(1, -0.1, 1.0);
        rig.frame(1, -0.2, 1.01);
        EXPECT_EQ(rig.h->feeds->integrators[0].cell.read().primed, r.integrated);
        EXPECT_EQ(rig.h->seratoOut->emitState(1).lastPhoneTs == 1.01, r.fed);
        const auto shot = rig.h->feeds->wireDiag[0].cell.read();
        EXPECT_EQ(shot.frameN, 2);
        EXPECT_EQ(shot.advN, 1);
        EXPECT_NEAR(shot.netRev, 0.1 / (2 * std::numbers::pi), 1e-12);
    }
}

TEST(FeedHandlers, ImuUnwrapsTheYawAndDrivesABridgedDeckUnlessTicksFlow) {
    FeedRig rig;
    rig.bridge(1, true);
    // Across the ±pi seam the angle keeps going.
    rig.imu(1, 1.00, -2.0, 3.1);
    rig.imu(1, 1.01, -2.0, -3.1);
    auto st = rig.h->feeds->imuCell[0].read();
    EXPECT_NEAR(st.angle, 3.1 + (2 * std::numbers::pi - 6.2), 1e-9);
    EXPECT_NEAR(st.rate, 2.0 * 1.8 / (2 * std::numbers::pi), 1e-12);
    EXPECT_TRUE(st.engaged);
    EXPECT_TRUE(rig.h->hostMotor.isOn(1));  // the platter started: transport on
    EXPECT_TRUE(rig.h->seratoOut->emitState(1).sentAny);

    // A live tick stream holds the IMU off the platter. The pump makes one output from the batch on its own
    // thread (the fake clock stands still, so only one); the IMU sample after it must change nothing.
    FeedRig ticked;
    ticked.bridge(1, true);
    ticked.tun(1, 1, ticks(0, 1));
    const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (!ticked.h->seratoOut->emitState(1).sentAny && std::chrono::steady_clock::now() < until)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    ASSERT_TRUE(ticked.h->seratoOut->emitState(1).sentAny) << "the pump's output from the batch";
    ASSERT_EQ(ticked.tunnel(1).outs, 1);
    const auto before = ticked.h->seratoOut->emitState(1);
    ticked.imu(1, 1.0, 0, 0.5);
    EXPECT_EQ(ticked.h->seratoOut->emitState(1), before);
    EXPECT_EQ(ticked.tunnel(1).outs, 1);
}

// --- The tick tunnel ---

TEST(FeedHandlers, TunnelBatchesKeepTheHostPositionAcrossEpochsAndCountLateOnes) {
    FeedRig rig;
    rig.tun(1, 7, ticks(0, 19));
    auto st = rig.tunnel(1);
    EXPECT_EQ(st.resets, 1);
    EXPECT_EQ(st.wall, rig.fake.now());
    EXPECT_LE(st.tun.pending(), 2);  // the depth was drained down to two waiting ticks
    EXPECT_GT(st.outs, 0);
    const int64_t before = st.hostCum;

    rig.tun(1, 7, ticks(0, 5));  // nothing newer than what was seen
    EXPECT_EQ(rig.tunnel(1).late, 1);

    // The phone restarted its counter far away: the host position goes on from where it stood.
    rig.fake.advance(0.01);
    rig.tun(1, 8, ticks(0, 9, 5'000'000));
    st = rig.tunnel(1);
    EXPECT_EQ(st.resets, 2);
    EXPECT_EQ(st.epoch, 8);
    EXPECT_GE(st.hostCum, before);
    EXPECT_LE(st.hostCum - before, 1000);

    // A new epoch whose first batch holds nothing a tunnel can take: the batch that is taken after it still
    // goes on from the host's position.
    const int64_t at = st.hostCum;
    rig.fake.advance(0.01);
    rig.tun(1, 9, {{int64_t(1) << 60, 9'000'000, 0.5, true}});
    EXPECT_EQ(rig.tunnel(1).late, 2);
    rig.fake.advance(0.01);
    rig.tun(1, 9, ticks(0, 9, 9'000'000));
    st = rig.tunnel(1);
    EXPECT_GE(st.hostCum, at);
    EXPECT_LE(st.hostCum - at, 1000);
}

// --- The earbud feed ---

TEST(FeedHandlers, EarbudSamplesHoldTheClockOffsetAtItsMaxAndRestartTheUpsampler) {
    FeedRig rig;
    const double now = rig.fake.now();
    rig.bud(1, 50.00, 0.0);
    EXPECT_DOUBLE_EQ(rig.budUp(1).offMax, 50.0 - now);
    rig.fake.advance(0.01);
    rig.bud(1, 50.005, 0.01);  // arrives late: the held offset decays only by its step
    EXPECT_DOUBLE_EQ(rig.budUp(1).offMax, 50.0 - now - 0.0005);
    EXPECT_EQ(rig.h->feeds->budWall[0].value(), now + 0.01);
    EXPECT_EQ(rig.budUp(1).resets, 0);

    struct Row {
        const char* name;
        double ts;
        double idle;
    };
    const Row restarts[] = {{"stamp not newer", 49.0, 0}, {"gap over 0.25 s", 49.3, 0}, {"idle over 0.5 s", 49.31, 0.6}};
    int64_t expected = 0;
    for (const auto& r : restarts) {
        SCOPED_TRACE(r.name);
        rig.fake.advance(r.idle);
        rig.bud(1, r.ts, 0.02);
        EXPECT_EQ(rig.budUp(1).resets, ++expected);
    }
}

// --- Synthesis, seeks, hostile numbers ---

TEST(FeedHandlers, ThePhoneSwitchesTheHostSynthesisOnAndOff) {
    FeedRig rig;
    rig.recv(1, "/orv/synth", {I(1), I(1), D(3.5), D(0)});
    EXPECT_EQ(rig.h->feeds->phoneSynthCell[0].value(), 1.0);
    EXPECT_TRUE(rig.h->feeds->rawFollow[0]->synthTimerRunning());
    {
        auto& core = rig.h->feeds->rawFollow[0]->core;
        std::lock_guard g(core.lock);
        EXPECT_EQ(core.synthOmega, 3.5);
    }
    // The timer's step turns the core and moves the deck's anchor.
    rig.h->feeds->rawFollow[0]->onSynthStep(*rig.h->feeds->rawFollow[0]);
    rig.fake.advance(0.01);
    rig.h->feeds->rawFollow[0]->onSynthStep(*rig.h->feeds->rawFollow[0]);
    EXPECT_NEAR(rig.h->feeds->rawRate[0]->cell.read().rate, 3.5, 1e-12);
    EXPECT_TRUE(rig.h->feeds->playerOf(1)->anchor.cell.read().valid);

    rig.recv(1, "/orv/synth", {I(1), I(0), D(0), D(0)});
    EXPECT_EQ(rig.h->feeds->phoneSynthCell[0].value(), 0.0);
    EXPECT_FALSE(rig.h->feeds->rawFollow[0]->synthTimerRunning());
}

TEST(FeedHandlers, ASeekMovesEveryPositionOfAnOwnDeckOnly) {
    FeedRig rig;
    rig.recv(1, "/orv/seek", {I(1), D(42.0)});
    const auto a = rig.h->feeds->playerOf(1)->anchor.cell.read();
    EXPECT_EQ(a.pos, 42.0);
    EXPECT_EQ(a.rate, 0.0);
    EXPECT_EQ(rig.h->feeds->integrators[0].cell.read().posSec, 42.0);
    EXPECT_EQ(rig.h->feeds->rawFollow[0]->posSec, 42.0);

    rig.bridge(2, true);
    rig.recv(2, "/orv/seek", {I(2), D(42.0)});
    EXPECT_EQ(rig.h->feeds->integrators[1].cell.read().posSec, 0.0);
}

// Raw records out of order are dropped; one far behind the last means the phone's clock restarted, and from
// there its records are taken again.
TEST(FeedHandlers, RawRecordsAreTakenAgainAfterThePhonesClockRestarts) {
    FeedRig rig;
    const auto lastTs = [&] { return rig.h->feeds->rawTrack[0].read().lastTs; };
    // (record's timestamp, the last one taken after it)
    const std::pair<double, double> steps[] = {{100, 100}, {99, 100}, {95.5, 100}, {2, 2}, {2.01, 2.01}, {2.005, 2.01}};
    for (const auto& [ts, taken] : steps) {
        rig.fake.advance(0.01);
        rig.raw(1, 0.1, 0.5, ts);
        EXPECT_EQ(lastTs(), taken) << ts;
    }
}

TEST(FeedHandlers, NumbersThatAreNotNumbersNeverReachACell) {
    FeedRig rig;
    rig.imu(1, 1.0, 0, 0.5);
    rig.raw(1, 0.2, 0.5, 1.0);
    rig.bud(1, 1.0, 0.5);
    const std::vector<std::pair<const char*, std::function<void()>>> hostile = {
        {"frame angle", [&] { rig.frame(1, kNaN, 2.0); }},
        {"frame stamp", [&] { rig.frame(1, 0.1, kNaN); }},
        {"frame rate", [&] { rig.frame(1, 0.1, 2.0, kNaN); }},
        {"imu yaw", [&] { rig.imu(1, 2.0, 0, kNaN); }},
        {"imu rate", [&] { rig.imu(1, 2.0, std::numeric_limits<double>::infinity(), 0.1); }},
        {"raw yaw", [&] { rig.raw(1, 0.2, kNaN, 2.0); }},
        {"raw rate", [&] { rig.raw(1, kNaN, 0.1, 2.0); }},
        {"bud yaw", [&] { rig.bud(1, 2.0, kNaN); }},
        {"bud stamp", [&] { rig.bud(1, kNaN, 0.1); }},
        {"seek", [&] { rig.recv(1, "/orv/seek", {I(1), D(kNaN)}); }},
        {"synth speed", [&] { rig.recv(1, "/orv/synth", {I(1), I(1), D(kNaN), D(0)}); }},
    };
    for (const auto& [name, send] : hostile) {
        SCOPED_TRACE(name);
        send();
        rig.fake.advance(0.01);
        const auto imu = rig.h->feeds->imuCell[0].read();
        EXPECT_TRUE(std::isfinite(imu.angle) && std::isfinite(imu.rate));
        EXPECT_TRUE(std::isfinite(rig.h->feeds->integrators[0].cell.read().posSec));
        EXPECT_TRUE(std::isfinite(rig.h->feeds->rawFollow[0]->posSec));
        EXPECT_TRUE(std::isfinite(rig.h->feeds->rawRate[0]->cell.read().angle));
        EXPECT_TRUE(std::isfinite(rig.budUp(1).offMax));
        EXPECT_TRUE(std::isfinite(rig.h->feeds->placeCell[0].read().raw.yaw));
        EXPECT_TRUE(std::isfinite(rig.h->placeYawRate(1)));
        EXPECT_EQ(rig.h->feeds->phoneSynthCell[0].value(), 0.0);
    }
    // The road still works afterwards.
    rig.fake.advance(1.0);
    rig.frame(1, -0.1, 3.0);
    rig.frame(1, -0.2, 3.01);
    EXPECT_TRUE(std::isfinite(rig.h->feeds->playerOf(1)->anchor.cell.read().pos));
}

// --- The tunnel pump and the emit step ---

struct PumpFeeds {
    platform::FakeClock clock{100.0};
    DeckFeeds feeds{clock};
    void batch(int deck, const std::vector<Tick>& t, double now) {
        feeds.tunnelCell[deck - 1].update([&](TunnelState& st) {
            st.tun.ingest(t);
            st.wall = now;
            st.guessRun = 0;
        });
    }
};

TEST(TunnelPump, GuessesAtTheTunnelsPaceForTenOutputsAfterABatch) {
    PumpFeeds p;
    HostState::tunnelPumpTick(p.feeds, 100.0);
    EXPECT_EQ(p.feeds.tunnelCell[0].read().outs, 0);  // before the first batch
    p.batch(1, ticks(0, 4), 100.0);
    for (int k = 1; k <= 40; ++k) HostState::tunnelPumpTick(p.feeds, 100.0 + 0.016 * k);
    const auto st = p.feeds.tunnelCell[0].read();
    EXPECT_EQ(st.outs, 10);
    EXPECT_EQ(st.guessRun, 10);
    EXPECT_EQ(st.hostCum, st.tun.sentCum());
    // More than 0.5 s after the batch nothing moves, even with a fresh guess budget.
    p.feeds.tunnelCell[0].update([](TunnelState& s) { s.guessRun = 0; });
    HostState::tunnelPumpTick(p.feeds, 100.7);
    EXPECT_EQ(p.feeds.tunnelCell[0].read().outs, 10);
    // Twice within 1.5 periods: one output.
    p.batch(2, ticks(0, 4), 101.0);
    HostState::tunnelPumpTick(p.feeds, 101.02);
    HostState::tunnelPumpTick(p.feeds, 101.022);
    EXPECT_EQ(p.feeds.tunnelCell[1].read().outs, 1);
}

TEST(TunnelPump, SwitchedOffItDoesNothingAndTheEarbudDrainNeedsAnOffset) {
    PumpFeeds p;
    p.feeds.budUpCell[0].update([](BudUpState& st) {
        for (int k = 0; k < 20; ++k) st.up.push(10.0 + 0.01 * k, 100.0 * k);
        st.wall = 100.0;
    });
    HostState::tunnelPumpTick(p.feeds, 100.01);  // offMax still -infinity
    EXPECT_EQ(p.feeds.budUpCell[0].read().outs, 0);

    p.feeds.budUpCell[0].update([](BudUpState& st) { st.offMax = 10.2 - 100.0; });
    p.feeds.tunables.tunnelOn = false;
    HostState::tunnelPumpTick(p.feeds, 100.01);
    EXPECT_EQ(p.feeds.budUpCell[0].read().outs, 0);

    p.feeds.tunables.tunnelOn = true;
    HostState::tunnelPumpTick(p.feeds, 100.01);
    const auto st = p.feeds.budUpCell[0].read();
    EXPECT_GT(st.outs, 0);
    // The drained pairs end at the tunnel's sent position.
    auto copy = st;
    EXPECT_TRUE(HostState::budUpDrain(copy, 100.01).empty());
}

TEST(TunnelPump, TheEmitStepSkipsStillGuessesAndWaitsWhileThePhoneSynthesises) {
    FeedRig rig;
    rig.bridge(1, true);
    auto& f = *rig.h->feeds;
    const auto sent = [&] { return rig.h->seratoOut->emitState(1).sentAny; };
    const HostState::EmitPair stillGuess{100, {.seq = 1, .delta = 0, .stamp = 1.0, .guessed = true}};
    HostState::emitTicks(f, 1, std::span(&stillGuess, 1));
    EXPECT_FALSE(sent());
    f.phoneSynthCell[0].setValue(1.0);
    const HostState::EmitPair still{100, {.seq = 2, .delta = 0, .stamp = 1.01, .guessed = false}};
    HostState::emitTicks(f, 1, std::span(&still, 1));
    EXPECT_FALSE(sent());
    f.phoneSynthCell[0].setValue(0.0);
    HostState::emitTicks(f, 1, std::span(&still, 1));
    EXPECT_TRUE(sent());
}

// A deck the DJ application does not drive keeps its tunnel going (counters, positions), but nothing of it
// reaches the MIDI output: neither the batch's drain nor the pump's guesses.
TEST(TunnelPump, ADeckWithoutTheEmitterAdvancesItsTunnelButSendsNothing) {
    FeedRig rig;
    rig.midi.clearSent();
    rig.tun(2, 1, ticks(0, 19));
    const auto drained = rig.tunnel(2).outs;
    EXPECT_GT(drained, 0);
    for (int k = 1; k <= 5; ++k) HostState::tunnelPumpTick(*rig.h->feeds, rig.fake.now() + 0.016 * k);
    EXPECT_GT(rig.tunnel(2).outs, drained);
    EXPECT_EQ(rig.tunnel(2).hostCum, rig.tunnel(2).tun.sentCum() + rig.tunnel(2).offset);
    EXPECT_FALSE(rig.h->seratoOut->emitState(2).sentAny);
    EXPECT_EQ(rig.midi.sentCount(), 0u);
}

template <typename Pred>
bool waitUntil(Pred pred) {
    const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    while (!pred()) {
        if (std::chrono::steady_clock::now() > until) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return true;
}

// The started pump sleeps while no stream is live, the first tick batch or earbud sample after that spell
// wakes it at once, and it sleeps again once the stream went quiet for half a second.
TEST(TunnelPump, SleepsBetweenStreamsAndWakesForTheFirstBatchOrEarbudSample) {
    for (const bool ticksFlow : {true, false}) {
        SCOPED_TRACE(ticksFlow ? "tick batch" : "earbud sample");
        FeedRig rig;
        PumpWake& wake = rig.h->feeds->pumpWake;
        ASSERT_TRUE(waitUntil([&] { return wake.parked(); }));
        if (ticksFlow) rig.tun(1, 1, ticks(0, 4));
        else rig.bud(1, 50.0, 0.0);
        ASSERT_TRUE(waitUntil([&] { return !wake.parked(); }));
        if (ticksFlow) {
            // Awake, it guesses between batches again.
            const auto drained = rig.tunnel(1).outs;
            rig.fake.advance(0.02);
            EXPECT_TRUE(waitUntil([&] { return rig.tunnel(1).outs > drained; }));
        }
        rig.fake.advance(0.6);
        EXPECT_TRUE(waitUntil([&] { return wake.parked(); }));
    }
}

// --- The bridge ---

std::vector<std::string> loadsTo(link::testing::RecordingSink& sink, int deck) {
    std::vector<std::string> out;
    for (const auto& s : sink.take()) {
        if (s.msg.address == "/orv/load" && s.msg.args.size() == 2 && s.msg.args[0].i == deck) out.push_back(s.msg.args[1].s);
    }
    return out;
}

TEST(SeratoBridge, EnteringAndLeavingSetEveryPartInOrderAndRepeat) {
    FeedRig rig;
    auto& h = *rig.h;
    for (int round = 0; round < 2; ++round) {
        SCOPED_TRACE(round);
        rig.bridge(1, true);
        if (round == 1) rig.onMain([&] { h.enterSeratoBridge(1); });  // re-entry repeats every step
        EXPECT_TRUE(h.isSeratoDeck(1));
        EXPECT_EQ(h.deck(1).path, "serato-midi://deck");
        EXPECT_EQ(h.deck(1).name, "Serato");
        EXPECT_TRUE(h.seratoOut->isActive(1));
        EXPECT_EQ(h.seratoLastDummySlot, 1);
        EXPECT_EQ(rig.settings.stringValue("deck.mode.slot1"), "serato");
        EXPECT_EQ(h.statusLine(), "Deck 1 \u2192 Serato (serato bridge)");
        EXPECT_EQ(loadsTo(rig.sink, 1), std::vector<std::string>(round == 1 ? 2 : 1, ""));

        rig.bridge(1, false);
        EXPECT_FALSE(h.isSeratoDeck(1));
        EXPECT_EQ(h.deck(1).path, "");
        EXPECT_FALSE(h.seratoOut->isActive(1));
        EXPECT_FALSE(h.hostMotor.isOn(1));
        EXPECT_EQ(rig.settings.stringValue("deck.mode.slot1"), "plindo");
        EXPECT_EQ(h.statusLine(), "Deck 1: Bruecke verlassen \u2014 Plindo");
        EXPECT_EQ(loadsTo(rig.sink, 1), std::vector<std::string>{""});
    }
    // A local deck whose emitter was switched on elsewhere only loses the emitter.
    rig.onMain([&] {
        h.seratoOut->setActive(2, true);
        h.seratoShippedPath[1] = "/x.mp3";
        h.leaveSeratoBridge(2);
    });
    EXPECT_FALSE(h.seratoOut->isActive(2));
    EXPECT_EQ(h.seratoShippedPath[1], "");
    EXPECT_EQ(rig.settings.stringValue("deck.mode.slot2"), std::nullopt);
    rig.onMain([&] { h.leaveSeratoBridge(3); });  // no such deck: nothing
}

TEST(SeratoBridge, TheLastTrackComesBackOnEntryAndTheDeckAtRestart) {
    FeedRig rig;  // a fresh start reads what the last run stored
    rig.settings.setValue("serato.lastPath.slot1", "/music/Night Drive.mp3");
    rig.settings.setValue("deck.mode.slot1", "serato");
    rig.destroy();
    rig.sink.take();
    rig.started();
    rig.h = rig.host.get();
    auto& h = *rig.h;
    EXPECT_TRUE(h.isSeratoDeck(1));
    EXPECT_EQ(h.deck(1).name, "Night Drive");
    EXPECT_EQ(h.seratoShippedPath[0], "/music/Night Drive.mp3");
    EXPECT_EQ(rig.settings.stringValue("serato.lastPath.slot1"), "/music/Night Drive.mp3");
    EXPECT_FALSE(h.isSeratoDeck(2));

    // The DJ application quits: a deck held by hand stays, the other leaves.
    rig.onMain([&] {
        h.setSeratoDeck(2, true);
        rig.settings.setValue("deck.mode.manual.slot2", true);
        h.detectSerato();
    });
    EXPECT_FALSE(h.isSeratoDeck(1));
    EXPECT_TRUE(h.isSeratoDeck(2));
}

TEST(SeratoBridge, TheControlEndpointLoadsAndBridgesDecks) {
    FeedRig rig;
    auto& h = *rig.h;
    const auto ctl = [&](std::map<std::string, std::string> p) {
        nlohmann::json out;
        rig.onMain([&] { out = h.onControl(p.at("cmd"), p, true); });
        return out;
    };
    EXPECT_EQ(ctl({{"cmd", "serato"}, {"deck", "1"}, {"on", "1"}})["serato"], true);
    EXPECT_EQ(ctl({{"cmd", "state"}}).dump().find("serato-midi://deck") != std::string::npos, true);
    EXPECT_EQ(ctl({{"cmd", "serato"}, {"deck", "1"}, {"on", "0"}})["serato"], false);
    const struct {
        std::map<std::string, std::string> params;
        const char* error;
    } bad[] = {
        {{{"cmd", "serato"}, {"deck", "3"}, {"on", "1"}}, "deck must be 1 or 2"},
        {{{"cmd", "serato"}, {"deck", "1"}, {"on", "yes"}}, "on must be 0 or 1"},
        {{{"cmd", "load"}, {"deck", "1"}}, "path missing"},
        {{{"cmd", "load"}, {"deck", "2 "}, {"path", "serato-midi://deck"}}, "deck must be 1 or 2"},
    };
    for (const auto& b : bad) EXPECT_EQ(ctl(b.params)["error"], b.error);
    EXPECT_EQ(ctl({{"cmd", "load"}, {"deck", "2"}, {"path", "serato-midi://deck"}})["path"], "serato-midi://deck");
    nlohmann::json remote;
    rig.onMain([&] { remote = h.onControl("serato", {{"cmd", "serato"}, {"deck", "1"}, {"on", "1"}}, false); });
    EXPECT_EQ(remote["error"], "local only");
}

// --- Gestures, blink, latency ---

TEST(PhoneGestures, PingsAnswerTheOutputLatencyOfLivePlayersOnly) {
    FeedRig rig;
    for (int deck : {0, 3}) EXPECT_EQ(rig.h->server->latencyProvider(deck), 0.0);
    rig.recv(1, "/orv/ping", {I(1), I(77)});
    const auto sent = rig.sink.take();
    ASSERT_EQ(sent.size(), 1u);
    EXPECT_EQ(sent[0].msg.address, "/orv/pong");
    EXPECT_EQ(sent[0].msg.args[1].f, rig.h->players[0]->out->outLatency.value());
    // Pings while main replaces the players meet either player, never a freed one.
    std::atomic<bool> stop{false};
    std::thread pings([&] {
        while (!stop.load()) rig.recv(1, "/orv/ping", {I(1), I(1)});
    });
    for (int i = 0; i < 20; ++i) rig.onMain([&] { rig.h->applyOutput(1); });
    stop = true;
    pings.join();

    // An instant double reaches the DJ application only for a deck it drives.
    rig.midi.clearSent();
    rig.recv(1, "/orv/idouble", {I(1)});
    rig.main.drain();
    EXPECT_EQ(rig.midi.sentCount(), 0u);
    rig.bridge(1, true);
    rig.midi.clearSent();
    rig.recv(1, "/orv/idouble", {I(1)});
    rig.main.drain();
    ASSERT_FALSE(rig.midi.sent().empty());
    EXPECT_EQ(rig.midi.sent()[0].bytes, (std::vector<uint8_t>{0x90, 24, 0x7F}));

    rig.recv(1, "/orv/blink", {I(1), I(3)});
    rig.recv(2, "/orv/blink", {I(2), I(5)});
    rig.main.drain();
    EXPECT_EQ(rig.h->blinkColor(), 5);
}

TEST(PhoneGestures, AHelloIsAnsweredWithTheDeckModeAndItsTrack) {
    FeedRig rig;
    rig.bridge(1, true);
    rig.onMain([&] { rig.h->applySeratoBridge(1, "/music/Song.flac", "Song.flac"); });
    rig.sink.take();
    rig.hello(rig.phone1, 1);
    rig.main.drain();
    bool mode = false, load = false;
    for (const auto& s : rig.sink.take()) {
        if (s.msg.address == "/orv/deckmode") mode = s.msg.args.size() == 2 && s.msg.args[1].s == "serato";
        if (s.msg.address == "/orv/load") load = s.msg.args.size() == 2 && s.msg.args[1].s == "/music/Song.flac";
    }
    EXPECT_TRUE(mode);
    EXPECT_TRUE(load);
    EXPECT_EQ(rig.h->statusLine(), "Deck 1: Phone (remote)");
}

}  // namespace
}  // namespace plindo::host
