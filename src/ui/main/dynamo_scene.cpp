#include "ui/main/dynamo_scene.h"

#include "motion/dynamo_gate.h"
#include "ui/kit/colors.h"
#include "ui/kit/stroke_pen.h"
#include "ui/kit/text_styles.h"

#include <QImage>
#include <QLinearGradient>
#include <QPainter>
#include <QPainterPath>

#include <algorithm>
#include <cmath>
#include <numbers>

namespace plindo::ui {

namespace {

using motion::DynamoFrame;
using motion::DynamoProbe::Tilt;
using motion::DynamoGate::Turn;
using P = DynamoPrimitive;

constexpr double kPi = std::numbers::pi;
constexpr double kMarkMaxAge = 6.0;         // seconds a trail mark stays
constexpr double kFiredFade = 8.0;          // seconds a fired event takes to fade
constexpr double kMarkTurns = 0.944;        // turns after which a mark is gone
constexpr double kRingsCm = 9.0;            // the outermost ring
constexpr double kSaneCoordinate = 1e6;     // beyond this a point is garbage from the phone, not a drawing

QColor palette(double r, double g, double b) {
    const auto c = motion::DynamoGate::paletteRGB({r, g, b, 1});
    return QColor::fromRgbF(float(c[0]), float(c[1]), float(c[2]));
}
QColor lowRed() { return palette(0.9, 0.1, 0.1); }
QColor highGreen() { return palette(0.1, 0.85, 0.3); }
QColor paletteBlue() { return palette(0.2, 0.4, 1.0); }
QColor paletteYellow() { return palette(0.95, 0.85, 0.15); }
QColor paletteGrey() { return palette(0.45, 0.45, 0.5); }
QColor lightCyan() { return palette(0.2, 0.9, 1.0); }

QColor blend(const QColor& a, const QColor& b, double f) {
    auto mix = [f](double x, double y) { return float(x + (y - x) * f); };
    return QColor::fromRgbF(mix(a.redF(), b.redF()), mix(a.greenF(), b.greenF()), mix(a.blueF(), b.blueF()));
}

struct Canvas {
    double w, h, cx, cy, R, s;
    bool dynamo;
    double theta;

    QPointF view(double x, double y) const { return {cx + x * s, cy - y * s}; }
    QPointF along(double ux, double uy, double rho) const { return {cx + rho * ux, cy - rho * uy}; }
    // Directions that turn with the platter in the dynamo picture.
    std::pair<double, double> turned(double ux, double uy) const {
        if (!dynamo) return {ux, uy};
        const double c = std::cos(theta), sn = std::sin(theta);
        return {ux * c - uy * sn, uy * c + ux * sn};
    }
};

struct Builder {
    DynamoScene out;

