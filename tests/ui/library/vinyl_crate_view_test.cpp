// The crate browser as a widget on the offscreen platform: focus and selection through scrolling, hover,
// taps and drags, what it paints, and screenshots for a reviewer.
#include "crate_test_support.h"
#include "platform/scripted_http_server.h"
#include "ui/kit/frame_clock.h"
#include "ui/library/crate_card_art.h"

#include <gtest/gtest.h>

#include <QApplication>
#include <QMimeData>
#include <QTest>

#include <cmath>

namespace plindo::ui {
namespace {

using test::FakeCoverSource;
using test::RecordingCrateView;

struct Crate {
    FakeCoverSource covers;
    RecordingCrateView view{covers};
    int selection = 0;
    std::vector<std::string> log;

    explicit Crate(int tracks, int w = 1000, int h = 800, bool bind = true) {
        if (bind) {
            view.selectedIdxGet = [this] { return selection; };
            view.selectedIdxSet = [this](int v) {
                selection = v;
                log.push_back("select " + std::to_string(v));
            };
        }
        view.onFocusPath = [this](const VinylCrateView::OptPath& p) { log.push_back("focus " + p.value_or("none")); };
        view.onHoverPath = [this](const VinylCrateView::OptPath& p) { log.push_back("hover " + p.value_or("none")); };
        view.onPick = [this](const std::string& p) { log.push_back("pick " + p); };
        view.onEntryCount = [this](int n) { log.push_back("count " + std::to_string(n)); };
        view.dragProvider = &VinylCrateView::textPayload;
        view.inputsChanged();
        test::showAt(view, w, h);
        view.setTracks(test::someTracks(tracks));
    }
    void select(int n) {
        selection = n;
        view.inputsChanged();
    }
    int focused() const { return view.model().focusedIdx().value_or(-1); }
    void settle() {
        EXPECT_TRUE(QTest::qWaitFor([&] { return !view.scrollingTo(); }, test::kSettleMs));
    }
    // Scrolls entry n to the line and starts a fresh log.
    void focusOn(int n) {
        select(n);
        settle();
        log.clear();
    }
};

TEST(VinylCrateView, FirstBuildFocusesTheCardNearestTheLineAndWritesTheSelection) {
    Crate c(30);
    EXPECT_EQ(c.focused(), 0);
    EXPECT_EQ(c.log, (std::vector<std::string>{"count 30", "focus /music/track 0.mp3"}));
    EXPECT_EQ(c.selection, 0);
}

TEST(VinylCrateView, AtTheTopTheFirstEntryIsOnTheLineFocusedAndTheLargestCardDrawn) {
    // Narrow and tall to wide and low: the first track of a crate opens focused, whatever the pane.
    for (const QSize size : {QSize(290, 800), QSize(400, 800), QSize(560, 600), QSize(700, 800), QSize(1000, 800),
                             QSize(1400, 450)}) {
        SCOPED_TRACE(std::to_string(size.width()) + "x" + std::to_string(size.height()));
        Crate c(30, size.width(), size.height());
        EXPECT_EQ(c.view.scrollOffset(), 0);
        EXPECT_EQ(c.focused(), 0);
        EXPECT_EQ(c.selection, 0);
        EXPECT_EQ(c.log, (std::vector<std::string>{"count 30", "focus /music/track 0.mp3"}));
        const CrateLayout& l = c.view.crateLayout();
        EXPECT_NEAR(l.offsetOf(0, 0), 0, 1e-9);
        // What shows of the focused cover above the lip is at least as large as any car behind it.
        QRectF card = c.view.focusedCardRect();
        card.setBottom(std::min(card.bottom(), l.lipLine));
        EXPECT_NEAR(card.height(), l.cardW, 1e-6);
        const auto [lo, hi] = c.view.model().trainRange();
        for (int i = lo; i < hi; ++i) EXPECT_LE(c.view.carRect(i).height(), card.height()) << i;
    }
}

TEST(VinylCrateView, WheelDuringAScrollToTakesOverAndTheFocusFollowsTheLine) {
    Crate c(30);
    c.select(7);
    ASSERT_TRUE(c.view.scrollingTo());
    ASSERT_EQ(c.focused(), 7);  // the target holds the focus while the scroll runs
    const double slot = c.view.crateLayout().slotH;
    c.view.scrollBy(2.6 * slot);  // before the scroll-to has moved: the wheel ends it
    EXPECT_FALSE(c.view.scrollingTo());
    const auto onLine = [&] { return c.view.crateLayout().nearest(c.view.scrollOffset(), 30).value_or(-1); };
    EXPECT_EQ(onLine(), 3);
    EXPECT_EQ(c.focused(), 3);
    EXPECT_EQ(c.selection, 3);
    c.view.scrollBy(slot);
    EXPECT_EQ(c.focused(), 4);
    QTest::qWait(VinylCrateView::kScrollToMs + 50);  // the stopped scroll never comes back
    EXPECT_EQ(c.focused(), onLine());
    EXPECT_EQ(c.focused(), 4);
}

TEST(VinylCrateView, SelectionScrollsItsEntryToTheLineAndLeavesTheBindingAlone) {
    Crate c(30);
    for (int n : {0, -1, 30}) {
        c.select(n);
        EXPECT_FALSE(c.view.scrollingTo()) << n;
        EXPECT_EQ(c.view.scrollOffset(), 0) << n;
    }
    c.log.clear();
    c.select(7);
    EXPECT_TRUE(c.view.scrollingTo());
    c.settle();
    EXPECT_EQ(c.focused(), 7);
    EXPECT_NEAR(c.view.crateLayout().offsetOf(7, c.view.scrollOffset()), 0, 1e-6);
    EXPECT_EQ(c.selection, 7);
    // One focus report for the target, none for the entries passed, and no write into the binding.
    EXPECT_EQ(c.log, (std::vector<std::string>{"focus /music/track 7.mp3"}));
}

TEST(VinylCrateView, TwoSelectionsWithinOneScrollReportEachTargetOnce) {
    Crate c(30);
    c.log.clear();
    c.select(7);
    ASSERT_TRUE(c.view.scrollingTo());
    c.select(12);  // before the first scroll has moved: the second takes over from where it stands
    ASSERT_TRUE(c.view.scrollingTo());
    c.settle();
    EXPECT_EQ(c.focused(), 12);
    EXPECT_EQ(c.selection, 12);
    EXPECT_EQ(c.log, (std::vector<std::string>{"focus /music/track 7.mp3", "focus /music/track 12.mp3"}));
}

TEST(VinylCrateView, WheelMovesTheFocusAndTheSelectionFollows) {
    Crate c(30);
    const double slot = c.view.crateLayout().slotH;
    c.view.scrollBy(3 * slot);
    EXPECT_EQ(c.focused(), 3);
    EXPECT_EQ(c.selection, 3);
    const double before = c.view.scrollOffset();
    QWheelEvent wheel(QPointF(500, 300), c.view.mapToGlobal(QPointF(500, 300)), QPoint(), QPoint(0, -120),
                      Qt::NoButton, Qt::NoModifier, Qt::NoScrollPhase, false);
    QCoreApplication::sendEvent(&c.view, &wheel);  // one notch down moves the crate on, as a list would
    EXPECT_NEAR(c.view.scrollOffset(), before + QApplication::wheelScrollLines() * 20, 1e-6);
    QWheelEvent pad(QPointF(500, 300), c.view.mapToGlobal(QPointF(500, 300)), QPoint(0, 25), QPoint(0, 3),
                    Qt::NoButton, Qt::NoModifier, Qt::ScrollUpdate, false);
    QCoreApplication::sendEvent(&c.view, &pad);  // a touchpad's pixels count as they are
    EXPECT_NEAR(c.view.scrollOffset(), before + QApplication::wheelScrollLines() * 20 - 25, 1e-6);
    c.view.scrollBy(1e9);
    EXPECT_EQ(c.focused(), 29);
    c.view.scrollBy(-1e9);
    EXPECT_EQ(c.focused(), 0);
}

TEST(VinylCrateView, ResizingKeepsTheFocusedEntryOnTheLine) {
    Crate c(30);
    c.select(7);
    c.settle();
    for (const QSize size : {QSize(290, 800), QSize(1400, 500), QSize(1000, 800)}) {
        c.view.resize(size);
        QResizeEvent e(size, QSize());
        QCoreApplication::sendEvent(&c.view, &e);
        EXPECT_EQ(c.focused(), 7) << size.width();
        EXPECT_NEAR(c.view.crateLayout().offsetOf(7, c.view.scrollOffset()), 0, 1e-6);
    }
}

TEST(VinylCrateView, SteppingTheSelectionReachesBothCopiesOfAFileListedTwice) {
    Crate c(0);
    c.view.setTracks({{"/A", "A"}, {"/B", "B"}, {"/A", "A"}, {"/C", "C"}});
    for (int n : {1, 2, 3, 2, 0}) {
        c.select(n);
        c.settle();
        EXPECT_EQ(c.focused(), n);
        EXPECT_EQ(c.selection, n);
    }
}

TEST(VinylCrateView, EmptyCrateCountsZeroAndGivesTheFloorNoFlip) {
    Crate c(5);
    std::vector<std::pair<double, int>> floors;
    c.view.floorOverlay = [&](double w, int flip) {
        floors.emplace_back(w, flip);
        return new QWidget;
    };
    c.view.inputsChanged();
    c.log.clear();
    c.view.setTracks({});
    EXPECT_EQ(c.log, (std::vector<std::string>{"count 0", "focus none"}));
    ASSERT_FALSE(floors.empty());
    EXPECT_EQ(floors.back(), std::make_pair(592.0, -1));
    EXPECT_EQ(c.view.model().trainRange(), std::make_pair(0, 0));
}

TEST(VinylCrateView, HoverReportsChangesAndNothingOnLeavingEmptySpace) {
    Crate c(30);
    c.focusOn(20);
    const QPointF card = c.view.focusedCardRect().center() - QPointF(0, 40);
    test::send(c.view, QEvent::MouseMove, card);
    test::send(c.view, QEvent::MouseMove, card + QPointF(3, 0));  // same card: no report
    const QRectF car = c.view.carRect(6);  // the farthest car, left of everything in front of it
    test::send(c.view, QEvent::MouseMove, QPointF(car.left() + 2, car.top() + 2));
    test::send(c.view, QEvent::MouseMove, QPointF(2, 2));  // the backdrop
    QEvent leave(QEvent::Leave);
    QCoreApplication::sendEvent(&c.view, &leave);  // already reported none
    test::send(c.view, QEvent::MouseMove, card);
    QCoreApplication::sendEvent(&c.view, &leave);
    EXPECT_EQ(c.log, (std::vector<std::string>{"hover /music/track 20.mp3", "hover /music/track 6.mp3", "hover none",
                                               "hover /music/track 20.mp3", "hover none"}));
    // The panel lies over the card: hovering it is hovering no cover.
    c.log.clear();
    test::send(c.view, QEvent::MouseMove, c.view.panelRect().center());
    EXPECT_TRUE(c.log.empty());
}

TEST(VinylCrateView, TapPicksAndDragOffersThePathAsPlainText) {
    Crate c(30);
    c.focusOn(10);
    const QPointF at = c.view.focusedCardRect().center() - QPointF(0, 50);
    test::send(c.view, QEvent::MouseButtonPress, at, Qt::LeftButton, Qt::LeftButton);
    test::send(c.view, QEvent::MouseButtonRelease, at, Qt::LeftButton, Qt::NoButton);
    EXPECT_EQ(c.log, (std::vector<std::string>{"pick /music/track 10.mp3"}));

    // A car is dragged once the pointer has gone the platform's distance, and is never picked.
    c.log.clear();
    const QPointF car = c.view.carRect(9).topLeft() + QPointF(3, 3);
    test::send(c.view, QEvent::MouseButtonPress, car, Qt::LeftButton, Qt::LeftButton);
    test::send(c.view, QEvent::MouseMove, car + QPointF(1, 0), Qt::NoButton, Qt::LeftButton);
    EXPECT_TRUE(c.view.drags.empty());
    test::send(c.view, QEvent::MouseMove, car + QPointF(QApplication::startDragDistance() + 1, 0), Qt::NoButton,
               Qt::LeftButton);
    test::send(c.view, QEvent::MouseButtonRelease, car, Qt::LeftButton, Qt::NoButton);
    ASSERT_EQ(c.view.drags.size(), 1u);
    const QMimeData& m = *c.view.drags[0];
    EXPECT_EQ(m.text(), "/music/track 9.mp3");
    EXPECT_FALSE(m.hasUrls());
    EXPECT_EQ(m.formats(), QStringList{"text/plain"});
    EXPECT_TRUE(std::none_of(c.log.begin(), c.log.end(), [](const std::string& l) { return l.starts_with("pick"); }));

    // Without a payload maker nothing is dragged.
    c.view.dragProvider = nullptr;
    const QPointF card = c.view.focusedCardRect().center();
    test::send(c.view, QEvent::MouseButtonPress, card, Qt::LeftButton, Qt::LeftButton);
    test::send(c.view, QEvent::MouseMove, card + QPointF(40, 0), Qt::NoButton, Qt::LeftButton);
    EXPECT_EQ(c.view.drags.size(), 1u);
}

TEST(VinylCrateView, AfterADragTheWheelUnderTheRestingPointerReportsTheCardNowUnderIt) {
    Crate c(30);
    c.focusOn(10);
    const QPointF at = c.view.focusedCardRect().center() - QPointF(0, 50);
    test::send(c.view, QEvent::MouseMove, at);
    test::send(c.view, QEvent::MouseButtonPress, at, Qt::LeftButton, Qt::LeftButton);
    const QPointF out = at + QPointF(QApplication::startDragDistance() + 1, 0);
    test::send(c.view, QEvent::MouseMove, out, Qt::NoButton, Qt::LeftButton);
    ASSERT_EQ(c.view.drags.size(), 1u);
    // A real drag swallows the release: the next thing the crate hears is the wheel.
    c.log.clear();
    for (int notch = 0; notch < 3; ++notch) {
        QWheelEvent wheel(out, c.view.mapToGlobal(out), QPoint(), QPoint(0, -120), Qt::NoButton, Qt::NoModifier,
                          Qt::NoScrollPhase, false);
        QCoreApplication::sendEvent(&c.view, &wheel);
    }
    ASSERT_NE(c.focused(), 10);
    ASSERT_TRUE(c.view.focusedCardRect().contains(out));
    const std::string now = "hover /music/track " + std::to_string(c.focused()) + ".mp3";
    ASSERT_FALSE(c.log.empty());
    EXPECT_EQ(c.log.back(), now);
}

// Pixels of a grab, in logical coordinates.
QColor pixel(const QImage& img, QPointF at) { return img.pixelColor((at * img.devicePixelRatio()).toPoint()); }

TEST(VinylCrateView, PaintsBackdropLipsRingAndNoPanelWithoutFocus) {
    Crate c(0);
    QImage empty = c.view.grab().toImage();
    const CrateLayout& l = c.view.crateLayout();
    // The backdrop runs from near black at the top to grey 0.45 at the bottom.
    EXPECT_NEAR(pixel(empty, {5, 0.5}).red(), 0.02 * 255, 3);
    EXPECT_NEAR(pixel(empty, {5, 0.55 * 800}).red(), 0.10 * 255, 3);
    EXPECT_NEAR(pixel(empty, {5, 799}).red(), 0.45 * 255, 4);
    // The lip is a near-black band across the grey backdrop, lit along its front lower edge.
    const int backdropAtLip = pixel(empty, {5, l.lipLine}).red();
    EXPECT_GT(backdropAtLip, 60);
    EXPECT_LT(pixel(empty, {500, l.lipLine + 1}).red(), 10);
    EXPECT_GT(pixel(empty, {500, l.lipLine + l.lipH / 2 - 1.5}).red(), backdropAtLip + 10);
    // No panel without a focus: the backdrop shows where it would stand.
    const QPointF panelAt(1000 - 10 - l.panelW / 2, 400);
    EXPECT_EQ(pixel(empty, panelAt), pixel(empty, {5, 400}));

    c.view.setTracks(test::someTracks(3));
    c.view.setBlinkClock([] { return 0.1; });  // the bright phase
    const QImage focused = c.view.grab().toImage();
    const QRectF card = c.view.focusedCardRect();
    const QColor ring = pixel(focused, {card.center().x(), card.top() + 1});
    EXPECT_GT(ring.red(), 200);
    EXPECT_GT(ring.green(), 170);
    EXPECT_LT(ring.blue(), 90);  // yellow
    EXPECT_NE(pixel(focused, panelAt), pixel(focused, {5, 400}));
    // Below the lip line the card is hidden.
    EXPECT_EQ(pixel(focused, {card.center().x(), l.lipLine + l.lipH / 2 + 3}),
              pixel(empty, {card.center().x(), l.lipLine + l.lipH / 2 + 3}));

    // Loaded beats focused: green, and it does not blink.
    c.view.loadedPath = "/music/track 0.mp3";
    c.view.inputsChanged();
    c.view.setBlinkClock([] { return 0.5; });
    const QColor loaded = pixel(c.view.grab().toImage(), {card.center().x(), card.top() + 1});
    EXPECT_LT(loaded.red(), 120);
    EXPECT_GT(loaded.green(), 170);
}

TEST(VinylCrateView, StickerHidesAZeroTempoButShowsZeroPlays) {
    QImage img(400, 400, QImage::Format_ARGB32_Premultiplied);
    QPainter p(&img);
    TrackMetaLite m;
    m.camelot = "8A";
    m.plays = 0;
    m.bpm = 0;
    const QRectF noTempo = paintSticker(p, QRectF(0, 0, 400, 400), m);
    m.bpm = 124;
    const QRectF withTempo = paintSticker(p, QRectF(0, 0, 400, 400), m);
    EXPECT_FALSE(noTempo.isEmpty());
    EXPECT_LT(noTempo.top(), withTempo.top());  // one row fewer above the plays row
    m.plays.reset();
    EXPECT_TRUE(paintSticker(p, QRectF(0, 0, 400, 400), m).isEmpty());
}

TEST(VinylCrateView, FlipLabelIsHeavyAtFivePointFivePercentOfTheSideNeverBelowEleven) {
    const std::pair<double, int> cases[] = {{100, 11}, {200, 11}, {400, 22}, {1000, 55}};
    for (const auto& [side, px] : cases) {
        const QFont f = flipLabelFont(side);
        EXPECT_EQ(f.weight(), QFont::ExtraBold) << side;
        EXPECT_EQ(f.pixelSize(), px) << side;
    }
}

TEST(VinylCrateView, Screenshots) {
    testing::ScriptedHttpServer server([](const std::string& head) {
        const std::string body = head.find("GET /tags") == 0
                                     ? R"({"artist":"The Crate Diggers","title":"Seventeen Steps Down"})"
                                     : R"({"bpm":124.0,"key":"Am","plays":7,"flips":[{"name":"Drop"}]})";
        return "HTTP/1.1 200 OK\r\nContent-Length: " + std::to_string(body.size()) + "\r\n\r\n" + body;
    });
    const std::string base = "http://127.0.0.1:" + std::to_string(server.port());
    for (const auto& [w, h] : {std::pair{290, 560}, std::pair{1000, 800}}) {
        FakeCoverSource covers;
        // Every third track has no cover yet: its placeholder shows the name.
        for (int i = 0; i < 30; ++i)
            if (i % 3 != 1) covers.cache["/music/track " + std::to_string(i) + ".mp3"] = test::makeCover(i * 37);
        VinylCrateView view(covers);
        int sel = 0;
        view.selectedIdxGet = [&] { return sel; };
        view.selectedIdxSet = [&](int v) { sel = v; };
        view.setBlinkClock([] { return 0.0; });
        view.tagsURL = [&](const std::string&) { return base + "/tags"; };
        view.metaURL = [&](const std::string&) { return base + "/deck/meta"; };
        view.inputsChanged();
        test::showAt(view, w, h, true);
        view.setTracks(test::someTracks(30));
        const std::string name = "crate_" + std::to_string(w) + "x" + std::to_string(h);
        // As the crate opens: the first track upright on the line, named by the panel.
        ASSERT_TRUE(QTest::qWaitFor([&] { return view.model().meta().has_value(); }, test::kSettleMs));
        ASSERT_TRUE(QTest::qWaitFor([&] { return view.covers().decoding() == 0; }, test::kSettleMs));
        EXPECT_EQ(view.model().focusedIdx(), 0);
        EXPECT_TRUE(view.grab().save(QString::fromStdString(test::screenshotPath(name + "_top.png"))));
        ASSERT_EQ(view.model().count(), 31);  // the first track's flip follows it
        sel = 18;                             // track 17
        view.inputsChanged();
        ASSERT_TRUE(QTest::qWaitFor([&] { return !view.scrollingTo(); }, test::kSettleMs));
        ASSERT_TRUE(QTest::qWaitFor([&] { return view.model().count() == 32; }, test::kSettleMs));  // and its own
        ASSERT_TRUE(QTest::qWaitFor([&] { return view.model().meta().has_value(); }, test::kSettleMs));
        ASSERT_TRUE(QTest::qWaitFor([&] { return view.covers().decoding() == 0; }, test::kSettleMs));
        EXPECT_TRUE(view.grab().save(QString::fromStdString(test::screenshotPath(name + ".png"))));
        // The track's flip, with the track loaded on a deck.
        view.loadedPath = "/music/track 17.mp3";
        sel = 19;
        view.inputsChanged();
        ASSERT_TRUE(QTest::qWaitFor([&] { return !view.scrollingTo(); }, test::kSettleMs));
        EXPECT_EQ(view.model().focusedFlip(), 0);
        ASSERT_TRUE(QTest::qWaitFor([&] { return view.covers().decoding() == 0; }, test::kSettleMs));
        EXPECT_TRUE(view.grab().save(QString::fromStdString(test::screenshotPath(name + "_flip_loaded.png"))));
    }
}

}  // namespace
}  // namespace plindo::ui
