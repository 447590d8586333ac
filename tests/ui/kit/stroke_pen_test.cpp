#include "ui/kit/stroke_pen.h"

#include <gtest/gtest.h>

namespace plindo::ui {
namespace {

TEST(StrokePen, DashesGivenInPointsBecomePenWidths) {
    const QPen dashed = strokePen(Qt::white, 1.2, {4, 3});
    ASSERT_EQ(dashed.dashPattern().size(), 2);
    EXPECT_NEAR(dashed.dashPattern()[0], 3.3333, 1e-3);
    EXPECT_NEAR(dashed.dashPattern()[1], 2.5, 1e-9);
    EXPECT_EQ(dashed.capStyle(), Qt::FlatCap);
    EXPECT_EQ(dashed.joinStyle(), Qt::MiterJoin);
    EXPECT_EQ(dashed.miterLimit(), 10);
    EXPECT_EQ(strokePen(Qt::white, 1.0).style(), Qt::SolidLine);
}

}  // namespace
}  // namespace plindo::ui
