// The main screen's keys: translation of Qt's key events, the zoom and library handler, and the monitor that
// catches keys with no text control focused.
#include "ui/main/key_monitor.h"
#include "ui/main/key_stroke.h"
#include "ui/main/on_key.h"

#include "../fake_host.h"

#include <QApplication>
#include <QDialog>
#include <QLineEdit>
#include <QListView>
#include <QSpinBox>
#include <QStringListModel>
#include <QTest>
#include <QVBoxLayout>

#include <gtest/gtest.h>

namespace plindo::ui {
namespace {

using test::FakeHost;
using Calls = std::vector<std::string>;

TEST(KeyStroke, TranslatesTheKeysTheLibraryCommandsKnow) {
    const auto kp = Qt::KeypadModifier;
    const auto sh = Qt::ShiftModifier;
    const struct {
        int key;
        Qt::KeyboardModifiers mods;
        QString text;
        KeyStroke want;
    } cases[] = {
        {Qt::Key_Left, {}, "", {123, false, "", ""}},
        {Qt::Key_Right, sh, "", {124, true, "", ""}},
        {Qt::Key_Down, {}, "", {125, false, "", ""}},
        {Qt::Key_Up, {}, "", {126, false, "", ""}},
        {Qt::Key_Return, {}, "\r", {36, false, "\r", "\r"}},
        {Qt::Key_Enter, kp, "\r", {76, false, "\r", "\r"}},
        {Qt::Key_Tab, {}, "\t", {48, false, "\t", "\t"}},
        {Qt::Key_Backtab, sh, "", {48, true, "", ""}},
        {Qt::Key_Space, {}, " ", {49, false, " ", " "}},
        {Qt::Key_Plus, kp, "+", {69, false, "+", "="}},
        {Qt::Key_Minus, kp | sh, "-", {78, true, "-", "-"}},
        {Qt::Key_Plus, sh, "+", {KeyStroke::kOther, true, "+", "="}},
        {Qt::Key_Equal, {}, "=", {KeyStroke::kOther, false, "=", "="}},
        {Qt::Key_Underscore, sh, "_", {KeyStroke::kOther, true, "_", "-"}},
        {Qt::Key_Minus, {}, "-", {KeyStroke::kOther, false, "-", "-"}},
        {Qt::Key_A, {}, "a", {KeyStroke::kOther, false, "a", "a"}},
        {Qt::Key_unknown, {}, "\u2212", {KeyStroke::kOther, false, "\u2212", "\u2212"}},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(translateKey(c.key, c.mods, c.text), c.want) << c.key;
    }
    EXPECT_NE(KeyStroke::kOther, 0);
}

TEST(OnKey, ZoomsDeckOneOrWithShiftDeckTwoAndPassesTheRestToTheLibrary) {
    FakeHost host;
    host.zoomValue[1] = -5;
    host.zoomValue[2] = -23;
    const struct {
        uint16_t code;
        bool shift;
        const char* chars;
        const char* bare;
        bool used;
        Calls calls;
    } cases[] = {
        {KeyStroke::kOther, false, "=", "=", true, {"setZoom(1,-6.000000)"}},
        {KeyStroke::kOther, true, "+", "=", true, {"setZoom(2,-24.000000)"}},  // the controller clamps
        {69, false, "+", "=", true, {"setZoom(1,-6.000000)"}},
        {69, true, "", "", true, {"setZoom(2,-24.000000)"}},
        {78, false, "", "", true, {"setZoom(1,-4.000000)"}},
        {78, true, "x", "x", true, {"setZoom(2,-22.000000)"}},
        {KeyStroke::kOther, false, "-", "-", true, {"setZoom(1,-4.000000)"}},
        {KeyStroke::kOther, false, "\u2212", "\u2212", true, {"setZoom(1,-4.000000)"}},
        {KeyStroke::kOther, false, "x", "\u2212", false, {"libraryCommand(65535,0)"}},
        {125, true, "", "", false, {"libraryCommand(125,1)"}},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(onKey(c.code, c.shift, c.chars, c.bare, host), c.used) << c.chars;
        EXPECT_EQ(host.take(), c.calls) << c.chars;
    }
    host.libraryCommandAnswer = true;
    EXPECT_TRUE(onKey(36, false, "\r", "\r", host));
    EXPECT_EQ(host.take(), Calls{"libraryCommand(36,0)"});
}

// A main window with a list and a line edit, its monitor handing every key to the host through `onKey`.
struct MonitoredWindow {
    FakeHost host;
    QWidget window;
    QListView* list = new QListView;
    QLineEdit* edit = new QLineEdit;
    QStringListModel model{QStringList{"a", "b", "c"}};
    std::unique_ptr<KeyMonitor> monitor;
    int unusedReturns = 0;

