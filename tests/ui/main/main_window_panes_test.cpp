// The whole window with its library panes and status bar, driven through the keyboard, taps and drops.
#include "../fake_host.h"
#include "ui/kit/frame_clock.h"
#include "ui/library/vinyl_crate_view.h"
#include "ui/main/crate_tree_column.h"
#include "ui/main/deck_column.h"
#include "ui/main/deck_strip_view.h"
#include "ui/main/host_main_screen.h"
#include "ui/main/library_pane.h"
#include "ui/main/serato_browser_panel.h"
#include "ui/main/status_bar.h"
#include "ui/main/track_list.h"
#include "ui/main/wave_floor.h"
#include "ui/library/wave_hover_panel.h"
#include "../wave_test_audio.h"
#include "ui_main_test_util.h"

#include <QDragEnterEvent>
#include <QDialog>
#include <QDropEvent>
#include <QMimeData>
#include <QPushButton>
#include <QToolButton>
#include <QTemporaryDir>
#include <QTest>
#include <QWheelEvent>

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>

namespace plindo::test {
namespace {

using ui::HostMainScreen;
using Calls = std::vector<std::string>;

host::LibPane twoHundred(const std::string& view, const std::string& prefix) {
    host::LibPane p;
    for (int i = 0; i < 200; ++i)
        p.tracks.push_back({"/music/" + prefix + std::to_string(i) + ".mp3", prefix + " track " + std::to_string(i)});
    std::vector<library::CrateNode> kids{{"Deep", "House%%Deep", std::nullopt}, {"Disco", "House%%Disco", std::nullopt}};
    p.crateTree = {library::CrateNode{"House", "House", kids}, library::CrateNode{"Techno", "Techno", std::nullopt}};
    p.expanded = {"House"};
    p.selectedCrate = "House%%Deep";
    p.view = view;
    return p;
}

bool has(const Calls& calls, const std::string& call) { return std::find(calls.begin(), calls.end(), call) != calls.end(); }

struct Window {
    FakeHost host;
    std::unique_ptr<HostMainScreen> screen;
    explicit Window(int width = 1600, int height = 1000) {
        ui::FrameClock::shared().setManual(true);
        host.assignPane(0, twoHundred("liste", "a"));
        host.assignPane(1, twoHundred("kiste", "b"));
        screen = std::make_unique<HostMainScreen>(host);
        screen->resize(width, height);
        screen->show();
        screen->activateWindow();
        EXPECT_TRUE(QTest::qWaitForWindowActive(screen.get()));
        host.take();
    }
    ui::LibraryPane* pane(int i) const { return screen->libraryPane(i); }
};

TEST(MainWindowPanes, ACrateTapSelectsAndTheTracksThePaneGetsShow) {
    Window w;
    ui::CrateTreeColumn* crates = w.pane(0)->crateColumn();
    QTest::mouseClick(crates->viewport(), Qt::LeftButton, {}, crates->rowRect(2).center());
    EXPECT_EQ(w.host.take(), (Calls{"selectCrate(House%%Disco,0,0)", "writePaneFocus(0,crates)", "setActivePane(0)"}));
    host::LibPane p = w.host.panes()[0];
    p.selectedCrate = "House%%Disco";
    p.tracks = {{"/music/disco1.mp3", "Disco one"}, {"/music/disco2.mp3", "Disco two"}};
    w.host.assignPane(0, p);
    EXPECT_EQ(w.pane(0)->trackList()->model()->rowCount(), 2);
    EXPECT_EQ(w.pane(0)->trackList()->model()->index(1, 0).data().toString(), "Disco two");
    EXPECT_EQ(w.host.panes()[0].libEntryCount, 2);
}

TEST(MainWindowPanes, KeysReachTheControllerAndASelectionItWritesScrollsTheCrate) {
    Window w;
    QTest::keyClick(w.screen.get(), Qt::Key_Down);
    QTest::keyClick(w.screen.get(), Qt::Key_Tab);
    EXPECT_EQ(w.host.take(), (Calls{"libraryCommand(125,0)", "libraryCommand(48,0)"}));
    QTest::keyClick(w.screen.get(), Qt::Key_Plus, Qt::ShiftModifier);
    EXPECT_EQ(w.host.take(), (Calls{"setZoom(2,-1.000000)"}));

    ui::VinylCrateView* crate = w.pane(1)->crateBrowser();
    ASSERT_TRUE(crate);
    EXPECT_FALSE(crate->scrollingTo());
    w.host.writeSelectedTrackIdx(1, 150);  // as the controller does on ↓
    EXPECT_TRUE(crate->scrollingTo());
}

TEST(MainWindowPanes, ReturnPressesTheBridgedPanesLoadOnlyWhenTheLibraryKeysLeaveIt) {
    Window w;
    host::DeckInfo bridged;
    bridged.path = "serato-midi://deck";
    w.host.assignDeck(2, bridged);
    ASSERT_TRUE(w.pane(1)->seratoBrowser()->isVisible());
    w.host.libraryCommandAnswer = true;
    QTest::keyClick(w.screen.get(), Qt::Key_Return);
    EXPECT_EQ(w.host.take(), (Calls{"libraryCommand(36,0)"}));
    w.host.libraryCommandAnswer = false;
    QTest::keyClick(w.screen.get(), Qt::Key_Return);
    EXPECT_EQ(w.host.take(), (Calls{"libraryCommand(36,0)", "seratoLibraryCommand(2,load,1)"}));
    // With the seat sheet open, Return is the sheet's: it closes it and loads nothing.
    QTest::mouseClick(w.screen->findChild<ui::StatusBar*>()->decksButton(), Qt::LeftButton);
    auto* sheet = w.screen->findChild<QDialog*>("deckSeatSheet");
    ASSERT_TRUE(sheet);
    sheet->activateWindow();
    ASSERT_TRUE(QTest::qWaitForWindowActive(sheet));
    QTest::keyClick(sheet, Qt::Key_Return);
    EXPECT_FALSE(w.screen->showDecks());
    EXPECT_FALSE(has(w.host.take(), "seratoLibraryCommand(2,load,1)"));
    // Pane buttons write the active pane without the linked-sides copy.
    QTest::mouseClick(w.pane(1)->seratoBrowser()->commandButton("down"), Qt::LeftButton);
    EXPECT_EQ(w.host.take(), (Calls{"writeActivePane(1)", "seratoLibraryCommand(2,down,1)"}));
}

TEST(MainWindowPanes, AListRowDroppedOnDeckTwosStripAnnouncesItsPath) {
    Window w;
    w.screen->toggleTechOpen(1);
    ui::DeckStripView* strip = w.screen->deckColumn(1)->strip();
    ASSERT_TRUE(strip->isVisible());
    std::unique_ptr<QMimeData> payload(w.pane(0)->trackList()->payload(7));
    const QPoint at(20, 10);
    QDragEnterEvent enter(at, Qt::CopyAction, payload.get(), Qt::LeftButton, Qt::NoModifier);
    QCoreApplication::sendEvent(strip, &enter);
    ASSERT_TRUE(enter.isAccepted());
    QDropEvent drop(QPointF(at), Qt::CopyAction, payload.get(), Qt::LeftButton, Qt::NoModifier);
    QCoreApplication::sendEvent(strip, &drop);
    EXPECT_TRUE(has(w.host.take(), "announceLocalLoad(2,/music/a7.mp3)"));
}

TEST(MainWindowPanes, TheKeyMTogglesTheCutAndTheCentreKeepsItsWidth) {
    Window w;
    auto* bar = w.screen->findChild<ui::StatusBar*>();
    ASSERT_TRUE(bar);
    QTest::keyClick(w.screen.get(), Qt::Key_M);
    EXPECT_EQ(w.host.take(), (Calls{"setGroupMuted(1)"}));
    EXPECT_EQ(bar->cutButton()->text(), "CUT \u25cf");
    for (int width : {1280, 1600, 1920}) {
        w.screen->resize(width, 1000);
        QCoreApplication::processEvents();
        EXPECT_EQ(w.screen->centreColumn()->width(), 322) << width;
    }
}

// A crate of short generated tracks in `dir`, so the floors have waveforms to show.
host::LibPane toneCrate(const QTemporaryDir& dir, const std::string& prefix, int count) {
    host::LibPane p;
    for (int i = 0; i < count; ++i) {
        const QString name = QString::fromStdString(prefix + std::to_string(i) + ".wav");
        const std::string path = dir.filePath(name).toStdString();
        ui::test::writeToneWav(path, 4 + i % 3);
        p.tracks.push_back({path, prefix + " track " + std::to_string(i)});
    }
    p.view = "kiste";
    return p;
}

ui::WaveFloor* floorOf(ui::LibraryPane* pane) {
    return pane->crateBrowser() ? pane->crateBrowser()->findChild<ui::WaveFloor*>() : nullptr;
}

std::optional<std::string> floorPath(ui::LibraryPane* pane) {
    ui::WaveFloor* floor = floorOf(pane);
    return floor ? floor->choice().path : std::nullopt;
}

bool floorDrawn(ui::LibraryPane* pane) {
    ui::WaveFloor* floor = floorOf(pane);
    return floor && floor->panel() && floor->panel()->env();
}

TEST(MainWindowPanes, EachCrateFloorShowsItsOwnPanesTrack) {
    QTemporaryDir dir;
    Window w;
    w.host.assignPane(0, toneCrate(dir, "left", 6));
    w.host.assignPane(1, toneCrate(dir, "right", 6));
    w.host.writeSelectedTrackIdx(0, 2);
    w.host.writeSelectedTrackIdx(1, 4);
    const std::string left2 = w.host.panes()[0].tracks[2].path, right4 = w.host.panes()[1].tracks[4].path;
    ASSERT_TRUE(QTest::qWaitFor([&] { return floorPath(w.pane(0)) == left2 && floorPath(w.pane(1)) == right4; }, 5000))
        << floorPath(w.pane(0)).value_or("none") << " / " << floorPath(w.pane(1)).value_or("none");
    EXPECT_EQ(w.screen->focusPath(0), left2);
    EXPECT_EQ(w.screen->focusPath(1), right4);

    // A focus move on the right leaves the left floor alone.
    w.host.writeSelectedTrackIdx(1, 1);
    const std::string right1 = w.host.panes()[1].tracks[1].path;
    ASSERT_TRUE(QTest::qWaitFor([&] { return floorPath(w.pane(1)) == right1; }, 5000));
    EXPECT_EQ(floorPath(w.pane(0)), left2);
    EXPECT_TRUE(QTest::qWaitFor([&] { return floorDrawn(w.pane(0)) && floorDrawn(w.pane(1)); }, 20000));
    screenshot(*w.screen, "main_window_two_crates");
}

TEST(MainWindowPanes, AWheelUnderARestingPointerShowsTheCardNowUnderItOnTheFloor) {
    QTemporaryDir dir;
    Window w;
    w.host.assignPane(1, toneCrate(dir, "right", 8));
    w.host.writeSelectedTrackIdx(1, 1);
    const auto& tracks = w.host.panes()[1].tracks;
    ASSERT_TRUE(QTest::qWaitFor([&] { return w.screen->focusPath(1) == tracks[1].path; }, 5000));
    ui::VinylCrateView* crate = w.pane(1)->crateBrowser();
    ASSERT_TRUE(crate);
    ASSERT_TRUE(QTest::qWaitFor([&] { return !crate->scrollingTo(); }, 5000));
    // On the focused cover, above the lip and beside the text panel.
    QRectF card = crate->focusedCardRect();
    card.setBottom(std::min(card.bottom(), crate->crateLayout().lipLine));
    QPoint rest = QPointF(card.left() + card.width() * 0.2, card.center().y()).toPoint();
    ASSERT_FALSE(crate->panelRect().contains(rest));
    QTest::mouseMove(crate, rest);
    ASSERT_TRUE(QTest::qWaitFor([&] { return w.screen->hoverPath(1) == tracks[1].path; }, 5000));
    EXPECT_EQ(floorPath(w.pane(1)), tracks[1].path);

    const double slot = crate->crateLayout().slotH;
    QWheelEvent wheel(rest, crate->mapToGlobal(QPointF(rest)), QPoint(0, -int(std::lround(3 * slot))), QPoint(0, -360),
                      Qt::NoButton, Qt::NoModifier, Qt::ScrollUpdate, false);
    QCoreApplication::sendEvent(crate, &wheel);
    EXPECT_EQ(w.screen->hoverPath(1), tracks[4].path);
    EXPECT_EQ(floorPath(w.pane(1)), tracks[4].path);
    EXPECT_TRUE(QTest::qWaitFor([&] { return floorDrawn(w.pane(1)); }, 20000));
    screenshot(*w.pane(1), "crate_after_wheel_resting_pointer");

    w.host.writeSelectedTrackIdx(1, 5);  // as the controller does on ↓
    ASSERT_TRUE(QTest::qWaitFor(
        [&] { return w.screen->focusPath(1) == tracks[5].path && !crate->scrollingTo(); }, 5000));
    EXPECT_EQ(w.screen->hoverPath(1), tracks[5].path);
    EXPECT_EQ(floorPath(w.pane(1)), tracks[5].path);
}

TEST(MainWindowPanes, ScreenshotsOfTheWholeWindow) {
    Window w;
    w.host.assignActivePane(1);
    w.host.writePaneFocus(0, host::LibFocus::crates);
    w.host.writeSelectedTrackIdx(0, 4);
    QCoreApplication::processEvents();
    screenshot(*w.screen, "main_window_panes");
}

}  // namespace
}  // namespace plindo::test
