// The deck cards' name split and minute clock.
#include "ui/main/display_text.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>

namespace plindo::ui {
namespace {

TEST(DisplayText, SplitsAtTheFirstSeparatorKindThatOccurs) {
    struct Case {
        const char* name;
        const char* first;
        const char* second;
    } cases[] = {
        {"Artist - Title", "Artist", "Title"},
        {"A - B - C", "A", "B - C"},
        {"A \u2013 B - C", "A \u2013 B", "C"},  // the hyphen separator is tried first
        {"A \u2014 B \u2013 C", "A \u2014 B", "C"},
        {"A \u2014 B", "A", "B"},
        {"Title", "", "Title"},
        {"", "", ""},
        {"A-B", "", "A-B"},
        {" - B", "", "B"},
        {"A - ", "A", ""},
    };
    for (const auto& c : cases) {
        const auto [first, second] = splitDisplayName(c.name);
        EXPECT_EQ(first, c.first) << c.name;
        EXPECT_EQ(second, c.second) << c.name;
    }
}

TEST(DisplayText, MinuteClockRoundsHalvesUpAndNeverPrintsNonsense) {
    const double inf = std::numeric_limits<double>::infinity();
    struct Case {
        double sec;
        const char* text;
    } cases[] = {
        {0, "0:00"},      {59.4, "0:59"},   {59.5, "1:00"}, {61.4, "1:01"}, {3600, "60:00"},
        {NAN, "0:00"},    {inf, "0:00"},    {-inf, "0:00"}, {-1.2, "0:00"}, {-0.4, "0:00"},
        {1e300, "0:00"},  {1e9, "16666666:40"}, {1e9 + 1, "0:00"},
    };
    for (const auto& c : cases) EXPECT_EQ(formatMinSec(c.sec), c.text) << c.sec;
}

}  // namespace
}  // namespace plindo::ui
