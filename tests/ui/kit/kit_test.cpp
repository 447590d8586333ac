// The kit's colours, symbols, blur and frame clock.
#include "ui/kit/blur.h"
#include "ui/kit/colors.h"
#include "ui/kit/frame_clock.h"
#include "ui/kit/hex_color.h"
#include "ui/kit/system_image.h"

#include <QDir>
#include <QPainter>
#include <QWidget>

#include <gtest/gtest.h>

#include <cmath>

namespace plindo::ui {
namespace {

TEST(HexColor, ReadsSixDigitsWithOrWithoutHashElseYellow) {
    struct Case {
        const char* text;
        QColor want;
    } cases[] = {
        {"ff8000", QColor(255, 128, 0)},   {"#ff8000", QColor(255, 128, 0)}, {"#00FFaa", QColor(0, 255, 170)},
        {"", colors::yellow()},             {"#", colors::yellow()},          {"ff80", colors::yellow()},
        {"##ff8000", colors::yellow()},     {"ff8000 ", colors::yellow()},    {"gg0000", colors::yellow()},
        {"#ff80001", colors::yellow()},     {"0x1234", colors::yellow()},
    };
    for (const auto& c : cases) EXPECT_EQ(colorFromHex(c.text), c.want) << c.text;
}

TEST(Colors, DeckTwoIsAmberEveryOtherVioletAndLabelsFadeWhite) {
    EXPECT_EQ(colors::deck(2), QColor::fromRgbF(0.91f, 0.765f, 0.227f));
    for (int d : {1, 0, 3, -1}) EXPECT_EQ(colors::deck(d), colors::deck(1)) << d;
    EXPECT_NE(colors::deck(1), colors::deck(2));
    EXPECT_NEAR(colors::secondary().alphaF(), 0.55, 0.01);
    EXPECT_NEAR(colors::tertiary().alphaF(), 0.25, 0.01);
    EXPECT_NEAR(colors::quaternary().alphaF(), 0.10, 0.01);
    EXPECT_NEAR(colors::withOpacity(colors::secondary(), 0.5).alphaF(), 0.275, 0.01);
}

int inkPixels(const QImage& img) {
    int n = 0;
    for (int y = 0; y < img.height(); ++y)
        for (int x = 0; x < img.width(); ++x) n += qAlpha(img.pixel(x, y)) > 0;
    return n;
}

TEST(SystemImage, EverySymbolInksItsSquareAndUnknownNamesPaintNothing) {
    const auto names = systemImageNames();
    ASSERT_GE(names.size(), 18u);
    const int cell = 48;
    QImage sheet(cell * int(names.size()), cell, QImage::Format_ARGB32_Premultiplied);
    sheet.fill(Qt::black);
    QPainter sp(&sheet);
    for (size_t i = 0; i < names.size(); ++i) {
        QImage img(cell, cell, QImage::Format_ARGB32_Premultiplied);
        img.fill(Qt::transparent);
        QPainter p(&img);
        EXPECT_TRUE(paintSystemImage(p, names[i], QRectF(0, 0, cell, cell), Qt::white)) << names[i];
        p.end();
        const int ink = inkPixels(img);
        EXPECT_GT(ink, cell * cell / 30) << names[i];  // visible
        EXPECT_LT(ink, cell * cell * 9 / 10) << names[i];  // not a filled square
        sp.drawImage(int(i) * cell, 0, img);
    }
    sp.end();
    sheet.save(QDir(qEnvironmentVariable("PLINDO_SCREENSHOT_DIR")).filePath("kit_symbols.png"));

    QImage img(24, 24, QImage::Format_ARGB32_Premultiplied);
    img.fill(Qt::transparent);
    QPainter p(&img);
    EXPECT_FALSE(paintSystemImage(p, "no.such.symbol", QRectF(0, 0, 24, 24), Qt::white));
    p.end();
    EXPECT_EQ(inkPixels(img), 0);
    EXPECT_EQ(inkPixels(systemPixmap("no.such.symbol", 16, Qt::white).toImage()), 0);
}

TEST(Blur, SpreadsEvenlyKeepsTheWeightAndStaysPremultiplied) {
    QImage img(41, 41, QImage::Format_ARGB32_Premultiplied);
    img.fill(Qt::transparent);
    for (int y = 18; y <= 22; ++y)
        for (int x = 18; x <= 22; ++x) img.setPixel(x, y, qRgba(255, 255, 255, 255));
    EXPECT_EQ(blurred(img, 0), img);

    const QImage out = blurred(img, 3.0);
    ASSERT_EQ(out.size(), img.size());
    double total = 0;
    for (int y = 0; y < 41; ++y)
        for (int x = 0; x < 41; ++x) {
            const QRgb px = out.pixel(x, y);
            total += qAlpha(px);
            ASSERT_LE(qRed(px), qAlpha(px));
        }
    EXPECT_NEAR(total, 25 * 255.0, 25 * 255.0 * 0.02);  // up to rounding
    EXPECT_LT(qAlpha(out.pixel(20, 20)), 255);
    EXPECT_EQ(qAlpha(out.pixel(15, 20)), qAlpha(out.pixel(25, 20)));
    EXPECT_EQ(qAlpha(out.pixel(20, 15)), qAlpha(out.pixel(15, 20)));
    EXPECT_GT(qAlpha(out.pixel(20, 20)), qAlpha(out.pixel(23, 20)));
    EXPECT_GT(qAlpha(out.pixel(15, 20)), 0);
    EXPECT_EQ(qAlpha(out.pixel(0, 0)), 0);

    // An opaque image edge fades: pixels beyond the edge count as transparent.
    QImage solid(20, 20, QImage::Format_ARGB32_Premultiplied);
    solid.fill(Qt::white);
    const QImage soft = blurred(solid, 2.0);
    EXPECT_LT(qAlpha(soft.pixel(0, 10)), qAlpha(soft.pixel(10, 10)));
    EXPECT_EQ(qAlpha(soft.pixel(10, 10)), 255);
}

TEST(FrameClock, RunsOnlyWhileSubscribedAndSurvivesChangesInsideATick) {
    FrameClock clock;
    EXPECT_FALSE(clock.running());
    int a = 0, b = 0;
    auto subA = clock.subscribe([&] { ++a; });
    EXPECT_TRUE(clock.running());

    clock.setManual(true);
    EXPECT_FALSE(clock.running());
    FrameClock::Subscription subB;
    subB = clock.subscribe([&] {
        ++b;
        subA.reset();  // ends another subscription in the middle of a frame
        subB.reset();  // and its own
    });
    clock.step(3);
    EXPECT_EQ(b, 1);
    EXPECT_LE(a, 1);  // ran before B ended it, or not at all
    EXPECT_EQ(clock.subscriberCount(), 0u);

    // A repaint subscription of a widget that goes away does nothing afterwards.
    auto* w = new QWidget;
    auto sub = clock.subscribeRepaint(w);
    delete w;
    clock.step();
    EXPECT_EQ(clock.subscriberCount(), 1u);
    sub.reset();
    EXPECT_EQ(clock.subscriberCount(), 0u);
}

TEST(FrameClock, SubscriptionMayOutliveItsClock) {
    FrameClock::Subscription sub;
    {
        FrameClock clock;
        sub = clock.subscribe([] {});
        EXPECT_TRUE(sub.active());
    }
    EXPECT_FALSE(sub.active());
    sub.reset();
}

}  // namespace
}  // namespace plindo::ui

