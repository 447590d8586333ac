// Deck supervision: the 0.1 s tick's decisions, the anchor broadcast, the transport button and standalone
// play, the spinner hold, and the DJ application's feedback. Time moves only by hand and the timers fire only
// when a test calls the tick itself.
#include "host_rig.h"
#include "link/osc_bytes.h"
#include "serato/test_util.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <functional>
#include <numbers>
#include <thread>

using namespace plindo;
using namespace plindo::host;
using namespace plindo::host::testing;
using link::testing::D;
using link::testing::I;
using link::testing::S;

namespace {

constexpr double kOmega33 = -2 * std::numbers::pi / 1.8;

struct Supervised {
    platform::FakeClock clock{5000.0};
    // Every status line, in order (main only). Made before the rig, so that a line the host posts while it is
    // being taken down still finds it.
    std::vector<std::string> lines;
    HostRig rig;
    HostState* host = nullptr;

    explicit Supervised(bool start = true) {
        rig.clock = &clock;
        rig.main.useManualTimers();  // timers never fire: each test runs the tick itself
        host = &rig.make();
        host->onStatusLine = [this](const std::string& line) { lines.push_back(line); };
        if (!start) return;
        rig.onMain([&] { host->start(); });
        // The track server announces itself from its own queue, a moment after the start: a test that reads
        // the status line must not meet that line arriving late.
        if (host->fileServer->running()) awaitLine("Track server: :");
    }
    void awaitLine(const std::string& text) {
        for (int k = 0; k < 2000 && linesWith(text) == 0; ++k) std::this_thread::sleep_for(std::chrono::milliseconds(5));
        ASSERT_GT(linesWith(text), 0u) << text;
    }
    // Status lines so far that contain `text`.
    size_t linesWith(const std::string& text) {
        size_t n = 0;
        rig.onMain([&] {
            for (const auto& l : lines) n += l.find(text) != std::string::npos ? 1 : 0;
        });
        return n;
    }
    HostState& h() { return *host; }

    void recv(int phone, std::string_view address, std::vector<link::OSCValue> args) {
        const auto bytes = link::OSCMessage::encode(address, args);
        h().server->handleDatagram(bytes.data(), bytes.size(), link::testing::phone(phone), clock.now());
        rig.main.drain();
    }
    // Phone n binds to the deck (and counts as heard now).
    void hello(int phone, int deck, const std::string& mode = "remote") {
        recv(phone, "/orv/hello", {I(deck), S("Phone " + std::to_string(phone)), I(0), S(mode), I(1), S("1215"), S("")});
    }
    void tick(int n = 1) {
        rig.onMain([&] {
            for (int k = 0; k < n; ++k) {
                h().uiTick();
                h().broadcastOtherAnchors();
            }
        });
    }
    std::vector<link::OSCMessage> sent(std::string_view address) {
        std::vector<link::OSCMessage> out;
        for (auto& s : rig.sink.take()) {
            if (s.msg.address == address) out.push_back(std::move(s.msg));
        }
        return out;
    }
    bool synthOn(int deck, double* omega = nullptr) {
        auto& core = h().feeds->rawFollow[deck - 1]->core;
        std::lock_guard g(core.lock);
        if (omega) *omega = core.synthOmega;
        return core.synthSpinOn;
    }
    void imu(int deck, bool playing, double rate, double angle = 0.5) {
        h().feeds->imuCell[deck - 1].update([&](ImuState& s) {
            s.platterPlay = playing;
            s.rate = rate;
            s.angle = angle;
        });
    }
    std::string status() {
        std::string s;
        rig.onMain([&] { s = h().statusLine(); });
        return s;
    }
};

double num(const link::OSCMessage& m, size_t i) { return m.args.at(i).doubleValue().value_or(NAN); }
std::string text(const link::OSCMessage& m, size_t i) { return m.args.at(i).stringValue().value_or("?"); }

}  // namespace

TEST(Supervision, RemoteFactsAndWireDiagnosticsRefreshBeforeThePlayersExist) {
    Supervised s(false);
    s.hello(1, 1, "standalone");
    s.h().feeds->wireDiag[1].cell.write({.pos = 3.5, .rate = 0.9, .ts = 7, .frameN = 4});
    s.tick();
    const auto d1 = s.h().deck(1);
    EXPECT_TRUE(d1.remoteFresh);
    EXPECT_TRUE(d1.standalone);
    EXPECT_EQ(d1.remoteName, "Phone 1");
    const auto d2 = s.h().deck(2);
    EXPECT_FALSE(d2.remoteFresh);
    EXPECT_FALSE(d2.standalone);
    EXPECT_EQ(d2.via, "?");
    EXPECT_EQ(d2.wavOk, -1);
    EXPECT_EQ(d2.wirePos, 3.5);
    EXPECT_EQ(d2.frameN, 4);
    // A phone heard 0.7 s ago is no longer fresh.
    s.clock.advance(0.7);
    s.tick();
    EXPECT_FALSE(s.h().deck(1).remoteFresh);
}

