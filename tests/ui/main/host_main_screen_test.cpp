// The main window's frame: columns and centre, the layout choice, the side switch, drops and the sheets.
#include "../fake_host.h"
#include "ui/main/host_main_screen.h"
#include "ui/main/host_main_window.h"
#include "ui/main/side_switch.h"
#include "ui_main_test_util.h"

#include <QAbstractItemView>
#include <QApplication>
#include <QComboBox>
#include <QDialog>
#include <QLayout>
#include <QLineEdit>
#include <QMenu>
#include <QMenuBar>
#include <QMimeData>
#include <QPointer>
#include <QTest>
#include <QUrl>

#include <gtest/gtest.h>

namespace plindo::test {
namespace {

using ui::HostMainScreen;
using Slot = HostMainScreen::Slot;

TEST(HostMainScreen, CentreKeepsItsWidthAndDeckColumnsShareTheRest) {
    FakeHost host;
    HostMainScreen screen(host);
    // The screen asks for no more than its columns need; the window sets the smallest size (see WindowFit).
    EXPECT_EQ(screen.minimumSizeHint().width(), 340 + 322 + 340);
    for (int width : {1024, 1280, 1400, 1920}) {
        screen.resize(width, 900);
        screen.show();
        QCoreApplication::processEvents();
        const int c1 = screen.slot(Slot::deckColumn1)->width(), c2 = screen.slot(Slot::deckColumn2)->width();
        EXPECT_EQ(screen.centreColumn()->width(), 322) << width;
        EXPECT_GE(c1, 340) << width;
        EXPECT_NEAR(c1, c2, 1) << width;
        EXPECT_EQ(c1 + c2 + 322, width);
        const QWidget* w1 = screen.slot(Slot::wave1);
        const QWidget* w2 = screen.slot(Slot::wave2);
        EXPECT_LE(w1->width(), 160);
        EXPECT_EQ(w1->width() + 2 + w2->width(), 322);
        EXPECT_EQ(w2->x() - (w1->x() + w1->width()), 2);
        EXPECT_EQ(screen.sideSwitch()->height(), 26);
        EXPECT_GT(w1->height(), 600) << "waves take the centre's height";
    }
    screen.resize(1400, 900);
    // A filled slot shows its view; filling again replaces it.
    auto* first = new QWidget;
    screen.fill(Slot::deckColumn1, first);
    QPointer<QWidget> gone(first);
    screen.fill(Slot::deckColumn1, new QWidget);
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    EXPECT_TRUE(gone.isNull());
    EXPECT_EQ(screen.slot(Slot::deckColumn1)->layout()->count(), 1);
    screenshot(screen, "main_screen");
}

TEST(HostMainScreen, HostTargetChoosesTheLayoutAndIsReadAgainOnEveryChange) {
    FakeHost host;
    struct Case {
        std::optional<std::string> target;
        bool main;
    } cases[] = {{std::nullopt, true}, {"orv", true}, {"x", false}, {"", false}, {"ORV", false}};
    for (const auto& c : cases) {
        if (c.target) host.settings_.setValue("orv.hostTarget", *c.target);
        else host.settings_.remove("orv.hostTarget");
        HostMainScreen screen(host);
        EXPECT_EQ(screen.mainLayoutShown(), c.main) << c.target.value_or("<absent>");
    }
    host.settings_.setValue("orv.hostTarget", "x");
    HostMainScreen screen(host);
    screen.resize(1400, 900);
    screen.show();
    screenshot(screen, "main_screen_rack");
    EXPECT_FALSE(screen.mainLayoutShown());
    EXPECT_TRUE(screen.slot(Slot::rack)->isVisible());
    EXPECT_TRUE(screen.slot(Slot::bottom)->isVisible());
    host.settings_.setValue("orv.hostTarget", "orv");
    host.noteConfigChanged();  // as the controller's start does after writing the key
    EXPECT_TRUE(screen.mainLayoutShown());
    EXPECT_TRUE(screen.slot(Slot::bottom)->isVisible());
}

TEST(HostMainScreen, SideSwitchFollowsLibSyncAndFlipsIt) {
    FakeHost host;
    HostMainScreen screen(host);
    auto* sw = screen.sideSwitch();
    EXPECT_EQ(sw->toolTip(), "Jede Seite fuer sich");
    QTest::mouseClick(sw, Qt::LeftButton);
    EXPECT_EQ(host.take(), std::vector<std::string>{"setLibSync(1)"});
    EXPECT_TRUE(host.libSync());
    EXPECT_EQ(sw->toolTip(), "Beide Bibliotheken folgen derselben Kiste");
    QTest::mouseClick(sw, Qt::LeftButton);
    EXPECT_EQ(host.take(), std::vector<std::string>{"setLibSync(0)"});
    host.assignLibSync(true);  // from the controller (another host in the group)
    EXPECT_EQ(sw->toolTip(), "Beide Bibliotheken folgen derselben Kiste");

    // The symbols' colour: green while on, dimmed while off.
    auto centreInk = [&] {
        const QImage img = sw->grab().toImage();
        QColor brightest(0, 0, 0);
        for (int y = 0; y < img.height(); ++y)
            for (int x = 0; x < img.width(); ++x)
                if (QColor(img.pixel(x, y)).value() > brightest.value()) brightest = img.pixel(x, y);
        return brightest;
    };
    sw->resize(322, 26);
    const QColor on = centreInk();
    EXPECT_GT(on.green(), on.red() + 60);
    host.assignLibSync(false);
    const QColor off = centreInk();
    EXPECT_LT(std::abs(off.green() - off.red()), 20);
}

QDropEvent* dropOf(const QList<QUrl>& urls, QMimeData& mime) {
    mime.setUrls(urls);
    return new QDropEvent(QPointF(10, 10), Qt::CopyAction, &mime, Qt::LeftButton, Qt::NoModifier);
}

TEST(HostMainScreen, DroppedLocalFilesBecomeTheLogoInOrder) {
    FakeHost host;
    HostMainScreen screen(host);
    QMimeData mime;
    std::unique_ptr<QDropEvent> drop(dropOf({QUrl::fromLocalFile("/p/a.jpg"), QUrl("https://x.example/b.png"),
                                             QUrl::fromLocalFile("/p/c d.png"), QUrl::fromLocalFile("/p/e.txt")},
                                            mime));
    static_cast<QObject&>(screen).event(drop.get());  // straight to the screen, as a drag manager would
    EXPECT_TRUE(drop->isAccepted());
    EXPECT_EQ(host.take(), (std::vector<std::string>{"useDJLogo(/p/a.jpg)", "useDJLogo(/p/c d.png)", "useDJLogo(/p/e.txt)"}));
    QMimeData empty;
    std::unique_ptr<QDropEvent> none(dropOf({}, empty));
    static_cast<QObject&>(screen).event(none.get());
    EXPECT_TRUE(none->isAccepted());
    EXPECT_TRUE(host.take().empty());
}

TEST(HostMainScreen, SheetsOpenWithTheirFlagAndClosingLowersIt) {
    FakeHost host;
    HostMainScreen screen(host);
    screen.show();
    int made = 0;
    QPointer<QDialog> sheet;
    screen.setSecretSheet([&](QWidget* parent) {
        ++made;
        sheet = new QDialog(parent);
        return sheet.data();
    });
    EXPECT_EQ(made, 0);
    host.assignShowSecret(true);
    ASSERT_EQ(made, 1);
    ASSERT_TRUE(sheet && sheet->isVisible());
    host.assignShowSecret(true);
    EXPECT_EQ(made, 1);
    host.take();
    sheet->reject();  // the user closes it
    EXPECT_EQ(host.take(), std::vector<std::string>{"writeShowSecret(0)"});
    EXPECT_FALSE(host.showSecret());
    host.assignShowSecret(true);
    EXPECT_EQ(made, 2);
    host.assignShowSecret(false);  // the controller takes it down
    EXPECT_TRUE(host.take().empty());

    QPointer<QDialog> decks;
    screen.setDecksSheet([&](QWidget* parent) { return (decks = new QDialog(parent)).data(); });
    screen.setShowDecks(true);
    ASSERT_TRUE(decks && decks->isVisible());
    decks->accept();
    EXPECT_FALSE(screen.showDecks());
}

TEST(HostMainWindow, StartsTheControllerOnEveryShowAndQuitsThroughOneRoad) {
    FakeHost host;
    ScriptedDialogs dialogs;
    ui::HostMainWindow window(host, dialogs);
    EXPECT_EQ(window.windowTitle(), "Plindo");
    int quits = 0;
    QObject::connect(&window, &ui::HostMainWindow::quitRequested, [&] { ++quits; });
    window.show();
    window.hide();
    window.show();
    EXPECT_EQ(host.take(), (std::vector<std::string>{"start()", "reloadLibrary()", "start()"}));

    QMenu* menu = window.menuBar()->findChildren<QMenu*>().value(0);
    ASSERT_TRUE(menu);
    EXPECT_EQ(menu->title(), "Plindo");
    const auto actions = menu->actions();
    ASSERT_EQ(actions.size(), 2);
    EXPECT_EQ(actions[0]->text(), "Settings\u2026");
    EXPECT_EQ(actions[0]->shortcut(), QKeySequence(Qt::CTRL | Qt::Key_Comma));
    EXPECT_EQ(actions[1]->text(), "Quit Plindo");
    EXPECT_EQ(actions[1]->shortcut(), QKeySequence(Qt::CTRL | Qt::Key_Q));
    actions[0]->trigger();
    ASSERT_TRUE(window.settingsView());
    EXPECT_TRUE(window.settingsView()->isVisible());
    actions[1]->trigger();
    EXPECT_EQ(quits, 1);
    window.close();
    EXPECT_EQ(quits, 2);
}

// A key as the user types it: to the focused widget of the active window, its shortcuts first.
void type(int key, Qt::KeyboardModifiers mods = Qt::NoModifier) {
    QWidget* to = QApplication::focusWidget() ? QApplication::focusWidget() : QApplication::activeWindow();
    ASSERT_TRUE(to);
    QTest::keyClick(to, Qt::Key(key), mods);
}

TEST(HostMainWindow, EscAndCtrlWCloseTheSettingsAndLeaveTheWindowRunning) {
    FakeHost host;
    host.assignDevices({{1, "null", "null", 2}, {2, "file", "file", 2}});
    ScriptedDialogs dialogs;
    ui::HostMainWindow window(host, dialogs);
    int quits = 0;
    QObject::connect(&window, &ui::HostMainWindow::quitRequested, [&] { ++quits; });
    window.show();
    const auto open = [&]() -> QPointer<ui::HostSettingsView> {
        window.activateWindow();  // as the desktop does when the settings close
        EXPECT_TRUE(QTest::qWaitForWindowActive(&window));
        type(Qt::Key_Comma, Qt::ControlModifier);
        QPointer<ui::HostSettingsView> s = window.settingsView();
        EXPECT_TRUE(s && QTest::qWaitForWindowActive(s));
        return s;
    };
    const auto closed = [](const QPointer<ui::HostSettingsView>& s) { return !s || !s->isVisible(); };

    // Esc in an open list closes the list only; the next Esc, also in the folder field, closes the window.
    auto settings = open();
    ASSERT_TRUE(settings);
    auto* device = settings->findChild<QComboBox*>("device0");
    device->setFocus();
    device->showPopup();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(device->view()->window()));
    type(Qt::Key_Escape);
    EXPECT_FALSE(device->view()->isVisible());
    EXPECT_FALSE(closed(settings));
    settings->findChild<QLineEdit*>("folder")->setFocus();
    type(Qt::Key_Escape);
    EXPECT_TRUE(closed(settings));

