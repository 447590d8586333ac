#include "link/shared_logo.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <limits>
#include <numeric>
#include <random>

using namespace plindo::link;

namespace {
std::vector<std::uint8_t> pattern(size_t n) {
    std::vector<std::uint8_t> b(n);
    for (size_t i = 0; i < n; ++i) b[i] = static_cast<std::uint8_t>(i * 7 + 3);
    return b;
}
}  // namespace

TEST(SharedLogo, ChunkSizes) {
    EXPECT_TRUE(SharedLogo::chunks({}).empty());
    const std::pair<size_t, std::vector<size_t>> cases[] = {
        {1, {4}}, {4500, {6000}}, {4501, {6000, 4}}, {4503, {6000, 4}}, {20000, {6000, 6000, 6000, 6000, 2668}},
    };
    for (const auto& [bytes, sizes] : cases) {
        std::vector<size_t> got;
        for (const auto& c : SharedLogo::chunks(pattern(bytes))) got.push_back(c.size());
        EXPECT_EQ(got, sizes) << bytes;
    }
    EXPECT_TRUE(SharedLogo::selfTest().empty());
}

TEST(SharedLogo, CompletesInAnyOrderWithRepeatsAndAgainForARepeatedSet) {
    const auto logo = pattern(30000);
    const auto cut = SharedLogo::chunks(logo);
    const int n = static_cast<int>(cut.size());
    std::vector<int> order(cut.size());
    std::iota(order.begin(), order.end(), 0);
    std::mt19937 rng(3);
    for (int round = 0; round < 5; ++round) {
        std::shuffle(order.begin(), order.end(), rng);
        SharedLogo::Assembler a;
        for (size_t k = 0; k < order.size(); ++k) {
            const int i = order[k];
            const auto r = a.add(1000, i, n, cut[static_cast<size_t>(i)]);
            if (k + 1 == order.size()) {
                ASSERT_TRUE(r);
                EXPECT_EQ(*r, logo);
                break;
            }
            ASSERT_FALSE(r) << "early completion at " << k;
            ASSERT_FALSE(a.add(1000, i, n, cut[static_cast<size_t>(i)]));  // a repeat does not count twice
        }
        std::optional<std::vector<std::uint8_t>> again;
        for (int i = 0; i < n; ++i) again = a.add(1000, i, n, cut[static_cast<size_t>(i)]);
        ASSERT_TRUE(again);
        EXPECT_EQ(*again, logo);
    }
}

TEST(SharedLogo, KeepsOnlyTheNewestGeneration) {
    const auto cut = SharedLogo::chunks(pattern(30000));
    const int n = static_cast<int>(cut.size());
    SharedLogo::Assembler a;
    for (int i = 0; i < n; ++i) a.add(7, i, n, cut[static_cast<size_t>(i)]);
    EXPECT_FALSE(a.add(5, 0, 1, "AAAA"));  // older
    EXPECT_EQ(a.gen, 7);
    EXPECT_TRUE(a.parts.empty());

    // A newer generation drops the parts of an unfinished one.
    SharedLogo::Assembler b;
    b.add(7, 0, 5, "AAAA");
    b.add(7, 1, 5, "AAAA");
    EXPECT_FALSE(b.add(8, 0, 2, "AAAA"));
    EXPECT_EQ(b.parts.size(), 1u);
    EXPECT_EQ(b.count, 2);
    // A count that disagrees with the generation's, and an index outside it, are refused.
    EXPECT_FALSE(b.add(8, 1, 3, "AAAA"));
    EXPECT_FALSE(b.add(8, 2, 2, "AAAA"));
    EXPECT_FALSE(b.add(8, -1, 2, "AAAA"));
    const auto done = b.add(8, 1, 2, "AAAA");
    ASSERT_TRUE(done);
    EXPECT_EQ(done->size(), 6u);

    // An empty logo resets to its generation; an older empty one is refused.
    const auto empty = b.add(11, 0, 0, "");
    ASSERT_TRUE(empty);
    EXPECT_TRUE(empty->empty());
    EXPECT_EQ(b.gen, 11);
    EXPECT_FALSE(b.add(9, 0, 0, ""));

    // Text that is not base64 completes to nothing and clears the parts.
    SharedLogo::Assembler c;
    EXPECT_FALSE(c.add(1, 0, 1, "not base64!"));
    EXPECT_TRUE(c.parts.empty());
}

TEST(SharedLogo, RefusesHostileCountsAndGenerationsWithoutMoving) {
    SharedLogo::Assembler a;
    a.add(10, 0, 2, "AAAA");
    const double nan = std::numeric_limits<double>::quiet_NaN();
    const double inf = std::numeric_limits<double>::infinity();
    EXPECT_FALSE(a.add(nan, 1, 2, "AAAA"));
    EXPECT_FALSE(a.add(inf, 0, 0, ""));
    EXPECT_FALSE(a.add(-inf, 1, 2, "AAAA"));
    EXPECT_FALSE(a.add(11, 0, SharedLogo::kMaxChunks + 1, "AAAA"));
    EXPECT_FALSE(a.add(11, 0, std::numeric_limits<int>::max(), "AAAA"));
    EXPECT_FALSE(a.add(11, 0, -5, "AAAA"));
    // A generation far ahead of this host's clock would pin the logo: refused.
    EXPECT_FALSE(a.add(1e308, 0, 0, ""));
    const double now = 1.7e12;
    EXPECT_FALSE(a.add(now + SharedLogo::kMaxLeadMs + 1, 0, 0, "", now));
    EXPECT_EQ(a.gen, 10);
    ASSERT_TRUE(a.add(10, 1, 2, "AAAA"));
    EXPECT_TRUE(a.add(now + SharedLogo::kMaxLeadMs, 0, 0, "", now));
    // The lead a refusal reports, and none for what is taken or is no number.
    EXPECT_EQ(SharedLogo::leadMs(now + SharedLogo::kMaxLeadMs + 1, now), SharedLogo::kMaxLeadMs + 1);
    EXPECT_FALSE(SharedLogo::leadMs(now + SharedLogo::kMaxLeadMs, now));
    EXPECT_FALSE(SharedLogo::leadMs(nan, now));
    EXPECT_FALSE(SharedLogo::leadMs(inf, now));

    // The largest accepted count is still collected.
    SharedLogo::Assembler b;
    EXPECT_FALSE(b.add(1, SharedLogo::kMaxChunks - 1, SharedLogo::kMaxChunks, "AAAA"));
    EXPECT_EQ(b.parts.size(), 1u);
}
