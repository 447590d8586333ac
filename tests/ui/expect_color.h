#pragma once
// Compares a colour's components as reals, within what 8-bit storage rounds away.
#include <QColor>

#include <gtest/gtest.h>

namespace plindo::ui::test {

inline void expectColor(const QColor& c, double r, double g, double b, double a = 1) {
    EXPECT_NEAR(c.redF(), r, 0.003);
    EXPECT_NEAR(c.greenF(), g, 0.003);
    EXPECT_NEAR(c.blueF(), b, 0.003);
    EXPECT_NEAR(c.alphaF(), a, 0.003);
}

}  // namespace plindo::ui::test
