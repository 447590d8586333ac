// The deck views on a fake controller: the strip, the title card, the column with its source switch and
// swapping card, and the rack.
#include "ui/main/deck_column.h"
#include "ui/main/deck_rack.h"
#include "ui/main/deck_strip_view.h"
#include "ui/main/deck_title_card.h"
#include "ui/main/platter_spindle.h"
#include "ui/main/source_switch.h"

#include "ui/kit/color_dot.h"
#include "ui/kit/colors.h"
#include "ui/kit/dark_theme.h"
#include "ui/kit/elided_label.h"
#include "ui/kit/image_tile.h"

#include "../fake_host.h"
#include "ui_main_test_util.h"

#include <QAction>
#include <QDragEnterEvent>
#include <QDropEvent>
#include <QHBoxLayout>
#include <QLabel>
#include <QMimeData>
#include <QPushButton>
#include <QSlider>
#include <QStackedWidget>
#include <QTest>
#include <QToolButton>
#include <QUrl>

#include <gtest/gtest.h>

namespace plindo::ui {
namespace {

using test::FakeHost;
using Calls = std::vector<std::string>;

host::DeckInfo loadedDeck(const std::string& name, double pos, double duration) {
    host::DeckInfo d;
    d.path = "/music/" + name + ".mp3";
    d.name = name;
    d.posSec = pos;
    d.durationSec = duration;
    return d;
}

host::DeckInfo freshDeck(const std::string& name) {
    host::DeckInfo d = loadedDeck(name, 83.4, 291);
    d.rate = 1.013;
    d.remoteFresh = true;
    d.remoteName = "Pixel 8";
    d.jitterMs = 1.4;
    d.maxGapMs = 19;
    d.via = "AWDL";
    d.wavOk = 1;
    d.wireRate = 1.013;
    d.angleAdvN = 4210;
    d.frameN = 4233;
    d.angNetRev = 46.3;
    return d;
}

QImage coverImage(QColor a, QColor b) {
    QImage img(64, 64, QImage::Format_ARGB32);
    img.fill(a);
    for (int y = 0; y < 64; ++y)
        for (int x = 0; x < y; ++x) img.setPixelColor(x, y, b);
    return img;
}

TEST(DeckStripView, TransportGroupMenuAndShareSwitchActThroughTheController) {
    FakeHost host;
    DeckStripView strip(host, 2);
    EXPECT_FALSE(strip.transport()->isEnabled());
    EXPECT_EQ(strip.transport()->toolTip(), "Standalone: the host plays this track at 33⅓");
    EXPECT_EQ(strip.groupMenu()->toolTip(), "This deck is in no group");
    EXPECT_TRUE(strip.shareSwitch()->isChecked());  // unset: shared

    host.slotSides[2] = "";
    host.config().setShareTracks(2, false);
    host.assignDeck(2, freshDeck("Mr Fingers - Can You Feel It"));
    EXPECT_TRUE(strip.transport()->isEnabled());
    EXPECT_EQ(strip.groupMenu()->toolTip(), "Deck plays in the right group · files not shared");
    EXPECT_FALSE(strip.shareSwitch()->isChecked());
    EXPECT_TRUE(host.take().empty());  // showing a value calls nothing

    strip.shareSwitch()->trigger();
    QTest::mouseClick(strip.transport(), Qt::LeftButton);
    EXPECT_EQ(host.take(), (Calls{"setShareTracks(2,1)", "transportButton(2)"}));
}

TEST(DeckStripView, ANarrowStripLetsItsLeastNeededItemsGoFromTheRightInsteadOfOverlapping) {
    FakeHost host;
    host::DeckInfo d = freshDeck("Mr Fingers - Can You Feel It");
    d.via = "AWDL";
    d.wavOk = 1;
    host.assignDeck(1, d);
    DeckStripView strip(host, 1);
    auto shown = [&] {
        std::vector<QWidget*> out;
        for (QObject* c : strip.children())
            if (auto* w = qobject_cast<QWidget*>(c); w && w->isVisible()) out.push_back(w);
        return out;
    };
    strip.resize(700, 34);
    strip.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&strip));
    const size_t all = shown().size();
    EXPECT_TRUE(strip.wavBadge()->isVisible());
    // A 1024-wide window's readings, then narrower still: the rest keeps apart, the spindle stays.
    for (int width : {300, 240}) {
        strip.resize(width, 34);
        QCoreApplication::processEvents();
        const auto now = shown();
        EXPECT_LT(now.size(), all) << width;
        EXPECT_FALSE(strip.wavBadge()->isVisible()) << width;
        EXPECT_TRUE(strip.spindle()->isVisible()) << width;
        for (size_t i = 0; i < now.size(); ++i) {
            EXPECT_TRUE(strip.rect().contains(now[i]->geometry())) << width << " " << now[i]->metaObject()->className();
            for (size_t j = i + 1; j < now.size(); ++j)
                EXPECT_FALSE(now[i]->geometry().intersects(now[j]->geometry()))
                    << width << " " << now[i]->metaObject()->className() << " over " << now[j]->metaObject()->className();
        }
    }
    strip.resize(700, 34);
    QCoreApplication::processEvents();
    EXPECT_EQ(shown().size(), all);
}

