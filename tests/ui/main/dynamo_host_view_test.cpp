#include "ui/main/dynamo_host_view.h"

#include "../fake_host.h"

#include <QCoreApplication>
#include <QPainter>

#include <gtest/gtest.h>

#include <cmath>
#include <numbers>

namespace plindo::ui {
namespace {

using motion::DynamoFrame;
using motion::DynamoGate::Feed;
using motion::DynamoGate::Turn;

// A frame with everything the drawing shows: fits, events, an outline with a face, a trail and its head.
DynamoFrame richFrame(double now) {
    DynamoFrame f;
    f.mode = {Turn::dynamo, Feed::lgs};
    f.now = now;
    f.theta = 0.6;
    f.origin = "iPhone 15";
    f.rateDeg = 200;
    f.tiltPlatter = {0.6, 0.8, 1.2, 0.7};
    f.tiltPhone = {1, 0, 3, 0.8};
    f.tiltWorld = {0, 1, 2, 0.5};
    f.anchorValid = true;
    f.anchorCm = 6.2;
    f.latchWhy = "spin";
    f.frame = {{-1.5, -3.5}, {5.5, -3.5}, {5.5, 11}, {-1.5, 11}};
    f.chipX = 2;
    f.chipY = 8;
    f.cEstValid = true;
    f.cEstX = -0.4;
    f.cEstY = 0.3;
    f.pvtValid = true;
    f.pvtX = 0.5;
    f.pvtY = -0.6;
    f.measDx = 2.2;
    f.measDy = 7.6;
    f.roots = motion::DynamoProbe::Roots{2.4, 8.3, 1.2, 7.1, true, true, false, 0.6};
    f.fired = {{now - 1, "kick", 0.6, 0.8, 1.0, 1, 0, 2.0}};
    for (int i = 0; i < 60; ++i) {
        const double a = i * 0.09;
        f.tail.push_back({6.2 * std::cos(a), 6.2 * std::sin(a), now - 5.9 + i * 0.1, i > 50, false, a / 2, {}});
    }
    f.headAxG = 0.05;
    f.headAyG = 0.08;
    f.sigmaCm = 0.6;
    f.outline.source = motion::DeviceOutline::Source::gemeldet;
    return f;
}

struct DynamoHostViewTest : ::testing::Test {
    DynamoHostViewTest() { FrameClock::shared().setManual(true); }
    void publish(int deck, const DynamoFrame& f, double age) {
        host::DynamoSnapshot s;
        s.frame = f;
        s.age = age;
        s.live = age < 1.0;
        host.dynamos[deck] = s;
    }
    ::plindo::test::FakeHost host;
};

TEST_F(DynamoHostViewTest, LiveRecordShowsBothRowsAndAStaleOneThePlaceholder) {
    DynamoFrame f;
    f.mode = {Turn::dynamo, Feed::live};
    f.rateDeg = 200;
    f.scOld = true;
    publish(1, f, 0.9);
    DynamoHostView view(host, 1);
    view.resize(500, 300);
    FrameClock::shared().step();
    EXPECT_TRUE(view.live());
    EXPECT_EQ(view.topRow(), (std::vector<std::string>{"—", "Legacy", "DYNAMO (hier stato)", "alt SCR · neu —  ⇒ ODER: SCR",
                                                       "33.3 rpm", "nicht gemeldet"}));
    ASSERT_EQ(view.bottomRow().size(), 3u);
    EXPECT_EQ(view.bottomRow()[0], "noch keine Drehung");
    EXPECT_TRUE(view.placeholder().empty());

    publish(1, f, 1.0);
    FrameClock::shared().step(2);
    EXPECT_FALSE(view.live());
    EXPECT_EQ(view.placeholder(), (std::vector<std::string>{"keine Diagnose von Deck 1", "letzte Meldung vor 1 s"}));
    EXPECT_TRUE(view.bottomRow().empty());
    EXPECT_EQ(view.topRow().back(), "ALT");
    EXPECT_EQ(view.topRow()[2], "DYNAMO (hier stato)");  // still the record's own fields

    f.tailThinned = true;
    f.origin = "Pixel";
    f.outline.source = motion::DeviceOutline::Source::gemeldet;
    publish(1, f, 0.2);
    FrameClock::shared().step(2);
    const auto row = view.topRow();
    ASSERT_EQ(row.size(), 7u);
    EXPECT_EQ(row[0], "Pixel");
    EXPECT_EQ(row[5], "Schweif ausgeduennt");
    EXPECT_EQ(row[6], "Schirm, vom Geraet gemeldet");
}

TEST_F(DynamoHostViewTest, NothingEverReceivedSaysSo) {
    DynamoHostView view(host, 2);
    view.resize(400, 240);
    EXPECT_EQ(view.placeholder(), (std::vector<std::string>{"keine Diagnose von Deck 2", "noch nie etwas empfangen"}));
    EXPECT_EQ(view.topRow().back(), "ALT");
    publish(2, DynamoFrame{}, std::nan(""));
    FrameClock::shared().step(2);
    EXPECT_EQ(view.placeholder()[1], "noch nie etwas empfangen");
}

TEST_F(DynamoHostViewTest, DrawsTheStatoPictureAtMostEveryOtherFrame) {
    DynamoFrame f = richFrame(100);
    publish(1, f, 0.1);
    DynamoHostView view(host, 1);
    view.resize(300, 200);
    std::vector<std::pair<Turn, Feed>> drawn;
    view.setDraw([&](QPainter&, const DynamoFrame& frame, QSizeF size) {
        drawn.emplace_back(frame.mode.turn, frame.mode.feed);
        EXPECT_EQ(size, QSizeF(300, 200));
    });
    drawn.clear();
    const int before = view.rebuilds();
    FrameClock::shared().step(6);
    EXPECT_EQ(view.rebuilds() - before, 3);
    ASSERT_EQ(drawn.size(), 3u);
    for (const auto& [turn, feed] : drawn) {
        EXPECT_EQ(turn, Turn::stato);
        EXPECT_EQ(feed, Feed::lgs);
    }
}

TEST_F(DynamoHostViewTest, Screenshot) {
    publish(1, richFrame(host.clock.now()), 0.1);
    DynamoHostView view(host, 1);
    view.resize(520, 420);  // a library pane
    view.show();
    FrameClock::shared().step();
    QCoreApplication::processEvents();
    ASSERT_TRUE(view.live());
    const QImage img = view.grab().toImage();
    // The picture has colour in it, not just the black ground.
    int lit = 0;
    for (int y = 0; y < img.height(); y += 4)
        for (int x = 0; x < img.width(); x += 4)
            if (qGray(img.pixel(x, y)) > 40) ++lit;
    EXPECT_GT(lit, 200);
    img.save(qEnvironmentVariable("PLINDO_SCREENSHOT_DIR") + "/dynamo_host_view.png");
}

}  // namespace
}  // namespace plindo::ui
