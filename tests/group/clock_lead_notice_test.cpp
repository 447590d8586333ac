#include "group/clock_lead_notice.h"

#include <gtest/gtest.h>

#include <string>

using namespace plindo::group;

TEST(ClockLeadNotice, LeadReadsInTheUnitThatFits) {
    const std::pair<double, const char*> cases[] = {
        {301, "5 min"},         {420, "7 min"},        {7169, "119 min"},   {7171, "2 h"},
        {47 * 3600, "47 h"},    {48 * 3600, "2 days"}, {365 * 86400, "365 days"},
        {1e12, "over 999 days"}, {1e300, "over 999 days"},
    };
    for (const auto& [sec, want] : cases) EXPECT_EQ(ClockLeadNotice::leadText(sec), want) << sec;
}

// Once a minute per peer is pinned through the controller; here the flood of names the table is bounded against.
TEST(ClockLeadNotice, AFullTableTellsNewcomersOnlyOnceItsEntriesAreAMinuteOld) {
    ClockLeadNotice n;
    for (size_t i = 0; i < ClockLeadNotice::kMaxPeers; ++i) {
        EXPECT_TRUE(n.refused("P" + std::to_string(i), 400, ClockLeadNotice::Ignored::loads, 1.0));
    }
    EXPECT_FALSE(n.refused("late", 400, ClockLeadNotice::Ignored::loads, 30.0));
    EXPECT_TRUE(n.refused("late", 400, ClockLeadNotice::Ignored::loads, 61.0));
}
