#include "serato/serato_feedback.h"

#include <gtest/gtest.h>

#include <vector>

namespace plindo::serato {
namespace {

using K = SeratoFeedback::Event::Kind;

// Feeds (status, data1, data2) triples; returns the events that are not `none`.
std::vector<SeratoFeedback::Event> feed(SeratoFeedback& f, std::initializer_list<std::array<uint8_t, 3>> msgs) {
    std::vector<SeratoFeedback::Event> out;
    for (const auto& m : msgs) {
        const uint8_t kind = m[0] & 0xF0;
        const int ch = m[0] & 0x0F;
        auto o = kind == 0xB0 ? f.controller(ch, m[1], m[2]) : f.note(kind, ch, m[1], m[2]);
        if (o.event.kind != K::none) out.push_back(o.event);
    }
    return out;
}

TEST(SeratoFeedback, NotesLightPlayMuteAndCuePads) {
    SeratoFeedback f;
    auto e = feed(f, {{0x90, 0x14, 0x7F}, {0x80, 0x14, 0x40}, {0x90, 0x14, 0x00}});
    ASSERT_EQ(e.size(), 3u);
    EXPECT_EQ(e[0].kind, K::startStop);
    EXPECT_EQ(e[0].deck, 1);
    EXPECT_EQ(e[0].play, SeratoFeedback::StartStop::start);
    EXPECT_EQ(e[1].play, SeratoFeedback::StartStop::stop);
    EXPECT_EQ(e[2].play, SeratoFeedback::StartStop::stop);

    e = feed(f, {{0x91, 0x2A, 0x05}, {0x81, 0x2A, 0x10}, {0x91, 0x2A, 0x00}, {0x91, 0x53, 0x7F}, {0x81, 0x53, 0x7F}});
    ASSERT_EQ(e.size(), 5u);
    EXPECT_EQ(std::tuple(e[0].kind, e[0].deck, e[0].slot, e[0].on, e[0].velocity), std::tuple(K::cueSet, 2, 2, true, 5));
    EXPECT_EQ(std::tuple(e[1].on, e[1].velocity), std::tuple(false, 16));
    EXPECT_EQ(std::tuple(e[2].on, e[2].velocity), std::tuple(false, 0));
    EXPECT_EQ(std::tuple(e[3].kind, e[3].on), std::tuple(K::mute, true));
    EXPECT_FALSE(e[4].on);

    e = feed(f, {{0x90, 0x5A, 0x30}, {0x90, 0x5A, 0x3F}, {0x90, 0x61, 0x00}, {0x90, 0x15, 0x7F}});
    ASSERT_EQ(e.size(), 3u);
    EXPECT_EQ(std::tuple(e[0].kind, e[0].slot, e[0].hex), std::tuple(K::cueColor, 0, std::string("#FF0000")));
    EXPECT_EQ(e[1].hex, "#FFFFFF");
    EXPECT_EQ(std::tuple(e[2].slot, e[2].hex), std::tuple(7, std::string()));
}

TEST(SeratoFeedback, FourteenBitControllersScaleWithTheKeptHighByte) {
    SeratoFeedback f;
    struct Case { const char* name; std::vector<std::array<uint8_t, 3>> msgs; K kind; int deck; double value; };
    const std::vector<Case> cases = {
        {"pitch centre", {{0xB0, 0x70, 0x40}, {0xB0, 0x71, 0x00}}, K::pitch, 1, 0.0},
        {"pitch top", {{0xB0, 0x70, 0x7F}, {0xB0, 0x71, 0x7F}}, K::pitch, 1, 0.8191},
        {"pitch bottom", {{0xB0, 0x70, 0x00}, {0xB0, 0x71, 0x00}}, K::pitch, 1, -0.8192},
        {"pitch deck 2 on channel 0", {{0xB0, 0x72, 0x40}, {0xB0, 0x73, 0x00}}, K::pitch, 2, 0.0},
        {"cue time", {{0xB1, 0x28, 0x7F}, {0xB1, 0x48, 0x7F}}, K::cueTime, 2, 1200.0},
        {"progress", {{0xB0, 0x1C, 0x7F}, {0xB0, 0x3C, 0x7F}}, K::progress, 1, 0.999},
        {"bpm", {{0xB1, 0x1B, 0x40}, {0xB1, 0x3B, 0x00}}, K::bpm, 2, 8192 / 16383.0 * 320.0},
        {"song changed", {{0xB1, 0x14, 0x01}}, K::songChanged, 2, 0.0},
    };
    for (const auto& c : cases) {
        SeratoFeedback::Event last;
        for (const auto& m : c.msgs) {
            const auto o = f.controller(m[0] & 0x0F, m[1], m[2]);
            if (o.event.kind != K::none) last = o.event;
        }
        EXPECT_EQ(last.kind, c.kind) << c.name;
        EXPECT_EQ(last.deck, c.deck) << c.name;
        EXPECT_NEAR(last.value, c.value, 1e-9) << c.name;
    }
    // A low byte alone uses the high byte kept so far (0 at start).
    SeratoFeedback fresh;
    EXPECT_NEAR(fresh.controller(1, 0x48, 0x7F).event.value, 127 / 16383.0 * 1200.0, 1e-9);
    // Pitch pairs exist on channel 0 only; on channel 1 they are plain controllers.
    EXPECT_EQ(fresh.controller(1, 0x71, 0x10).event.kind, K::none);
}

TEST(SeratoFeedback, DecksFollowTheLastControllerAndOtherChannelsOnlyLogFirstSight) {
    SeratoFeedback f;
    f.controller(1, 0x1C, 3);
    EXPECT_EQ(std::pair(f.ccDeck, f.lastChangedDeck), std::pair(2, 2));
    f.controller(0, 0x14, 1);
    EXPECT_EQ(std::pair(f.ccDeck, f.lastChangedDeck), std::pair(1, 1));
    f.controller(5, 0x14, 1);
    EXPECT_EQ(f.ccDeck, 1);

    auto o = f.controller(2, 0x3C, 0x7F);
    EXPECT_EQ(o.event.kind, K::none);
    ASSERT_EQ(o.logCount, 1);
    EXPECT_EQ(o.logs[0], "cc ch3 #60 = 127 (first)");
    EXPECT_EQ(f.controller(2, 0x3C, 0x7F).logCount, 0);
    o = f.note(0x90, 3, 0x14, 0x7F);
    EXPECT_EQ(o.event.kind, K::none);
    ASSERT_EQ(o.logCount, 1);
    EXPECT_EQ(o.logs[0], "note ch4 n20 v127 (first)");
    // A note key ignores the channel: the same note on deck 1 is no first sight.
    o = f.note(0x90, 0, 0x14, 0x7F);
    ASSERT_EQ(o.logCount, 1);
    EXPECT_EQ(o.logs[0], "serato play deck 1: on");

    // Unknown controllers log only changed values.
    EXPECT_EQ(f.controller(0, 0x05, 9).logCount, 2);  // first sight and the value
    EXPECT_EQ(f.controller(0, 0x05, 9).logCount, 0);
    o = f.controller(0, 0x05, 10);
    ASSERT_EQ(o.logCount, 1);
    EXPECT_EQ(o.logs[0], "cc ch1 #5 = 10");
}

TEST(SeratoFeedback, ColourTextsIgnoreTheSeventhBitAndStartStopNamesRoundTrip) {
    EXPECT_EQ(SeratoFeedback::colour6(0x1B), "#55AAFF");
    EXPECT_EQ(SeratoFeedback::colour6(0x7F), "#FFFFFF");
    EXPECT_EQ(SeratoFeedback::referenceColour(21), "-");
    EXPECT_EQ(SeratoFeedback::startStopFromName("instantStop"), SeratoFeedback::StartStop::instantStop);
    EXPECT_FALSE(SeratoFeedback::startStopFromName("Start"));
}

}  // namespace
}  // namespace plindo::serato
