// Deck buttons, pitch, library keys, initialisation sequences and the rate sweep.
#include "serato/serato_midi_out.h"

#include "midi_out_rig.h"
#include "serato/serato_emit_messages.h"

#include <gtest/gtest.h>

namespace plindo::serato {
namespace {

using testing::Bytes;
using testing::LogLines;
using testing::OutRig;

std::vector<Bytes> press(uint8_t status, uint8_t note) {
    return {{status, note, 127}, {status, note, 0}};
}

std::vector<Bytes> join(std::initializer_list<std::vector<Bytes>> parts) {
    std::vector<Bytes> out;
    for (const auto& p : parts) out.insert(out.end(), p.begin(), p.end());
    return out;
}

TEST(SeratoMIDIOutMessages, PitchSendsChangedValuesAndRetriesOneThatWasLost) {
    LogLines log("serato-midi");
    OutRig rig;
    rig.out.pitch(1, 1.0);
    rig.out.pitch(1, 1.0);
    EXPECT_EQ(rig.packets(), (std::vector<Bytes>{{0xB0, 16, 64, 0xB0, 48, 0}}));
    EXPECT_EQ(log.count("serato pitch Deck 1: Rate 1.000000 -> 0.000000 (8192)"), 1);
    rig.backend.clearSent();

    rig.out.pitch(2, 1.08);
    rig.out.pitch(2, 0.5);
    rig.out.pitch(2, std::nan(""));
    rig.out.pitch(3, 1.0);
    EXPECT_EQ(rig.take(), (std::vector<Bytes>{{0xB1, 16, 127, 0xB1, 48, 127}, {0xB1, 16, 0, 0xB1, 48, 0}}));

    rig.settings.pitchRangePercent = 0;
    rig.out.pitch(1, 1.05);
    rig.settings.pitchRangePercent = std::nan("");
    rig.out.pitch(1, 1.05);
    EXPECT_EQ(rig.backend.sentCount(), 0u);

    // A value that could not be delivered is not remembered as sent.
    OutRig down;
    down.backend.setAvailable(false);
    down.out.pitch(1, 1.0);
    down.backend.setAvailable(true);
    down.out.pitch(1, 1.0);
    EXPECT_EQ(down.packets(), (std::vector<Bytes>{{0xB0, 16, 64, 0xB0, 48, 0}}));
}

TEST(SeratoMIDIOutMessages, LibraryScrollSendsPowerOfTwoChunks) {
    LogLines log("serato-midi");
    struct Case { int64_t steps; std::vector<uint8_t> values; const char* line; };
    const Case cases[] = {
        {37, {32, 4, 1}, "serato library scroll 37 = 32+4+1"},
        {-3, {126, 127}, "serato library scroll -3 = 2+1"},
        {-1, {127}, "serato library scroll -1 = 1"},
        {1000, testing::cat({Bytes(15, 32), {16, 4}}), nullptr},
        {INT64_MIN, {}, nullptr},
        {0, {}, nullptr},
    };
    for (const auto& c : cases) {
        OutRig rig;
        rig.out.libraryScroll(c.steps);
        std::vector<uint8_t> values;
        for (const auto& p : rig.packets()) {
            ASSERT_EQ(p.size(), 3u);
            EXPECT_EQ(p[0], 0xB0);
            EXPECT_EQ(p[1], 0x64);
            values.push_back(p[2]);
        }
        if (c.steps == INT64_MIN) {
            EXPECT_EQ(values.size(), 17u);  // held to 500 steps backwards
            continue;
        }
        EXPECT_EQ(values, c.values) << c.steps;
        if (c.line) EXPECT_EQ(log.count(c.line), 1);
    }
}

TEST(SeratoMIDIOutMessages, TransportButtonsAndKeysSendTheMappedNotes) {
    {
        OutRig rig(SeratoOutFormat::twelve);
        rig.out.transport(2, false, "x");
        EXPECT_EQ(rig.backend.sentCount(), 0u) << "needs the deck's emitter";
        rig.activate(2);
        LogLines log("serato-midi");
        rig.out.transport(2, false, "phone");
        rig.out.transport(1, true, "ui");  // deck 1 is off
        rig.out.instantDouble(2);
        EXPECT_EQ(rig.packets(), join({press(0x90, 23), press(0x90, 25)}));
        EXPECT_EQ(log.count("serato transport deck 2: play off [phone]"), 1);
        EXPECT_EQ(log.count("serato instant double → deck 2"), 1);
    }
    {
        OutRig rig(SeratoOutFormat::rel);
        rig.activate(2);
        LogLines log("serato-midi");
        rig.out.transport(2, false, "stop");
        EXPECT_EQ(rig.packets(), (std::vector<Bytes>{{0x91, 20, 0}}));
        EXPECT_EQ(log.count("serato transport deck 2: play off explicit [stop]"), 1);
    }
    OutRig rig;
    rig.out.touch(2, true);
    rig.out.mute(1, false, true);
    rig.out.mute(1, false, false);
    rig.out.mute(2, true, true);
    rig.out.cueButton(1, 7, true);
    rig.out.cueButton(1, 8, true);
    rig.out.cueButton(2, -1, true);
    rig.out.libraryKey("load", 2);
    rig.out.libraryKey("double", 1);
    rig.out.libraryKey("tab", 1);
    rig.out.libraryKey("nope", 1);
    rig.out.libraryKey("left", 3);
    EXPECT_EQ(rig.packets(), join({{{0x91, 6, 127}, {0x90, 83, 0}, {0x91, 83, 127}, {0x90, 47, 127}},
                                   press(0x90, 102),
                                   press(0x90, 24),
                                   press(0x90, 100)}));
}

TEST(SeratoMIDIOutMessages, InitialisationSequencesFollowTheFormat) {
    struct Case { uint8_t format; bool twelve; int deck; std::vector<Bytes> bytes; const char* line; };
    const Case cases[] = {
        {SeratoOutFormat::rel, true, 2,
         {{0x91, 54, 127}, {0x91, 54, 0}, {0x91, 55, 127}, {0x91, 55, 0}, {0x91, 52, 127}, {0xB1, 0x38, 0x06}},
         "serato deck 2 phone init (54/55/52, Glaettung 6) sent"},
        {SeratoOutFormat::twelve, true, 1,
         join({press(0x90, 51), press(0x90, 54), press(0x90, 80), press(0x90, 56), press(0x90, 55), {{0x90, 52, 127}}}),
         "serato deck 1 twelve init (51/54/80/56/52) sent"},
        {SeratoOutFormat::jog, false, 2, join({press(0x90, 11), press(0x90, 13), press(0x90, 15), press(0x90, 41)}),
         "serato deck 2 init sequence sent"},
    };
    for (const auto& c : cases) {
        OutRig rig(c.format);
        rig.settings.twelveFlag = c.twelve;
        rig.out.initDeck(c.deck);
        EXPECT_EQ(rig.backend.sentCount(), 0u) << "nothing before the ports are up";
        rig.out.ensurePorts();
        LogLines log("serato-midi");
        rig.out.initDeck(c.deck);
        EXPECT_EQ(rig.packets(), c.bytes);
        EXPECT_EQ(log.count(c.line), 1);

        // Reinitialisation covers only decks whose emitter is on.
        rig.backend.clearSent();
        rig.out.reinitActiveDecks();
        EXPECT_EQ(rig.backend.sentCount(), 0u);
        rig.out.setActive(c.deck, true);
        rig.backend.clearSent();
        rig.out.reinitActiveDecks();
        EXPECT_EQ(rig.packets(), c.bytes);
    }
}

TEST(SeratoMIDIOutMessages, SweepRefusesBadPlansAndOneRunsAtATime) {
    OutRig rig;
    using P = SeratoMIDIOut::SweepParams;
    auto params = [](auto change) {
        P p{.deck = 1, .plan = {1, 2}, .hz = 1000, .dwell = 0.01};
        change(p);
        return p;
    };
    struct Case { P p; const char* error; };
    const Case cases[] = {
        {params([](P& p) { p.deck = 3; }), "deck"},
        {params([](P& p) { p.hz = 0; }), "hz/dwell/plan"},
        {params([](P& p) { p.hz = 2001; }), "hz/dwell/plan"},
        {params([](P& p) { p.hz = std::nan(""); }), "hz/dwell/plan"},
        {params([](P& p) { p.dwell = std::nan(""); }), "hz/dwell/plan"},
        {params([](P& p) { p.plan.clear(); }), "hz/dwell/plan"},
        {params([](P& p) { p.plan = {64}; }), "Schritt > 63"},
        {params([](P& p) { p.plan = {-64}; }), "Schritt > 63"},
        {params([](P& p) { p.raw = true, p.plan = {128}; }), "roh: Wert ausserhalb 0…127"},
        {params([](P& p) { p.twelve = true, p.plan = {2000001}; }), "Rate zu gross"},
        {params([](P& p) { p.dwell = 1.0, p.plan = std::vector<int64_t>(700, 1); }), "Sweep darf hoechstens 600 s dauern"},
    };
    for (const auto& c : cases) {
        const auto answer = rig.out.sweep(c.p);
        EXPECT_EQ(answer.value("error", ""), c.error);
    }
    EXPECT_FALSE(rig.out.sweepRunning());
    EXPECT_EQ(rig.backend.sentCount(), 0u);
}

TEST(SeratoMIDIOutMessages, SweepSendsItsFormAndCountsOnlyDeliveredMessages) {
    LogLines log("serato-midi");
    platform::LoopbackMidiBackend backend;
    SeratoOutSettings settings;
    MIDIBridgeClient bridge(1);
    SeratoMIDIOut out(backend, bridge, settings, platform::systemClock(), SeratoMIDIOutOptions{false, false});
    auto waitIdle = [&] { return testing::waitUntil([&] { return !out.sweepRunning(); }, 5.0); };

    SeratoMIDIOut::SweepParams p{.deck = 2, .plan = {5, -5}, .hz = 1000, .dwell = 0.01};
    const auto answer = out.sweep(p);
    EXPECT_EQ(answer.value("ok", false), true);
    EXPECT_EQ(answer.value("msgsPerStep", 0), 10);
    EXPECT_EQ(out.sweep(p).value("error", ""), "sweep laeuft schon");
    ASSERT_TRUE(waitIdle());

    std::vector<Bytes> form;
    for (const auto& s : backend.sent())
        if (s.bytes[0] != 0x91) form.push_back(s.bytes);  // leaves out the touch pulses
    ASSERT_EQ(form.size(), 20u);
    // The relative form: a timestamp on the deck's channel, then the delta in two's complement.
    for (std::size_t k = 0; k < form.size(); ++k) {
        ASSERT_EQ(form[k].size(), 6u);
        EXPECT_EQ(form[k][0], 0xE1);
        EXPECT_EQ(form[k][3], 0xB1);
        EXPECT_EQ(form[k][5], k < 10 ? 5 : 0x7B);
    }
    EXPECT_EQ(log.count("sweep Deck 2 Stufe 1/2: 5"), 1);
    EXPECT_EQ(log.count("sweep Deck 2 Stufe 2/2: -5"), 1);
    EXPECT_TRUE(log.hasPrefix("sweep Deck 2 fertig: 20 Nachrichten in "));

    // The raw form, and a port that refuses every message: the run reports what really left.
    backend.clearSent();
    backend.setSendError(-32);
    p.raw = true;
    p.plan = {3};
    ASSERT_EQ(out.sweep(p).value("ok", false), true);
    ASSERT_TRUE(waitIdle());
    EXPECT_TRUE(log.hasPrefix("sweep Deck 2 fertig: 0 Nachrichten in "));
    backend.setSendError(0);
    p.plan = {3};
    ASSERT_EQ(out.sweep(p).value("ok", false), true);
    ASSERT_TRUE(waitIdle());
    std::vector<Bytes> raw;
    for (const auto& s : backend.sent())
        if (s.bytes[1] == 26) raw.push_back(s.bytes);
    ASSERT_EQ(raw.size(), 10u);
    // p advances by 3 / 1000 per message: it stays 0 after rounding.
    for (const auto& b : raw) {
        EXPECT_EQ(b[0], 0xB1);
        EXPECT_EQ(b[3], 0xB1);
        EXPECT_EQ(b[4], 6);
        EXPECT_EQ(b[5], 0);
    }
}

TEST(SeratoMIDIOutMessages, DestroyingTheOutputEndsARunningSweep) {
    platform::LoopbackMidiBackend backend;
    SeratoOutSettings settings;
    MIDIBridgeClient bridge(1);
    const auto t0 = std::chrono::steady_clock::now();
    {
        SeratoMIDIOut out(backend, bridge, settings, platform::systemClock(), SeratoMIDIOutOptions{false, false});
        SeratoMIDIOut::SweepParams p{.plan = {1}, .hz = 1, .dwell = 100};
        ASSERT_EQ(out.sweep(p).value("ok", false), true);
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    EXPECT_LT(std::chrono::steady_clock::now() - t0, std::chrono::seconds(2));
}

}  // namespace
}  // namespace plindo::serato
