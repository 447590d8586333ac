#pragma once
// The pictures of one crate card: its face (cover or placeholder, flip label strip, rounded corners), the
// ring that says loaded, focused or played, the sticker with key, tempo and plays, the soft shadow, and the
// brightness change that darkens covers further back.
#include "ui/library/track_meta_lite.h"

#include <QColor>
#include <QFont>
#include <QImage>
#include <QRectF>

#include <string>

class QPainter;

namespace plindo::ui {

inline constexpr double kCardCorner = 6;

// The face at `side` logical pixels: the picture filling the square (cropped), else the placeholder with the
// track's name; a flip's label strip along the bottom; corners rounded. Premultiplied ARGB at `dpr`.
QImage cardFace(const QImage* picture, const std::string& name, const std::string& label, double side, qreal dpr);

// The flip label's font on a card of `side`: heavy, 5.5 % of the side and never below 11.
QFont flipLabelFont(double side);

// The ring laid over a cover; the first of loaded, focused, played decides. `blink` is the focused ring's
// opacity of the moment. A played cover is also tinted.
struct CardBorder {
    QColor colour;
    double width = 1;  // stroked inside the card's edge
    QColor tint;       // over the whole face when valid
};
CardBorder cardBorder(bool loaded, bool focused, bool played, double blink);
void paintCardBorder(QPainter& p, const QRectF& r, bool loaded, bool focused, bool played, double blink);

// The sticker in the cover's top trailing corner; returns the rectangle of its plays row (empty without).
QRectF paintSticker(QPainter& p, const QRectF& cover, const TrackMetaLite& meta);

// `src` drawn at `size` device pixels with `b` added to every colour channel, clamped.
QImage brightened(const QImage& src, QSize size, double b);

// A black rounded square of `side` blurred by `radius`, at `opacity`, padded by the blur's reach on every
// side: draw it at the card's rect grown by `shadowPad(radius)`.
QImage cardShadow(double side, double radius, double opacity, qreal dpr);

// Draws `src` (premultiplied ARGB) scaled into `target` (device pixels of `dst`, an opaque RGB32 image) over
// what is there, only inside `clip` (device pixels): bilinear when `smooth`, else the nearest pixel. It covers
// the pixels the raster engine covers, on this thread alone: the raster engine hands
// large scaled draws to its thread pool, which costs more than the drawing for a train of covers.
void blendScaled(QImage& dst, const QRectF& target, const QImage& src, const QRect& clip, bool smooth);
double shadowPad(double radius);

// Paints `colour` over the band between the rounded rectangle `outer` (device pixels of `dst`, corners of
// `radius`) and the same shape inset by `width`, as an antialiased stroke inside the shape draws it; a width of
// 0 fills the shape. Only inside `clip`, and only on the band's pixels: a ring costs its perimeter, on this
// thread, where the raster engine hands a large stroke to its thread pool.
void paintRoundedBand(QImage& dst, const QRectF& outer, double radius, double width, const QColor& colour,
                      const QRect& clip);

}  // namespace plindo::ui
