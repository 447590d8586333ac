#include "platform/checked.h"

#include <gtest/gtest.h>

#include <limits>

using namespace plindo::platform;

TEST(Checked, NonFiniteAndOutOfRangeGiveNothing) {
    constexpr double inf = std::numeric_limits<double>::infinity();
    for (double v : {std::nan(""), inf, -inf, 1e300, -1e300, 2147483648.0, -2147483649.0}) {
        EXPECT_FALSE(checkedInt32(v).has_value()) << v;
    }
    EXPECT_FALSE(checkedInt64(9.3e18).has_value());
    EXPECT_EQ(checkedInt32(2147483647.9), 2147483647);
    EXPECT_EQ(checkedInt32(-2147483648.0), -2147483648);
    EXPECT_EQ(checkedInt32(-1.9), -1);
    EXPECT_EQ(checkedRound<int64_t>(2.5), 3);
    EXPECT_EQ(checkedRound<int64_t>(-2.5), -3);
}