namespace plindo::ui {
namespace {

TEST(FrameClock, PollsSlowlyWhileNothingMovesAndReturnsToFullRateOnMotion) {
    FrameClock clock;
    clock.setManual(true);
    bool moving = false;
    int stills = 0;
    auto still = clock.subscribe([&] { ++stills; });  // a plain tick always counts as motion
    auto follower = clock.subscribeFollow([&] { return moving; });
    clock.step(FrameClock::kIdleAfterFrames + 5);
    EXPECT_EQ(clock.intervalMs(), FrameClock::kIntervalMs);
    EXPECT_EQ(stills, FrameClock::kIdleAfterFrames + 5);

    still.reset();
    clock.step(FrameClock::kIdleAfterFrames - 1);
    EXPECT_EQ(clock.intervalMs(), FrameClock::kIntervalMs);
    clock.step();
    EXPECT_EQ(clock.intervalMs(), FrameClock::kIdleIntervalMs);

    moving = true;
    clock.step();
    EXPECT_EQ(clock.intervalMs(), FrameClock::kIntervalMs);
    moving = false;
    clock.step(FrameClock::kIdleAfterFrames);
    EXPECT_EQ(clock.intervalMs(), FrameClock::kIdleIntervalMs);
    clock.wake();
    EXPECT_EQ(clock.intervalMs(), FrameClock::kIntervalMs);
}

}  // namespace
}  // namespace plindo::ui
