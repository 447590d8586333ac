#include "ui/library/crate_geometry.h"

#include <algorithm>
#include <cmath>

namespace plindo::ui {

namespace {
constexpr double kDepth = 3.088235294117647;  // 105 / 34: slots of distance per card width
}

CrateLayout CrateLayout::of(double width, double height) {
    CrateLayout l;
    l.width = width;
    l.height = height;
    l.cardW = std::max(0.0, std::min(0.74 * height, 0.76 * width));
    l.slotH = 0.34 * l.cardW;
    l.floorH = 0.16 * height;
    l.floorTop = height - 0.018 * height - l.floorH;
    l.lipLine = l.floorTop - 0.002 * height;
    l.focusLine = l.lipLine - l.cardW + l.slotH / 2;
    l.lipH = std::max(0.035 * l.cardW, 10.0);
    l.lipW = 1.06 * l.cardW;
    l.topInset = 0.035 * l.cardW;
    l.anchor = (l.lipLine - l.cardW) / std::max(height - l.slotH, 1.0);
    l.panelW = std::min(0.32 * width, 360.0);
    // At the top of the range the first slot's centre stands on the focus line, so the first entry is the
    // nearest and the one drawn upright.
    l.padTop = std::max(0.0, l.focusLine - l.slotH / 2);
    l.padBottom = height - l.focusLine;
    return l;
}

double CrateLayout::maxScroll(int count) const {
    return std::max(0.0, padTop + count * slotH + padBottom - height);
}

double CrateLayout::clampScroll(double s, int count) const {
    if (!std::isfinite(s)) return 0;
    return std::clamp(s, 0.0, maxScroll(count));
}

std::optional<int> CrateLayout::nearest(double s, int count) const {
    if (count <= 0) return std::nullopt;
    if (slotH <= 0) return 0;
    const double x = (s + focusLine - padTop) / slotH - 0.5;  // fractional index on the focus line
    const int below = static_cast<int>(std::clamp(std::floor(x), 0.0, double(count - 1)));
    const int above = std::min(below + 1, count - 1);
    return std::abs(offsetOf(above, s)) < std::abs(offsetOf(below, s)) ? above : below;
}

double CrateLayout::scrollTarget(int i, int count) const {
    return clampScroll(padTop + (i + 0.5) * slotH - focusLine, count);
}

CardTransform cardTransform(double rel, double cardW) {
    CardTransform c;
    const double t = rel / (cardW * 1.05);
    if (t > 0) {
        c.dy = 1.66 * cardW * kDepth * t;
    } else {
        const double k = std::isnan(t) ? 0.0 : -kDepth * t;
        const double p1 = std::pow(0.94, k), p2 = std::pow(0.85, k);
        c.scale = p1;
        c.dx = cardW * (0.5 * p1 - 0.5 - 0.4 * (1 - p2));
        c.dy = cardW * (0.5 * (1 - p1) + 0.32 * k);
        c.brightness = -0.3 * std::min(0.146 * k, 1.0);
    }
    c.z = std::isnan(t) ? 0 : -std::abs(t);
    return c;
}

QRectF cardRect(const CrateLayout& l, double slotCentre) {
    return {l.width / 2 - l.cardW / 2, slotCentre - l.slotH / 2, l.cardW, l.cardW};
}

QRectF transformed(const QRectF& r, const CardTransform& t) {
    const QPointF c = r.center() + QPointF(t.dx, t.dy);
    const double w = r.width() * t.scale, h = r.height() * t.scale;
    return {c.x() - w / 2, c.y() - h / 2, w, h};
}

CarGeometry carGeometry(double d, double cardW, double coverBottom, double paneMidX) {
    const double p1 = std::pow(0.94, d), p2 = std::pow(0.85, d);
    const double cx = paneMidX + cardW * (0.5 * p1 - 0.5 - 0.4 * (1 - p2));
    const double cy = coverBottom - 0.5 * p1 * cardW - 0.02 * d * cardW;
    const double w = p1 * cardW;
    return {p1, QRectF(cx - w / 2, cy - w / 2, w, w), -0.3 * std::min(0.146 * d, 1.0)};
}

QPainterPath slitPath(const QRectF& r, double topInset) {
    const double rr = r.height() / 2, i = topInset;
    QPainterPath p;
    p.moveTo(r.left() + rr, r.bottom());
    p.quadTo(QPointF(r.left(), r.center().y()), QPointF(r.left() + i + rr, r.top()));
    p.lineTo(r.right() - i - rr, r.top());
    p.quadTo(QPointF(r.right(), r.center().y()), QPointF(r.right() - rr, r.bottom()));
    p.closeSubpath();
    return p;
}

double focusRingOpacity(double seconds) {
    const double n = std::floor(seconds / 0.45);
    return std::fmod(n, 2.0) == 0 ? 0.95 : 0.35;
}

}  // namespace plindo::ui
