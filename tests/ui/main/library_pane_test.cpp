// A library pane: status row, the bridged deck's browser, the split with the crate column and the track side,
// and the crate browser's wiring with its floor.
#include "../fake_host.h"
#include "ui/library/cover_source.h"
#include "ui/library/vinyl_crate_view.h"
#include "ui/library/wave_hover_panel.h"
#include "ui/main/crate_tree_column.h"
#include "ui/main/dynamo_host_view.h"
#include "ui/main/host_main_screen.h"
#include "ui/main/library_pane.h"
#include "ui/main/pane_status_row.h"
#include "ui/main/serato_browser_panel.h"
#include "ui/main/track_list.h"
#include "ui/main/wave_floor.h"
#include "ui_main_test_util.h"

#include <QCoreApplication>
#include <QFontMetrics>
#include <QLabel>
#include <QMouseEvent>
#include <QMimeData>
#include <QPushButton>
#include <QSplitter>
#include <QTest>
#include <QToolButton>

#include <gtest/gtest.h>

namespace plindo::test {
namespace {

using Side = ui::LibraryPane::Side;

// Covers never arrive.
class NoCovers final : public ui::CoverSource {
public:
    Bytes cached(const std::string&) const override { return {}; }
    void request(const std::string&, const std::optional<std::string>&, const std::optional<std::string>&, int,
                 Completion) override {}
};

host::LibPane paneWith(int tracks, const std::string& view) {
    host::LibPane p;
    for (int i = 0; i < tracks; ++i) p.tracks.push_back({"/m/t" + std::to_string(i) + ".mp3", "t" + std::to_string(i)});
    p.crateTree = {library::CrateNode{"Crates", "Crates", std::vector<library::CrateNode>{{"House", "Crates%%House", std::nullopt}}}};
    p.view = view;
    p.status = "No audio files in the Files folder";
    return p;
}

// Clicks whatever child of `top` lies at `pos`.
void clickAt(QWidget* top, QPoint pos) {
    QWidget* w = top->childAt(pos);
    if (!w) w = top;
    QTest::mouseClick(w, Qt::LeftButton, {}, w->mapFrom(top, pos));
}

struct PaneFixture {
    FakeHost host;
    NoCovers covers;
    std::unique_ptr<ui::HostMainScreen> screen;
    std::unique_ptr<ui::LibraryPane> pane;
    PaneFixture(int index, const host::LibPane& record) {
        host.assignPane(index, record);
        screen = std::make_unique<ui::HostMainScreen>(host);
        pane = std::make_unique<ui::LibraryPane>(*screen, index);
        pane->setCoverSource(&covers);
        pane->resize(560, 600);
        pane->show();
        host.take();
    }
    void bridge(int deck) {
        host::DeckInfo d;
        d.path = "serato-midi://deck";
        host.assignDeck(deck, d);
    }
};

TEST(LibraryPane, TrackSideFollowsSourceAndTracksAndABridgedDeckShowsTheBrowserWhateverTheSource) {
    struct Case {
        int tracks;
        std::string view;
        bool bridged;
        Side side;
    };
    const Case cases[] = {
        {5, "kiste", false, Side::crate}, {5, "liste", false, Side::list},  {5, "other", false, Side::list},
        {0, "kiste", false, Side::empty}, {0, "liste", false, Side::empty}, {0, "dynamo", false, Side::dynamo},
        {5, "dynamo", true, Side::dynamo}, {5, "kiste", true, Side::crate},
    };
    for (const Case& c : cases) {
        PaneFixture f(0, paneWith(c.tracks, c.view));
        if (c.bridged) f.bridge(1);
        SCOPED_TRACE(c.view + " " + std::to_string(c.tracks) + (c.bridged ? " bridged" : ""));
        EXPECT_EQ(f.pane->side(), c.side);
        EXPECT_EQ(f.pane->seratoBrowser()->isVisible(), c.bridged);
        EXPECT_EQ(f.pane->split()->isVisible(), !c.bridged);
        EXPECT_TRUE(f.pane->statusRow()->sourceSwitch()->isVisible());
        if (c.side == Side::empty && !c.bridged) {
            EXPECT_EQ(f.pane->emptyStatus()->text(), "No audio files in the Files folder");
            EXPECT_TRUE(f.pane->retryButton()->isVisible());
        }
        if (c.side == Side::dynamo && !c.bridged) EXPECT_TRUE(f.pane->dynamoView()->isVisible());
        if (c.side == Side::crate && !c.bridged) {
            EXPECT_TRUE(f.pane->crateBrowser()->isVisible());
            EXPECT_EQ(f.pane->hint()->text().toStdString(),
                      "Drag a cover onto a deck to load  \u00b7  \u2191/\u2193 flip through  \u00b7  \u2190/\u2192 load left/right");
        }
    }
}

TEST(LibraryPane, RetryStartsAReloadOnEveryPress) {
    PaneFixture f(1, paneWith(0, "liste"));
    QTest::mouseClick(f.pane->retryButton(), Qt::LeftButton);
    QTest::mouseClick(f.pane->retryButton(), Qt::LeftButton);
    EXPECT_EQ(f.host.take(), (std::vector<std::string>{"reloadLibrary()", "reloadLibrary()"}));
}

TEST(LibraryPane, CrateColumnSitsOnTheWindowsOuterEdge) {
    for (int index : {0, 1}) {
        PaneFixture f(index, paneWith(3, "liste"));
        const QWidget* crates = f.pane->crateColumn();
        EXPECT_EQ(f.pane->split()->indexOf(const_cast<QWidget*>(crates)), index == 0 ? 0 : 1);
        const QPoint at = crates->mapTo(f.pane.get(), QPoint(0, 0));
        if (index == 0) EXPECT_EQ(at.x(), 0);
        else EXPECT_EQ(at.x() + crates->width(), f.pane->width());
        EXPECT_GE(crates->width(), 150);
        EXPECT_LE(crates->width(), 280);
    }
}

TEST(LibraryPane, SourceSwitchWritesTheViewThenActivatesAndOffersDynamoOnlyUnlocked) {
    PaneFixture f(1, paneWith(3, "kiste"));
    auto* row = f.pane->statusRow();
    EXPECT_FALSE(row->sourceButton("dynamo")->isVisible());
    EXPECT_EQ(row->sourceSwitch()->width(), 190);
    EXPECT_TRUE(row->sourceButton("kiste")->isChecked());
    QTest::mouseClick(row->sourceButton("liste"), Qt::LeftButton);
    // The list, shown for the first time, counts its entries.
    EXPECT_EQ(f.host.take(), (std::vector<std::string>{"writePaneView(1,liste)", "writeLibEntryCount(1,3)", "setActivePane(1)"}));
    EXPECT_EQ(f.pane->side(), Side::list);
    EXPECT_TRUE(row->sourceButton("liste")->isChecked());
    f.host.assignDynamoUnlocked(true);
    EXPECT_TRUE(row->sourceButton("dynamo")->isVisible());
    QTest::mouseClick(row->sourceButton("dynamo"), Qt::LeftButton);
    EXPECT_EQ(f.pane->side(), Side::dynamo);
    auto* dynamo = qobject_cast<ui::DynamoHostView*>(f.pane->dynamoView());
    ASSERT_TRUE(dynamo);
    EXPECT_EQ(dynamo->placeholder(), ui::DynamoHostView::placeholderOf(f.host.dynamo(2), 2)) << "deck 2's view";
}

TEST(LibraryPane, KeyboardMarkFollowsTheActivePaneAndAPaneTapActivates) {
    PaneFixture f(1, paneWith(3, "liste"));
    EXPECT_FALSE(f.pane->statusRow()->keyboardMark()->isVisible());
    QTest::mouseClick(f.pane->statusRow(), Qt::LeftButton, {}, QPoint(100, 8));  // on the row, off its controls
    EXPECT_EQ(f.host.take(), (std::vector<std::string>{"setActivePane(1)"}));
    EXPECT_TRUE(f.pane->statusRow()->keyboardMark()->isVisible());
    f.host.assignActivePane(0);
    EXPECT_FALSE(f.pane->statusRow()->keyboardMark()->isVisible());
}

TEST(LibraryPane, BridgedBrowserRowsButtonsAndLoad) {
    PaneFixture f(1, paneWith(3, "kiste"));
    f.host.browser = {"House", 1, false, {{"One", "A"}, {"", "B"}, {"Three", ""}}};
    f.bridge(2);
    f.host.bumpSeratoBrowserRev();
    auto* panel = f.pane->seratoBrowser();
    ASSERT_EQ(panel->rowCount(), 3);
    EXPECT_EQ(panel->litRow(), 1);
    EXPECT_EQ(panel->title()->text(), "House");
    EXPECT_EQ(panel->rowRect(1).height(), panel->rowRect(0).height()) << "an empty title keeps one line";
    f.host.take();

    clickAt(panel, panel->rowRect(1).center());  // the cursor row of a track list
    clickAt(panel, panel->rowRect(2).center());
    EXPECT_EQ(f.host.take(), (std::vector<std::string>{"writeActivePane(1)", "seratoLibraryCommand(2,load,1)",
                                                       "writeActivePane(1)", "seratoLibraryCommand(2,tap,2)"}));
    f.host.browser.crates = true;  // crate focus: the cursor row taps too
    f.host.bumpSeratoBrowserRev();
    clickAt(panel, panel->rowRect(1).center());
    EXPECT_EQ(f.host.take(), (std::vector<std::string>{"writeActivePane(1)", "seratoLibraryCommand(2,tap,1)"}));

    f.host.browser = {"", 7, false, {{"One", "A"}}};  // a cursor outside lights nothing
    f.host.bumpSeratoBrowserRev();
    EXPECT_EQ(panel->litRow(), -1);
    EXPECT_EQ(panel->title()->text(), "Serato");
    clickAt(panel, panel->rowRect(0).center());
    EXPECT_EQ(f.host.take(), (std::vector<std::string>{"writeActivePane(1)", "seratoLibraryCommand(2,tap,0)"}));

    for (const char* cmd : {"up", "down", "left", "right", "tab"}) {
        EXPECT_EQ(panel->commandButton(cmd)->size(), QSize(26, 22));
        QTest::mouseClick(panel->commandButton(cmd), Qt::LeftButton);
        EXPECT_EQ(f.host.take(), (std::vector<std::string>{"writeActivePane(1)",
                                                           "seratoLibraryCommand(2," + std::string(cmd) + ",1)"}));
    }
    QTest::mouseClick(panel->loadButton(), Qt::LeftButton);
    EXPECT_EQ(f.host.take(), (std::vector<std::string>{"seratoLibraryCommand(2,load,1)"}));
    EXPECT_TRUE(f.pane->pressLoadIfShown());
    EXPECT_EQ(f.host.take(), (std::vector<std::string>{"seratoLibraryCommand(2,load,1)"}));
    f.host.assignDeck(2, {});
    EXPECT_FALSE(f.pane->pressLoadIfShown()) << "no longer bridged";
}

TEST(WaveFloor, HoveredElseFocusedPathWithTheFlipOnlyOnTheHoveredFocusedCard) {
    using O = std::optional<std::string>;
    struct Case {
        O hover, focus;
        int flip;
        ui::FloorChoice want;
    };
    const Case cases[] = {
        {std::nullopt, std::nullopt, 2, {std::nullopt, -1}},
        {"/b", "/a", 2, {"/b", -1}},  // a hovered car of another track: no flip of its own
        {"/a", "/a", 2, {"/a", 2}},
        {std::nullopt, "/a", 2, {"/a", -1}},  // merely focused
        {"/b", std::nullopt, 2, {"/b", -1}},
    };
    for (const Case& c : cases) EXPECT_EQ(ui::waveFloorChoice(c.hover, c.focus, c.flip), c.want) << c.hover.value_or("-");
}

TEST(LibraryPane, CrateBrowserReportsReachTheScreenAndThePane) {
    PaneFixture f(0, paneWith(4, "kiste"));
    ui::VinylCrateView* crate = f.pane->crateBrowser();
    ASSERT_TRUE(crate);
    EXPECT_EQ(crate->coverURL("/m/t1.mp3"), f.host.config().coverArtURL("/m/t1.mp3"));
    EXPECT_EQ(crate->metaURL("/m/t1.mp3"), f.host.config().deckMetaURL("/m/t1.mp3"));
    EXPECT_FALSE(crate->onPick);
    std::unique_ptr<QMimeData> drag(crate->dragProvider("/m/t2.mp3"));
    EXPECT_EQ(drag->formats(), QStringList{"text/plain"});
    f.host.take();

    crate->onFocusPath(std::string("/m/t2.mp3"));
    crate->onHoverPath(std::string("/m/t3.mp3"));
    EXPECT_EQ(f.screen->focusPath(0), "/m/t2.mp3");
    EXPECT_EQ(f.screen->hoverPath(0), "/m/t3.mp3");
    crate->onFocusPath(std::nullopt);  // a report without a path clears both
    EXPECT_EQ(f.screen->focusPath(0), std::nullopt);
    EXPECT_EQ(f.host.take(), (std::vector<std::string>{"writeLibFocusPath(0,/m/t2.mp3)", "writeLibFocusPath(0,)"}));
    crate->onEntryCount(9);
    crate->selectedIdxSet(3);
    EXPECT_EQ(crate->selectedIdxGet(), 3);
    const auto calls = f.host.take();
    ASSERT_GE(calls.size(), 2u);
    EXPECT_EQ(calls[0], "writeLibEntryCount(0,9)");
    EXPECT_EQ(calls[1], "writeSelectedTrackIdx(0,3)");

    // The floor follows the hovered path, else the focused one, with the focused entry's flip only on it.
    auto* floor = static_cast<ui::WaveFloor*>(crate->floorOverlay(100, 1));
    ASSERT_TRUE(floor);
    f.screen->setFocusPath(0, "/m/t1.mp3");
    f.screen->setHoverPath(0, "/m/t1.mp3");
    EXPECT_EQ(floor->choice(), (ui::FloorChoice{"/m/t1.mp3", 1}));
    ASSERT_TRUE(floor->panel());
    EXPECT_EQ(floor->panel()->path(), "/m/t1.mp3");
    f.screen->setHoverPath(0, "/m/t0.mp3");
    EXPECT_EQ(floor->choice(), (ui::FloorChoice{"/m/t0.mp3", -1}));
    f.screen->setHoverPath(1, "/m/t3.mp3");  // the other pane's paths are not this floor's
    f.screen->setFocusPath(1, "/m/t2.mp3");
    EXPECT_EQ(floor->choice(), (ui::FloorChoice{"/m/t0.mp3", -1}));
    f.screen->setHoverPath(0, std::nullopt);
    f.screen->setFocusPath(0, std::nullopt);
    EXPECT_EQ(floor->panel(), nullptr);
    EXPECT_EQ(crate->floorOverlay(100, 2), floor) << "one floor, kept";
}

// A shown screen whose two panes show crates of tracks of their own ("/m/aN.mp3" and "/m/bN.mp3").
struct CrateScreen {
    FakeHost host;
    std::unique_ptr<ui::HostMainScreen> screen;
    CrateScreen(int width, int height) {
        for (int index : {0, 1}) {
            host::LibPane p = paneWith(0, "kiste");
            const std::string prefix = index == 0 ? "a" : "b";
            for (int i = 0; i < 30; ++i) p.tracks.push_back({"/m/" + prefix + std::to_string(i) + ".mp3", prefix + std::to_string(i)});
            host.assignPane(index, p);
        }
        screen = std::make_unique<ui::HostMainScreen>(host);
        screen->resize(width, height);
        screen->show();
        EXPECT_TRUE(QTest::qWaitForWindowExposed(screen.get()));
        host.take();
    }
    ui::VinylCrateView* crate(int index) const { return screen->libraryPane(index)->crateBrowser(); }
};

TEST(LibraryPane, ACrateOpensOnItsFirstTrackWhichTheLeftKeyLoads) {
    // The arrow keys load the pane's focused path: it must name the cover on show, the first one.
    CrateScreen w(1400, 900);
    for (int index : {0, 1}) {
        const host::LibPane& p = w.host.panes()[size_t(index)];
        EXPECT_EQ(p.libFocusPath, p.tracks[0].path) << index;
        EXPECT_EQ(p.selectedTrackIdx, 0) << index;
        EXPECT_EQ(w.crate(index)->model().focusedIdx(), 0) << index;
    }
    for (const QSize size : {QSize(360, 900), QSize(560, 600), QSize(900, 420)}) {
        PaneFixture f(0, paneWith(30, "kiste"));
        f.pane->resize(size);
        QCoreApplication::processEvents();
        EXPECT_EQ(f.host.panes()[0].libFocusPath, "/m/t0.mp3") << size.width();
        EXPECT_EQ(f.host.panes()[0].selectedTrackIdx, 0) << size.width();
    }
}

TEST(LibraryPane, EachFloorFollowsTheCardUnderThePointerInItsOwnPaneOnly) {
    CrateScreen w(1400, 900);
    ui::VinylCrateView* right = w.crate(1);
    right->scrollBy(6 * right->crateLayout().slotH);
    ASSERT_EQ(right->model().focusedIdx(), 6);
    ui::WaveFloor* leftFloor = w.screen->libraryPane(0)->floor();
    ui::WaveFloor* rightFloor = w.screen->libraryPane(1)->floor();
    ASSERT_TRUE(leftFloor && rightFloor);
    EXPECT_EQ(leftFloor->choice().path.value_or(""), "/m/a0.mp3");
    EXPECT_EQ(rightFloor->choice().path.value_or(""), "/m/b6.mp3");

    // The car just behind the focused cover shows as a strip left of it.
    const QRectF car = right->carRect(5);
    ASSERT_LT(car.left() + 2, right->focusedCardRect().left());
    const QPointF at(car.left() + 2, car.center().y());
    QMouseEvent move(QEvent::MouseMove, at, right->mapToGlobal(at), Qt::NoButton, Qt::NoButton, Qt::NoModifier);
    QCoreApplication::sendEvent(right, &move);
    EXPECT_EQ(w.screen->hoverPath(1), "/m/b5.mp3");
    EXPECT_EQ(rightFloor->choice().path.value_or(""), "/m/b5.mp3");
    EXPECT_EQ(rightFloor->choice().flip, -1);
    ASSERT_TRUE(rightFloor->panel());
    EXPECT_EQ(rightFloor->panel()->path(), "/m/b5.mp3");
    EXPECT_EQ(leftFloor->choice().path.value_or(""), "/m/a0.mp3");
    ASSERT_TRUE(leftFloor->panel());
    EXPECT_EQ(leftFloor->panel()->path(), "/m/a0.mp3");
    // The left pane, moving on its own, still shows its own focus beside the right pane's hover.
    w.crate(0)->scrollBy(w.crate(0)->crateLayout().slotH);
    EXPECT_EQ(leftFloor->choice().path.value_or(""), "/m/a1.mp3");
    EXPECT_EQ(rightFloor->choice().path.value_or(""), "/m/b5.mp3");
}

TEST(LibraryPane, CrateHintWrapsToShowItsWholeTextInNarrowPanes) {
    const auto fitsWhole = [](const QLabel& hint, const QWidget& box) {
        const QRect need = QFontMetrics(hint.font()).boundingRect(QRect(0, 0, hint.width(), 10000),
                                                                  Qt::AlignHCenter | Qt::TextWordWrap, hint.text());
        EXPECT_LE(need.width(), hint.width());
        EXPECT_LE(need.height(), hint.height());
        EXPECT_EQ(hint.width(), box.width());
        EXPECT_EQ(hint.geometry().bottom() + 1 + 4, box.height()) << "4 below it";
        return need.height();
    };
    CrateScreen w(1400, 900);
    for (int index : {0, 1}) {
        ui::LibraryPane* pane = w.screen->libraryPane(index);
        SCOPED_TRACE(index);
        fitsWhole(*pane->hint(), *pane->hint()->parentWidget());
    }
    screenshot(*w.screen->libraryPane(0), "library_pane_crate_hint_1400x900");

    const int oneLine = QFontMetrics(w.screen->libraryPane(0)->hint()->font()).height();
    int lastHeight = 0;
    for (int width : {700, 480, 400, 340}) {
        PaneFixture f(0, paneWith(30, "kiste"));
        f.pane->resize(width, 600);
        QCoreApplication::processEvents();
        SCOPED_TRACE(width);
        QLabel& hint = *f.pane->hint();
        const int needed = fitsWhole(hint, *hint.parentWidget());
        EXPECT_GE(hint.height(), lastHeight) << "narrower, never lower";
        lastHeight = hint.height();
        if (width == 340) {
            EXPECT_GT(needed, 2 * oneLine) << "three lines or more";
            screenshot(*f.pane, "library_pane_crate_hint_narrow");
        }
    }
}

TEST(LibraryPane, ScreenshotOfABridgedPane) {
    PaneFixture f(1, paneWith(3, "kiste"));
    f.host.browser = {"House Classics", 2, false,
                      {{"Pump Up The Jam", "Technotronic"}, {"Show Me Love", "Robin S."}, {"Finally", "CeCe Peniston"},
                       {"", ""}, {"Gypsy Woman", "Crystal Waters"}}};
    f.bridge(2);
    f.host.assignActivePane(1);
    f.pane->resize(560, 420);
    screenshot(*f.pane, "library_pane_bridged");
}

}  // namespace
}  // namespace plindo::test
