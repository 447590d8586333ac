#include "platform/uuid.h"

#include <gtest/gtest.h>

#include <regex>
#include <set>

TEST(RandomUuid, IsVersion4TextAndNeverRepeats) {
    const std::regex form("[0-9A-F]{8}-[0-9A-F]{4}-4[0-9A-F]{3}-[89AB][0-9A-F]{3}-[0-9A-F]{12}");
    std::set<std::string> seen;
    for (int i = 0; i < 200; ++i) {
        const auto u = plindo::platform::randomUuid();
        EXPECT_TRUE(std::regex_match(u, form)) << u;
        seen.insert(u);
    }
    EXPECT_EQ(seen.size(), 200u);
}
