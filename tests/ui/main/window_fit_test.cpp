// The main window on a laptop's screen: it goes down to 1024×640; the libraries give way, the deck cards and
// the bottom bar stay whole and on screen, and no view lies over another.
#include "../fake_host.h"
#include "ui/kit/frame_clock.h"
#include "ui/main/deck_column.h"
#include "ui/main/host_main_screen.h"
#include "ui/main/host_main_window.h"
#include "ui/main/status_bar.h"
#include "ui_main_test_util.h"

#include <QLabel>
#include <QLayout>
#include <QStackedWidget>
#include <QTest>

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace plindo::test {
namespace {

host::LibPane pane(const std::string& view, const std::string& prefix) {
    host::LibPane p;
    for (int i = 0; i < 30; ++i)
        p.tracks.push_back({"/music/" + prefix + std::to_string(i) + ".flac", prefix + " track " + std::to_string(i)});
    p.crateTree = {library::CrateNode{"House", "House", std::nullopt}, library::CrateNode{"Techno", "Techno", std::nullopt}};
    p.selectedCrate = "House";
    p.view = view;
    return p;
}

host::DeckInfo deck(const std::string& name) {
    host::DeckInfo d;
    d.path = "/music/" + name + ".flac";
    d.name = name;
    d.posSec = 95.2;
    d.durationSec = 362;
    d.rate = 1.0;
    d.remoteFresh = true;
    d.remoteName = "iPhone";
    return d;
}

struct Window {
    FakeHost host;
    ScriptedDialogs dialogs;
    std::unique_ptr<ui::HostMainWindow> window;
    Window() {
        ui::FrameClock::shared().setManual(true);
        host.assignPane(0, pane("liste", "a"));
        host.assignPane(1, pane("kiste", "b"));
        host.assignDeck(1, deck("Ron Trent - Altered States"));
        host.assignDeck(2, deck("Moodymann - Shades of Jae"));
        host::PlaceSnapshot place;
        place.fresh = true;
        place.age = 0.05;
        place.raw.placeFlags = 0x03;
        place.raw.offX = -12.3;  // the widest offset the band shows
        place.raw.offY = 10.2;
        place.raw.yaw = 0.6;
        place.raw.planeDevDeg = 1.4;
        place.raw.fieldAC = 0.5;
        host.places[1] = place;
        host.assignStatusLine("Plindo: Kitchen iPhone refused \u2014 build unknown < 0958");
        window = std::make_unique<ui::HostMainWindow>(host, dialogs);
        window->screen()->toggleTechOpen(0);  // deck 1's readings, with the placement tile's numbers
    }
    void show(QSize size) {
        window->resize(size);
        window->show();
        EXPECT_TRUE(QTest::qWaitForWindowExposed(window.get()));
        ui::FrameClock::shared().step(2);
        QCoreApplication::processEvents();
    }
};

// The widgets a layout places, through its nested layouts.
void placedBy(QLayout* layout, std::vector<QWidget*>& out) {
    for (int i = 0; i < layout->count(); ++i) {
        QLayoutItem* item = layout->itemAt(i);
        if (QWidget* w = item->widget()) out.push_back(w);
        else if (QLayout* inner = item->layout()) placedBy(inner, out);
    }
}

// Every view a layout places lies inside its parent, apart from the others, and a label is as wide as its text;
// the offenders, by class and object name.
void findClashes(QWidget* parent, std::vector<std::string>& clashes) {
    const auto name = [](const QWidget* w) {
        return std::string(w->metaObject()->className()) + "(" + w->objectName().toStdString() + ")";
    };
    std::vector<QWidget*> placed;
    if (parent->layout()) placedBy(parent->layout(), placed);
    std::vector<QWidget*> shown;
    for (QWidget* w : placed)
        if (w->isVisible()) shown.push_back(w);
    for (size_t i = 0; i < shown.size(); ++i) {
        if (!parent->rect().contains(shown[i]->geometry()))
            clashes.push_back(name(shown[i]) + " out of " + name(parent));
        for (size_t j = i + 1; j < shown.size(); ++j) {
            if (shown[i]->geometry().intersects(shown[j]->geometry()))
                clashes.push_back(name(shown[i]) + " over " + name(shown[j]));
        }
        if (auto* label = qobject_cast<QLabel*>(shown[i]); label && !label->wordWrap() && !label->text().isEmpty() &&
                                                             label->width() < label->minimumSizeHint().width())
            clashes.push_back(name(label) + " cut: " + label->text().toStdString());
    }
    for (QObject* child : parent->children()) {
        auto* w = qobject_cast<QWidget*>(child);
        if (w && !w->isWindow() && w->isVisible()) findClashes(w, clashes);
    }
}

TEST(WindowFit, ALaptopScreenShowsTheDeckCardsAndTheBottomBarWithNothingOverlapping) {
    Window w;
    EXPECT_EQ(w.window->minimumSize(), QSize(1024, 640));
    for (const QSize size : {QSize(1280, 720), QSize(1366, 768), QSize(1024, 640), QSize(1440, 860)}) {
        const std::string at = std::to_string(size.width()) + "x" + std::to_string(size.height());
        w.show(size);
        ASSERT_EQ(w.window->size(), size) << at << ": the window would not go that small";
        const QRect inside = w.window->rect();
        ui::HostMainScreen* screen = w.window->screen();
        std::vector<QWidget*> mustShow{screen->findChild<ui::StatusBar*>()};
        for (int i = 0; i < 2; ++i) {
            ui::DeckColumn* column = screen->deckColumn(i);
            ASSERT_TRUE(column);
            mustShow.push_back(column->card());
            mustShow.push_back(column->placementWidget());
            // The library gives way first: the cards keep their heights.
            EXPECT_EQ(column->card()->height(), ui::DeckColumn::kCardHeight) << at;
            EXPECT_EQ(column->placementWidget()->height(), ui::DeckColumn::kPlacementHeight) << at;
            EXPECT_GE(column->paneWidget()->height(), column->paneWidget()->minimumSizeHint().height()) << at;
        }
        for (QWidget* v : mustShow) {
            ASSERT_TRUE(v);
            EXPECT_TRUE(v->isVisible()) << at;
            const QRect r(v->mapTo(w.window.get(), QPoint(0, 0)), v->size());
            EXPECT_TRUE(inside.contains(r)) << at << " " << v->metaObject()->className() << " at y " << r.top()
                                            << ".." << r.bottom();
        }
        std::vector<std::string> clashes;
        findClashes(w.window.get(), clashes);
        for (const auto& c : clashes) ADD_FAILURE() << at << ": " << c;
        if (size == QSize(1280, 720) || size == QSize(1366, 768)) screenshot(*w.window, ("main_window_" + at).c_str());
    }
}

}  // namespace
}  // namespace plindo::test

TEST(WindowFit, TheWindowOpensWithinTheScreensFreeAreaButNotBelowItsMinimum) {
    struct Row { QSize wanted, available, expected; };
    const Row rows[] = {
        {{1400, 900}, {1920, 1050}, {1400, 900}},  // room enough: the usual size
        {{1400, 900}, {1366, 736}, {1366, 736}},   // a laptop with a panel
        {{1400, 900}, {1280, 800}, {1280, 800}},
        {{1400, 900}, {800, 600}, {1024, 640}},    // never below the minimum
        {{1400, 900}, {}, {1400, 900}},            // no screen known
    };
    for (const auto& r : rows) {
        EXPECT_EQ(plindo::ui::HostMainWindow::startSize(r.wanted, r.available), r.expected)
            << r.available.width() << "x" << r.available.height();
    }
}