    MonitoredWindow() {
        auto* l = new QVBoxLayout(&window);
        l->addWidget(list);
        l->addWidget(edit);
        list->setModel(&model);
        list->setCurrentIndex(model.index(0));
        window.show();
        window.activateWindow();
        EXPECT_TRUE(QTest::qWaitForWindowActive(&window));  // the focus widget counts only in the active window
        install();
    }
    void install() {
        monitor = std::make_unique<KeyMonitor>([this](const QWidget* w) { return w == &window; },
                                               [this](const KeyStroke& k) {
                                                   return onKey(k.keyCode, k.shift, k.characters,
                                                                k.charactersIgnoringModifiers, host);
                                               });
        monitor->setUnusedReturnHook([this] {
            ++unusedReturns;
            return true;
        });
    }
};

TEST(KeyMonitor, LeavesTextEditingAndControlShortcutsAlone) {
    MonitoredWindow w;
    w.edit->setFocus();
    QTest::keyClicks(w.edit, "+-");
    QTest::keyClick(w.edit, Qt::Key_Left);
    EXPECT_EQ(w.edit->text(), "+-");
    EXPECT_EQ(w.edit->cursorPosition(), 1);
    EXPECT_TRUE(w.host.take().empty());

    w.list->setFocus();
    QTest::keyClick(w.list, Qt::Key_Q, Qt::ControlModifier);
    QTest::keyClick(w.list, Qt::Key_Equal, Qt::MetaModifier);
    EXPECT_TRUE(w.host.take().empty());
    // Shift alone is no key; Shift with "=" is deck 2's zoom, once.
    QTest::keyClick(w.list, Qt::Key_Shift, Qt::ShiftModifier);
    EXPECT_TRUE(w.host.take().empty());
    QTest::keyClick(w.list, Qt::Key_Plus, Qt::ShiftModifier);
    EXPECT_EQ(w.host.take(), Calls{"setZoom(2,-1.000000)"});

    QSpinBox spin;
    EXPECT_TRUE(KeyMonitor::editingText(&spin));
    spin.setReadOnly(true);
    EXPECT_FALSE(KeyMonitor::editingText(&spin));
    EXPECT_FALSE(KeyMonitor::editingText(w.list));
}

TEST(KeyMonitor, SwallowsUsedKeysAndPassesUnusedOnesOnceThroughTheHandler) {
    MonitoredWindow w;
    w.list->setFocus();
    w.host.libraryCommandAnswer = true;
    QTest::keyClick(w.list, Qt::Key_Down);
    EXPECT_EQ(w.list->currentIndex().row(), 0);  // swallowed
    EXPECT_EQ(w.host.take(), Calls{"libraryCommand(125,0)"});

    w.host.libraryCommandAnswer = false;
    QTest::keyClick(w.list, Qt::Key_Down);
    EXPECT_EQ(w.list->currentIndex().row(), 1);  // reached the list
    EXPECT_EQ(w.host.take(), Calls{"libraryCommand(125,0)"});

    // An unused F5 climbs from the list to the window through the filter: still one handler call.
    QTest::keyClick(w.list, Qt::Key_F5);
    EXPECT_EQ(w.host.take(), Calls{"libraryCommand(65535,0)"});

    QTest::keyClick(w.list, Qt::Key_Equal);
    EXPECT_EQ(w.host.take(), Calls{"setZoom(1,-1.000000)"});

    QTest::keyClick(w.list, Qt::Key_Return);
    EXPECT_EQ(w.host.take(), Calls{"libraryCommand(36,0)"});
    EXPECT_EQ(w.unusedReturns, 1);
    // Keypad Enter left unused reaches the same hook.
    QTest::keyClick(w.list, Qt::Key_Enter, Qt::KeypadModifier);
    EXPECT_EQ(w.host.take(), Calls{"libraryCommand(76,0)"});
    EXPECT_EQ(w.unusedReturns, 2);
}

TEST(KeyMonitor, SeesTabBeforeFocusMoves) {
    MonitoredWindow w;
    w.list->setFocus();
    w.host.libraryCommandAnswer = true;
    QTest::keyClick(w.list, Qt::Key_Tab);
    EXPECT_EQ(w.host.take(), Calls{"libraryCommand(48,0)"});
    EXPECT_EQ(QApplication::focusWidget(), w.list);

    w.host.libraryCommandAnswer = false;  // left unused, Tab then moves the focus as usual
    QTest::keyClick(w.list, Qt::Key_Tab);
    EXPECT_EQ(w.host.take(), Calls{"libraryCommand(48,0)"});
    EXPECT_EQ(QApplication::focusWidget(), w.edit);
}

TEST(KeyMonitor, IgnoresOtherWindowsAndStopsWhenRemoved) {
    MonitoredWindow w;
    QDialog settings;
    auto* button = new QListView(&settings);
    settings.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&settings));
    QTest::keyClick(button, Qt::Key_Down);
    QTest::keyClick(button, Qt::Key_Space);
    EXPECT_TRUE(w.host.take().empty());
    settings.hide();

    w.list->setFocus();
    w.monitor.reset();  // the layout that carried it is gone
    QTest::keyClick(w.list, Qt::Key_Down);
    QTest::keyClick(w.list, Qt::Key_Equal);
    EXPECT_TRUE(w.host.take().empty());
    EXPECT_EQ(w.list->currentIndex().row(), 1);
}

}  // namespace
}  // namespace plindo::ui
