// The spindle's drawing in pixels and its frame-driven redraw.
#include "ui/main/platter_spindle.h"

#include "ui/kit/colors.h"

#include "../fake_host.h"

#include <QPainter>
#include <QTest>

#include <gtest/gtest.h>

#include <numbers>

namespace plindo::ui {
namespace {

QImage spindleImage(bool fresh, double angle) {
    QImage img(100, 100, QImage::Format_ARGB32);
    img.fill(Qt::transparent);
    QPainter p(&img);
    paintSpindle(p, 100, fresh, angle);
    return img;
}

TEST(PaintSpindle, NeedlePointsUpAtZeroAndTurnsAnticlockwise) {
    const QColor accent = colors::accent();
    const QImage up = spindleImage(true, 0);
    EXPECT_EQ(up.pixelColor(50, 30).rgb(), accent.rgb());   // needle above the centre
    EXPECT_EQ(up.pixelColor(30, 50).alpha(), 0);            // nothing to the left
    EXPECT_GT(up.pixelColor(50, 10).alpha(), 0);            // the index mark at the top

    const QImage left = spindleImage(true, std::numbers::pi / 2);
    EXPECT_EQ(left.pixelColor(30, 50).rgb(), accent.rgb());
    EXPECT_EQ(left.pixelColor(70, 50).alpha(), 0);
    EXPECT_EQ(left.pixelColor(50, 30).alpha(), 0);
    EXPECT_GT(left.pixelColor(50, 10).alpha(), 0);  // the mark does not turn
}

TEST(PaintSpindle, FreshChangesOnlyTheNeedle) {
    const QImage fresh = spindleImage(true, 0.3), stale = spindleImage(false, 0.3);
    const QColor needle = stale.pixelColor(50, 30);
    EXPECT_EQ(needle.red(), needle.blue());  // grey, not the accent
    const QTransform turn = QTransform().translate(50, 50).rotateRadians(-0.3);
    const QRectF needleRect(-6, -41, 12, 42);  // the needle with a pixel of antialiasing around it
    for (int y = 0; y < 100; ++y) {
        for (int x = 0; x < 100; ++x) {
            if (fresh.pixel(x, y) == stale.pixel(x, y)) continue;
            const QPointF local = turn.inverted().map(QPointF(x + 0.5, y + 0.5));
            EXPECT_TRUE(needleRect.contains(local)) << x << "," << y;
        }
    }
}

TEST(PlatterSpindle, ReadsTheAngleOncePerFrameWhileShown) {
    FrameClock::shared().setManual(true);
    int reads = 0;
    PlatterSpindle spindle(20, [&] {
        ++reads;
        return 0.0;
    });
    spindle.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&spindle));
    EXPECT_TRUE(spindle.animating());
    QCoreApplication::processEvents();
    reads = 0;
    for (int i = 0; i < 3; ++i) {
        FrameClock::shared().step();
        QCoreApplication::processEvents();
    }
    EXPECT_EQ(reads, 3);
    spindle.hide();
    EXPECT_FALSE(spindle.animating());
}

}  // namespace
}  // namespace plindo::ui
