// The status bar (blink row, "Decks…", the cut and its key, the build badge) and the seat sheet with its editor.
#include "../expect_color.h"
#include "../fake_host.h"
#include "ui/kit/colors.h"
#include "ui/kit/elided_label.h"
#include "ui/main/deck_inventory_editor.h"
#include "ui/main/deck_seat_sheet.h"
#include "ui/main/host_main_screen.h"
#include "ui/main/status_bar.h"
#include "ui_main_test_util.h"

#include <QLineEdit>
#include <QPushButton>
#include <QShortcut>
#include <QTest>
#include <QToolButton>
#include <QVBoxLayout>

#include <gtest/gtest.h>

namespace plindo::test {
namespace {

namespace colors = ui::colors;

TEST(StatusBar, BlinkColourForEveryReport) {
    struct Case {
        int report;
        QColor want;
    };
    const Case cases[] = {{-1, colors::withOpacity(colors::secondary(), 0.25)}, {-7, colors::withOpacity(colors::secondary(), 0.25)},
                          {0, colors::red()}, {1, colors::yellow()}, {2, colors::green()}, {3, colors::blue()}, {42, colors::blue()}};
    for (const Case& c : cases) EXPECT_EQ(ui::blinkDotColor(c.report), c.want) << c.report;
}

TEST(StatusBar, BadgePhasesChangeEveryQuarterSecondWhileBlinking) {
    struct Case {
        double date, now, until;
        bool blinking;
        int64_t phase;
        QColor text, fill;
    };
    const QColor dim = colors::withOpacity(colors::secondary(), 0.6);
    const Case cases[] = {
        {100.00, 10, 15, true, 400, colors::pink(), colors::withOpacity(colors::pink(), 0.3)},
        {100.24, 10, 15, true, 400, colors::pink(), colors::withOpacity(colors::pink(), 0.3)},
        {100.25, 10, 15, true, 401, colors::yellow(), colors::withOpacity(colors::pink(), 0.1)},
        {100.50, 10, 15, true, 402, colors::pink(), colors::withOpacity(colors::pink(), 0.3)},
        {100.00, 15, 15, false, 400, dim, QColor(Qt::transparent)},  // the window has closed
        {100.00, 10, 0, false, 400, dim, QColor(Qt::transparent)},   // never triggered
    };
    for (const Case& c : cases) {
        const ui::BadgeLook l = ui::badgeLook(c.date, c.now, c.until);
        EXPECT_EQ(l.blinking, c.blinking) << c.date;
        EXPECT_EQ(l.phase, c.phase) << c.date;
        EXPECT_EQ(l.text, c.text) << c.date;
        EXPECT_EQ(l.fill, c.fill) << c.date;
        EXPECT_EQ(l.padH, c.blinking ? 4 : 0);
    }
}

struct BarFixture {
    FakeHost host;
    ui::FrameClock clock;
    double date = 1000.0;
    std::unique_ptr<ui::HostMainScreen> screen;
    ui::StatusBar* bar;
    BarFixture() {
        clock.setManual(true);
        screen = std::make_unique<ui::HostMainScreen>(host);
        bar = new ui::StatusBar(*screen, clock, [this] { return date; });
        screen->fill(ui::HostMainScreen::Slot::bottom, bar);
        screen->show();
        screen->activateWindow();
        EXPECT_TRUE(QTest::qWaitForWindowActive(screen.get()));
    }
};

TEST(StatusBar, CutButtonAndTheKeyMToggleTheCutButAFocusedTextFieldKeepsTheLetter) {
    BarFixture f;
    EXPECT_EQ(f.bar->cutButton()->text(), "Cut");
    EXPECT_EQ(f.bar->cutShortcut()->context(), Qt::WindowShortcut);
    QTest::mouseClick(f.bar->cutButton(), Qt::LeftButton);
    EXPECT_EQ(f.bar->cutButton()->text(), "CUT \u25cf");
    QTest::keyClick(f.screen.get(), Qt::Key_M);
    EXPECT_EQ(f.bar->cutButton()->text(), "Cut");
    EXPECT_EQ(f.host.take(), (std::vector<std::string>{"setGroupMuted(1)", "setGroupMuted(0)"}));

    auto* edit = new QLineEdit;
    f.screen->fill(ui::HostMainScreen::Slot::rack, edit);
    f.host.config().d().setValue("orv.hostTarget", std::string("rack"));
    f.host.noteConfigChanged();
    edit->setFocus();
    QTest::keyClick(edit, Qt::Key_M);
    EXPECT_EQ(edit->text(), "m");
    EXPECT_TRUE(f.host.take().empty());

    QTest::mouseClick(f.bar->decksButton(), Qt::LeftButton);
    EXPECT_TRUE(f.screen->showDecks());
    EXPECT_EQ(f.bar->decksButton()->text(), "Decks\u2026");
}

TEST(StatusBar, BadgeBlinksOnTheQuarterSecondTicksAndATapAlwaysReachesTheController) {
    BarFixture f;
    auto* badge = f.bar->badge();
    EXPECT_FALSE(badge->look().blinking);
    f.host.assignSecretBlinkUntil(f.host.clock.now() + 5);
    f.clock.step();
    EXPECT_TRUE(badge->look().blinking);
    const int64_t phase = badge->look().phase;
    f.date += 0.1;
    f.clock.step();
    EXPECT_EQ(badge->look().phase, phase) << "within the quarter";
    f.date += 0.15;
    f.clock.step();
    EXPECT_EQ(badge->look().phase, phase + 1);
    QTest::mouseClick(badge, Qt::LeftButton);
    f.host.clock.advance(5.1);  // the window closes
    f.date += 0.25;
    f.clock.step();
    EXPECT_FALSE(badge->look().blinking);
    // A late tap still goes to the controller, which ignores it unless diagnostics are unlocked.
    QTest::mouseClick(badge, Qt::LeftButton);
    EXPECT_EQ(f.host.take(), (std::vector<std::string>{"blinkPanelTapped()", "blinkPanelTapped()"}));
    f.host.assignBlinkColor(2);
    EXPECT_EQ(f.bar->dotColor(), colors::green());
}

TEST(StatusBar, StatusLineShowsAsOneLineBetweenTheButtonsAndTheBadgeWithTheWholeTextInItsTooltip) {
    BarFixture f;
    f.screen->resize(1280, 720);
    QCoreApplication::processEvents();
    auto* line = f.bar->findChild<ui::ElidedLabel*>("statusLine");
    ASSERT_TRUE(line) << "the status line has no place in the bar";
    const int barHeight = f.bar->height();
    const QRect badge = f.bar->badge()->geometry(), cut = f.bar->cutButton()->geometry();
    EXPECT_EQ(line->text(), "");

    const std::string refused = "Plindo: Kitchen iPhone refused \u2014 build unknown < 0958";
    f.host.assignStatusLine(refused);
    QCoreApplication::processEvents();
    EXPECT_EQ(line->shownText().toStdString(), refused);
    EXPECT_EQ(line->toolTip().toStdString(), refused);
    EXPECT_TRUE(line->isVisible());
    EXPECT_GE(line->x(), cut.right() + 1) << "right of Cut";
    EXPECT_LE(line->geometry().right(), badge.left() - 1) << "left of the badge";

    // Too long for the bar: shortened in the middle, so the deck and the outcome both stay; a line break in
    // the text does not make a second line.
    const std::string path(400, 'x');
    const std::string stuck = "Plindo: deck 2 stuck at 0:00 \u2014 told the remote\n/music/" + path + "/last.flac: decode failed";
    f.host.assignStatusLine(stuck);
    QCoreApplication::processEvents();
    const QString shown = line->shownText();
    EXPECT_TRUE(shown.startsWith("Plindo: deck 2 stuck")) << shown.toStdString();
    EXPECT_TRUE(shown.endsWith("decode failed")) << shown.toStdString();
    EXPECT_TRUE(shown.contains(QChar(0x2026)));
    EXPECT_FALSE(shown.contains('\n'));
    EXPECT_LE(line->fontMetrics().horizontalAdvance(shown), line->width());
    // Control characters arrive escaped: the tooltip shows the break as the two characters \n.
    const std::string escaped = "Plindo: deck 2 stuck at 0:00 \u2014 told the remote\\n/music/" + path + "/last.flac: decode failed";
    EXPECT_EQ(line->toolTip().toStdString(), escaped);

    // The bar's other contents stay where they were.
    EXPECT_EQ(f.bar->height(), barHeight);
    EXPECT_EQ(f.bar->badge()->geometry(), badge);
    EXPECT_EQ(f.bar->cutButton()->geometry(), cut);
    EXPECT_EQ(f.bar->decksButton()->x(), 14);
    EXPECT_EQ(f.bar->width() - 14 - 1, f.bar->badge()->geometry().right());
    screenshot(*f.bar, "status_bar_status_line");
}

// The stored JSON as text.
std::string stored(FakeHost& host) {
    const auto v = host.settings_.value("plindo.deckInventory");
    return v ? v->dump() : "<none>";
}

struct EditorFixture {
    FakeHost host;
    group::DeckInventory& inv = *host.deckInventory();
    std::unique_ptr<ui::DeckSeatSheet> sheet;
    ui::DeckInventoryEditor* ed = nullptr;
    EditorFixture() { open(); }
    void open() {
        sheet = std::make_unique<ui::DeckSeatSheet>(inv);
        ed = sheet->editor();
        sheet->show();
    }
    void press(int n, const char* label) {
        QToolButton* b = ed->rowButton(n, label);
        ASSERT_TRUE(b) << n << label;
        QTest::mouseClick(b, Qt::LeftButton);
    }
    std::vector<std::string> rows() {
        std::vector<std::string> out;
        for (int n = 1; n <= 4; ++n) {
            std::string r = ed->rowText(n).toStdString();
            for (const char* b : {"Add", "Rename", "Remove", "Done"})
                if (ed->rowButton(n, b)) r += std::string(" [") + b + "]";
            if (ed->nameField() && ed->editing() == n) r = "<" + ed->nameField()->text().toStdString() + ">" + r;
            out.push_back(r);
        }
        return out;
    }
};

TEST(DeckInventoryEditor, FreshSeatsAddRenameAndRemoveAsStored) {
    EditorFixture f;
    EXPECT_EQ(f.sheet->width(), 420);
    EXPECT_EQ(f.rows(), (std::vector<std::string>{"Deck 1 [Rename]", "Deck 2 [Add]", "Deck 3 [Add]", "Deck 4 [Add]"}));
    EXPECT_EQ(stored(f.host), R"([{"id":"studio#1","name":"","ordinal":1}])");

    f.inv.add("");
    f.inv.add("");
    f.inv.removeOrdinal(2);  // seats 1 and 3
    f.press(4, "Add");       // takes the lowest free number
    EXPECT_EQ(f.rows(), (std::vector<std::string>{"Deck 1 [Rename]", "Deck 2 [Rename] [Remove]", "Deck 3 [Rename] [Remove]",
                                                  "Deck 4 [Add]"}));
    EXPECT_EQ(stored(f.host), R"([{"id":"studio#1","name":"","ordinal":1},{"id":"studio#2","name":"","ordinal":2},)"
                              R"({"id":"studio#3","name":"","ordinal":3}])");

    // Rename starts from the stored name (empty for the default one); Return stores it trimmed, the sheet stays.
    f.press(2, "Rename");
    EXPECT_EQ(f.ed->editing(), 2);
    EXPECT_EQ(f.rows()[1], "<> [Done]") << "no Remove while editing";
    EXPECT_FALSE(f.sheet->doneButton()->isDefault());
    QTest::keyClicks(f.ed->nameField(), "  Left  ");
    QTest::keyClick(f.ed->nameField(), Qt::Key_Return);
    EXPECT_TRUE(f.sheet->isVisible());
    EXPECT_EQ(f.ed->editing(), std::nullopt);
    EXPECT_TRUE(f.sheet->doneButton()->isDefault());
    EXPECT_EQ(f.rows()[1], "Left [Rename] [Remove]");
    EXPECT_EQ(f.inv.slot(2)->name, "Left");

    // A second "Rename" drops the first draft; blanks store the empty name.
    f.press(2, "Rename");
    EXPECT_EQ(f.ed->nameField()->text(), "Left");
    QTest::keyClicks(f.ed->nameField(), "XX");
    f.press(3, "Rename");
    EXPECT_EQ(f.inv.slot(2)->name, "Left");
    EXPECT_EQ(f.ed->nameField()->text(), "");
    QTest::keyClicks(f.ed->nameField(), "   ");
    f.press(3, "Done");
    EXPECT_EQ(f.rows()[2], "Deck 3 [Rename] [Remove]");
    EXPECT_EQ(f.inv.slot(3)->name, "");

    // Removing seat 2 of four while seat 4 edits keeps 1, 3, 4 with their ids and the editing.
    f.press(4, "Add");
    f.inv.rename(4, "Four");
    f.press(4, "Rename");
    QTest::keyClicks(f.ed->nameField(), "!");
    f.press(2, "Remove");
    EXPECT_EQ(f.ed->editing(), 4);
    EXPECT_EQ(f.ed->nameField()->text(), "Four!");
    EXPECT_EQ(stored(f.host), R"([{"id":"studio#1","name":"","ordinal":1},{"id":"studio#3","name":"","ordinal":3},)"
                              R"({"id":"studio#4","name":"Four","ordinal":4}])");
    EXPECT_EQ(f.rows()[1], "Deck 2 [Add]");

    // The sheet's "Done" closes without storing the draft.
    QTest::mouseClick(f.sheet->doneButton(), Qt::LeftButton);
    EXPECT_FALSE(f.sheet->isVisible());
    EXPECT_EQ(f.inv.slot(4)->name, "Four");
}

TEST(DeckInventoryEditor, TwoEditorsAndTheOwnersHookAllSeeEveryChangeWhicheverClosesFirst) {
    EditorFixture f;
    int owner = 0;
    f.inv.onChange = [&] { ++owner; };  // set while the sheet is open
    auto second = std::make_unique<ui::DeckInventoryEditor>(f.inv);
    f.inv.add("Two");
    EXPECT_EQ(owner, 1);
    EXPECT_EQ(f.rows()[1], "Two [Rename] [Remove]");
    EXPECT_EQ(second->rowText(2), "Two");
    f.sheet.reset();  // the first editor goes: the owner's hook and the second editor stay
    f.inv.add("Three");
    EXPECT_EQ(owner, 2);
    EXPECT_EQ(second->rowText(3), "Three");
    second.reset();
    f.inv.rename(3, "Drei");
    EXPECT_EQ(owner, 3);
}

TEST(DeckInventoryEditor, ScreenshotOfTheSeatSheet) {
    EditorFixture f;
    f.inv.add("Left strip");
    f.inv.add("");
    f.press(3, "Rename");
    QTest::keyClicks(f.ed->nameField(), "Booth");
    f.sheet->adjustSize();
    screenshot(*f.sheet, "deck_seat_sheet");
}

}  // namespace
}  // namespace plindo::test