// One row per transition of a deck that the host follows itself.
TEST(Supervision, TransitionTableOfAHostDeck) {
    struct Row {
        const char* name;
        std::function<void(Supervised&)> setup;
        std::function<void(Supervised&)> check;
    };
    const std::vector<Row> rows{
        {"standalone ends when a phone comes",
         [](Supervised& s) {
             s.rig.onMain([&] { s.h().transportButton(2); });
             ASSERT_TRUE(s.h().hostStandalone[1]);
             s.hello(2, 2);
         },
         [](Supervised& s) {
             EXPECT_FALSE(s.h().hostStandalone[1]);
             EXPECT_FALSE(s.synthOn(2));
             EXPECT_EQ(s.status(), "Deck 2: standalone off");
         }},
        {"standalone ends when the earbuds come",
         [](Supervised& s) {
             s.rig.onMain([&] { s.h().transportButton(1); });
             s.h().feeds->budWall[0].setValue(s.clock.now() - 0.5);
         },
         [](Supervised& s) {
             EXPECT_FALSE(s.h().hostStandalone[0]);
             EXPECT_FALSE(s.synthOn(1));
         }},
        {"a spinner leaving a playing platter starts the hold at its rate",
         [](Supervised& s) {
             s.hello(1, 1);
             s.tick();
             s.imu(1, true, 1.25);
             s.clock.advance(0.7);
         },
         [](Supervised& s) {
             EXPECT_NE(s.h().leaveTimer[0], nullptr);
             double omega = 0;
             EXPECT_TRUE(s.synthOn(1, &omega));
             EXPECT_NEAR(omega, 1.25 * kOmega33, 1e-12);
             EXPECT_EQ(s.status(), "Deck 1: spinner gone \u2014 holding 1.25x");
             EXPECT_EQ(s.h().players[0]->mute.value(), 0.0);  // the glide is heard
             nlohmann::json state;
             s.rig.onMain([&] { state = s.h().onControl("state", {}, true); });
             EXPECT_EQ(state["decks"][0]["holding"], true);
             // Ending the host cancels the hold's timer with the others: none may post to a main that goes.
             s.rig.onMain([&] { s.h().terminate(); });
             EXPECT_EQ(s.rig.main.pendingTimers(), 0u);
         }},
        {"the spinner coming back ends the hold",
         [](Supervised& s) {
             s.hello(1, 1);
             s.imu(1, true, 1.0);
             s.clock.advance(0.7);
             s.tick();
             ASSERT_NE(s.h().leaveTimer[0], nullptr);
             s.hello(1, 1);
         },
         [](Supervised& s) {
             EXPECT_EQ(s.h().leaveTimer[0], nullptr);
             EXPECT_FALSE(s.synthOn(1));
             EXPECT_EQ(s.status(), "Deck 1: spinner back \u2014 following it");
         }},
        {"a spinner leaving a stopped platter stops the synthesis that ran",
         [](Supervised& s) {
             s.imu(2, true, 0.04);  // slower than the hold's floor
             s.h().feeds->rawFollow[1]->setRawSynth(-1.0, false);
         },
         [](Supervised& s) {
             EXPECT_EQ(s.h().leaveTimer[1], nullptr);
             EXPECT_FALSE(s.synthOn(2));
             EXPECT_EQ(s.status(), "Deck 2: spinner gone, was stopped \u2014 stays stopped");
         }},
        {"a stopped platter without synthesis says nothing",
         [](Supervised& s) { s.rig.onMain([&] { s.h().writeStatusLine("before"); }); },
         [](Supervised& s) { EXPECT_EQ(s.status(), "before"); }},
        {"standalone ends when the deck is bridged",
         [](Supervised& s) {
             s.rig.onMain([&] { s.h().transportButton(2); });
             ASSERT_TRUE(s.h().hostStandalone[1]);
             s.rig.onMain([&] { s.h().setSeratoDeck(2, true); });
         },
         [](Supervised& s) {
             EXPECT_FALSE(s.h().hostStandalone[1]);
             EXPECT_FALSE(s.synthOn(2));
             EXPECT_EQ(s.h().players[1]->mute.value(), 1.0);  // the DJ application plays it
         }},
        {"a spinner leaving a platter turning backwards holds it at its rate",
         [](Supervised& s) {
             s.hello(1, 1);
             s.tick();
             s.imu(1, true, -1.25);
             s.clock.advance(0.7);
         },
         [](Supervised& s) {
             EXPECT_NE(s.h().leaveTimer[0], nullptr);
             double omega = 0;
             EXPECT_TRUE(s.synthOn(1, &omega));
             EXPECT_NEAR(omega, -1.25 * kOmega33, 1e-12);
             EXPECT_EQ(s.status(), "Deck 1: spinner gone \u2014 holding -1.25x");
         }},
        {"a hold ends when the deck is bridged and withdrawn",
         [](Supervised& s) {
             s.hello(1, 1);
             s.imu(1, true, 1.0);
             s.clock.advance(0.7);
             s.tick();
             ASSERT_NE(s.h().leaveTimer[0], nullptr);
             s.rig.onMain([&] { s.h().setSeratoDeck(1, true); });
         },
         [](Supervised& s) {
             EXPECT_TRUE(s.h().withdrawn[0]);
             EXPECT_EQ(s.h().leaveTimer[0], nullptr);
             EXPECT_EQ(s.linesWith("Deck 1: Remote weg"), 1u);
         }},
        {"a phone that asked the host to spin a bridged deck is no live feed",
         [](Supervised& s) {
             s.rig.onMain([&] { s.h().setSeratoDeck(1, true); });
             s.hello(1, 1);
             s.h().feeds->phoneSynthCell[0].setValue(1.0);
         },
         [](Supervised& s) {
             EXPECT_TRUE(s.h().withdrawn[0]);
             EXPECT_FALSE(s.rig.outSettings.engaged[0].load());
         }},
        {"...unless the earbuds are fresh",
         [](Supervised& s) {
             s.rig.onMain([&] { s.h().setSeratoDeck(1, true); });
             s.hello(1, 1);
             s.h().feeds->phoneSynthCell[0].setValue(1.0);
             s.h().feeds->budWall[0].setValue(s.clock.now() - 0.5);
         },
         [](Supervised& s) {
             EXPECT_FALSE(s.h().withdrawn[0]);
             EXPECT_TRUE(s.rig.outSettings.engaged[0].load());
             EXPECT_EQ(s.linesWith("Remote weg"), 0u);
         }},
        {"a stray emitter on a file deck is switched off",
         [](Supervised& s) {
             s.h().seratoOut->setActive(2, true);
             s.h().hostMotor.set(2, true);
             s.h().seratoShippedPath[1] = "/m/old.mp3";
         },
         [](Supervised& s) {
             EXPECT_FALSE(s.h().seratoOut->isActive(2));
             EXPECT_FALSE(s.h().hostMotor.isOn(2));
             EXPECT_EQ(s.h().seratoShippedPath[1], "");
             EXPECT_EQ(s.status(), "Deck 2: Serato emitter was still on with a real track \u2014 off");
         }},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        Supervised s;
        row.setup(s);
        s.tick();
        row.check(s);
    }
}