    P& add(P::Kind kind, const char* role, std::vector<QPointF> points, QColor color, double opacity) {
        P p;
        p.kind = kind;
        p.role = role;
        p.points = std::move(points);
        p.color = color;
        p.opacity = opacity;
        out.push_back(std::move(p));
        return out.back();
    }
    P& line(const char* role, QPointF a, QPointF b, QColor c, double opacity, double width) {
        P& p = add(P::Kind::stroke, role, {a, b}, c, opacity);
        p.width = width;
        return p;
    }
    P& circle(const char* role, QPointF centre, double radius, QColor c, double opacity, double width) {
        P& p = add(P::Kind::circle, role, {centre}, c, opacity);
        p.radius = radius;
        p.width = width;
        return p;
    }
    P& disc(const char* role, QPointF centre, double radius, QColor c, double opacity) {
        P& p = add(P::Kind::disc, role, {centre}, c, opacity);
        p.radius = radius;
        return p;
    }
    P& text(const char* role, QPointF at, const QString& t, double size, double opacity) {
        P& p = add(P::Kind::text, role, {at}, Qt::white, opacity);
        p.text = t;
        p.fontSize = size;
        return p;
    }
    void plus(const char* role, QPointF c, double half, QColor colour, double opacity, double width) {
        line(role, {c.x() - half, c.y()}, {c.x() + half, c.y()}, colour, opacity, width);
        line(role, {c.x(), c.y() - half}, {c.x(), c.y() + half}, colour, opacity, width);
    }
    // The two-stop tilt gradient over the whole canvas along u.
    void tiltGradient(const char* role, const Canvas& cv, double ux, double uy, double k, double g, QColor colour,
                      std::vector<QPointF> clip = {}) {
        const double m = std::min(cv.w, cv.h);
        P& p = add(P::Kind::gradient, role, {{cv.cx - m * ux, cv.cy + m * uy}, {cv.cx + m * ux, cv.cy - m * uy}}, colour, 1);
        p.opacity0 = std::max(0.0, 0.5 - g) * k;
        p.opacity1 = std::min(g + 0.5, 1.0) * k;
        p.clip = std::move(clip);
    }
};

void tiltLevel(Builder& b, const char* role, QPointF centre, QPointF dot, double ringOpacity, double crossOpacity,
               double dotOpacity) {
    b.circle(role, centre, 30, colors::cyan(), ringOpacity, 1);
    b.plus(role, centre, 3, colors::cyan(), crossOpacity, 0.5);
    b.disc(role, dot, 4.5, colors::cyan(), dotOpacity);
}

double levelReach(const Tilt& world) { return std::min(world.deg / 5, 1.0) * 24; }

void phoneOutline(Builder& b, const Canvas& cv, const DynamoFrame& f) {
    double mx = 0, my = 0;
    for (const auto& q : f.frame) mx += q.x / 4, my += q.y / 4;
    const double tau = f.tiltPhone.conf > 0.02 ? std::min(f.tiltPhone.deg / 5, 1.0) * 55 * kPi / 180 : 0;
    const double ux = f.tiltPhone.dx, uy = f.tiltPhone.dy;
    const double ct = std::cos(f.theta), st = std::sin(f.theta);
    // Tips a platter point in perspective about the outline's middle, then turns and maps it.
    auto place = [&](double x, double y) {
        if (tau > 1e-6) {
            const double dx = x - mx, dy = y - my;
            const double along = ux * dx + uy * dy, across = ux * dy - uy * dx;
            const double fz = 28 / std::max(1.0, std::sin(tau) * along + 28);
            x = mx + along * std::cos(tau) * fz * ux + across * fz * -uy;
            y = my + along * std::cos(tau) * fz * uy + across * fz * ux;
        }
        return QPointF(cv.cx + (x * ct - y * st) * cv.s, cv.cy - (x * st + y * ct) * cv.s);
    };

    std::vector<QPointF> outline;
    for (const auto& q : f.frame) outline.push_back(place(q.x, q.y));
    b.add(P::Kind::fill, "outline", outline, Qt::white, 0.05);

    if (f.tiltPhone.conf > 0.02) {
        const double conf = f.tiltPhone.conf;
        const QColor c = conf < 0.5 ? blend(paletteBlue(), paletteYellow(), std::min(2 * conf, 1.0))
                                    : blend(paletteYellow(), highGreen(), std::clamp((conf - 0.5) * 2, 0.0, 1.0));
        b.tiltGradient("phone-tilt", cv, ux, uy, 0.5 * conf, std::min(f.tiltPhone.deg * 0.25, 0.5), c, outline);
    } else if (f.tiltWorld.conf > 0.02) {
        const double conf = f.tiltWorld.conf;
        b.tiltGradient("phone-tilt", cv, f.tiltWorld.dx, f.tiltWorld.dy, 0.5 * conf, std::min(f.tiltWorld.deg * 0.1, 0.5),
                       blend(paletteGrey(), lightCyan(), std::min(conf, 1.0)), outline);
    }

    b.add(P::Kind::stroke, "outline", outline, Qt::white, 0.32).closed = true;
    b.circle("chip", place(f.chipX, f.chipY), 6, Qt::white, 0.55, 1.5);
    b.line("first-edge", outline[0], outline[1], colors::cyan(), 0.55, 2);

    const QColor face = f.liftNow ? colors::orange() : colors::green();
    std::vector<QPointF> ring, mouth;
    for (int i = 0; i <= 24; ++i) {
        const double a = 2 * kPi * i / 24;
        ring.push_back(place(mx + 2.145 * std::cos(a), my + 2.145 * std::sin(a)));
    }
    for (int i = 0; i <= 12; ++i) {
        const double a = -kPi / 2 - 0.7 + 1.4 * i / 12;
        mouth.push_back(place(mx + 2.145 * 0.55 * std::cos(a), my + 2.145 * 0.55 * std::sin(a)));
    }
    b.add(P::Kind::stroke, "face", ring, face, 0.75).width = 1.2;
    b.disc("face", place(mx - 0.8151, my + 0.75075), 1.6, face, 0.85);
    b.disc("face", place(mx + 0.8151, my + 0.75075), 1.6, face, 0.85);
    b.add(P::Kind::stroke, "face", mouth, face, 0.75).width = 1.2;

    const QPointF mc = place(mx, my);
    const double q = levelReach(f.tiltWorld);
    const double ox = f.tiltWorld.dx * ct - f.tiltWorld.dy * st, oy = f.tiltWorld.dx * st + f.tiltWorld.dy * ct;
    tiltLevel(b, "phone-level", mc, {mc.x() + ox * q, mc.y() - oy * q}, 0.5225, 0.3325, 0.95);
}

void trail(Builder& b, const Canvas& cv, const DynamoFrame& f, uint32_t flips) {
    for (const auto& m : f.tail) {
        const double age = f.now - m.t;
        if (!(age <= kMarkMaxAge)) continue;
        double a = 1 - std::max(age / kMarkMaxAge, m.da / (kMarkTurns * 2 * kPi));
        // Past the turn limit a goes negative; squared it would brighten again.
        a = std::isfinite(a) ? std::clamp(a, 0.0, 1.0) : 0.0;
        QColor c = QColor::fromRgbF(1.0f, 0.18f, 0.62f);
        if (m.src == motion::DynamoProbe::Source::push) c = QColor::fromRgbF(0.2f, 1.0f, 0.5f);
        else if (m.lifted) c = colors::orange();
        else if (m.scratching) c = colors::yellow();
        const QPointF at = cv.view(m.x, m.y);
        b.disc("mark", at, 1.6, c, 0.1 + 0.85 * a * a).plus = true;
        b.disc("mark-glow", at, 4.5, c, 0.22 * a * a).plus = true;
        b.disc("mark-halo", at, 9, c, 0.07 * a * a).plus = true;
    }

    if (f.tail.empty() || !(f.now - f.tail.back().t <= kMarkMaxAge)) return;
    const auto& last = f.tail.back();
    const QPointF head = cv.view(last.x, last.y);
    b.disc("head", head, 2.4, Qt::white, 1).plus = true;

    double beta = f.mode.turn == Turn::stato ? f.theta : 0;
    if (flips >> 3 & 1u) beta = -beta;
    const double rx = f.headAxG * std::cos(beta) - f.headAyG * std::sin(beta);
    const double ry = f.headAxG * std::sin(beta) + f.headAyG * std::cos(beta);
    const double len = std::hypot(rx, ry);
    if (len > 1e-6) {
        const double L = std::min(40 * len, kRingsCm);
        const QPointF tip = cv.view(last.x + L * rx / len, last.y + L * ry / len);
        const QPointF d = tip - head;
        const double dl = std::max(std::hypot(d.x(), d.y()), 1e-9);
        const QPointF e(d.x() / dl, d.y() / dl), n(-e.y(), e.x());
        b.line("arrow", head, tip, colors::orange(), 0.8, 1.5);
        b.line("arrow", tip, tip - 6 * e + 3 * n, colors::orange(), 0.8, 1.5);
        b.line("arrow", tip, tip - 6 * e - 3 * n, colors::orange(), 0.8, 1.5);
    }
    if (f.sigmaCm > 0.01) {
        const bool wide = f.sigmaCm > 1;
        b.circle("sigma", head, std::min(f.sigmaCm, kRingsCm) * cv.s, wide ? colors::red() : colors::orange(),
                 wide ? 0.75 : 0.4, wide ? 1.5 : 1)
            .dash = {3, 3};
    }
}

bool sane(double v) { return std::isfinite(v) && std::abs(v) < kSaneCoordinate; }

bool drawable(const P& p) {
    for (const auto& q : p.points)
        if (!sane(q.x()) || !sane(q.y())) return false;
    for (const auto& q : p.clip)
        if (!sane(q.x()) || !sane(q.y())) return false;
    return sane(p.radius) && sane(p.width) && std::isfinite(p.opacity) && std::isfinite(p.opacity0) &&
           std::isfinite(p.opacity1);
}

}  // namespace

DynamoScene buildDynamoScene(const DynamoFrame& f, QSizeF size, uint32_t flips) {
    Canvas cv;
    cv.w = size.width();
    cv.h = size.height();
    cv.cx = cv.w / 2;
    cv.cy = cv.h / 2;
    cv.R = std::min(cv.w, cv.h) / 2;
    cv.s = cv.R / kRingsCm;
    cv.dynamo = f.mode.turn == Turn::dynamo;
    cv.theta = f.theta;
    Builder b;

    if (f.tiltPlatter.conf > 0.02) {
        const auto [ux, uy] = cv.turned(f.tiltPlatter.dx, f.tiltPlatter.dy);
        b.tiltGradient("platter-tilt", cv, ux, uy, 0.5 * f.tiltPlatter.conf, std::min(f.tiltPlatter.deg * 0.25, 0.5),
                       blend(lowRed(), highGreen(), std::min(f.tiltPlatter.conf, 1.0)));
    }

    const QPointF centre(cv.cx, cv.cy);
    for (int i = 1; i <= 9; ++i) b.circle("rings", centre, i * cv.s, Qt::white, i % 3 == 0 ? 0.16 : 0.06, 0.5);

    double alpha = cv.dynamo ? f.theta : 0;
    if (flips >> 4 & 1u) alpha = -alpha;
    const double ax = std::sin(alpha), ay = std::cos(alpha);
    b.line("ref", centre, cv.along(ax, ay, cv.R - 26), Qt::white, 0.18, 1);
    b.text("ref", cv.along(ax, ay, cv.R - 14), QStringLiteral("12"), 13, 0.75);

    b.circle("centre", centre, 0.36 * cv.s, Qt::white, 0.45, 1);

    if (f.anchorCm > 0.05)
        b.circle("anchor", centre, f.anchorCm * cv.s, f.latchValid ? QColor(Qt::white) : colors::orange(),
                 f.latchValid ? 0.35 : 0.3, 1)
            .dash = {4, 6};

    for (const auto& ev : f.fired) {
        const double a = std::max(0.0, 1 - (f.now - ev.t) / kFiredFade);
        const auto [vx, vy] = cv.turned(ev.pdx, ev.pdy);
        if (ev.pdeg > 0.02) b.line("fired", cv.along(vx, vy, 0.92 * cv.R), cv.along(vx, vy, 0.78 * cv.R), Qt::white, 0.7 * a, 2);
        if (ev.hdeg > 0.02)
            b.line("fired", cv.along(ev.hdx, ev.hdy, 0.74 * cv.R), cv.along(ev.hdx, ev.hdy, 0.60 * cv.R), colors::cyan(),
                   0.7 * a, 2);
        b.text("fired", cv.along(vx, vy, 0.97 * cv.R), QString::fromStdString(ev.label), 9, 0.75 * a);
    }

    if (f.roots && f.roots->two) {
        const auto& r = *f.roots;
        const QPointF pA = cv.view(f.chipX - r.ax, f.chipY - r.ay), pB = cv.view(f.chipX - r.bx, f.chipY - r.by);
        if (r.arbitrary) {
            b.circle("roots", pA, 7, colors::cyan(), 0.5, 1.5).dash = {3, 4};
            b.circle("roots", pB, 7, colors::cyan(), 0.5, 1.5).dash = {3, 4};
            b.line("roots", pA, pB, colors::cyan(), 0.18, 1).dash = {2, 5};
        } else {
            b.circle("roots", pA, 7, colors::cyan(), r.provisional ? 0.85 : 0.35, 2);
            if (r.provisional) {
                b.circle("roots", pB, 6, colors::cyan(), 0.25, 1).dash = {3, 4};
                b.line("roots", pA, pB, colors::cyan(), 0.18, 1).dash = {2, 5};
            }
        }
    }

    if (f.cEstValid) {
        const QPointF e = cv.view(f.cEstX, f.cEstY);
        b.add(P::Kind::stroke, "estimate",
              {{e.x(), e.y() - 7}, {e.x() + 7, e.y()}, {e.x(), e.y() + 7}, {e.x() - 7, e.y()}}, colors::purple(), 0.9)
            .closed = true;
        b.out.back().width = 1.5;
        b.text("estimate", {e.x(), e.y() - 15}, QStringLiteral("3U"), 9, 0.7);
    }
    if (f.pvtValid) {
        const QPointF pv = cv.view(f.pvtX, f.pvtY);
        b.circle("pivot", pv, 7, colors::mint(), 0.9, 1.5);
        b.text("pivot", {pv.x(), pv.y() + 15}, QStringLiteral("PIV"), 9, 0.7);
    }
    if (std::isfinite(f.measDx) && std::isfinite(f.measDy))
        b.plus("measured", cv.view(f.chipX - f.measDx, f.chipY - f.measDy), 7, colors::green(), 0.85, 1.5);

    const double q = levelReach(f.tiltWorld);
    tiltLevel(b, "level", centre, {cv.cx + f.tiltWorld.dx * q, cv.cy - f.tiltWorld.dy * q}, 0.187, 0.119, 0.34);

    if (f.frame.size() == 4) phoneOutline(b, cv, f);
    trail(b, cv, f, flips);

    std::erase_if(b.out, [](const P& p) { return !drawable(p); });
    return std::move(b.out);
}

void paintDynamoScene(QPainter& p, const DynamoScene& scene, QSizeF size) {
    const QRectF all(QPointF(0, 0), size);
    for (const auto& e : scene) {
        p.save();
        p.setRenderHint(QPainter::Antialiasing, true);
        if (e.plus) p.setCompositionMode(QPainter::CompositionMode_Plus);
        p.setOpacity(std::clamp(e.opacity, 0.0, 1.0));
        switch (e.kind) {
        case P::Kind::stroke: {
            QPainterPath path;
            path.moveTo(e.points.front());
            for (size_t i = 1; i < e.points.size(); ++i) path.lineTo(e.points[i]);
            if (e.closed) path.closeSubpath();
            p.strokePath(path, strokePen(e.color, e.width, e.dash));
            break;
        }
        case P::Kind::fill: {
            QPainterPath path;
            path.addPolygon(QPolygonF(QList<QPointF>(e.points.begin(), e.points.end())));
            path.closeSubpath();
            path.setFillRule(Qt::WindingFill);
            p.fillPath(path, e.color);
            break;
        }
        case P::Kind::circle:
            p.setPen(strokePen(e.color, e.width, e.dash));
            p.setBrush(Qt::NoBrush);
            p.drawEllipse(e.points[0], e.radius, e.radius);
            break;
        case P::Kind::disc:
            p.setPen(Qt::NoPen);
            p.setBrush(e.color);
            p.drawEllipse(e.points[0], e.radius, e.radius);
            break;
        case P::Kind::gradient: {
            if (!e.clip.empty()) {
                QPainterPath clip;
                clip.addPolygon(QPolygonF(QList<QPointF>(e.clip.begin(), e.clip.end())));
                clip.closeSubpath();
                clip.setFillRule(Qt::WindingFill);
                p.setClipPath(clip);
            }
            QLinearGradient g(e.points[0], e.points[1]);
            QColor c0 = e.color, c1 = e.color;
            c0.setAlphaF(float(std::clamp(e.opacity0, 0.0, 1.0)));
            c1.setAlphaF(float(std::clamp(e.opacity1, 0.0, 1.0)));
            g.setColorAt(0, c0);
            g.setColorAt(1, c1);
            p.fillRect(all, g);
            break;
        }
        case P::Kind::text: {
            p.setFont(monoSystemFont(int(std::lround(e.fontSize)), QFont::Bold));
            p.setPen(e.color);
            const QPointF c = e.points[0];
            p.drawText(QRectF(c.x() - 200, c.y() - 50, 400, 100), Qt::AlignCenter, e.text);
            break;
        }
        }
        p.restore();
    }
}

QImage renderDynamoFrame(const DynamoFrame& f, QSizeF size, uint32_t flips, double dpr) {
    const QSize px(std::max(1, int(std::ceil(size.width() * dpr))), std::max(1, int(std::ceil(size.height() * dpr))));
    QImage img(px, QImage::Format_ARGB32_Premultiplied);
    img.setDevicePixelRatio(dpr);
    img.fill(Qt::black);
    QPainter p(&img);
    paintDynamoScene(p, buildDynamoScene(f, size, flips), size);
    return img;
}

}  // namespace plindo::ui
