#include "ui/main/deck_placement_panel.h"

#include "../fake_host.h"
#include "ui/kit/colors.h"
#include "ui/kit/text_styles.h"
#include "ui/main/deck_column.h"
#include "ui/main/readout_band.h"

#include <QGraphicsOpacityEffect>
#include <QHBoxLayout>
#include <QTest>

#include <gtest/gtest.h>

#include <cmath>

namespace plindo::ui {
namespace {

using Raw = link::OrvRemoteLink::RawMirror;

host::PlaceSnapshot snap(double age, int flags, double offX = 0, double offY = 0, double planeDevDeg = 0) {
    host::PlaceSnapshot s;
    s.age = age;
    s.fresh = age < 1.0;
    s.raw.placeFlags = flags;
    s.raw.offX = offX;
    s.raw.offY = offY;
    s.raw.planeDevDeg = planeDevDeg;
    return s;
}

TEST(DeckPlacementPanel, VerdictTakesTheFirstRuleThatApplies) {
    struct Case { host::PlaceSnapshot s; const char* text; QColor colour; };
    const double nan = std::nan("");
    for (const Case& c : {
             Case{snap(1.0, 0x23, 20, 0, 9), "—", colors::secondary()},
             Case{snap(0.1, 0x23, 20, 0, 9), "ANGEHOBEN", colors::orange()},  // lifted beats offset and tilt
             Case{snap(0.1, 0x02, 0, 0, 0), "PLATZIERUNG UNBEKANNT", colors::secondary()},
             Case{snap(0.1, 0x03, nan, 0, 0), "PLATZIERUNG UNBEKANNT", colors::secondary()},
             Case{snap(0.1, 0x03, 9.144, 12.192, 0), "LIEGT", colors::green()},  // exactly 15.24 cm is on
             Case{snap(0.1, 0x03, 0, -16, 0), "NEBEN DER PLATTE", colors::red()},
             Case{snap(0.1, 0x03, 1, 1, 2.5), "LIEGT", colors::green()},
             Case{snap(0.1, 0x03, 1, 1, 2.6), "SCHRÄG · 2.6°", colors::red()},
             Case{snap(0.1, 0x03, 1, 1, nan), "LIEGT", colors::green()},  // a plane not learned says nothing
         }) {
        const auto v = placementStatus(c.s);
        EXPECT_EQ(v.text, c.text);
        EXPECT_EQ(v.color, c.colour) << c.text;
    }
}

TEST(DeckPlacementPanel, ReadoutsAndPlaneNote) {
    Raw raw;
    raw.offX = -3;
    raw.offY = 4;
    raw.yaw = 3.5;
    raw.gz = 0.01234;
    raw.fieldAC = 1.5;
    raw.planeDevDeg = -1;
    auto rows = placementReadouts(raw);
    const std::array<std::pair<std::string, std::string>, 6> expected{{
        {"r", "5.0 cm"}, {"off", "-3.0/+4.0"}, {"yaw", "-159°"}, {"gz", "0.012"}, {"Ebene", "—"}, {"Feld", "1.50 µT"},
    }};
    EXPECT_EQ(rows, expected);

    struct Case { double deg; const char* row; const char* note; };
    for (const Case c : {Case{-1, "—", "Ebene noch nicht gelernt"}, {std::nan(""), "—", "Ebene noch nicht gelernt"},
                         {1.5, "1.50°", "Kamerabuckel erklärt es (1.17° erwartet)"},
                         {2.0, "2.00°", "+0.83° über dem Kamerabuckel"}, {0.2, "0.20°", "-0.97° über dem Kamerabuckel"}}) {
        raw.planeDevDeg = c.deg;
        EXPECT_EQ(placementReadouts(raw)[4].second, c.row);
        EXPECT_EQ(planeNote(raw), c.note);
    }
}

TEST(DeckPlacementPanel, ReadoutBandKeepsEveryValueWholeAndShortensTheCaptionFirst) {
    Raw raw;
    raw.offX = -12.3;
    raw.offY = 10.2;
    raw.planeDevDeg = 1.5;
    raw.fieldAC = 0.5;
    const ReadoutRows rows = placementReadouts(raw);
    const std::string note = planeNote(raw);  // "Kamerabuckel erklärt es (1.17° erwartet)"
    const QFontMetrics label(monoSystemFont(9)), value(monoSystemFont(11, QFont::DemiBold));
    const auto pair = [&](size_t i) {
        return label.horizontalAdvance(QString::fromStdString(rows[i].first)) + 4 +
               value.horizontalAdvance(QString::fromStdString(rows[i].second));
    };
    int six = 2 * 10 + 5 * 14;
    for (size_t i = 0; i < 6; ++i) six += pair(i);
    const int full = six + 2 * 14 + label.horizontalAdvance(QString::fromStdString(note));
    const auto room = [&](const char* shown) { return six + 2 * 14 + label.horizontalAdvance(QString::fromUtf8(shown)); };

    struct Case { int width; int rows; const char* caption; };  // caption: "whole", "short" or "none"
    for (const Case c : {Case{full + 40, 6, "whole"}, {full, 6, "whole"}, {full - 1, 6, "short"},
                         {room("Kamerabuckel\u2026"), 6, "short"}, {room("Kamerab\u2026"), 6, "none"},  // a word's start says nothing
                         {six + 2 * 14 + 2, 6, "none"}, {six, 6, "none"}, {six - 1, 5, "none"},
                         {20 + pair(0) + 14 + pair(1), 2, "none"}, {20 + pair(0), 1, "none"}, {20 + pair(0) - 1, 0, "none"},
                         {0, 0, "none"}, {-5, 0, "none"}}) {
        const ReadoutFit fit = fitReadouts(rows, note, c.width);
        EXPECT_EQ(fit.rows, c.rows) << c.width;
        const std::string caption = c.caption;
        if (caption == "whole") EXPECT_EQ(fit.caption.toStdString(), note) << c.width;
        if (caption == "none") EXPECT_TRUE(fit.caption.isEmpty()) << c.width;
        if (caption == "short") {
            EXPECT_TRUE(fit.caption.endsWith(QChar(0x2026))) << c.width;
            EXPECT_TRUE(QString::fromStdString(note).startsWith(fit.caption.chopped(1))) << fit.caption.toStdString();
            EXPECT_GT(fit.caption.size(), 8);
        }
        // What shows fits: whole pairs, then the caption after the spacer.
        int used = 20 + std::max(0, fit.rows - 1) * 14;
        for (int i = 0; i < fit.rows; ++i) used += pair(size_t(i));
        if (!fit.caption.isEmpty()) used += 2 * 14 + label.horizontalAdvance(fit.caption);
        if (fit.rows > 0) EXPECT_LE(used, c.width) << c.width;
    }
    // No caption at all, and a band as wide as a 1280-wide window's tile: the six values whole.
    EXPECT_EQ(fitReadouts(rows, "", six).rows, 6);
    EXPECT_EQ(fitReadouts(rows, "", six).caption, QString());
}

TEST(DeckPlacementPanel, CanvasInputsCarryTheYawAndNameTheFeedingMembers) {
    ::plindo::test::FakeHost host;
    host.yawRates[1] = 2.0;
    struct Case { double age; double theta; };
    for (const Case c : {Case{0.3, 1.0 + 0.6}, {2.0, 1.0 + 1.0}, {INFINITY, 1.0 + 1.0}}) {
        auto s = snap(c.age, 0x03);
        s.raw.yaw = 1.0;
        host.places[1] = s;
        EXPECT_NEAR(placementInputs(host, 1).theta, c.theta, 1e-12) << c.age;  // at most half a second
    }

    const double now = host.clock.now();
    host.buds[1] = {"Host#2", now - 1.0};
    auto in = placementInputs(host, 1);
    EXPECT_EQ(in.bigLabel, QStringLiteral("🎧"));
    EXPECT_EQ(in.smallLabel, QStringLiteral("Host"));

    host.watches[1] = {"Wrist#12", now - 2.0};
    in = placementInputs(host, 1);
    EXPECT_EQ(in.bigLabel, QStringLiteral("🎧⌚️"));
    EXPECT_EQ(in.smallLabel, QStringLiteral("Host"));  // the earbuds' member names the deck

    host.buds[1] = {"Host#2", now - 2.6};  // older than 2.5 s
    in = placementInputs(host, 1);
    EXPECT_EQ(in.bigLabel, QStringLiteral("⌚️"));
    EXPECT_EQ(in.smallLabel, QStringLiteral("Wrist"));
    EXPECT_TRUE(placementInputs(host, 2).bigLabel.isEmpty());
}

struct DeckPlacementTile : ::testing::Test {
    DeckPlacementTile() { FrameClock::shared().setManual(true); }
    ::plindo::test::FakeHost host;
};

TEST_F(DeckPlacementTile, HeaderFollowsTheRecordFrameByFrame) {
    DeckPlacementPanel panel(host, 1);
    panel.resize(420, 260);
    EXPECT_EQ(panel.verdictText(), "—");
    EXPECT_TRUE(panel.signalLost());

    host.places[1] = snap(0.1, 0x03, 1, 1, 2.0);
    FrameClock::shared().step();
    EXPECT_EQ(panel.verdictText(), "LIEGT");
    EXPECT_FALSE(panel.signalLost());
    EXPECT_EQ(panel.caption(), "+0.83° über dem Kamerabuckel");

    host.places[1].age = 1.0;
    host.places[1].fresh = false;
    FrameClock::shared().step();
    EXPECT_EQ(panel.verdictText(), "—");
    EXPECT_TRUE(panel.signalLost());
    EXPECT_EQ(panel.readoutValue(0), "1.4 cm");  // the last record's numbers stay
}

TEST_F(DeckPlacementTile, HiddenReadoutsKeepTheirHeightAndLetClicksThrough) {
    DeckPlacementPanel panel(host, 2);
    panel.resize(420, 260);
    panel.show();
    QCoreApplication::processEvents();
    const int hiddenHeight = panel.readouts()->height();
    auto* effect = qobject_cast<QGraphicsOpacityEffect*>(panel.readouts()->graphicsEffect());
    ASSERT_NE(effect, nullptr);
    EXPECT_EQ(effect->opacity(), 0.0);
    EXPECT_TRUE(panel.readouts()->testAttribute(Qt::WA_TransparentForMouseEvents));
    EXPECT_GT(hiddenHeight, 10);

    panel.setShowRows(true);
    QCoreApplication::processEvents();
    EXPECT_EQ(effect->opacity(), 1.0);
    EXPECT_FALSE(panel.readouts()->testAttribute(Qt::WA_TransparentForMouseEvents));
    EXPECT_EQ(panel.readouts()->height(), hiddenHeight);
    EXPECT_GE(panel.canvas()->height(), DeckPlacementPanel::kCanvasMinHeight);
}

TEST_F(DeckPlacementTile, FillsTheColumnsSlotAndShowsItsRowsWithTheReadings) {
    DeckColumn column(host, 1);
    column.resize(420, 800);
    column.show();
    QCoreApplication::processEvents();
    auto* tile = qobject_cast<DeckPlacementPanel*>(column.placementWidget());
    ASSERT_NE(tile, nullptr);
    EXPECT_FALSE(tile->showRows());
    EXPECT_EQ(tile->height(), DeckColumn::kPlacementHeight);
    EXPECT_GE(tile->canvas()->height(), DeckPlacementPanel::kCanvasMinHeight);
    EXPECT_LE(tile->readouts()->geometry().bottom(), tile->height() - 1);  // the band fits below the canvas

    column.setTechOpen(true);
    EXPECT_TRUE(tile->showRows());
    column.setTechOpen(false);
    EXPECT_FALSE(tile->showRows());
}

TEST_F(DeckPlacementTile, Screenshot) {
    auto fresh = snap(0.05, 0x03, 3.2, -4.1, 1.4);
    fresh.raw.yaw = 0.5;
    fresh.raw.fieldAC = 0.6;
    fresh.raw.rotorPhase = 1.0;
    fresh.raw.gz = 0.021;
    host.places[1] = fresh;
    auto lifted = snap(0.05, 0x23, -2, 5, 0);
    lifted.raw.yaw = -0.8;
    host.places[2] = lifted;
    host.buds[1] = {"Studio#2", host.clock.now()};

    QWidget frame;
    auto* row = new QHBoxLayout(&frame);
    auto* left = new DeckPlacementPanel(host, 1, &frame);
    auto* right = new DeckPlacementPanel(host, 2, &frame);
    left->setShowRows(true);
    right->setShowRows(true);
    row->addWidget(left);
    row->addWidget(right);
    frame.resize(1180, 280);
    frame.show();
    FrameClock::shared().step();
    QCoreApplication::processEvents();
    EXPECT_EQ(left->verdictText(), "LIEGT");
    EXPECT_EQ(right->verdictText(), "ANGEHOBEN");
    frame.grab().save(qEnvironmentVariable("PLINDO_SCREENSHOT_DIR") + "/deck_placement_tiles.png");
}

}  // namespace
}  // namespace plindo::ui