TEST(Supervision, MuteAndFeedAliveFollowWhoDrivesTheDeck) {
    Supervised s;
    auto& engaged = s.rig.outSettings.engaged;
    s.tick();
    EXPECT_EQ(s.h().players[0]->mute.value(), 1.0);  // nobody drives it
    EXPECT_FALSE(engaged[0].load());

    s.hello(1, 1);
    s.tick();
    EXPECT_EQ(s.h().players[0]->mute.value(), 0.0);
    EXPECT_TRUE(engaged[0].load());

    // A phone that asked the host to spin the platter does not count as a live feed...
    s.h().feeds->phoneSynthCell[0].setValue(1.0);
    s.tick();
    EXPECT_FALSE(engaged[0].load());
    // ...unless the earbuds are fresh.
    s.h().feeds->budWall[0].setValue(s.clock.now());
    s.tick();
    EXPECT_TRUE(engaged[0].load());

    // The host playing alone is heard.
    s.rig.onMain([&] { s.h().transportButton(2); });
    s.tick();
    EXPECT_EQ(s.h().players[1]->mute.value(), 0.0);
    EXPECT_EQ(s.h().players[1]->stillGate.value(), 0.005);
}

TEST(Supervision, DeckModeGoesToABoundPhoneOnEveryTenthTick) {
    Supervised s;
    s.hello(1, 1);
    s.rig.sink.take();
    s.tick(9);
    EXPECT_TRUE(s.sent("/orv/deckmode").empty());
    s.tick();
    const auto modes = s.sent("/orv/deckmode");
    ASSERT_EQ(modes.size(), 1u);  // deck 2 has no phone
    EXPECT_EQ(num(modes[0], 0), 1);
    EXPECT_EQ(text(modes[0], 1), "");
    s.tick(10);
    EXPECT_EQ(s.sent("/orv/deckmode").size(), 1u);
}

TEST(Supervision, OtherDecksAnchorGoesToEachPhoneEveryThirdTick) {
    Supervised s;
    s.hello(1, 1);
    const double now = s.clock.now();
    s.h().players[1]->anchor.cell.write({10.0, now - 1.0, 1.0, true});
    s.h().players[0]->anchor.cell.write({5.0, now, 1.0, false});  // not valid: deck 2's phone gets nothing
    s.rig.sink.take();
    s.tick(2);
    EXPECT_TRUE(s.sent("/orv/other").empty());
    s.tick();
    auto other = s.sent("/orv/other");
    ASSERT_EQ(other.size(), 1u);
    EXPECT_EQ(num(other[0], 0), 2);
    EXPECT_EQ(text(other[0], 1), "");
    EXPECT_NEAR(num(other[0], 2), 11.0, 1e-9);
    EXPECT_EQ(num(other[0], 3), 1.0);

    // An extrapolation below zero or not a number sends 0.
    for (const double rate : {-1.0, std::numeric_limits<double>::quiet_NaN()}) {
        s.h().players[1]->anchor.cell.write({1.0, s.clock.now() - 5.0, rate, true});
        s.tick(3);
        other = s.sent("/orv/other");
        ASSERT_EQ(other.size(), 1u);
        EXPECT_EQ(num(other[0], 2), 0.0);
    }
}

TEST(Transport, ControlPlayTogglesStandaloneOnAHostDeck) {
    Supervised s;
    auto ctl = [&](std::map<std::string, std::string> p, bool loopback = true) {
        nlohmann::json j;
        s.rig.onMain([&] { j = s.h().onControl("play", p, loopback); });
        return j;
    };
    EXPECT_EQ(ctl({{"deck", "2"}}, false)["error"], "local only");
    EXPECT_EQ(ctl({{"deck", "3"}})["error"], "deck out of range");
    EXPECT_FALSE(s.h().hostStandalone[1]);

    const auto on = ctl({{"deck", "2"}});
    EXPECT_EQ(on["standalone"], true);
    EXPECT_EQ(s.status(), "Deck 2: standalone 33\u2153");
    double omega = 0;
    EXPECT_TRUE(s.synthOn(2, &omega));
    EXPECT_NEAR(omega, kOmega33, 1e-12);
    nlohmann::json state;
    s.rig.onMain([&] { state = s.h().onControl("state", {}, true); });
    EXPECT_EQ(state["decks"][1]["standalone"], true);
    EXPECT_EQ(state["decks"][0]["standalone"], false);

    const auto off = ctl({{"deck", "2"}});
    EXPECT_EQ(off["standalone"], false);
    EXPECT_EQ(s.status(), "Deck 2: standalone off");
    EXPECT_FALSE(s.synthOn(2));
}

TEST(Transport, ButtonAsksAFreshPhoneOrDefersToTheEarbuds) {
    Supervised s;
    s.hello(1, 1);
    s.rig.sink.take();
    s.rig.onMain([&] { s.h().transportButton(1); });
    auto play = s.sent("/orv/play");
    ASSERT_EQ(play.size(), 1u);
    EXPECT_EQ(num(play[0], 0), 1);
    EXPECT_EQ(num(play[0], 1), 1);  // the deck stood: play
    EXPECT_FALSE(s.h().hostStandalone[0]);

    s.h().feeds->budWall[1].setValue(s.clock.now() - 0.2);
    s.rig.onMain([&] { s.h().transportButton(2); });
    EXPECT_EQ(s.status(), "Deck 2: AirPod drives \u2014 the platter is the transport");
    EXPECT_FALSE(s.h().hostStandalone[1]);
}

// The DJ application plays a bridged deck itself: play sends its transport, never a host drive.
TEST(Transport, ABridgedDecksPlaySendsTheTransportAndNoDrive) {
    Supervised s;
    s.rig.onMain([&] { s.h().setSeratoDeck(1, true); });
    s.h().feeds->imuCell[0].update([](ImuState& st) { st.angle = 2.0; });
    s.rig.midi.clearSent();
    const auto play = [&] {
        nlohmann::json j;
        s.rig.onMain([&] { j = s.h().onControl("play", {{"deck", "1"}}, true); });
        return j;
    };
    const auto on = play();
    EXPECT_EQ(on["motor"], true);
    EXPECT_EQ(on["standalone"], false);
    EXPECT_EQ(s.status(), "Deck 1: Serato play");
    for (int k = 0; k < 10; ++k) {  // a second of ticks with the pump running
        s.clock.advance(0.1);
        s.tick();
    }
    EXPECT_FALSE(s.h().hostStandalone[0]);
    EXPECT_FALSE(s.h().seratoOut->emitState(1).sentAny) << "no platter motion went out";
    std::vector<std::string> packets;
    for (const auto& p : s.rig.midi.sent()) {
        std::string hex;
        for (const auto b : p.bytes) hex += (hex.empty() ? "" : " ") + std::to_string(b);
        packets.push_back(hex);
    }
    EXPECT_EQ(packets, std::vector<std::string>{"144 20 127"}) << "the play note alone";

    const auto off = play();
    EXPECT_EQ(off["motor"], false);
    EXPECT_EQ(s.rig.midi.sent().back().bytes, (std::vector<uint8_t>{0x90, 0x14, 0x00}));
}