    settings = open();
    type(Qt::Key_W, Qt::ControlModifier);
    EXPECT_TRUE(closed(settings));
    EXPECT_TRUE(window.isVisible());
    EXPECT_EQ(quits, 0);
}

TEST(HostMainWindow, MappingOfferIsAskedOnceAndEitherAnswerLowersIt) {
    FakeHost host;
    ScriptedDialogs dialogs;
    ui::HostMainWindow window(host, dialogs);
    dialogs.askAnswers = {false};
    host.assignMappingOffer(true);
    QTest::qWait(10);
    EXPECT_EQ(dialogs.asked.size(), 1u);
    EXPECT_FALSE(host.mappingOffer());
    EXPECT_EQ(host.take(), std::vector<std::string>{"writeMappingOffer(0)"});

    dialogs.asked.clear();
    dialogs.askAnswers = {true};
    dialogs.answers = {std::nullopt};  // then cancels the save dialog
    host.assignMappingOffer(true);
    QTest::qWait(10);
    ASSERT_EQ(dialogs.asked.size(), 2u);
    EXPECT_EQ(dialogs.asked[1].rfind("save(Save mapping,", 0), 0u);
    EXPECT_TRUE(dialogs.asked[1].ends_with(",Plindo.xml)"));
    EXPECT_EQ(host.take(), std::vector<std::string>{"writeMappingOffer(0)"});
}

}  // namespace
}  // namespace plindo::test
