#pragma once
// Where everything of the crate stands, as pure functions of the pane size and the scroll offset: the
// layout, the transform of a card by its distance from the focus line, the train cars behind the focused
// card and the outline of the crate's slit. Lengths are in pixels, y grows downwards.
#include <QPainterPath>
#include <QRectF>

#include <optional>

namespace plindo::ui {

struct CrateLayout {
    double width = 0, height = 0;
    double cardW = 0;       // edge of an upright cover
    double slotH = 0;       // height of one entry's slot in the scrolling column
    double floorTop = 0;    // the floor band: floorTop ... floorTop + floorH
    double floorH = 0;
    double lipLine = 0;     // L: the upright cover's bottom edge; covers vanish below it
    double focusLine = 0;   // F: the slot centre of the focused entry
    double lipH = 0;
    double lipW = 0;
    double topInset = 0;    // of the slit shape
    double anchor = 0;      // A: where a scrolled-to slot stands, as a fraction of the pane
    double panelW = 0;      // the text panel
    double padTop = 0;      // space above the first slot
    double padBottom = 0;   // space below the last slot

    static CrateLayout of(double width, double height);

    // Slot centre of entry i at scroll offset s, in pane coordinates; O(1) whatever the count.
    double slotCentre(int i, double s) const { return padTop + (i + 0.5) * slotH - s; }
    // Signed distance of entry i from the focus line, positive below it.
    double offsetOf(int i, double s) const { return slotCentre(i, s) - focusLine; }
    double maxScroll(int count) const;
    double clampScroll(double s, int count) const;
    // The entry nearest the focus line (the earlier one on a tie); none for an empty crate.
    std::optional<int> nearest(double s, int count) const;
    // The offset that puts entry i on the focus line, within the scroll range.
    double scrollTarget(int i, int count) const;
    // Focus fraction of the train: the focused card's offset in slots, negated.
    double focusFraction(double focusOff) const { return slotH > 0 ? -focusOff / slotH : 0; }
};

// A card drawn at `rel` pixels from the focus line: shrinks, slides left and darkens above it, drops away
// below it.
struct CardTransform {
    double scale = 1;
    double dx = 0, dy = 0;
    double brightness = 0;  // added to each colour channel
    double z = 0;           // larger is nearer the viewer
};
CardTransform cardTransform(double rel, double cardW);
// The cover square of an entry with slot centre `slotCentre` before its transform, and after.
QRectF cardRect(const CrateLayout& l, double slotCentre);
QRectF transformed(const QRectF& r, const CardTransform& t);

// A train car `d` cards behind the focused one.
struct CarGeometry {
    double scale = 1;
    QRectF rect;  // after scaling
    double brightness = 0;
};
CarGeometry carGeometry(double d, double cardW, double coverBottom, double paneMidX);

// The slit outline in `r`: a flat band whose top edge is `topInset` shorter at each end than its bottom
// edge, with sides bulging out at mid height.
QPainterPath slitPath(const QRectF& r, double topInset);

// Opacity of the focused card's ring at `seconds`: it blinks every 0.45 s.
double focusRingOpacity(double seconds);

}  // namespace plindo::ui
