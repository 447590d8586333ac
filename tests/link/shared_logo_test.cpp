#include "link/shared_logo.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <limits>
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
        {1, {4}},
        {3, {4}},
        {4500, {6000}},
        {4501, {6000, 4}},
        {4503, {6000, 4}},
        {20000, {6000, 6000, 6000, 6000, 2668}},
    };
    for (const auto& [bytes, sizes] : cases) {
        auto cut = SharedLogo::chunks(pattern(bytes));
        std::vector<size_t> got;
        for (const auto& c : cut) got.push_back(c.size());
        EXPECT_EQ(got, sizes) << bytes;
    }
}

TEST(SharedLogo, CompletesInAnyOrderAndAgainForARepeatedSet) {
    const auto logo = pattern(30000);
    const auto cut = SharedLogo::chunks(logo);
    const int n = static_cast<int>(cut.size());
    std::vector<int> order(cut.size());
    for (int i = 0; i < n; ++i) order[static_cast<size_t>(i)] = i;
    std::mt19937 rng(3);
    for (int round = 0; round < 5; ++round) {
        std::shuffle(order.begin(), order.end(), rng);
        SharedLogo::Assembler a;
        for (size_t k = 0; k < order.size(); ++k) {
            const int i = order[k];
            auto r = a.add(1000, i, n, cut[static_cast<size_t>(i)]);
            if (k + 1 < order.size()) {
                ASSERT_FALSE(r) << "early completion at " << k;
                // A repeated chunk replaces its earlier text and does not count twice.
                ASSERT_FALSE(a.add(1000, i, n, cut[static_cast<size_t>(i)]));
            } else {
                ASSERT_TRUE(r);
                EXPECT_EQ(*r, logo);
            }
        }
        // The same generation sent again completes again.
        std::optional<std::vector<std::uint8_t>> again;
        for (int i = 0; i < n; ++i) again = a.add(1000, i, n, cut[static_cast<size_t>(i)]);
        ASSERT_TRUE(again);
        EXPECT_EQ(*again, logo);
    }
}

TEST(SharedLogo, KeepsOnlyTheNewestGeneration) {
    const auto cut = SharedLogo::chunks(pattern(30000));  // 7 chunks
    const int n = static_cast<int>(cut.size());
    ASSERT_EQ(n, 7);

    SharedLogo::Assembler a;
    for (int i = 0; i < n; ++i) a.add(7, i, n, cut[static_cast<size_t>(i)]);
    EXPECT_FALSE(a.add(5, 0, 1, "AAAA"));
    EXPECT_EQ(a.gen, 7);
    EXPECT_EQ(a.count, n);
    EXPECT_TRUE(a.parts.empty());

    // A newer generation drops the parts of an unfinished one.
    SharedLogo::Assembler b;
    b.add(7, 0, 5, "AAAA");
    b.add(7, 1, 5, "AAAA");
    EXPECT_FALSE(b.add(8, 0, 2, "AAAA"));
    EXPECT_EQ(b.gen, 8);
    EXPECT_EQ(b.parts.size(), 1u);
    EXPECT_EQ(b.count, 2);

    // A count that disagrees with the generation's, and an index at or past the count, are refused.
    EXPECT_FALSE(b.add(8, 1, 3, "AAAA"));
    EXPECT_FALSE(b.add(8, 2, 2, "AAAA"));
    EXPECT_FALSE(b.add(8, -1, 2, "AAAA"));
    EXPECT_EQ(b.parts.size(), 1u);
    auto done = b.add(8, 1, 2, "AAAA");
    ASSERT_TRUE(done);
    EXPECT_EQ(done->size(), 6u);

    // Text that is not base64 completes to nothing and clears the parts.
    SharedLogo::Assembler c;
    EXPECT_FALSE(c.add(1, 0, 1, "not base64!"));
    EXPECT_TRUE(c.parts.empty());
}

TEST(SharedLogo, EmptyLogoResetsToItsGeneration) {
    SharedLogo::Assembler a;
    a.add(10, 0, 3, "AAAA");
    auto empty = a.add(11, 0, 0, "");
    ASSERT_TRUE(empty);
    EXPECT_TRUE(empty->empty());
    EXPECT_EQ(a.gen, 11);
    EXPECT_TRUE(a.parts.empty());
    EXPECT_FALSE(a.add(9, 0, 0, ""));
}

TEST(SharedLogo, RefusesHostileCountsAndGenerations) {
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
    // None of them moved the assembler: generation 10 still completes.
    EXPECT_EQ(a.gen, 10);
    auto done = a.add(10, 1, 2, "AAAA");
    ASSERT_TRUE(done);
    EXPECT_EQ(done->size(), 6u);

    // The largest accepted count is still collected normally.
    SharedLogo::Assembler b;
    EXPECT_FALSE(b.add(1, SharedLogo::kMaxChunks - 1, SharedLogo::kMaxChunks, "AAAA"));
    EXPECT_EQ(b.parts.size(), 1u);
}

TEST(SharedLogo, SelfTestPasses) { EXPECT_TRUE(SharedLogo::selfTest().empty()); }