// A bridged deck whose phone goes and comes back: one withdraw, with one rest message, per loss.
TEST(Supervision, OneWithdrawAndOneRestPerLostFeed) {
    Supervised s;
    s.rig.onMain([&] { s.h().setSeratoDeck(1, true); });
    s.tick();  // no phone yet: withdrawn from the start
    ASSERT_TRUE(s.h().withdrawn[0]);
    const auto rests = [&] {
        size_t n = 0;
        for (const auto& p : s.rig.midi.sent()) n += p.bytes.size() == 3 && p.bytes[0] == 0xE0 ? 1 : 0;
        return n;
    };
    for (int loss = 1; loss <= 2; ++loss) {
        SCOPED_TRACE(loss);
        // The phone drives the platter for a while...
        for (int k = 0; k < 5; ++k) {
            s.hello(1, 1);
            s.recv(1, "/orv/imu", {I(1), D(k * 0.1), D(0), D(0), D(0), D(k * 0.1), D(kOmega33), D(-0.3 * k), D(0),
                                   D(0), D(0), D(0), D(0), D(0), D(1)});
            s.tick();
            EXPECT_FALSE(s.h().withdrawn[0]);
            s.clock.advance(0.1);
        }
        s.rig.midi.clearSent();
        // ...and goes: 0.6 s on it is withdrawn, once however long it stays away.
        for (int k = 0; k < 30; ++k) {
            s.clock.advance(0.1);
            s.tick();
        }
        EXPECT_TRUE(s.h().withdrawn[0]);
        EXPECT_EQ(s.linesWith("Deck 1: Remote weg \u2014 letzter valider Zustand: spielt"), static_cast<size_t>(loss));
        EXPECT_EQ(rests(), 1u);
        EXPECT_TRUE(s.h().hostMotor.isOn(1)) << "the DJ application's transport stays";
        nlohmann::json state;
        s.rig.onMain([&] { state = s.h().onControl("state", {}, true); });
        EXPECT_EQ(state["decks"][0]["withdrawn"], true);
    }
}

TEST(Supervision, GroupMuteKeepsBothPlayersMutedWhateverTheFeedsDo) {
    Supervised s;
    s.hello(1, 1);
    s.rig.onMain([&] { s.h().transportButton(2); });
    s.tick();
    ASSERT_EQ(s.h().players[0]->mute.value(), 0.0);
    ASSERT_EQ(s.h().players[1]->mute.value(), 0.0);
    s.rig.onMain([&] { s.h().setGroupMuted(true); });
    for (int k = 0; k < 3; ++k) {
        s.hello(1, 1);
        s.h().feeds->budWall[1].setValue(s.clock.now());
        s.tick();
        EXPECT_EQ(s.h().players[0]->mute.value(), 1.0);
        EXPECT_EQ(s.h().players[1]->mute.value(), 1.0);
        s.clock.advance(0.1);
    }
    s.rig.onMain([&] { s.h().setGroupMuted(false); });
    s.hello(1, 1);
    s.tick();
    EXPECT_EQ(s.h().players[0]->mute.value(), 0.0);
}

// Leaving the bridge, the host's own following starts again where the display stands (0 after the reset), not
// where the follower and the integrator stood while the DJ application had the deck.
TEST(Supervision, LeavingTheBridgeReseedsTheFollowerAndTheIntegrator) {
    Supervised s;
    s.rig.onMain([&] { s.h().setSeratoDeck(1, true); });
    s.tick();
    auto& rf = *s.h().feeds->rawFollow[0];
    const auto stale = [&] {
        {
            std::lock_guard g(rf.lock);
            rf.posSec = 77;
        }
        s.h().feeds->integrators[0].cell.update([](motion::AngleIntegrator::State& st) {
            st.posSec = 77;
            st.primed = true;
        });
    };
    stale();
    s.tick();  // still bridged: untouched
    EXPECT_EQ(rf.posSec, 77);
    EXPECT_TRUE(s.h().feeds->integrators[0].cell.read().primed);

    s.rig.onMain([&] { s.h().setSeratoDeck(1, false); });
    stale();
    s.tick();
    EXPECT_EQ(rf.posSec, 0);
    const auto st = s.h().feeds->integrators[0].cell.read();
    EXPECT_EQ(st.posSec, 0);
    EXPECT_FALSE(st.primed);
    stale();
    s.tick();  // once, on the tick it left
    EXPECT_EQ(rf.posSec, 77);
}

// A phone stays fresh on a deck whose track never became playable: it hears once, 12 s on; a new episode
// after the phone went away hears again.
TEST(StuckWatch, TellsThePhoneOnceTwelveSecondsOnAndAgainInANewEpisode) {
    Supervised s;
    s.rig.onMain([&] { s.h().loadDeck(1, "/nowhere/Gone Track.mp3"); });
    ASSERT_EQ(s.h().deck(1).path, "/nowhere/Gone Track.mp3");
    ASSERT_EQ(s.h().players[0]->table.read(), nullptr);
    const auto episode = [&] {
        s.rig.sink.take();
        std::vector<double> told;  // seconds after the first stuck tick
        const double first = s.clock.now();
        for (int k = 0; k <= 200; ++k) {  // 20 s
            s.hello(1, 1);
            s.tick();
            for (const auto& m : s.sent("/orv/stuck")) {
                told.push_back(s.clock.now() - first);
                EXPECT_EQ(num(m, 0), 1);
                EXPECT_EQ(text(m, 1), "host 1215 has no audio for /nowhere/Gone Track.mp3 \u2014 fetch or decode failed");
            }
            s.clock.advance(0.1);
        }
        return told;
    };
    auto told = episode();
    ASSERT_EQ(told.size(), 1u);
    EXPECT_NEAR(told[0], 12.0, 0.1 + 1e-9);
    EXPECT_EQ(s.linesWith("Plindo: deck 1 stuck at 0:00 \u2014 told the remote"), 1u);
    nlohmann::json state;
    s.rig.onMain([&] { state = s.h().onControl("state", {}, true); });
    EXPECT_EQ(state["decks"][0]["stuck"], true);
    EXPECT_EQ(state["decks"][1]["stuck"], false);

    // The phone goes away: the watch resets, and the phone is told again in the next episode.
    s.clock.advance(0.7);
    s.tick();
    EXPECT_EQ(s.h().stuckSince[0], 0.0);
    EXPECT_FALSE(s.h().stuckTold[0]);
    told = episode();
    ASSERT_EQ(told.size(), 1u);
    EXPECT_NEAR(told[0], 12.0, 0.1 + 1e-9);

    // Each other reset: an empty path, a bridged deck.
    s.rig.onMain([&] { s.h().setSeratoDeck(1, true); });
    s.hello(1, 1);
    s.tick();
    EXPECT_EQ(s.h().stuckSince[0], 0.0);
    s.rig.onMain([&] { s.h().setSeratoDeck(1, false); });  // leaves an empty path
    s.hello(1, 1);
    s.tick();
    EXPECT_EQ(s.h().deck(1).path, "");
    EXPECT_EQ(s.h().stuckSince[0], 0.0);
}

