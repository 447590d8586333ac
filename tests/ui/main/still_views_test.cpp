// Views that follow the controller frame by frame repaint only when what they show changed, and what a view
// keeps between frames (the placement tile's backdrop) paints the same pixels as drawing it all again.
#include "../fake_host.h"
#include "ui/kit/frame_clock.h"
#include "ui/main/deck_placement_panel.h"
#include "ui/main/deck_wave_column.h"
#include "ui/main/placement_scene.h"
#include "ui/main/platter_spindle.h"

#include <QPainter>
#include <QTest>

#include <gtest/gtest.h>

#include <functional>

namespace plindo::ui {
namespace {

using test::FakeHost;

// Counts the paint events a widget and the views inside it get.
class PaintCounter : public QObject {
public:
    explicit PaintCounter(QWidget* w) {
        w->installEventFilter(this);
        for (QWidget* child : w->findChildren<QWidget*>()) child->installEventFilter(this);
    }
    int paints = 0;

protected:
    bool eventFilter(QObject*, QEvent* e) override {
        if (e->type() == QEvent::Paint) ++paints;
        return false;
    }
};

// Paints after `frames` steps of the clock with nothing changed, then after one change.
std::pair<int, int> paintsStillThenChanged(QWidget& w, const std::function<void()>& change) {
    w.resize(w.sizeHint().expandedTo(QSize(200, 200)));
    w.show();
    EXPECT_TRUE(QTest::qWaitForWindowExposed(&w));
    FrameClock::shared().step(2);
    QCoreApplication::processEvents();
    PaintCounter counter(&w);
    FrameClock::shared().step(5);
    QCoreApplication::processEvents();
    const int still = counter.paints;
    change();
    FrameClock::shared().step();
    QCoreApplication::processEvents();
    return {still, counter.paints - still};
}

TEST(StillViews, RepaintOnlyWhenWhatTheyShowChanged) {
    FrameClock::shared().setManual(true);
    FakeHost host;
    host::DeckInfo deck;
    deck.path = "/a.mp3";
    deck.posSec = 10;
    deck.durationSec = 60;
    host.assignDeck(1, deck);
    host.remoteAngles[1] = 0.5;

    DeckWaveColumn column(host, 1);
    auto [still, changed] = paintsStillThenChanged(column, [&] {
        deck.posSec = 10.5;
        host.assignDeck(1, deck);
    });
    EXPECT_EQ(still, 0) << "wave column";
    EXPECT_EQ(changed, 1) << "wave column";

    PlatterSpindle spindle(20, [&] { return host.remoteLastAngle(1); });
    std::tie(still, changed) = paintsStillThenChanged(spindle, [&] { host.remoteAngles[1] = 0.7; });
    EXPECT_EQ(still, 0) << "spindle";
    EXPECT_EQ(changed, 1) << "spindle";

    DeckPlacementPanel panel(host, 1);
    host::PlaceSnapshot place;
    place.fresh = true;
    place.age = 0.1;
    place.raw.placeFlags = 0x03;
    host.places[1] = place;
    PaintCounter canvasPaints(panel.canvas());
    std::tie(still, changed) = paintsStillThenChanged(panel, [&] { host.places[1].raw.offX = 2; });
    EXPECT_EQ(still, 0) << "placement tile";
    EXPECT_GE(canvasPaints.paints, 1) << "placement tile";
    EXPECT_GE(changed, 1) << "placement tile";
}

TEST(StillViews, PlacementCanvasKeepsItsBackdropWithoutChangingAPixel) {
    FrameClock::shared().setManual(true);
    FakeHost host;
    DeckPlacementPanel panel(host, 2);
    panel.resize(420, 220);
    panel.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&panel));
    QWidget* canvas = panel.canvas();
    host::PlaceSnapshot place;
    place.raw.placeFlags = 0x03;
    place.raw.offX = 3;
    place.raw.yaw = 0.4;
    // Fresh, stale and fresh again: the kept backdrop follows the freshness.
    for (bool fresh : {true, false, true}) {
        place.fresh = fresh;
        place.age = fresh ? 0.1 : 2.0;
        host.places[2] = place;
        FrameClock::shared().step();
        QCoreApplication::processEvents();
        const QImage shown = canvas->grab().toImage().convertToFormat(QImage::Format_ARGB32_Premultiplied);
        QImage drawn(shown.size(), QImage::Format_ARGB32_Premultiplied);
        drawn.setDevicePixelRatio(shown.devicePixelRatio());
        drawn.fill(Qt::black);
        {
            QPainter p(&drawn);
            const PlacementInputs in = placementInputs(host, 2);
            drawPlacementScene(p, in.snapshot.raw, in.snapshot.fresh, in.bigLabel, in.smallLabel, canvas->size(),
                               in.theta);
        }
        EXPECT_EQ(shown, drawn) << "fresh " << fresh;
    }
}

TEST(StillViews, APlacementTileResizedShowsTheGroundOfAFreshTile) {
    FrameClock::shared().setManual(true);
    FakeHost host;
    const auto shot = [](QWidget& w) { return w.grab().toImage().convertToFormat(QImage::Format_ARGB32_Premultiplied); };
    DeckPlacementPanel resized(host, 1);
    resized.resize(420, 220);
    resized.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&resized));
    shot(resized);
    resized.resize(300, 260);
    QCoreApplication::processEvents();
    DeckPlacementPanel fresh(host, 1);
    fresh.resize(300, 260);
    fresh.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&fresh));
    EXPECT_EQ(shot(resized), shot(fresh));
}

}  // namespace
}  // namespace plindo::ui
