#include "motion/cells.h"

#include <gtest/gtest.h>

#include <thread>

using namespace plindo::motion;

TEST(Cells, SeekIsTakenOnceAndAnchorStartsInvalid) {
    SeekCell seek;
    EXPECT_FALSE(seek.take());
    seek.request(12.5);
    EXPECT_EQ(seek.take(), 12.5);
    EXPECT_FALSE(seek.take());

    AnchorCell anchor;
    auto s = anchor.cell.read();
    EXPECT_EQ(s.pos, 0);
    EXPECT_EQ(s.wall, 0);
    EXPECT_EQ(s.rate, 0);
    EXPECT_FALSE(s.valid);
}

TEST(Cells, ReplacedStemStaysIntactWhileHeld) {
    StemTable table;
    auto first = std::make_shared<StemBuf>();
    first->left = {1, 2, 3};
    first->right = {1, 2, 3};
    table.replace(first);
    StemRef held = table.read();
    first.reset();
    auto old = table.replace(std::make_shared<StemBuf>());
    old.reset();
    ASSERT_EQ(held->left.size(), 3u);
    EXPECT_EQ(held->left[2], 3.0f);
}

TEST(Cells, AnchorIsAlwaysReadWhole) {
    AnchorCell anchor;
    std::atomic<bool> stop{false};
    std::thread writer([&] {
        for (double i = 0; !stop; i += 1) anchor.cell.write({i, i, i, true});
    });
    for (int k = 0; k < 200000; ++k) {
        auto s = anchor.cell.read();
        ASSERT_EQ(s.pos, s.wall);
        ASSERT_EQ(s.pos, s.rate);
    }
    stop = true;
    writer.join();
}