TEST(Supervision, WithdrawTellsTheLastValidStateOnce) {
    Supervised s;
    s.imu(1, true, 1.0);
    s.rig.onMain([&] { s.h().withdrawDeck(1); });
    EXPECT_EQ(s.status(), "Deck 1: Remote weg \u2014 letzter valider Zustand: spielt 1.000x, dann Ruhe");
    s.imu(2, false, 0.0);
    s.rig.onMain([&] { s.h().withdrawDeck(2); });
    EXPECT_EQ(s.status(), "Deck 2: Remote weg \u2014 letzter valider Zustand: steht, dann Ruhe");
}

// --- The DJ application's feedback ---

TEST(SeratoFeedback, NotesAndControllersThroughTheMidiInput) {
    Supervised s;
    s.hello(1, 1);
    s.h().seratoOut->setActive(1, true);
    s.rig.sink.take();
    const auto inject = [&](std::vector<uint8_t> bytes) {
        ASSERT_TRUE(s.rig.midi.inject(serato::SeratoMIDIIn::kDestinationPort, bytes));
        s.rig.main.drain();
    };
    inject({0x90, 0x14, 0x7F});
    EXPECT_TRUE(s.h().hostMotor.isOn(1));
    auto play = s.sent("/orv/play");
    ASSERT_EQ(play.size(), 1u);
    EXPECT_EQ(num(play[0], 1), 1);

    inject({0xB0, 0x28, 0x7F, 0xB0, 0x48, 0x7F});
    inject({0x90, 0x28, 0x7F});  // slot 0 lit
    const auto rows = s.h().seratoCueRows(1);
    ASSERT_TRUE(rows);
    ASSERT_EQ(rows->size(), 1u);
    EXPECT_EQ((*rows)[0], (SeratoCueRow{0, 1200.0, "#CC0000"}));
    EXPECT_FALSE(s.h().seratoCueRows(2));  // no emitter there

    // A new song clears the slots and the time.
    inject({0xB0, 0x14, 0x01});
    EXPECT_FALSE(s.h().seratoCueRows(1));
}

TEST(SeratoFeedback, TimeSysexKeepsThePhonesPlayheadUpTenTimesASecond) {
    Supervised s(false);  // the keep-up runs with or without players (and no repair turns the emitter off)
    s.rig.onMain([&] {
        s.h().seratoIn->start();
        s.h().seratoOut->ensurePorts();
    });
    s.hello(1, 1);
    s.h().seratoOut->setActive(1, true);
    // Deck 1 at 61.5 s.
    const std::vector<uint8_t> time = {0xF0, 0x00, 0x20, 0x7F, 0x01, 0x04, 0x08, 0x00,
                                       0x00, 0x00, 0xF,  0x0,  0x3,  0xC,  0xF7};
    ASSERT_TRUE(s.rig.midi.inject(serato::SeratoMIDIIn::kDestinationPort, time));
    s.rig.main.drain();
    EXPECT_EQ(s.h().seratoLastSec[0], 61.5);
    s.rig.sink.take();
    int pushes = 0;
    for (int k = 0; k < 20; ++k) {  // 1 s in 50 ms steps
        s.tick();
        for (const auto& m : s.sent("/orv/playhead")) {
            EXPECT_EQ(num(m, 1), 61.5);
            ++pushes;
        }
        s.clock.advance(0.05 + 1e-9);  // clear of rounding at the 0.1 s edge
    }
    EXPECT_EQ(pushes, 10);
    EXPECT_EQ(s.h().feeds->imuCell[0].read().hpSent, 10);
}

TEST(SeratoFeedback, ScreenTapTimesAreCheckedAndPushedOncePlausible) {
    Supervised s;
    s.hello(1, 1);
    s.h().seratoOut->setActive(1, true);
    s.rig.sink.take();
    using serato::testing::screenFrame;
    // Time frames: 20 s, velocity 2000 (see the tap's own tests), for deck index 5 and for deck index 0.
    const std::vector<uint8_t> rest{0x10, 0x27, 0x00, 0x00, 0x40, 0x9C, 0x00, 0x00, 0x64, 0x04, 0xD0, 0x07};
    s.h().seratoTap->ingest(screenFrame(0x05, 5, rest));
    s.rig.main.drain();
    EXPECT_TRUE(std::isnan(s.h().seratoLastSec[0]));
    EXPECT_TRUE(std::isnan(s.h().seratoLastSec[1]));

    // Times advancing with the clock: the phone hears from the third in a row on.
    for (int k = 0; k < 4; ++k) {
        s.rig.onMain([&] { s.h().seratoTapTime(0, 20.0 + 0.2 * k, 1.0); });
        s.clock.advance(0.2);
    }
    const auto heads = s.sent("/orv/playhead");
    ASSERT_EQ(heads.size(), 1u);
    EXPECT_NEAR(num(heads[0], 1), 20.6, 1e-9);
    EXPECT_EQ(s.h().seratoTapPlausible[0], 3);
    EXPECT_NEAR(s.h().seratoTapRate[0], 1.0, 1e-9);
    // A jump starts the count again.
    s.rig.onMain([&] { s.h().seratoTapTime(0, 90.0, 1.0); });
    EXPECT_EQ(s.h().seratoTapPlausible[0], 0);
}

