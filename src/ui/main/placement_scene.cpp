#include "ui/main/placement_scene.h"

#include "ui/kit/blur.h"
#include "ui/kit/colors.h"
#include "ui/kit/stroke_pen.h"
#include "ui/kit/text_styles.h"
#include "ui/main/placement_geometry.h"

#include <QImage>
#include <QLinearGradient>
#include <QPainter>
#include <QPainterPath>
#include <QPaintDevice>
#include <QRadialGradient>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <initializer_list>
#include <numbers>

namespace plindo::ui {

namespace {

using namespace placement;
using Raw = link::OrvRemoteLink::RawMirror;

constexpr double kPi = std::numbers::pi;
constexpr double kStaleAlpha = 0.28;        // how a stale record dims the platter
constexpr double kSane = 1e6;               // farther off than this a point is garbage, not a drawing
constexpr double kDecal = 0.02;             // decorations sit this far above the top face
constexpr QPointF kIconCentre{46, 56};      // the unplaced phone's symbol, in screen points

QColor white(double level, double opacity) {
    return QColor::fromRgbF(float(level), float(level), float(level), float(std::clamp(opacity, 0.0, 1.0)));
}
QColor at(QColor c, double opacity) {
    c.setAlphaF(float(std::clamp(opacity, 0.0, 1.0)));
    return c;
}

bool sane(QPointF q) { return std::isfinite(q.x()) && std::isfinite(q.y()) && std::abs(q.x()) < kSane && std::abs(q.y()) < kSane; }
bool sane(const QPolygonF& poly) { return std::all_of(poly.begin(), poly.end(), [](QPointF q) { return sane(q); }); }
bool sane(const QRectF& r) { return sane(r.topLeft()) && sane(r.bottomRight()); }

// A position bit over an offset that is no number is no known position.
bool placedPhone(const Raw& raw) { return (raw.placeFlags & 1) && std::isfinite(raw.offX) && std::isfinite(raw.offY); }

// All that the placed phone covers: its body, its marks and its shadow with the blur's reach (a wide outline's
// miters reach less far).
QRectF phoneReach(const View& v, const Raw& raw, bool lifted, double theta) {
    const double h = restHeight(lifted), rise = tiltRise(raw.planeDevDeg, lifted);
    QPolygonF points;
    for (const Vec2& k : footprint()) {
        const Vec2 w = phoneToWorld(k, raw.offX, raw.offY, theta);
        points << v.project(w.x, w.y, underside(k.y, h, rise)) << v.project(w.x, w.y, topside(k.y, h, rise) + kDecal)
               << v.project(w.x + 0.165 * h, w.y + 0.249 * h, 0);
    }
    const double reach = std::ceil(3 * (lifted ? 7 : 2.5)) + 4;
    return points.boundingRect().adjusted(-reach, -reach, reach, reach);
}

QPainterPath closedPath(const QPolygonF& poly) {
    QPainterPath path;
    path.addPolygon(poly);
    path.closeSubpath();
    return path;
}
QPainterPath openPath(const QPolygonF& poly) {
    QPainterPath path;
    path.addPolygon(poly);
    return path;
}

// What a stroke of `path` can touch: its miter joins reach out to the miter limit.
QRectF strokeBounds(const QRectF& path, const QPen& pen) {
    const double reach = 0.5 * pen.widthF() * std::max(1.0, pen.miterLimit()) + 1;
    return path.adjusted(-reach, -reach, reach, reach);
}

void text(QPainter& p, QPointF anchor, const QString& s, const QFont& font, const QColor& c, Qt::Alignment vertical) {
    p.setFont(font);
    p.setPen(c);
    const double top = vertical == Qt::AlignTop ? anchor.y() : anchor.y() - 50;
    p.drawText(QRectF(anchor.x() - 300, top, 600, 100), Qt::AlignHCenter | vertical, s);
}

// Paints into a transparent layer the size of `bounds` (padded for the blur), blurs it and puts it back.
// Confined to its content, so a small shadow costs a small blur.
template <class Paint>
void blurredLayer(QPainter& p, QRectF bounds, double sigma, QSizeF canvas, Paint paint) {
    const double pad = std::ceil(3 * sigma) + 2;
    bounds = bounds.adjusted(-pad, -pad, pad, pad).intersected(QRectF(QPointF(0, 0), canvas));
    if (!sane(bounds) || bounds.isEmpty()) return;
    const double dpr = p.device() ? p.device()->devicePixelRatioF() : 1.0;
    const QRect px = QRectF(bounds.topLeft() * dpr, bounds.size() * dpr).toAlignedRect();
    QImage layer(px.size(), QImage::Format_ARGB32_Premultiplied);
    layer.fill(Qt::transparent);
    {
        QPainter lp(&layer);
        lp.setRenderHint(QPainter::Antialiasing, true);
        lp.scale(dpr, dpr);
        lp.translate(-px.topLeft() / dpr);
        paint(lp);
    }
    QImage soft = blurred(layer, sigma * dpr);
    soft.setDevicePixelRatio(dpr);
    p.drawImage(QPointF(px.topLeft()) / dpr, soft);
}

void drawPlatter(QPainter& p, const View& v, double alpha) {
    p.setPen(Qt::NoPen);
    p.setBrush(white(0, 0.6 * alpha));
    p.drawEllipse(v.ellipse(kPlatterCm, -1.6));

    QPolygonF band;
    for (int i = 0; i <= 36; ++i) {
        const double a = kPi + i * kPi / 36;
        band << v.project(kPlatterCm * std::cos(a), kPlatterCm * std::sin(a), 0);
    }
    for (int i = 0; i <= 36; ++i) {
        const double a = 2 * kPi - i * kPi / 36;
        band << v.project(kPlatterCm * std::cos(a), kPlatterCm * std::sin(a), -1.6);
    }
    QLinearGradient edge(v.cx - v.R, v.cy, v.cx + v.R, v.cy);
    edge.setColorAt(0, white(0.06, alpha));
    edge.setColorAt(0.28, white(0.34, alpha));
    edge.setColorAt(0.62, white(0.12, alpha));
    edge.setColorAt(1.0, white(0.03, alpha));
    p.fillPath(closedPath(band), edge);

    // The highlight lies towards the far left.
    const QPointF g(v.cx - 0.35 * 0.55 * kPlatterCm * v.k, v.cy - 0.35 * 0.42 * 0.83 * kPlatterCm * v.k);
    QRadialGradient top(g, 1.15 * v.R);
    top.setColorAt(0, white(0.55, alpha));
    top.setColorAt(1, white(0.22, alpha));
    p.setBrush(top);
    p.drawEllipse(v.ellipse(kPlatterCm, 0));
    QRadialGradient record(g, 1.1 * v.R);
    record.setColorAt(0, white(0.17, alpha));
    record.setColorAt(1, white(0.05, alpha));
    p.setBrush(record);
    p.drawEllipse(v.ellipse(0.94 * kPlatterCm, 0));

    p.setBrush(Qt::NoBrush);
    p.setPen(strokePen(white(1, 0.05 * alpha), 1));
    for (int i = 1; i <= 6; ++i) p.drawEllipse(v.ellipse((0.34 + 0.1 * i) * kPlatterCm, 0));
}

void drawSheen(QPainter& p, const View& v, double alpha) {
    QPainterPath arcs[2];
    const double factor[2] = {0.62, 0.78}, opacity[2] = {0.1, 0.07};
    QRectF bounds;
    for (int n = 0; n < 2; ++n) {
        QPolygonF arc;
        for (int i = 0; i <= 18; ++i) {
            const double a = 0.62 * kPi + i * (0.33 * kPi) / 18;
            arc << v.project(factor[n] * kPlatterCm * std::cos(a), factor[n] * kPlatterCm * std::sin(a), 0);
        }
        arcs[n] = openPath(arc);
        bounds |= arc.boundingRect();
    }
    const double width = 0.06 * kPlatterCm * v.k;
    blurredLayer(p, bounds.adjusted(-width, -width, width, width), 5, {v.W, v.H}, [&](QPainter& lp) {
        for (int n = 0; n < 2; ++n) lp.strokePath(arcs[n], strokePen(white(1, opacity[n] * alpha), width));
    });
}

void drawTwelve(QPainter& p, const View& v, double alpha) {
    const QPointF from = v.project(0, 0.45 * kPlatterCm, 0.05), to = v.project(0, 0.86 * kPlatterCm, 0.05);
    p.setPen(strokePen(white(1, 0.6 * alpha), 2.5));
    p.drawLine(from, to);
    const double y1 = to.y(), y2 = v.project(0, 0.62 * kPlatterCm, 0.05).y();
    p.setPen(Qt::NoPen);
    p.setBrush(white(1, 0.6 * alpha));
    p.drawPolygon(QPolygonF{{v.cx, y1}, {v.cx - 1.1 * v.k, y2}, {v.cx + 1.1 * v.k, y2}});
    text(p, v.project(0, 0.98 * kPlatterCm, 0.05), QStringLiteral("12"), monoSystemFont(9, QFont::Bold),
         white(1, 0.7 * alpha), Qt::AlignVCenter);
}

void drawFieldGlow(QPainter& p, LayerPainter& layers, const View& v, const Raw& raw, double alpha) {
    const double g = fieldGlow(raw.fieldAC);
    if (!(g > 0.02)) return;
    QPointF spots[12];
    for (int i = 0; i < 12; ++i) {
        const double a = i * kPi / 6 + raw.rotorPhase / 12;
        spots[i] = v.project(0.62 * kPlatterCm * std::cos(a), 0.62 * kPlatterCm * std::sin(a), 0.02);
        if (!sane(spots[i])) return;
    }
    // Twelve alike spots of one colour at two opacities, far enough apart that their blurs simply add up: one
    // spot is blurred, as a mask tinted red, and laid twelve times. It is made again only when the field changes.
    const double outer = 0.18 * g * alpha, inner = 0.55 * g * alpha;
    layers.softCopies(p, {v.W, v.H}, QRectF(-8, -8, 16, 16), 3, colors::red(), g * alpha, spots,
                      [&](QPainter& lp) {
                          lp.setPen(Qt::NoPen);
                          lp.setBrush(white(0, outer));
                          lp.drawEllipse(QPointF(0, 0), 8, 8 * 0.42);
                          lp.setBrush(white(0, inner));
                          lp.drawEllipse(QPointF(0, 0), 3.2, 3.2 * 0.42);
                      });
}

void drawSpindle(QPainter& p, const View& v, double alpha) {
    const QRectF post(QPointF(v.cx - 2.5, v.cy - 0.86 * v.k), QPointF(v.cx + 2.5, v.cy));
    QLinearGradient g(post.left(), 0, post.right(), 0);
    g.setColorAt(0, white(0.92, alpha));
    g.setColorAt(1, white(0.30, alpha));
    p.fillRect(post, g);
}

void drawUnplaced(QPainter& p, PlacementKeep& keep, QSizeF canvas, bool lifted, double theta) {
    LayerPainter& layers = keep.layers;
    const QColor q = lifted ? colors::orange() : colors::secondary();
    const double c = std::cos(theta), s = std::sin(theta);
    auto map = [&](double x, double y) { return QPointF(kIconCentre.x() + x * c - y * s, kIconCentre.y() - (x * s + y * c)); };

    p.setBrush(Qt::NoBrush);
    p.setPen(strokePen(at(colors::secondary(), 0.45), 1));
    p.drawEllipse(QRectF(19, 29, 54, 54));
    const QPolygonF body{map(-5.5, -10.5), map(5.5, -10.5), map(5.5, 10.5), map(-5.5, 10.5)};
    if (sane(body)) {
        const QPen outline = lifted ? strokePen(at(q, 0.9), 1.2, {4, 3}) : strokePen(at(q, 0.9), 1.2);
        layers.through(p, canvas, strokeBounds(body.boundingRect(), outline),
                       [&](QPainter& lp) { lp.strokePath(closedPath(body), outline); });
        p.setPen(Qt::NoPen);
        p.setBrush(at(q, 0.9));
        p.drawEllipse(map(-3.2, 4.5), 1.2, 1.2);
        p.setBrush(at(q, 0.7));
        p.drawEllipse(map(0, -3.5), 2.4, 1.0);
    }
    keep.text(p, {46, 93}, QStringLiteral("Position unbekannt"), monoSystemFont(8), at(colors::secondary(), 0.8),
              Qt::AlignVCenter);
}

void drawPhoneBody(QPainter& p, PlacementKeep& keep, const View& v, const Raw& raw, bool lifted, double theta) {
    LayerPainter& layers = keep.layers;
    const QSizeF canvas(v.W, v.H);
    const auto& c = footprint();
    const double h = restHeight(lifted), rise = tiltRise(raw.planeDevDeg, lifted);
    auto at3 = [&](Vec2 local, double z) {
        const Vec2 w = phoneToWorld(local, raw.offX, raw.offY, theta);
        return v.project(w.x, w.y, z);
    };
    auto onTop = [&](double x, double y) { return at3({x, y}, topside(y, h, rise) + kDecal); };

    // Shadow, thrown away from the light at the far left.
    QPolygonF shadow;
    for (const Vec2& k : c) {
        const Vec2 w = phoneToWorld(k, raw.offX, raw.offY, theta);
        shadow << v.project(w.x + 0.165 * h, w.y + 0.249 * h, 0);
    }
    if (!sane(shadow)) return;
    layers.soft(p, canvas, shadow.boundingRect(), lifted ? 7 : 2.5, white(0, lifted ? 0.2 : 0.42),
                [&](QPainter& lp) { lp.fillPath(closedPath(shadow), Qt::black); });

    std::vector<int> edges{0, 1, 2, 3};
    sortEdgesByDepth(edges, theta, c);
    for (int e : edges) {
        const Vec2 ci = c[size_t(e)], cj = c[size_t((e + 1) % 4)];
        const QPolygonF face{at3(ci, underside(ci.y, h, rise)), at3(cj, underside(cj.y, h, rise)),
                             at3(cj, topside(cj.y, h, rise)), at3(ci, topside(ci.y, h, rise))};
        const Vec2 ri = rot(ci, theta), rj = rot(cj, theta);
        const double dx = rj.x - ri.x, dy = rj.y - ri.y, len = std::max(std::hypot(dx, dy), 1e-9);
        const double shade = std::max(0.0, -0.55 * (dy / len) - 0.83 * (-dx / len));
        p.fillPath(closedPath(face), white(0.05 + 0.3 * shade, 1));
    }

    QPolygonF top;
    for (const Vec2& k : c) top << at3(k, topside(k.y, h, rise));
    const QRectF box = top.boundingRect();
    const QPainterPath topPath = closedPath(top);
    layers.fillLinear(p, canvas, topPath, box.topLeft(), white(0.30, 1), box.bottomRight(), white(0.09, 1));
    const QPen outline = lifted                    ? strokePen(at(colors::orange(), 0.8), 1.2, {4, 3})
                         : !(raw.placeFlags & 2) ? strokePen(at(colors::yellow(), 0.55), 1, {3, 3})
                                                 : strokePen(white(1, 0.3), 1);
    const bool thinSolid = outline.widthF() <= 1 && outline.style() == Qt::SolidLine;
    if (outline.widthF() > 1) {
        // A wide stroke is filled as one shape.
        layers.through(p, canvas, strokeBounds(box, outline), [&](QPainter& lp) { lp.strokePath(topPath, outline); });
    } else if (!thinSolid) {
        // A thin dashed stroke goes out dash by dash, in runs short enough to stay on this thread.
        p.strokePath(topPath, outline);
    }

    const QPolygonF glint{onTop(-2.145, -5.2812), onTop(-0.858, -5.2812), onTop(2.145, 5.2812), onTop(0.858, 5.2812)};
    const QColor q2 = lifted ? colors::orange() : colors::green();
    QPolygonF ring, mouth;
    for (int i = 0; i <= 24; ++i) ring << onTop(2.145 * std::cos(2 * kPi * i / 24), 2.145 * std::sin(2 * kPi * i / 24));
    for (int i = 0; i <= 12; ++i) {
        const double a = (-(i / 12.0) * 0.5 - 0.25) * kPi;
        mouth << onTop(1.17975 * std::cos(a), 1.17975 * std::sin(a) - 0.1716);
    }
    const QPointF eyes[2] = {onTop(-0.8151, 0.75075), onTop(0.8151, 0.75075)};

    // The marks on the top go through two layers, each of shapes that lie apart. A thin solid outline is drawn
    // side by side and the corner pixel where two sides meet takes both, so opposite sides share a layer and the
    // meeting ones are laid over each other; the glint lies under the face symbol.
    const auto sides = [&](QPainter& lp, int first) {
        if (!thinSolid) return;
        const QLineF pair[2] = {{top[first], top[first + 1]}, {top[first + 2], top[(first + 3) % 4]}};
        lp.setPen(outline);
        lp.drawLines(pair, 2);
    };
    const QRectF marks = strokeBounds(box, outline);
    layers.through(p, canvas, marks, [&](QPainter& lp) {
        sides(lp, 0);
        lp.fillPath(closedPath(glint), white(1, 0.05));
    });
    layers.through(p, canvas, marks, [&](QPainter& lp) {
        sides(lp, 1);
        lp.strokePath(openPath(ring), strokePen(at(q2, 0.75), 1.2));
        lp.setPen(Qt::NoPen);
        lp.setBrush(at(q2, 0.85));
        for (const QPointF& eye : eyes) lp.drawEllipse(eye, 1.6, 1.6);
        lp.strokePath(openPath(mouth), strokePen(at(q2, 0.85), 1.2));
    });
}

void drawPhone(QPainter& p, PlacementKeep& keep, const View& v, const Raw& raw, bool lifted, double theta) {
    // The shadow, sides, top and marks lie over one another: they are put together in a kept layer and laid on
    // the canvas in one blit, since the canvas (the window's backing store) is slow to write.
    const QRectF reach = phoneReach(v, raw, lifted, theta).intersected(QRectF(0, 0, v.W, v.H));
    if (sane(reach) && !reach.isEmpty()) {
        const double dpr = p.device() ? p.device()->devicePixelRatioF() : 1.0;
        QPainter& lp = keep.beginPhone(reach, QSizeF(v.W, v.H), dpr);
        drawPhoneBody(lp, keep, v, raw, lifted, theta);
        keep.endPhone(p);
    }

    QString caption;
    QColor captionColour;
    if (lifted) {
        caption = QStringLiteral("angehoben — dreht gegen die weltfixe 12");
        captionColour = colors::orange();
    } else if (!(raw.placeFlags & 2)) {
        caption = QStringLiteral("misst … (Paar noch nicht fest)");
        captionColour = at(colors::yellow(), 0.85);
    } else {
        // The clearance between the resting phone and the 1 cm spindle top.
        static const QString clearance = QString::asprintf("%.1f cm über der Spindel", kRestCm - 1.0);
        caption = clearance;
        captionColour = colors::secondary();
    }
    keep.text(p, {v.W / 2, 11}, caption, monoSystemFont(9), captionColour, Qt::AlignTop);
}

}  // namespace

void drawPlacementBackdrop(QPainter& p, bool fresh, QSizeF size) {
    const View v = viewFor(size);
    const double alpha = fresh ? 1.0 : kStaleAlpha;
    p.save();
    p.setRenderHint(QPainter::Antialiasing, true);

    QLinearGradient bg(0, 0, 0, v.H);
    bg.setColorAt(0, white(0.13, 1));
    bg.setColorAt(1, white(0.05, 1));
    p.fillRect(QRectF(0, 0, v.W, v.H), bg);

    drawPlatter(p, v, alpha);
    drawSheen(p, v, alpha);
    drawTwelve(p, v, alpha);
    drawSpindle(p, v, alpha);  // the field glow's spots lie far from the post: the order between them is free
    p.restore();
}

void drawPlacementForeground(QPainter& p, const Raw& raw, bool fresh, const QString& bigLabel,
                             const QString& smallLabel, QSizeF size, double theta, PlacementKeep& keep) {
    const View v = viewFor(size);
    const double alpha = fresh ? 1.0 : kStaleAlpha;
    const bool lifted = isLifted(raw.placeFlags, fresh);
    p.save();
    p.setRenderHint(QPainter::Antialiasing, true);

    drawFieldGlow(p, keep.layers, v, raw, alpha);

    if (fresh) {
        if (placedPhone(raw)) drawPhone(p, keep, v, raw, lifted, theta);
        else drawUnplaced(p, keep, size, lifted, theta);
    }

    QRectF where;
    const QImage& overlay = keep.overlay(size, alpha, p.device() ? p.device()->devicePixelRatioF() : 1.0, where);
    if (!overlay.isNull()) p.drawImage(where, overlay);

    if (!bigLabel.isEmpty()) {
        const QPointF label(v.cx, v.cy - 3.44 * v.k);  // 4 cm above the platter
        keep.text(p, label, bigLabel, systemFont(24), colors::primary(), Qt::AlignVCenter);
        if (!smallLabel.isEmpty())
            keep.text(p, label + QPointF(0, 16), smallLabel, monoSystemFont(9), colors::secondary(), Qt::AlignTop);
    }
    p.restore();
}

void PlacementKeep::text(QPainter& p, QPointF anchor, const QString& s, const QFont& font, const QColor& colour,
                         Qt::Alignment vertical) {
    auto it = std::find_if(texts_.begin(), texts_.end(), [&](const Laid& l) { return l.text == s && l.font == font; });
    if (it == texts_.end()) {
        // A few captions and labels come and go; an unbounded number of names would not.
        if (texts_.size() >= 16) texts_.erase(texts_.begin());
        texts_.push_back({s, font, QStaticText(s)});
        it = texts_.end() - 1;
        it->laid.setTextFormat(Qt::PlainText);
        it->laid.setPerformanceHint(QStaticText::AggressiveCaching);
        it->laid.prepare(QTransform(), font);
    }
    const QSizeF box = it->laid.size();
    const double top = vertical == Qt::AlignTop ? anchor.y() : anchor.y() - box.height() / 2;
    // A caption stays where it is while the phone moves: outside what the canvas repaints it is left alone.
    if (!paintRect_.isNull() && !paintRect_.intersects(QRectF(anchor.x() - box.width() / 2 - 1, top - 1,
                                                              box.width() + 2, box.height() + 2)))
        return;
    p.setFont(font);
    p.setPen(colour);
    p.drawStaticText(QPointF(anchor.x() - box.width() / 2, top), it->laid);
}

QPainter& PlacementKeep::beginPhone(QRectF reach, QSizeF canvas, double dpr) {
    const QSize pixels = (canvas * dpr).toSize().expandedTo({1, 1});
    if (phone_.size() != pixels || phone_.devicePixelRatio() != dpr) {
        if (phonePainter_.isActive()) phonePainter_.end();
        phone_ = QImage(pixels, QImage::Format_ARGB32_Premultiplied);
        phone_.setDevicePixelRatio(dpr);
    }
    phoneReach_ = QRectF(reach.topLeft() * dpr, reach.size() * dpr).toAlignedRect().intersected(phone_.rect());
    uchar* bits = phone_.bits();
    for (int y = phoneReach_.top(); y <= phoneReach_.bottom(); ++y)
        std::memset(bits + y * phone_.bytesPerLine() + phoneReach_.left() * 4, 0, size_t(phoneReach_.width()) * 4);
    return plainPainter(phonePainter_, phone_);
}

void PlacementKeep::endPhone(QPainter& p) {
    const double dpr = phone_.devicePixelRatio();
    p.drawImage(QRectF(QPointF(phoneReach_.topLeft()) / dpr, QSizeF(phoneReach_.size()) / dpr), phone_, QRectF(phoneReach_));
}

const QImage& PlacementKeep::overlay(QSizeF size, double alpha, double dpr, QRectF& where) {
    const View v = viewFor(size);
    // The rim's ellipse and a pixel around it for its stroke hold the cap too.
    where = v.ellipse(kPlatterCm, 0).adjusted(-1, -1, 1, 1).intersected(QRectF(QPointF(0, 0), size));
    if (!sane(where) || where.isEmpty()) {
        overlay_ = QImage();
        return overlay_;
    }
    const QRect px = QRectF(where.topLeft() * dpr, where.size() * dpr).toAlignedRect();
    where = QRectF(QPointF(px.topLeft()) / dpr, QSizeF(px.size()) / dpr);
    if (overlaySize_ == size && overlayAlpha_ == alpha && overlay_.devicePixelRatio() == dpr && !overlay_.isNull())
        return overlay_;
    overlaySize_ = size;
    overlayAlpha_ = alpha;
    overlay_ = QImage(px.size(), QImage::Format_ARGB32_Premultiplied);
    overlay_.setDevicePixelRatio(dpr);
    overlay_.fill(Qt::transparent);
    QPainter p(&overlay_);
    p.setRenderHint(QPainter::Antialiasing, true);
    p.translate(-where.topLeft());
    // They lie apart, so painted alone they give the pixels they give over the phone.
    p.setPen(Qt::NoPen);
    p.setBrush(white(1, 0.8 * alpha));
    p.drawEllipse(QRectF(v.cx - 3, v.cy - 0.86 * v.k - 2, 6, 4));
    p.setBrush(Qt::NoBrush);
    p.setPen(strokePen(white(1, 0.18 * alpha), 1));
    p.drawEllipse(v.ellipse(kPlatterCm, 0));
    return overlay_;
}

PlacementLook placementLook(const Raw& raw, bool fresh, const QString& bigLabel, const QString& smallLabel) {
    PlacementLook look{fresh, 0, bigLabel, smallLabel};
    if (fresh) {
        const bool lifted = isLifted(raw.placeFlags, fresh);
        look.state = !placedPhone(raw) ? 1 : lifted ? 2 : !(raw.placeFlags & 2) ? 3 : 4;
        if (look.state == 1 && lifted) look.state = 5;  // the icon in orange
    }
    return look;
}

QRectF placementMovingRect(const Raw& raw, bool fresh, QSizeF size, double theta) {
    const View v = viewFor(size);
    const QRectF all(QPointF(0, 0), size);
    QRectF moving;
    if (fieldGlow(raw.fieldAC) > 0.02) {
        // The spots' ring, a spot and its blur around it.
        const double reach = 8 + std::ceil(3 * 3.0) + 3;
        moving |= v.ellipse(0.62 * kPlatterCm, 0.02).adjusted(-reach, -reach, reach, reach);
    }
    if (fresh && !placedPhone(raw)) {
        moving |= QRectF(0, 0, 100, 105);  // the icon and its caption
    } else if (fresh) {
        moving |= phoneReach(v, raw, isLifted(raw.placeFlags, fresh), theta);
    }
    if (!sane(moving)) return all;
    return moving.intersected(all);
}

void drawPlacementScene(QPainter& p, const Raw& raw, bool fresh, const QString& bigLabel, const QString& smallLabel,
                        QSizeF size, double theta) {
    drawPlacementBackdrop(p, fresh, size);
    PlacementKeep keep;
    drawPlacementForeground(p, raw, fresh, bigLabel, smallLabel, size, theta, keep);
}

}  // namespace plindo::ui
