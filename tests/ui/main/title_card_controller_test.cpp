// The title card on the real controller, as the window runs it: the zoom control redraws on what the
// controller publishes, also while nothing else about the deck changes.
#include "host/qt_main_executor.h"
#include "ui/main/deck_title_card.h"

#include "host/host_rig.h"

#include <QCoreApplication>
#include <QLabel>
#include <QPushButton>
#include <QSlider>

#include <gtest/gtest.h>

#include <memory>

namespace plindo::ui {
namespace {

// A controller on the window's thread that is never started: a stopped deck without a phone.
struct IdleController {
    host::testing::HostRig parts;  // folders, settings and the in-process outside parts
    host::QtMainExecutor main;
    std::unique_ptr<host::HostState> state;

    IdleController() : state(std::make_unique<host::HostState>(parts.deps(main))) {}
};

TEST(DeckTitleCard, ZoomLabelAndModeFollowTheUserOnAStoppedDeckWithoutAPhone) {
    IdleController c;
    DeckTitleCard card(*c.state, 0);
    int deckChanges = 0;
    QObject::connect(c.state.get(), &host::HostUi::decksChanged, [&] { ++deckChanges; });
    EXPECT_EQ(card.modeButton()->text(), "Auto");
    EXPECT_EQ(card.zoomLabel()->text(), "Wavey 32.0 s");

    // Each step shows at the next turn of the event loop.
    card.slider()->setValue(-12);  // as a drag delivers it
    QCoreApplication::processEvents();
    EXPECT_EQ(card.zoomLabel()->text(), "Wavey 3.7 s");
    card.modeButton()->click();
    QCoreApplication::processEvents();
    EXPECT_EQ(card.modeButton()->text(), "Manual");
    EXPECT_EQ(card.zoomLabel()->text(), "big · 2.0 cm");
    EXPECT_EQ(deckChanges, 0);
}

}  // namespace
}  // namespace plindo::ui