TEST(SeratoFeedback, OutOfRangeDecksSlotsAndNonFiniteValuesReachNothing) {
    Supervised s;
    s.hello(1, 1);
    s.h().seratoOut->setActive(1, true);
    s.rig.sink.take();
    const double inf = std::numeric_limits<double>::infinity();
    const double nan = std::numeric_limits<double>::quiet_NaN();
    s.rig.onMain([&] {
        auto& h = s.h();
        h.seratoTime(1, nan);
        h.seratoTime(3, 4.0);
        h.seratoTapTime(-1, 4.0, 1.0);
        h.seratoTapTime(2, 4.0, 1.0);
        h.seratoTapTime(0, inf, 1.0);
        h.seratoPitch(1, nan);
        h.seratoPitch(0, 0.1);
        h.seratoCueSetReported(1, 8, true);
        h.seratoCueSetReported(1, -1, true);
        h.seratoCueSetReported(5, 0, true);
        h.seratoCueTimeReported(1, 0, inf);
        h.seratoCueColorReported(2, 9, "#FFFFFF");
        h.seratoTextReported(1, 200, "x");
        h.seratoProgressReported(1, nan);
        h.seratoStartStop(0, true);
        h.seratoSongChanged(7);
        serato::SeratoReturn::ScreenWave w;
        w.deck = 5;
        h.seratoScreenWave(w);
    });
    EXPECT_TRUE(std::isnan(s.h().seratoLastSec[0]));
    EXPECT_TRUE(std::isnan(s.h().seratoLastSec[1]));
    EXPECT_FALSE(s.h().seratoCueRows(1));
    EXPECT_EQ(s.h().seratoCueSec[0][0], 0.0);
    EXPECT_EQ(s.h().seratoProgress[0], 0.0);
    EXPECT_FALSE(s.h().hostMotor.isOn(1));
    EXPECT_TRUE(s.rig.sink.take().empty());

    // In range they do arrive.
    s.rig.onMain([&] {
        s.h().seratoPitch(1, 0.02);
        serato::SeratoReturn::ScreenWave w;
        w.deck = 0;
        w.offsetMs = 1500;
        s.h().seratoScreenWave(w);
    });
    const auto out = s.rig.sink.take();
    ASSERT_EQ(out.size(), 2u);
    EXPECT_EQ(out[0].msg.address, "/orv/pitch");
    EXPECT_EQ(num(out[0].msg, 2), 8.0);
    EXPECT_EQ(out[1].msg.address, "/orv/swave");
    EXPECT_EQ(num(out[1].msg, 1), 1500);
}

// The hold keeps a platter that was turning backwards turning backwards; only its speed decides.
TEST(Supervision, ASpinnerLeavingABackwardsPlatterHoldsItsReverseRate) {
    Supervised s;
    s.hello(1, 1);
    s.tick();
    s.imu(1, true, -1.25);
    s.clock.advance(0.7);
    s.tick();
    EXPECT_NE(s.h().leaveTimer[0], nullptr);
    double omega = 0;
    EXPECT_TRUE(s.synthOn(1, &omega));
    EXPECT_NEAR(omega, -1.25 * kOmega33, 1e-12);
    EXPECT_EQ(s.status(), "Deck 1: spinner gone \u2014 holding -1.25x");
    EXPECT_EQ(s.h().players[0]->mute.value(), 0.0);
}

// --- A new track, a phone that left its platter turning, and tick batches ---

namespace {
double followerPos(Supervised& s, int deck) {
    auto& rf = *s.h().feeds->rawFollow[deck - 1];
    std::lock_guard g(rf.lock);
    return rf.posSec;
}
// One step of the hold's glide, `sec` of media time after the last.
void glide(Supervised& s, int deck, double sec) {
    s.clock.advance(sec);
    auto& rf = *s.h().feeds->rawFollow[deck - 1];
    rf.onSynthStep(rf);
}
}  // namespace

// A load starts the new track at 0:00: a hold goes on from there (not from 2:06 of the old track), a standalone
// run starts there (not at 1:16), and the screen says so. Loading the same track again moves nothing.
TEST(Supervision, ALoadStartsTheNewTrackAtItsStartForTheHoldAndForStandalone) {
    Supervised s;
    s.hello(1, 1);
    s.imu(1, true, 1.0);
    s.h().players[0]->posCell.setValue(126.0);
    s.h().players[1]->posCell.setValue(76.0);
    s.h().feeds->integrators[0].cell.update([](motion::AngleIntegrator::State& st) {
        st.posSec = 126.0;
        st.primed = true;
    });
    s.tick();  // the screen shows it
    s.clock.advance(0.7);
    s.tick();
    ASSERT_EQ(followerPos(s, 1), 126.0) << "the hold glides from 2:06";

    s.rig.onMain([&] {
        s.h().loadDeck(1, "/m/Next Track.mp3");
        s.h().loadDeck(2, "/m/Other Track.mp3");
    });
    const auto integ = s.h().feeds->integrators[0].cell.read();
    EXPECT_EQ(integ.posSec, 0.0);
    EXPECT_FALSE(integ.primed);
    EXPECT_EQ(s.h().players[0]->seek.cell.read(), std::optional<double>(0.0)) << "the player starts it at 0";
    s.tick();
    EXPECT_EQ(s.h().deck(1).posSec, 0.0);
    EXPECT_EQ(s.h().deck(2).posSec, 0.0);

    // The hold glides on at 1.0x from the new track's start; play on the other deck starts it there.
    ASSERT_NE(s.h().leaveTimer[0], nullptr);
    glide(s, 1, 0.0);
    for (int k = 0; k < 5; ++k) glide(s, 1, 0.1);
    EXPECT_NEAR(s.h().players[0]->anchor.cell.read().pos, 0.5, 1e-6);
    s.rig.onMain([&] { s.h().transportButton(2); });
    EXPECT_EQ(followerPos(s, 2), 0.0);

    // The same track again, while it is still on its way, is no new load: the glide keeps its place.
    s.rig.onMain([&] {
        s.h().loadDeck(1, "/m/Third Track.mp3");
        glide(s, 1, 0.1);
        s.h().loadDeck(1, "/m/Third Track.mp3");
    });
    EXPECT_NEAR(followerPos(s, 1), 0.1, 1e-6);
}

