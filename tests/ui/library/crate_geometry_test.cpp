// The crate's pure geometry, texts and key codes, as tables.
#include "ui/library/camelot.h"
#include "ui/library/crate_geometry.h"
#include "ui/library/crate_texts.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>

namespace plindo::ui {
namespace {

TEST(CrateGeometry, LayoutOfAThousandByEightHundredPane) {
    const auto l = CrateLayout::of(1000, 800);
    const struct { const char* name; double got, want; } rows[] = {
        {"cardW", l.cardW, 592},         {"slotH", l.slotH, 201.28},       {"lip line", l.lipLine, 656},
        {"focus line", l.focusLine, 164.64}, {"lipH", l.lipH, 20.72},     {"lip width", l.lipW, 627.52},
        {"floor top", l.floorTop, 657.6}, {"floor end", l.floorTop + l.floorH, 785.6},
        {"floor centre", l.floorTop + l.floorH / 2, 721.6}, {"panel", l.panelW, 320},
        {"pad top", l.padTop, 64},        {"pad bottom", l.padBottom, 635.36},
        {"anchor", l.anchor, 64 / 598.72}, {"slit inset", l.topInset, 20.72},
    };
    for (const auto& r : rows) EXPECT_NEAR(r.got, r.want, 1e-9) << r.name;
    // A narrow pane takes its card from the width and keeps the lip at least 10 high.
    const auto n = CrateLayout::of(290, 560);
    EXPECT_NEAR(n.cardW, 220.4, 1e-9);
    EXPECT_DOUBLE_EQ(n.lipH, 10.0);
    EXPECT_NEAR(n.panelW, 92.8, 1e-9);
}

TEST(CrateGeometry, ScrollTargetPutsTheEntryOnTheFocusLineAndNearestAgrees) {
    const auto l = CrateLayout::of(1000, 800);
    const int count = 10000;
    for (int i : {0, 1, 2, 57, 9998, 9999}) {
        const double s = l.scrollTarget(i, count);
        EXPECT_NEAR(l.offsetOf(i, s), 0, 1e-6) << i;
        EXPECT_EQ(l.nearest(s, count), i);
        // The slot's top edge stands at the anchor fraction of the free height, the upright cover on the lip.
        EXPECT_NEAR(l.slotCentre(i, s) - l.slotH / 2, l.anchor * (l.height - l.slotH), 1e-6);
    }
    // The top of the range puts the first entry on the line.
    EXPECT_EQ(l.scrollTarget(0, count), 0);
    EXPECT_NEAR(l.offsetOf(0, 0), 0, 1e-9);
    EXPECT_EQ(l.nearest(0, count), 0);
    // Exactly between two slots the earlier entry wins.
    const double half = l.scrollTarget(5, count) + l.slotH / 2;
    EXPECT_EQ(l.nearest(half, count), 5);
    EXPECT_EQ(l.nearest(half + 1e-6, count), 6);
    EXPECT_EQ(l.nearest(1e12, count), count - 1);
    EXPECT_EQ(l.nearest(0, 0), std::nullopt);
    EXPECT_EQ(l.clampScroll(std::numeric_limits<double>::quiet_NaN(), count), 0);
    EXPECT_EQ(l.clampScroll(1e12, count), l.maxScroll(count));
}

TEST(CrateGeometry, CardTransform) {
    const double w = 592;
    const auto at0 = cardTransform(0, w);
    EXPECT_EQ(at0.scale, 1);
    EXPECT_EQ(at0.dx, 0);
    EXPECT_EQ(at0.dy, 0);
    EXPECT_EQ(at0.brightness, 0);
    EXPECT_EQ(at0.z, 0);

    // Far above: shrinks to nothing, left edge towards 0.9 W left of centre, 0.32 W down per unit of k, -0.3.
    const double rel = -1e5;
    const double k = -3.088235294117647 * rel / (w * 1.05);
    const auto far = cardTransform(rel, w);
    EXPECT_LT(far.scale, 1e-6);
    EXPECT_NEAR(far.dx, -0.9 * w, 1e-3);
    EXPECT_NEAR(far.dy, w * (0.5 + 0.32 * k), 1e-3);
    EXPECT_DOUBLE_EQ(far.brightness, -0.3);
    EXPECT_DOUBLE_EQ(cardTransform(-(w * 1.05) / 3.088235294117647 / 0.146, w).brightness, -0.3);

    // Below: full size and brightness, pushed down.
    const auto below = cardTransform(100, w);
    EXPECT_EQ(below.scale, 1);
    EXPECT_EQ(below.brightness, 0);
    EXPECT_NEAR(below.dy, 1.66 * 3.088235294117647 * (100 / (w * 1.05)) * w, 1e-9);
    EXPECT_LT(below.z, 0);

    const auto nan = cardTransform(std::numeric_limits<double>::quiet_NaN(), w);
    EXPECT_EQ(nan.scale, 1);
    EXPECT_EQ(nan.z, 0);
}

TEST(CrateGeometry, TrainCars) {
    const double w = 592, lip = 656, mid = 500;
    const auto d0 = carGeometry(0, w, lip, mid);
    EXPECT_DOUBLE_EQ(d0.scale, 1);
    EXPECT_DOUBLE_EQ(d0.rect.bottom(), lip);
    EXPECT_DOUBLE_EQ(d0.rect.left(), mid - w / 2);
    EXPECT_DOUBLE_EQ(d0.brightness, 0);

    const auto d1 = carGeometry(1, w, lip, mid);
    EXPECT_DOUBLE_EQ(d1.scale, 0.94);
    EXPECT_NEAR(d1.rect.bottom(), lip - 0.02 * w, 1e-9);
    EXPECT_NEAR(d1.rect.left(), mid - w / 2 - 0.06 * w, 1e-9);
    EXPECT_NEAR(d1.brightness, -0.0438, 1e-12);

    const auto far = carGeometry(400, w, lip, mid);
    EXPECT_LT(far.rect.width(), 1e-6);
    EXPECT_NEAR(far.rect.left(), mid - 0.9 * w, 1e-6);
    EXPECT_DOUBLE_EQ(far.brightness, -0.3);
}

TEST(CrateGeometry, SlitPath) {
    // Height 0: the segment from the left to the right end and back, nothing enclosed.
    const QPainterPath flat = slitPath(QRectF(10, 20, 100, 0), 0);
    EXPECT_EQ(flat.boundingRect(), QRectF(10, 20, 100, 0));
    EXPECT_EQ(flat.currentPosition(), QPointF(10, 20));
    // Inset 0: top and bottom edges of one length.
    const QPainterPath band = slitPath(QRectF(0, 0, 100, 20), 0);
    EXPECT_EQ(band.elementAt(0), QPointF(10, 20));
    EXPECT_TRUE(band.contains(QPointF(50, 10)));
    EXPECT_TRUE(band.contains(QPointF(6, 10)));  // the sides bulge out to 5 at mid height
    EXPECT_FALSE(band.contains(QPointF(4, 10)));
    EXPECT_FALSE(band.contains(QPointF(1, 19)));
    const QPainterPath inset = slitPath(QRectF(0, 0, 100, 20), 7);
    EXPECT_FALSE(inset.contains(QPointF(12, 1)));
    EXPECT_TRUE(inset.contains(QPointF(18, 1)));
}

TEST(CrateGeometry, FocusRingBlinks) {
    const struct { double t, opacity; } rows[] = {{0, 0.95}, {0.44, 0.95}, {0.46, 0.35}, {0.89, 0.35}, {0.91, 0.95}};
    for (const auto& r : rows) EXPECT_EQ(focusRingOpacity(r.t), r.opacity) << r.t;
}

TEST(Camelot, CodesFromKeyTexts) {
    const struct { const char* key; const char* code; } rows[] = {
        {"8A", "8A"},   {" 8 b ", "8B"}, {"08A", "8A"},  {"0A", nullptr}, {"13A", nullptr}, {"", nullptr},
        {"12 b", "12B"}, {"8A\n", "8A"}, {"8\tA", "8A"}, {"123A", nullptr},
        // The open-key notation runs seven ahead: C major is 1d.
        {"1d", "8B"},   {"1m", "8A"},    {"7d", "2B"},   {"8m", "3A"},     {"12m", "7A"},   {"13d", nullptr},
        {"5M", "12A"},
        {"Amin", "8A"}, {"AMAJ", "11B"}, {"f#m", "11A"}, {"gbmin", "11A"}, {"Fm", "4A"},    {"Am", "8A"},
        {"C", "8B"},    {"E#m", nullptr}, {"Cb", nullptr}, {"C#/Db", nullptr}, {"A minor", nullptr},
        {"C major", nullptr}, {" \t ", nullptr}, {"Abm", "1A"}, {"E", "12B"},
    };
    for (const auto& r : rows) {
        const auto got = camelotCode(r.key);
        if (r.code) EXPECT_EQ(got, std::string(r.code)) << '"' << r.key << '"';
        else EXPECT_EQ(got, std::nullopt) << '"' << r.key << '"';
    }
}

TEST(Camelot, Colours) {
    EXPECT_EQ(camelotColor("8A"), camelotColor("8B"));
    const QColor gray = camelotColor("");
    for (const char* code : {"", "AB", "13A", "0B", "1-2", "99999999999999999999A"})
        EXPECT_EQ(camelotColor(code), gray) << code;
    EXPECT_NE(camelotColor("1A"), gray);
    EXPECT_EQ(camelotHue("1A"), 75.0);
    EXPECT_EQ(camelotHue("12B"), 45.0);
    EXPECT_EQ(camelotHue("x07A"), 255.0);
    EXPECT_NEAR(camelotColor("1A").hsvHueF() * 360, 75, 0.5);
}

TEST(CrateTexts, PanelLines) {
    TrackMetaLite m;
    m.title = "Song";
    m.artist = "Band";
    const CrateItem drop{{"/m/a.mp3", "a"}, 2, "Drop"};
    EXPECT_EQ(panelTitle(m, &drop), "Song \u00B7 FLIP 3 Drop");
    EXPECT_EQ(panelArtist(m), "Band");
    const CrateItem first{{"/m/a.mp3", "a"}, 0, ""};
    EXPECT_EQ(panelTitle(std::nullopt, &first), "a \u00B7 FLIP 1");
    const CrateItem track{{"/m/a.mp3", "a name"}, -1, ""};
    EXPECT_EQ(panelTitle(std::nullopt, &track), "a name");
    EXPECT_EQ(panelArtist(std::nullopt), "");
    TrackMetaLite artistOnly;
    artistOnly.artist = "Band";
    EXPECT_EQ(panelTitle(artistOnly, &track), "a name");
    EXPECT_EQ(panelTitle(std::nullopt, nullptr), "");
}

TEST(CrateTexts, StickerRows) {
    TrackMetaLite m;
    EXPECT_TRUE(stickerRows(m).empty());
    m.key = "Am";
    EXPECT_EQ(stickerRows(m).key, "Am");
    m.camelot = "8A";
    m.bpm = 0;
    m.plays = 0;
    const auto r = stickerRows(m);
    EXPECT_EQ(r.camelot, "8A");
    EXPECT_EQ(r.key, "");
    EXPECT_EQ(r.tempo, "");    // a tempo of 0 is no tempo
    EXPECT_EQ(r.plays, "0\u00D7");  // but 0 plays is a count
    m.bpm = 124;
    m.plays = 7;
    EXPECT_EQ(stickerRows(m).tempo, "124.0 BPM");
    EXPECT_EQ(stickerRows(m).plays, "7\u00D7");
}

}  // namespace
}  // namespace plindo::ui
