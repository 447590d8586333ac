#include "motion/cells.h"

#include <gtest/gtest.h>

#include <atomic>
#include <thread>

using namespace plindo::motion;

TEST(Cells, SeekIsTakenOnceAndAnchorStartsInvalid) {
    SeekCell seek;
    EXPECT_FALSE(seek.take());
    seek.request(12.5);
    EXPECT_EQ(seek.take(), 12.5);
    EXPECT_FALSE(seek.take());
    EXPECT_FALSE(AnchorCell().cell.read().valid) << "a new deck must not follow a zero anchor";
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