// A phone leaves its platter turning at 1.0x and the deck holds. Play starts it alone, play again stops it, and
// it stays at rest: the gone phone's last frame does not start the hold again. A hold that reaches the end of
// the track rests there.
TEST(Transport, PlayTwiceStopsADeckAPhoneLeftTurningAndAHoldRestsAtTheTracksEnd) {
    Supervised s;
    auto stem = std::make_shared<motion::StemBuf>();
    stem->left.assign(48000, 0.1f);  // 1 s
    stem->right = stem->left;
    s.rig.onMain([&] { s.h().players[0]->install(stem, 1); });
    const auto phoneTurnsAndGoes = [&] {
        for (int k = 0; k < 5; ++k) {
            s.hello(1, 1);
            s.recv(1, "/orv/frame", {I(1), S(""), D(0), D(1.0), D(kOmega33 * 0.1 * k), D(0.1 * k)});
            s.tick();
            s.clock.advance(0.1);
        }
        s.clock.advance(0.6);
        s.tick();
        ASSERT_NE(s.h().leaveTimer[0], nullptr);
    };
    const auto staysAtRest = [&] {
        for (int k = 0; k < 10; ++k) {
            s.clock.advance(0.1);
            s.tick();
        }
        EXPECT_EQ(s.h().leaveTimer[0], nullptr);
        EXPECT_FALSE(s.synthOn(1));
        EXPECT_EQ(s.h().players[0]->mute.value(), 1.0);
    };
    phoneTurnsAndGoes();
    s.rig.onMain([&] { s.h().transportButton(1); });
    ASSERT_TRUE(s.h().hostStandalone[0]);
    s.tick();
    s.rig.onMain([&] { s.h().transportButton(1); });
    EXPECT_FALSE(s.h().hostStandalone[0]);
    staysAtRest();

    // Again; this time the hold glides from the track's start past its end, and rests there.
    phoneTurnsAndGoes();
    glide(s, 1, 0.0);
    {
        auto& rf = *s.h().feeds->rawFollow[0];
        std::lock_guard g(rf.lock);
        rf.posSec = 0;
    }
    for (int k = 1; k <= 9; ++k) {
        glide(s, 1, 0.1);
        s.tick();
        EXPECT_NE(s.h().leaveTimer[0], nullptr) << "0." << k << " s of a 1 s track";
    }
    glide(s, 1, 0.1);
    glide(s, 1, 0.1);
    s.tick();
    EXPECT_EQ(s.status(), "Deck 1: spinner hold reached the end of the track \u2014 stopped");
    staysAtRest();
    EXPECT_EQ(s.linesWith("spinner gone \u2014 holding 1.00x"), 2u);
}

// --- The hold as the deck plays it ---

namespace {
// The position after the first block that ends at `t` or later, in (time, position) pairs.
double positionAt(const std::vector<std::pair<double, double>>& played, double t) {
    const auto it = std::lower_bound(played.begin(), played.end(), std::make_pair(t, -1e300));
    return it == played.end() ? played.back().second : it->second;
}

// The glide's steps run where the test runs them, on the fake clock: the follower's own timer, which fires on
// real time, steps nothing, so a slow or loaded machine cannot add steps of its own between the test's.
void stepOnlyHere(RawFollow& rf) {
    rf.onSynthStep = [step = rf.onSynthStep, here = std::this_thread::get_id()](RawFollow& f) {
        if (std::this_thread::get_id() == here) step(f);
    };
}

// Deck 1 of a started host with a three-minute track, rendered here block by block on the fake clock, with the
// tick every 0.1 s and the glide's 10 ms steps while its synthesis runs.
struct RenderedDeck {
    static constexpr double kOutRate = 48000, kBlockSec = 128 / kOutRate;
    Supervised s;
    motion::FollowPlayer& player = *s.h().players[0];
    RawFollow& rf = *s.h().feeds->rawFollow[0];
    double start = s.clock.now(), nextTick, nextStep = 0;
    std::vector<std::pair<double, double>> played;  // (time, the player's position) after each block
    std::vector<float> left = std::vector<float>(128), right = left;

    RenderedDeck(double tickPhase, double latency) : nextTick(start + tickPhase) {
        player.out->stop();
        player.out->outLatency.setValue(latency);
        auto track = std::make_shared<motion::StemBuf>();
        track->left.assign(static_cast<size_t>(180 * kOutRate), 0.1f);
        track->right = track->left;
        player.install(track, 1);
        stepOnlyHere(rf);
    }
    // Runs for `seconds`: `beforeTick(now)` at each block, `afterTick(now)` after each tick.
    template <typename Before, typename After>
    void run(double seconds, Before&& beforeTick, After&& afterTick) {
        for (const double until = s.clock.now() + seconds; s.clock.now() < until; s.clock.advance(kBlockSec)) {
            const double now = s.clock.now();
            beforeTick(now);
            if (now >= nextTick) {
                s.rig.onMain([&] { s.h().uiTick(); });
                nextTick += 0.1;
                afterTick(now);
            }
            if (rf.synthTimerRunning() && now >= nextStep) {
                rf.onSynthStep(rf);
                nextStep += 0.01;
            }
            player.render(now, kOutRate, left.data(), right.data(), 128);
            played.emplace_back(now + kBlockSec, player.posCell.value());
        }
    }
    void run(double seconds) {
        run(seconds, [](double) {}, [](double) {});
    }
    double posAt(double t) const { return positionAt(played, t); }
};

// What deck 1 played while a phone streamed its platter at 1.0x through the frame road, fell silent, came back
// and fell silent again, 3 s each. The platter never stops: at time t it stands at 60 s + (t - start).
struct HoldRun {
    double start = 0;
    std::vector<std::pair<double, double>> played;
    std::vector<double> holdStarts, holdEnds;
    int framesBack = 0, framesTaken = 0;  // frames after a hold's end, and those the deck's anchor took
    double posAt(double t) const { return positionAt(played, t); }
};

HoldRun runHolds(double tickPhase, double latency) {
    RenderedDeck d(tickPhase, latency);
    auto& s = d.s;
    HoldRun r;
    r.start = d.start;
    s.hello(1, 1);
    s.recv(1, "/orv/seek", {I(1), D(60.0)});
    bool holding = false;
    for (int part = 0; part < 4; ++part) {
        double nextFrame = s.clock.now();
        const auto frames = [&](double now) {
            if (part % 2 != 0 || now < nextFrame) return;
            const double ts = 100 + (now - r.start);  // the phone's clock
            s.recv(1, "/orv/frame", {I(1), S(""), D(0), D(1.0), D(kOmega33 * ts), D(ts)});
            if (!holding && !r.holdEnds.empty()) {
                ++r.framesBack;
                r.framesTaken += d.player.anchor.cell.read().wall == now ? 1 : 0;
            }
            nextFrame += 0.01;
        };
        const auto watch = [&](double now) {
            const bool held = s.h().leaveTimer[0] != nullptr;
            if (held && !holding) {
                r.holdStarts.push_back(now);
                d.nextStep = now;  // the glide's timer fires at once
            }
            if (!held && holding) r.holdEnds.push_back(now);
            holding = held;
        };
        d.run(3.0, frames, watch);
    }
    r.played = std::move(d.played);
    return r;
}

// The tick just after a frame, between two, just before one; and an output that plays 30 ms late.
const std::pair<double, double> kHoldCases[] = {{0.003, 0}, {0.05, 0}, {0.097, 0}, {0.05, 0.03}};
}  // namespace

