// The control endpoint: its parameter readers, the key sets and number types of its records, range checks
// that change nothing, the loopback rule, and a route that never waits on a busy or stopping main for long.
#include "host_rig.h"
#include "link/raw_http.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cmath>
#include <limits>
#include <thread>

namespace plindo::host {
namespace {

using json = nlohmann::json;
using testing::HostRig;
using Params = std::map<std::string, std::string>;

TEST(ControlReaders, IntItemsNumbersAndHexDigits) {
    const std::pair<std::string, std::optional<int64_t>> items[] = {
        {"-12", -12},
        {"+12", 12},
        {" 7 ", 7},
        {"\t0\n", 0},
        {"7x", std::nullopt},
        {"", std::nullopt},
        {"   ", std::nullopt},
        {"+", std::nullopt},
        {"-", std::nullopt},
        {"1 2", std::nullopt},
        {"+-3", std::nullopt},
        {"9223372036854775807", std::numeric_limits<int64_t>::max()},
        {"-9223372036854775808", std::numeric_limits<int64_t>::min()},
        {"9223372036854775808", std::nullopt},
        {"12345678901234567890", std::nullopt},
    };
    for (const auto& [text, want] : items) EXPECT_EQ(HostState::intItem(text), want) << "'" << text << "'";

    const std::pair<std::string, double> numbers[] = {
        {"2.5", 2.5}, {"-0.5", -0.5}, {"+3", 3},    {"1e300", 1e300}, {"12345678901234567890", 12345678901234567890.0},
        {"nan", 9},   {"inf", 9},     {"-inf", 9},  {"", 9},          {"7x", 9},
        {"0x10", 9},  {" 1", 9},      {"1e999", 9},     {"+-3", 9},       {"+", 9},
    };
    for (const auto& [text, want] : numbers) {
        EXPECT_EQ(HostState::numberParam({{"v", text}}, "v", 9), want) << "'" << text << "'";
    }
    EXPECT_EQ(HostState::numberParam({}, "v", 9), 9);
    EXPECT_EQ(HostState::hexDigits(" F0 7e+00\tF7\n"), "F07e00F7");
}

struct ControlRig : HostRig {
    HostState& host = started();
    json ask(const std::string& cmd, const Params& p = {}, bool loopback = true) {
        json out;
        onMain([&] { out = host.onControl(cmd, p, loopback); });
        return out;
    }
};

std::set<std::string> keysOf(const json& j) {
    std::set<std::string> k;
    for (auto it = j.begin(); it != j.end(); ++it) k.insert(it.key());
    return k;
}

TEST(ControlCommands, ReportsHaveTheirKeysAndIntegerFields) {
    ControlRig rig;
    auto& host = rig.host;
    // Cells filled by hand.
    host.seratoCueSet[0][5] = true;
    host.seratoCueSec[0][5] = 10.0;
    host.seratoCueSet[0][2] = true;
    host.seratoCueSec[0][2] = 99.5;
    host.feeds->tunnelCell[1].update([](TunnelState& t) {
        t.outs = 7;
        t.late = 2;
    });

    const json state = rig.ask("state");
    EXPECT_EQ(keysOf(state), (std::set<std::string>{"build", "phase", "status", "seratoRunning", "midi", "decks"}));
    EXPECT_EQ(state["build"], "1215");
    EXPECT_EQ(state["phase"], "main");
    EXPECT_EQ(keysOf(state["midi"]), (std::set<std::string>{"backend", "portsUp", "viaBridge", "drainRunning"}));
    EXPECT_EQ(state["midi"]["backend"], "loopback");
    ASSERT_EQ(state["decks"].size(), 2u);
    // The 22 deck fields, emitter, motor, moving, the cues and the supervision's seven.
    EXPECT_EQ(state["decks"][0].size(), 33u);
    EXPECT_TRUE(state["decks"][0]["wavOk"].is_number_integer());
    EXPECT_TRUE(state["decks"][0]["frameN"].is_number_integer());
    EXPECT_TRUE(state["decks"][0]["seratoPlay"].is_null());
    // Cues in slot order, not time order.
    EXPECT_EQ(state["decks"][0]["seratoCues"], json::parse("[[2, 99.5], [5, 10.0]]"));
    EXPECT_EQ(state["decks"][1]["seratoCues"], json::array());

    const json tunnel = rig.ask("tunnel");
    const std::set<std::string> tunnelKeys{"outs", "guessed", "jumped", "resets", "late", "residual", "backlog", "periodMs"};
    EXPECT_EQ(keysOf(tunnel["deck1"]), tunnelKeys);
    EXPECT_EQ(tunnel["deck1"]["periodMs"], 10.0);  // before the first batch
    EXPECT_EQ(tunnel["deck1"]["residual"], 0);
    EXPECT_EQ(tunnel["deck1"]["backlog"], 0);
    EXPECT_EQ(tunnel["deck2"]["outs"], 7);
    EXPECT_EQ(tunnel["deck2"]["late"], 2);
    for (const char* k : {"outs", "guessed", "jumped", "resets", "late", "residual", "backlog"}) {
        EXPECT_TRUE(tunnel["deck2"][k].is_number_integer()) << k;
    }

    const json bud = rig.ask("earbud");
    EXPECT_EQ(keysOf(bud["deck2"]), (std::set<std::string>{"outs", "guessed", "jumped", "resets", "residual", "periodMs"}));
    EXPECT_EQ(bud["deck2"]["periodMs"], 10.0);

    const json jog = rig.ask("jog");
    ASSERT_EQ(jog["jitterMs"].size(), 2u);
    EXPECT_EQ(keysOf(jog["jitterMs"][1]), (std::set<std::string>{"p50", "p95", "p99", "n", "leadMs"}));
    EXPECT_TRUE(jog["jitterMs"][1]["n"].is_number_integer());
    EXPECT_EQ(host.leadStats(3), (json{{"p50", 0.0}, {"p95", 0.0}, {"p99", 0.0}, {"n", 0}, {"leadMs", 0.0}}));

    // A browser row with an empty title has no path and no lookup.
    EXPECT_EQ(host.browserRowRecord(0, "", "Someone", "House")["path"], "");
    EXPECT_EQ(keysOf(host.browserRowRecord(0, "A", "B", "")), (std::set<std::string>{"title", "artist", "durMs", "key", "path"}));

    EXPECT_EQ(rig.ask("dance"), (json{{"error", "unknown command"}}));
    EXPECT_EQ(rig.ask(""), (json{{"error", "unknown command"}}));
}

TEST(ControlCommands, ValuesOutOfRangeAreRefusedAndNonNumbersCountAsNotGiven) {
    ControlRig rig;
    struct Case {
        std::string cmd;
        Params params;
        std::string error;  // empty: accepted
        std::string key;    // the answer's key to read back
        json value;
    };
    const Case cases[] = {
        {"tunnel", {{"k", "0.5"}}, "", "k", 0.5},
        {"tunnel", {{"k", "0"}}, "k out of range", "k", 0.5},
        {"tunnel", {{"k", "1e300"}}, "k out of range", "k", 0.5},
        // Not a number, not a flag: the current value stays, and the rest of the command is applied.
        {"tunnel", {{"k", "nan"}}, "", "k", 0.5},
        {"tunnel", {{"k", "inf"}}, "", "k", 0.5},
        {"tunnel", {{"k", ""}}, "", "k", 0.5},
        {"tunnel", {{"k", "7x"}}, "", "k", 0.5},
        {"tunnel", {{"k", "abc"}}, "", "k", 0.5},
        {"tunnel", {{"guess", "abc"}}, "", "guess", 10},
        {"tunnel", {{"on", "maybe"}}, "", "on", true},
        {"tunnel", {{"on", "0"}, {"k", "abc"}}, "", "on", false},
        {"tunnel", {{"on", "yes"}, {"guess", "x"}}, "", "on", true},
        {"jog", {{"auto", ""}}, "", "auto", false},
        {"tunnel", {{"guess", "12345678901234567890"}}, "guess out of range", "guess", 10},
        {"tunnel", {{"guess", "2.5"}}, "guess out of range", "guess", 10},
        {"tunnel", {{"guess", "40"}}, "", "guess", 40},
        // One bad value refuses the whole command: "on" stays.
        {"tunnel", {{"on", "0"}, {"drain", "6"}}, "drain out of range", "on", true},
        {"earbud", {{"grid", "0.0005"}}, "grid out of range", "grid", 0.005},
        {"earbud", {{"lead", "0.25"}}, "", "lead", 0.25},
        {"emit", {{"delay", "501"}}, "delay out of range", "delayMs", 0.0},
        {"emit", {{"seg", "1.5"}}, "", "segFactor", 1.5},
        {"format", {{"stepms", "0.1"}}, "stepms out of range", "stepMs", 1.0},
        {"format", {{"mode", "phone"}}, "", "ticksPerRev", 7200.0},
        {"format", {{"mode", "rel"}}, "", "ticksPerRev", 36000.0},
        // The per-deck time base: without a deck both decks, with one only that deck, in both formats.
        {"timefreq", {{"hz", "48000"}}, "", "timeFreqByDeck", json::array({48000.0, 48000.0})},
        {"timefreq", {{"hz", "96000"}, {"deck", "2"}}, "", "timeFreqByDeck", json::array({48000.0, 96000.0})},
        {"format", {{"mode", "phone"}}, "", "ticksPerRev", 7200.0},
        {"timefreq", {{"hz", "22050"}}, "", "timeFreqByDeck", json::array({22050.0, 22050.0})},
        {"timefreq", {{"hz", "11025"}, {"deck", "2"}}, "", "timeFreqByDeck", json::array({22050.0, 11025.0})},
        {"timefreq", {{"hz", "8000"}, {"deck", "3"}}, "deck out of range", "timeFreqByDeck", json::array({22050.0, 11025.0})},
        {"format", {{"mode", "rel"}}, "", "ticksPerRev", 36000.0},
        {"format", {{"mode", "bogus"}}, "mode out of range", "format", "rel"},
        {"format", {{"rel", "onoff"}}, "", "rel", "onoff"},
        {"format", {{"rel", "none"}}, "rel out of range", "rel", "onoff"},
        {"pitchrange", {{"pct", "-8"}}, "pct out of range", "pct", 8.0},
        {"stamp", {{"mode", "3"}}, "mode out of range", "mode", 2},
        {"keepalive", {{"mode", "2"}}, "", "mode", 2},
        {"jog", {{"sub", "65"}}, "sub out of range", "sub", 0},
        {"jog", {{"auto", "1"}}, "", "auto", true},
        {"radian", {{"still", "0.05"}}, "", "still", 0.05},
        {"motion", {{"ticks", "0"}}, "ticks out of range", "ticks", 6},
        {"twelve", {{"on", "false"}}, "", "twelve", false},
    };
    for (const auto& c : cases) {
        const json answer = rig.ask(c.cmd, c.params);
        if (c.error.empty()) {
            EXPECT_FALSE(answer.contains("error")) << c.cmd << " " << answer.dump();
        } else {
            EXPECT_EQ(answer, (json{{"error", c.error}})) << c.cmd;
        }
        const json now = rig.ask(c.cmd);
        EXPECT_EQ(now[c.key], c.value) << c.cmd << " " << c.key << " after " << answer.dump();
    }
    EXPECT_TRUE(rig.host.feeds->tunables.tunnelOn.load());
    EXPECT_EQ(rig.outSettings.keepAliveMode.load(), 2);
}

TEST(ControlCommands, ChangesFromElsewhereAreRefusedReportsStayOpen) {
    ControlRig rig;
    EXPECT_EQ(rig.ask("tunnel", {{"k", "0.3"}}, false), (json{{"error", "local only"}}));
    EXPECT_EQ(rig.ask("tunnel")["k"], 0.2);
    EXPECT_EQ(rig.ask("note", {{"note", "20"}}, false), (json{{"error", "local only"}}));
    EXPECT_EQ(rig.ask("note", {}, false), (json{{"error", "local only"}}));
    EXPECT_EQ(rig.ask("dummy", {{"init", "1"}}, false), (json{{"error", "local only"}}));
    EXPECT_EQ(rig.ask("state", {}, false)["build"], "1215");
    EXPECT_TRUE(rig.ask("tunnel", {{"deck", "2"}}, false).contains("deck1"));
    EXPECT_TRUE(rig.ask("midilog", {}, false).contains("packets"));
}

TEST(ControlCommands, SendersCheckTheirBytesAndListsAreCapped) {
    ControlRig rig;
    rig.midi.clearSent();
    EXPECT_EQ(rig.ask("sysex", {{"hex", "F0 7E+00 F7"}})["sent"], 4);
    for (const char* bad : {"F0 80 F7", "7E 00", "F0 7E 0", "F0 ZZ F7", ""}) {
        EXPECT_EQ(rig.ask("sysex", {{"hex", bad}}), (json{{"error", "hex: F0 ... F7, Datenbytes <= 7F, hoechstens 200 Byte"}}))
            << bad;
    }
    std::string long201 = "F0";
    for (int i = 0; i < 199; ++i) long201 += " 01";
    EXPECT_TRUE(rig.ask("sysex", {{"hex", long201 + " F7"}}).contains("error"));

    EXPECT_EQ(rig.ask("cc", {{"cc", "24"}, {"value", "128"}}), (json{{"error", "value out of range"}}));
    EXPECT_EQ(rig.ask("trio", {{"deck", "3"}}), (json{{"error", "deck out of range"}}));
    // Only exactly 1 or 2 names a deck; nothing falls back to deck 1.
    for (const char* bad : {"2 ", "1.5", "1e0", "x", "", "-1", "+1", "12", "21", "10", "012"})
        EXPECT_EQ(rig.ask("note", {{"deck", bad}, {"note", "20"}}), (json{{"error", "deck out of range"}})) << bad;
    // Two digits are no deck for any deck command, by "deck" or by "slot".
    const std::pair<std::string, Params> deckCommands[] = {
        {"play", {}}, {"load", {{"path", "/m/a.mp3"}}}, {"serato", {{"on", "0"}}}, {"trio", {}}, {"sweep", {{"plan", "1"}, {"hz", "100"}, {"dwell", "0.01"}}}};
    for (const auto& [cmd, params] : deckCommands) {
        for (const char* key : {"deck", "slot"}) {
            for (const char* bad : {"12", "21"}) {
                Params p = params;
                p[key] = bad;
                EXPECT_TRUE(rig.ask(cmd, p).contains("error")) << cmd << " " << key << "=" << bad;
            }
        }
    }
    EXPECT_EQ(rig.ask("note", {{"deck", "02"}, {"note", "20"}})["deck"], 2);
    const json note = rig.ask("note", {{"slot", "2"}, {"note", "20"}});
    EXPECT_EQ(note, (json{{"deck", 2}, {"note", 20}}));
    const json log = rig.ask("midilog");
    ASSERT_GE(log["packets"].size(), 3u);
    const auto n = log["packets"].size();
    EXPECT_EQ(log["packets"][n - 2]["hex"], "91 14 7F");
    EXPECT_EQ(log["packets"][n - 1]["hex"], "91 14 00");

    std::string plan = "1";
    for (int i = 0; i < 4096; ++i) plan += ",1";
    EXPECT_EQ(rig.ask("sweep", {{"plan", plan}, {"hz", "100"}, {"dwell", "0.01"}}),
              (json{{"error", "plan: at most 4096 items"}}));
    EXPECT_EQ(rig.ask("sweep", {{"plan", "1,x"}}), (json{{"error", "plan: not an integer list"}}));
    // A flag that is no flag is off; a rate that is no number is 0 and refused by the sweep.
    EXPECT_EQ(rig.ask("sweep", {{"plan", "1"}, {"hz", "100"}, {"dwell", "0.01"}, {"raw", "maybe"}})["raw"], false);
    for (int i = 0; i < 200 && rig.host.seratoOut->sweepRunning(); ++i) std::this_thread::sleep_for(std::chrono::milliseconds(5));
    EXPECT_EQ(rig.ask("sweep", {{"plan", "1"}, {"hz", "fast"}, {"dwell", "0.01"}}), (json{{"error", "hz/dwell/plan"}}));
    EXPECT_FALSE(rig.ask("sweep", {{"plan", " -3, +2 ,1"}, {"hz", "500"}, {"dwell", "0.004"}}).contains("error"));
    for (int i = 0; i < 200 && rig.host.seratoOut->sweepRunning(); ++i) std::this_thread::sleep_for(std::chrono::milliseconds(5));
}

TEST(ControlCommands, AnswersHoldNoNonFiniteNumber) {
    ControlRig rig;
    rig.onMain([&] {
        rig.host.players[0]->posCell.setValue(std::nan(""));
        rig.host.players[0]->rateCell.setValue(INFINITY);
        rig.host.uiTick();
    });
    const json state = rig.ask("state");
    EXPECT_TRUE(state["decks"][0]["posSec"].is_null());
    EXPECT_TRUE(state["decks"][0]["rate"].is_null());
    EXPECT_NO_THROW((void)state.dump());
}

TEST(ControlRoute, ABusyMainAnswersBusyAndAStoppingServerDoesNotWait) {
    ControlRig rig;
    const int port = rig.host.fileServer->boundPort();
    ASSERT_GT(port, 0);
    auto ctl = [&](const std::string& q) { return link::testing::roundTrip(port, link::testing::getRequest("/ctl" + q), 6.0); };
    EXPECT_EQ(json::parse(link::testing::bodyOf(ctl("")))["phase"], "main");

    // Main stays busy for 3 s: the route answers after 2 s without waiting for it.
    rig.main.post([] { std::this_thread::sleep_for(std::chrono::seconds(3)); });
    auto t0 = std::chrono::steady_clock::now();
    const auto busy = ctl("?cmd=state");
    const double waited = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    EXPECT_EQ(json::parse(link::testing::bodyOf(busy)), (json{{"error", "busy"}}));
    EXPECT_GT(waited, 1.5);
    EXPECT_LT(waited, 2.9);
    rig.main.drain();

    // A request waiting while the server stops is let go at once.
    rig.main.post([] { std::this_thread::sleep_for(std::chrono::seconds(3)); });
    t0 = std::chrono::steady_clock::now();
    std::thread stopper([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
        rig.host.fileServer->stop();
    });
    const auto atQuit = ctl("?cmd=state");
    stopper.join();
    EXPECT_LT(std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count(), 1.5);
    EXPECT_TRUE(atQuit.closed);
    rig.main.drain();
}

}  // namespace
}  // namespace plindo::host
