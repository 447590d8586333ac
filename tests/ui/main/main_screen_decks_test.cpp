// The deck views and keys in the main screen: columns in their slots, the open readings, the rack, and the
// key monitor that lives only with the main layout.
#include "ui/main/deck_column.h"
#include "ui/main/deck_strip_view.h"
#include "ui/main/deck_title_card.h"
#include "ui/main/host_main_screen.h"
#include "ui/main/key_monitor.h"

#include "ui/kit/dark_theme.h"
#include "ui/kit/frame_clock.h"

#include "../fake_host.h"
#include "ui_main_test_util.h"

#include <QDialog>
#include <QLabel>
#include <QListView>
#include <QStackedWidget>
#include <QTest>
#include <QToolButton>
#include <QVBoxLayout>

#include <gtest/gtest.h>

namespace plindo::ui {
namespace {

using test::FakeHost;
using Calls = std::vector<std::string>;
using Slot = HostMainScreen::Slot;

host::DeckInfo freshDeck(const std::string& name, double pos, double rate) {
    host::DeckInfo d;
    d.path = "/music/" + name + ".flac";
    d.name = name;
    d.posSec = pos;
    d.durationSec = 362;
    d.rate = rate;
    d.remoteFresh = true;
    d.remoteName = "iPhone";
    d.jitterMs = 0.8;
    d.maxGapMs = 12;
    d.via = "AWDL";
    d.wavOk = 1;
    d.wireRate = rate;
    d.angleAdvN = 910;
    d.frameN = 912;
    d.angNetRev = 12.25;
    return d;
}

TEST(MainScreenDecks, ColumnsFillTheSlotsAndTheGearsOpenOneDeckEach) {
    FakeHost host;
    FrameClock::shared().setManual(true);
    host.assignDeck(1, freshDeck("Ron Trent - Altered States", 95.2, 1.004));
    host.assignDeck(2, freshDeck("Moodymann - Shades of Jae", 211.7, 0.982));
    host.remoteAngles[1] = 0.6;
    host.remoteAngles[2] = 2.4;
    host.zoomValue[2] = -9;
    HostMainScreen screen(host);
    screen.setPalette(darkPalette());
    screen.setAutoFillBackground(true);
    screen.resize(1600, 900);
    screen.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&screen));
    ASSERT_NE(screen.deckColumn(0), nullptr);
    ASSERT_NE(screen.deckColumn(1), nullptr);
    EXPECT_TRUE(screen.slot(Slot::deckColumn1)->isAncestorOf(screen.deckColumn(0)));
    EXPECT_TRUE(screen.slot(Slot::deckColumn2)->isAncestorOf(screen.deckColumn(1)));

    QTest::mouseClick(screen.deckColumn(1)->titleCard()->gear(), Qt::LeftButton);
    EXPECT_EQ(screen.techOpen(), std::set<int>{1});
    EXPECT_TRUE(screen.deckColumn(1)->techOpen());
    EXPECT_FALSE(screen.deckColumn(0)->techOpen());
    EXPECT_TRUE(screen.deckColumn(1)->strip()->isVisible());
    QCoreApplication::processEvents();
    test::screenshot(screen, "main_screen_decks");

    QTest::mouseClick(screen.deckColumn(1)->readingsGear(), Qt::LeftButton);
    EXPECT_TRUE(screen.techOpen().empty());
    EXPECT_TRUE(screen.deckColumn(1)->titleCard()->isVisible());
}

TEST(MainScreenDecks, KeysAreCaughtOnlyWhileTheMainLayoutShows) {
    FakeHost host;
    HostMainScreen screen(host);
    auto* list = new QListView(screen.slot(Slot::bottom));
    screen.slot(Slot::bottom)->layout()->addWidget(list);
    screen.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&screen));
    ASSERT_NE(screen.keyMonitor(), nullptr);
    list->setFocus();
    QTest::keyClick(list, Qt::Key_Plus, Qt::ShiftModifier | Qt::KeypadModifier);
    EXPECT_EQ(host.take(), Calls{"setZoom(2,-1.000000)"});

    // A sheet of the main window gets the same keys; the settings window keeps its own.
    int hooked = 0;
    screen.setReturnHook([&] {
        ++hooked;
        return true;
    });
    screen.setDecksSheet([](QWidget* parent) {
        auto* d = new QDialog(parent);
        new QListView(d);
        return d;
    });
    screen.setShowDecks(true);
    QDialog* sheet = screen.findChild<QDialog*>();
    ASSERT_NE(sheet, nullptr);
    QTest::keyClick(sheet, Qt::Key_Return);
    EXPECT_EQ(host.take(), Calls{"libraryCommand(36,0)"});
    EXPECT_EQ(hooked, 1);
    screen.setShowDecks(false);
    QWidget settings;
    auto* field = new QListView(&settings);
    settings.show();
    QTest::keyClick(field, Qt::Key_Down);
    EXPECT_TRUE(host.take().empty());

    host.settings_.setValue("orv.hostTarget", "rack");
    host.noteConfigChanged();
    EXPECT_FALSE(screen.mainLayoutShown());
    EXPECT_EQ(screen.keyMonitor(), nullptr);
    QTest::keyClick(&screen, Qt::Key_Equal);
    QTest::keyClick(&screen, Qt::Key_Down);
    EXPECT_TRUE(host.take().empty());

    host.settings_.setValue("orv.hostTarget", "orv");
    host.noteConfigChanged();
    QTest::keyClick(&screen, Qt::Key_Equal);
    EXPECT_EQ(host.take(), Calls{"setZoom(1,-1.000000)"});
}

}  // namespace
}  // namespace plindo::ui