// The first hold of a host and a later one go on at the platter's last rate from where the deck plays: in the
// hold's first second the deck plays one second of track, not more, not less.
TEST(SpinnerHold, GoesOnAtTheHeldRateWithoutASpeedBurst) {
    for (const auto& [phase, latency] : kHoldCases) {
        SCOPED_TRACE(::testing::Message() << "tick phase " << phase << " s, output latency " << latency << " s");
        const auto r = runHolds(phase, latency);
        ASSERT_EQ(r.holdStarts.size(), 2u);
        for (size_t k = 0; k < 2; ++k) {
            const double t0 = r.holdStarts[k];
            EXPECT_NEAR(r.posAt(t0 + 1) - r.posAt(t0), 1.0, 0.02) << "track seconds in hold " << k + 1 << "'s first second";
        }
    }
}

// A phone back on its platter drives the deck from its first frame after the hold ends: the deck never steps
// back, snaps at most once onto the platter and from then on plays where the platter is.
TEST(SpinnerHold, APhoneComingBackDrivesTheDeckFromItsFirstFrame) {
    for (const auto& [phase, latency] : kHoldCases) {
        SCOPED_TRACE(::testing::Message() << "tick phase " << phase << " s, output latency " << latency << " s");
        const auto r = runHolds(phase, latency);
        ASSERT_FALSE(r.holdEnds.empty());
        const double back = r.holdEnds[0];
        EXPECT_EQ(r.framesTaken, r.framesBack) << "frames after the hold's end that the deck's anchor took";
        int snaps = 0;
        double worst = 0;
        for (size_t k = 1; k < r.played.size(); ++k) {
            const auto [t, pos] = r.played[k];
            if (t < back - 0.2 || t > back + 1.5) continue;
            const double jump = pos - r.played[k - 1].second - (t - r.played[k - 1].first);
            EXPECT_GT(jump, -0.005) << "the deck stepped back at " << t - r.start << " s";
            snaps += jump > 0.005 ? 1 : 0;
            if (t >= back + 0.1) worst = std::max(worst, std::abs(pos - latency - (60 + t - r.start)));
        }
        EXPECT_LE(snaps, 1);
        EXPECT_LT(worst, 0.005) << "how far the deck played from the platter, from 0.1 s after the hold's end";
    }
}

// Standalone play started again after an earlier one plays one second of track in its first second: it starts
// where the deck stands, and its first step does not make up for the time since the last one.
TEST(SpinnerHold, StandalonePlayStartedAgainGoesOnAtItsRate) {
    RenderedDeck d(0, 0);
    for (int round = 0; round < 2; ++round) {
        const double t0 = d.s.clock.now();
        d.s.rig.onMain([&] { d.s.h().transportButton(1); });
        ASSERT_TRUE(d.s.h().hostStandalone[0]);
        d.nextStep = t0;
        d.run(1.05);
        EXPECT_NEAR(d.posAt(t0 + 1) - d.posAt(t0), 1.0, 0.02) << "track seconds in the first second of round " << round + 1;
        d.s.rig.onMain([&] { d.s.h().transportButton(1); });
        d.run(2.0);
    }
}

// Phones that drive a bridged deck with tick batches and no frames keep it: one bound by its hello, one that
// never said hello. Neither deck is withdrawn while the batches come; each is, once, when they stop.
TEST(Supervision, TickBatchesKeepABridgedDeckAliveUntilTheyStop) {
    Supervised s;
    s.rig.onMain([&] {
        s.h().setSeratoDeck(1, true);
        s.h().setSeratoDeck(2, true);
    });
    s.hello(1, 1);
    for (int k = 0; k < 30; ++k) {  // 3 s, a batch every 0.1 s
        for (int deck = 1; deck <= 2; ++deck) {
            s.recv(deck, "/orv/tun", {I(deck), I(7), I(2), D(2 * k), D(200 * k), D(0.1 * k), D(1), D(2 * k + 1),
                                      D(200 * k + 100), D(0.1 * k + 0.05), D(1)});
        }
        s.tick();
        EXPECT_FALSE(s.h().withdrawn[0]) << k;
        EXPECT_FALSE(s.h().withdrawn[1]) << k;
        s.clock.advance(0.1);
    }
    EXPECT_TRUE(s.h().deck(1).remoteFresh);
    EXPECT_EQ(s.linesWith("Remote weg"), 0u);
    for (int k = 0; k < 20; ++k) {
        s.clock.advance(0.1);
        s.tick();
    }
    EXPECT_TRUE(s.h().withdrawn[0]);
    EXPECT_TRUE(s.h().withdrawn[1]);
    EXPECT_EQ(s.linesWith("Deck 1: Remote weg"), 1u);
    EXPECT_EQ(s.linesWith("Deck 2: Remote weg"), 1u);
}