TEST(DeckStripView, RebuildsOncePerDecksChangeAndNotPerFrame) {
    FakeHost host;
    FrameClock::shared().setManual(true);
    DeckStripView strip(host, 1);
    strip.resize(620, 34);
    strip.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&strip));
    const int before = strip.refreshCount();
    FrameClock::shared().step(5);
    QCoreApplication::processEvents();
    EXPECT_EQ(strip.refreshCount(), before);
    for (int i = 1; i <= 3; ++i) host.assignDeck(1, loadedDeck("t", i, 10));
    EXPECT_EQ(strip.refreshCount(), before + 3);
    EXPECT_EQ(strip.look().timeLine, "0:03.0 / 0:10.0");
}

// Sends a drag over the strip and, when it was accepted, drops it; the answer is whether the enter was taken.
bool dragAndDrop(DeckStripView& strip, QMimeData& data, bool* targetedWhileOver = nullptr) {
    const QPoint at(20, 10);
    QDragEnterEvent enter(at, Qt::CopyAction, &data, Qt::LeftButton, Qt::NoModifier);
    QCoreApplication::sendEvent(&strip, &enter);
    if (targetedWhileOver) *targetedWhileOver = strip.targeted();
    if (!enter.isAccepted()) return false;
    QDropEvent drop(QPointF(at), Qt::CopyAction, &data, Qt::LeftButton, Qt::NoModifier);
    QCoreApplication::sendEvent(&strip, &drop);
    return true;
}

TEST(DeckStripView, DroppedTextLoadsVerbatimThroughTheGroup) {
    FakeHost host;
    DeckStripView strip(host, 1);
    QMimeData text;
    text.setText(" /a b.mp3 ");
    bool over = false;
    EXPECT_TRUE(dragAndDrop(strip, text, &over));
    EXPECT_TRUE(over);
    EXPECT_FALSE(strip.targeted());
    EXPECT_EQ(host.take(), Calls{"announceLocalLoad(1, /a b.mp3 )"});

    QMimeData files;  // a file manager's drag: URLs and their text; it belongs to the window's logo drop
    files.setUrls({QUrl::fromLocalFile("/a.mp3")});
    files.setText("/a.mp3");
    EXPECT_FALSE(dragAndDrop(strip, files));
    QMimeData empty;
    empty.setText("");
    dragAndDrop(strip, empty);
    EXPECT_TRUE(host.take().empty());
}

TEST(DeckTitleCard, ShowsNamesTimesAndTheTileByTheRule) {
    FakeHost host;
    host.assignDJLogo(coverImage(Qt::red, Qt::white));
    DeckTitleCard empty(host, 1);
    EXPECT_TRUE(empty.tile()->image().isNull());  // an empty deck never shows the logo
    EXPECT_EQ(empty.remaining()->text(), "\u22120:00");

    host.assignDeck(1, loadedDeck("A - B - C", 300.4, 291));
    DeckTitleCard card(host, 0);
    EXPECT_EQ(card.artist()->text(), "A");
    EXPECT_EQ(card.title()->text(), "B - C");
    EXPECT_EQ(card.elapsed()->text(), "5:00");
    EXPECT_EQ(card.remaining()->text(), "\u22120:00");  // past the end
    EXPECT_EQ(card.tile()->image(), host.djLogo());
    host::DeckInfo withCover = loadedDeck("Solo", 61, 200);
    withCover.cover = coverImage(Qt::blue, Qt::green);
    host.assignDeck(1, withCover);
    EXPECT_EQ(card.tile()->image(), withCover.cover);
    EXPECT_EQ(card.artist()->text(), "");
    EXPECT_EQ(card.title()->text(), "Solo");
    EXPECT_EQ(card.remaining()->text(), "\u22122:19");
}

