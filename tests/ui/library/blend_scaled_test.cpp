// The crate's own scaled draw against the raster engine's: the same pixels but for rounding, at the scales and
// offsets the train uses, smooth and not, and nothing outside the clip.
#include "ui/library/crate_card_art.h"

#include <QPainter>

#include <gtest/gtest.h>

#include <cmath>

namespace plindo::ui {
namespace {

QImage picture() {
    QImage img(120, 120, QImage::Format_ARGB32_Premultiplied);
    img.fill(Qt::transparent);
    QPainter p(&img);
    p.setRenderHint(QPainter::Antialiasing);
    p.setBrush(QColor(200, 40, 90));
    p.setPen(Qt::NoPen);
    p.drawRoundedRect(QRectF(0, 0, 120, 120), 10, 10);  // see-through corners
    p.setBrush(QColor(30, 160, 220, 180));
    p.drawEllipse(QRectF(20, 30, 70, 50));
    for (int x = 0; x < 120; x += 8) p.fillRect(QRectF(x, 100, 4, 20), QColor(250, 250, 250));
    return img;
}

QImage ground() {
    QImage img(200, 200, QImage::Format_RGB32);
    for (int y = 0; y < 200; ++y)
        for (int x = 0; x < 200; ++x) img.setPixel(x, y, qRgb(x, y, (x + y) / 2));
    return img;
}

TEST(BlendScaled, MatchesTheRasterEngineAndKeepsToTheClip) {
    const QImage src = picture();
    struct Case {
        QRectF target;
        bool smooth;
    };
    for (const Case& c : {Case{{10, 10, 120, 120}, true}, Case{{13.3, 7.6, 96.4, 96.4}, true},
                          Case{{40.5, 20.25, 61.7, 61.7}, true}, Case{{5, 5, 150, 150}, true},
                          Case{{9.6, 12.1, 116.3, 116.3}, true}, Case{{-7.35, 3.2, 118.8, 118.8}, true},
                          Case{{13.3, 7.6, 96.4, 96.4}, false}, Case{{40.5, 20.25, 61.7, 61.7}, false}}) {
        const QRect clip(0, 30, 200, 50);
        const QImage before = ground();
        QImage mine = before, theirs = before;
        blendScaled(mine, c.target, src, clip, c.smooth);
        {
            QPainter p(&theirs);
            p.setRenderHint(QPainter::SmoothPixmapTransform, c.smooth);
            p.setClipRect(clip);
            p.drawImage(c.target, src);
        }
        int worst = 0, far = 0;
        for (int y = 0; y < 200; ++y)
            for (int x = 0; x < 200; ++x) {
                const QRgb a = mine.pixel(x, y), b = theirs.pixel(x, y);
                if (!clip.contains(x, y)) ASSERT_EQ(a, before.pixel(x, y)) << x << "," << y;
                const int d = std::max({std::abs(qRed(a) - qRed(b)), std::abs(qGreen(a) - qGreen(b)),
                                        std::abs(qBlue(a) - qBlue(b))});
                worst = std::max(worst, d);
                if (d > 12) ++far;
            }
        // Rounding and the sampling grid differ a little; a wrong offset or scale differs on whole edges.
        EXPECT_LE(far, 40) << c.target.x() << " " << c.target.width() << " smooth " << c.smooth << " worst " << worst;
    }
}

}  // namespace
}  // namespace plindo::ui
