#include "serato/serato_deck_return.h"

#include <gtest/gtest.h>

#include <cmath>

namespace plindo::serato {
namespace {

TEST(SeratoDeckReturn, RateNeedsTwoPlausibleSamplesAndResetsOnSilenceOrImplausibleJumps) {
    SeratoDeckReturn d;
    EXPECT_EQ(d.observe(10.0, 100.0), 0);
    EXPECT_EQ(d.observe(10.05, 100.05), 0);        // first plausible: not reported yet
    EXPECT_NEAR(d.observe(10.10, 100.10), 1.0, 1e-9);
    EXPECT_NEAR(d.observe(10.10, 100.102), 1.0, 1e-9);  // 2 ms later: no change
    EXPECT_EQ(d.observe(20.0, 100.15), 0);           // a seek: implausible, reset
    EXPECT_EQ(d.observe(20.05, 100.20), 0);
    EXPECT_NEAR(d.observe(20.10, 100.25), 1.0, 1e-9);
    EXPECT_EQ(d.observe(20.7, 100.85), 0);           // 0.6 s silence resets
    EXPECT_EQ(d.observe(NAN, 101.0), 0);             // unusable play time: next sample starts over
    EXPECT_EQ(d.observe(21.0, 101.05), 0);
}

TEST(SeratoDeckReturn, CuesTakeThePlayTimeWhenLitAndIgnoreSlotsOutOfRange) {
    SeratoDeckReturn d;
    EXPECT_FALSE(d.setCue(8, true).set);
    EXPECT_EQ(d.setCue(-1, true).hex, "");
    EXPECT_TRUE(d.setCue(0, true).set);  // no play time yet: time stays 0
    EXPECT_EQ(d.cueSec[0], 0);
    d.observe(42.5, 1.0);
    EXPECT_EQ(d.setCue(0, true).sec, 0);  // already lit: keeps its time
    EXPECT_EQ(d.setCue(1, true).sec, 42.5);
    d.cueHex[1] = "#00FF00";
    const auto off = d.setCue(1, false);
    EXPECT_FALSE(off.set);
    EXPECT_EQ(off.hex, "#00FF00");
}

TEST(SeratoDeckReturn, SelfTestPassesAndCatchesChangedConstants) {
    EXPECT_TRUE(SeratoDeckReturn::selfTest().empty());
    SeratoDeckReturn::Limits narrow;
    narrow.maxRate = 0.5;
    EXPECT_FALSE(SeratoDeckReturn::selfTest(narrow).empty());
}

}  // namespace
}  // namespace plindo::serato
