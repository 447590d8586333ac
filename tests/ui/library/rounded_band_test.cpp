// The crate's own antialiased rings and tints against the raster engine's stroke and fill of the same rounded
// rectangle: the same pixels but for the antialiasing's rounding, at the widths and offsets the crate uses, and
// nothing outside the clip.
#include "ui/library/crate_card_art.h"

#include <QPainter>
#include <QPainterPath>

#include <gtest/gtest.h>

#include <cmath>

namespace plindo::ui {
namespace {

QImage ground() {
    QImage img(160, 160, QImage::Format_RGB32);
    for (int y = 0; y < 160; ++y)
        for (int x = 0; x < 160; ++x) img.setPixel(x, y, qRgb(x, 255 - y, (x + y) / 2));
    return img;
}

TEST(RoundedBand, MatchesTheRasterEnginesStrokeAndFillInsideTheClip) {
    struct Case {
        QRectF r;
        double radius, width;
        QColor colour;
    };
    const Case cases[] = {
        {{10, 10, 120, 120}, 6, 1, QColor(255, 255, 255, 31)},       // a car's edge on whole pixels
        {{12.3, 9.6, 101.7, 101.7}, 6, 1, QColor(255, 255, 255, 31)},  // and between them
        {{20.5, 14.25, 118.4, 118.4}, 6, 2.5, QColor(255, 214, 10, 242)},
        {{7.7, 30.1, 96.4, 96.4}, 5.1, 3 * 0.85, QColor(48, 209, 88, 230)},
        {{15.2, 11.9, 90, 90}, 6, 1.5, QColor(255, 69, 58, 166)},
        {{15.2, 11.9, 90, 90}, 6, 0, QColor(255, 69, 58, 26)},  // the played tint fills
    };
    for (const Case& c : cases) {
        const QRect clip(0, 0, 160, 100);
        const QImage before = ground();
        QImage mine = before, theirs = before;
        paintRoundedBand(mine, c.r, c.radius, c.width, c.colour, clip);
        {
            QPainter p(&theirs);
            p.setRenderHint(QPainter::Antialiasing);
            p.setClipRect(clip);
            if (c.width > 0) {
                const double in = c.width / 2;
                p.setPen(QPen(c.colour, c.width));
                p.drawRoundedRect(c.r.adjusted(in, in, -in, -in), c.radius - in, c.radius - in);
            } else {
                QPainterPath path;
                path.addRoundedRect(c.r, c.radius, c.radius);
                p.fillPath(path, c.colour);
            }
        }
        int worst = 0, far = 0, changed = 0;
        for (int y = 0; y < 160; ++y)
            for (int x = 0; x < 160; ++x) {
                const QRgb a = mine.pixel(x, y), b = theirs.pixel(x, y);
                if (!clip.contains(x, y)) ASSERT_EQ(a, before.pixel(x, y)) << x << "," << y;
                changed += a != before.pixel(x, y);
                const int d = std::max({std::abs(qRed(a) - qRed(b)), std::abs(qGreen(a) - qGreen(b)),
                                        std::abs(qBlue(a) - qBlue(b))});
                worst = std::max(worst, d);
                if (d > 12) ++far;
            }
        EXPECT_GT(changed, 100);
        // The raster engine flattens the corners' arcs a little; a wrong inset, width or corner differs along
        // whole edges.
        EXPECT_LE(far, 20) << c.r.x() << " width " << c.width << " worst " << worst;
    }
}

}  // namespace
}  // namespace plindo::ui