TEST(DeckTitleCard, ZoomControlShowsTheModeAndSendsTheUsersMoves) {
    FakeHost host;
    host.zoomValue[2] = -4;
    host.zoomAutoValue[2] = false;
    DeckTitleCard card(host, 1);
    EXPECT_EQ(card.modeButton()->text(), "Manual");
    EXPECT_EQ(card.zoomLabel()->text(), "puck · 1.5 cm");
    EXPECT_EQ(card.slider()->value(), -4);
    EXPECT_EQ(card.modeButton()->width(), DeckTitleCard::kModeWidth);
    EXPECT_EQ(card.slider()->width(), DeckTitleCard::kSliderWidth);
    EXPECT_TRUE(host.take().empty());

    card.modeButton()->click();
    card.slider()->triggerAction(QSlider::SliderSingleStepSub);
    EXPECT_EQ(host.take(), (Calls{"setZoomAuto(2,1)", "setZoom(2,-5.000000)"}));

    host.zoomAutoValue[2] = true;
    host.zoomValue[2] = -12;
    host.assignDeck(2, loadedDeck("x", 1, 2));
    EXPECT_EQ(card.modeButton()->text(), "Auto");
    EXPECT_EQ(card.zoomLabel()->text(), "Wavey 3.7 s");
    EXPECT_EQ(card.slider()->value(), -12);
    EXPECT_TRUE(host.take().empty());
}

// Two columns wired to a screen-like open set, as the main screen does.
struct TwoColumns {
    FakeHost host;
    QWidget frame;
    DeckColumn* cols[2];
    std::set<int> techOpen;

    TwoColumns() {
        auto* row = new QHBoxLayout(&frame);
        row->setContentsMargins(0, 0, 0, 0);
        row->setSpacing(0);
        for (int i = 0; i < 2; ++i) {
            cols[i] = new DeckColumn(host, i);
            row->addWidget(cols[i]);
            QObject::connect(cols[i], &DeckColumn::gearPressed, [this, i] {
                if (!techOpen.erase(i)) techOpen.insert(i);
                for (int k = 0; k < 2; ++k) cols[k]->setTechOpen(techOpen.count(k) > 0);
            });
        }
        frame.setPalette(darkPalette());
        frame.setAutoFillBackground(true);
        frame.resize(1278, 700);
        frame.show();
        EXPECT_TRUE(QTest::qWaitForWindowExposed(&frame));
    }
};

TEST(DeckColumn, SourceSwitchFollowsTheBridgeAndMarksTheChoiceManual) {
    TwoColumns t;
    host::DeckInfo bridged;
    bridged.path = "serato-midi://deck";
    t.host.assignDeck(1, bridged);
    EXPECT_TRUE(t.cols[0]->sourceSwitch()->selected(true));
    EXPECT_FALSE(t.cols[0]->sourceSwitch()->selected(false));
    EXPECT_TRUE(t.cols[1]->sourceSwitch()->selected(false));

    QTest::mouseClick(t.cols[1]->sourceSwitch()->button(false), Qt::LeftButton);
    EXPECT_EQ(t.host.take(), Calls{"setSeratoDeck(2,0)"});
    EXPECT_EQ(t.host.settings_.boolValue("deck.mode.manual.slot2"), true);
    EXPECT_FALSE(t.host.settings_.boolValue("deck.mode.manual.slot1").has_value());
    EXPECT_TRUE(t.cols[1]->sourceSwitch()->selected(false));  // the click alone changes nothing shown
}

TEST(DeckColumn, GearSwapsOnlyItsDeckAndTheHiddenFaceTakesNoClicks) {
    TwoColumns t;
    DeckColumn& right = *t.cols[1];
    t.host.assignDeck(2, loadedDeck("x", 1, 2));
    QTest::mouseClick(right.titleCard()->gear(), Qt::LeftButton);
    EXPECT_TRUE(right.techOpen());
    EXPECT_FALSE(t.cols[0]->techOpen());
    EXPECT_EQ(right.card()->currentWidget()->isAncestorOf(right.strip()), true);
    EXPECT_EQ(right.readingsGear()->property("symbol").toString(), "gearshape.fill");
    EXPECT_FALSE(right.titleCard()->isVisible());

    // A click where the hidden title card's mode button sits lands on the readings face, not on the button.
    const QPoint modeAt = right.titleCard()->modeButton()->geometry().center();
    QTest::mouseClick(right.card()->currentWidget(), Qt::LeftButton, {}, modeAt);
    EXPECT_TRUE(t.host.take().empty());

    QTest::mouseClick(right.readingsGear(), Qt::LeftButton);
    EXPECT_FALSE(right.techOpen());
    EXPECT_FALSE(right.strip()->isVisible());
    QTest::mouseClick(right.strip()->transport(), Qt::LeftButton);
    for (const auto& call : t.host.take()) EXPECT_EQ(call.find("setZoomAuto"), std::string::npos) << call;
}

TEST(DeckColumn, APressOnThePaneReachesItAndTheColumnAddsNothing) {
    TwoColumns t;
    auto* pane = new QPushButton("pane");
    int clicks = 0;
    QObject::connect(pane, &QPushButton::clicked, [&] { ++clicks; });
    t.cols[1]->setPaneWidget(pane);
    auto* placement = new QWidget;
    t.cols[1]->setPlacementWidget(placement);
    QCoreApplication::processEvents();
    EXPECT_EQ(placement->height(), DeckColumn::kPlacementHeight);
    EXPECT_GE(pane->width(), DeckColumn::kPaneMinWidth);
    QTest::mouseClick(pane, Qt::LeftButton);
    EXPECT_EQ(clicks, 1);
    EXPECT_TRUE(t.host.take().empty()) << "a control's press is the pane's own business";
    QPointer<QWidget> old(placement);
    t.cols[1]->setPlacementWidget(new QWidget);  // replacing deletes the old view
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    EXPECT_TRUE(old.isNull());
    EXPECT_EQ(t.cols[1]->placementWidget()->parentWidget()->layout()->count(), 1);
    QTest::mouseClick(t.cols[1]->sourceSwitch()->button(true), Qt::LeftButton);
    EXPECT_EQ(t.host.take(), Calls{"setSeratoDeck(2,1)"});  // outside the pane: no pane change
}

TEST(DeckRack, CardsAndRowsFollowTheDecks) {
    FakeHost host;
    FrameClock::shared().setManual(true);
    host.remoteAngles[1] = 0.8;
    host.remoteAngles[2] = -2.1;
    host::DeckInfo left = freshDeck("Kerri Chandler - Rain");
    left.standalone = true;
    host.assignDeck(1, left);
    host::DeckInfo right = loadedDeck("", 12.5, 0);
    right.rate = 0.985;
    host.assignDeck(2, right);
    DeckRack rack(host);
    rack.setPalette(darkPalette());
    rack.setAutoFillBackground(true);
    rack.resize(1280, 620);
    rack.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&rack));

    EXPECT_EQ(rack.card(1)->pitch()->text(), "+1.30 %");
    EXPECT_EQ(rack.card(2)->pitch()->text(), "-1.50 %");
    EXPECT_TRUE(rack.card(1)->spindle()->fresh());
    EXPECT_EQ(rack.row(1)->remote()->text(), "Pixel 8");
    EXPECT_TRUE(rack.row(1)->standalone()->isVisible());
    EXPECT_TRUE(rack.row(1)->via()->isVisible());
    EXPECT_EQ(rack.row(2)->remote()->text(), "no remote / stale");
    EXPECT_EQ(rack.row(2)->name()->text(), "—");
    EXPECT_FALSE(rack.row(2)->standalone()->isVisible());
    EXPECT_FALSE(rack.row(2)->maxGap()->isVisible());
    EXPECT_EQ(rack.row(2)->channel()->text(), "Channel —");
    // The divider sits between the rows.
    EXPECT_GT(rack.divider()->y(), rack.row(1)->y());
    EXPECT_LT(rack.divider()->y(), rack.row(2)->y());
    EXPECT_LT(rack.card(1)->x(), rack.middle()->x());
    EXPECT_GT(rack.card(2)->x(), rack.middle()->x());

    const int reads = host.remoteAngleReads;
    FrameClock::shared().step();
    QCoreApplication::processEvents();
    EXPECT_GE(host.remoteAngleReads, reads + 2);  // each spindle reads the server live per frame
    test::screenshot(rack, "deck_rack");
}

TEST(DeckColumn, Screenshot) {
    TwoColumns t;
    FrameClock::shared().setManual(true);
    host::DeckInfo a = freshDeck("Larry Heard - Mystery of Love");
    a.cover = coverImage(QColor(40, 90, 160), QColor(230, 200, 80));
    host::DeckInfo b = freshDeck("Robert Hood - Minus");
    b.rate = 0.97;
    b.jitterMs = 4.2;
    b.maxGapMs = 31;
    b.via = "WLAN";
    b.wavOk = 0;
    t.host.assignDeck(1, a);
    t.host.assignDeck(2, b);
    t.host.remoteAngles[2] = 1.1;
    QTest::mouseClick(t.cols[1]->titleCard()->gear(), Qt::LeftButton);
    QCoreApplication::processEvents();
    test::screenshot(t.frame, "deck_columns");
}

}  // namespace
}  // namespace plindo::ui
