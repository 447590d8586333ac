// One frame of a deck's placement canvas at a phone's rate (467×173, the tile of a 1280-wide window): the
// kept backdrop blitted and the foreground of a placed phone turning over a motor field. Beside it, the two soft
// parts alone, each with its peer as it was drawn before: a padded layer painted with Source Over and blurred
// afresh in all four channels every frame.
//
// "Time" is the wall time of a frame and "CPU" the calling thread's; the counter "process_us" is the whole
// process's CPU per frame, so work the raster engine hands to its thread pool is counted too.
#include "../offscreen_app.h"
#include "ui/kit/blur.h"
#include "ui/kit/colors.h"
#include "ui/kit/layer_painter.h"
#include "ui/main/placement_geometry.h"
#include "ui/main/placement_scene.h"

#include <QImage>
#include <QPainter>
#include <QPainterPath>

#include <benchmark/benchmark.h>

#include <sys/resource.h>

#include <cmath>
#include <numbers>

namespace {

namespace placement = plindo::ui::placement;
using Raw = plindo::link::OrvRemoteLink::RawMirror;

constexpr QSizeF kCanvas{467, 173};
constexpr double kTurn = 2 * std::numbers::pi * (100.0 / 3.0) / 60.0 / 60.0;  // 33 1/3 rpm, per 60 Hz frame

double processSeconds() {
    rusage u{};
    getrusage(RUSAGE_SELF, &u);
    return double(u.ru_utime.tv_sec + u.ru_stime.tv_sec) + 1e-6 * double(u.ru_utime.tv_usec + u.ru_stime.tv_usec);
}

// Runs `frame(i)` per iteration and reports the process's CPU per frame.
template <class Frame>
void frames(benchmark::State& state, Frame frame) {
    int64_t i = 0;
    const double cpu0 = processSeconds();
    for (auto _ : state) frame(i++);
    state.counters["process_us"] = benchmark::Counter(1e6 * (processSeconds() - cpu0) / double(std::max<int64_t>(i, 1)));
}

// A phone 2 cm off the spindle, placed and settled, tilted by its camera bump, over a motor field.
Raw phone(int64_t i) {
    Raw raw;
    raw.placeFlags = 0x03;
    raw.offX = 1.2;
    raw.offY = -1.6;
    raw.planeDevDeg = 1.3;
    raw.fieldAC = 0.9;
    raw.rotorPhase = 0.5 * double(i);
    return raw;
}

// Also makes the application the fonts need.
QImage canvasImage() {
    plindo::bench::offscreenApp();
    QImage img(kCanvas.toSize(), QImage::Format_ARGB32_Premultiplied);
    img.fill(Qt::black);
    return img;
}

void BM_TileFrame(benchmark::State& state) {
    QImage backdrop = canvasImage(), img = canvasImage();
    {
        QPainter p(&backdrop);
        plindo::ui::drawPlacementBackdrop(p, true, kCanvas);
    }
    plindo::ui::PlacementKeep keep;
    frames(state, [&](int64_t i) {
        QPainter p(&img);
        p.drawImage(QPointF(0, 0), backdrop);
        plindo::ui::drawPlacementForeground(p, phone(i), true, {}, {}, kCanvas, double(i) * kTurn, keep);
    });
}
BENCHMARK(BM_TileFrame);

// The phone's shadow polygon as the scene throws it, resting.
QPainterPath shadowOf(int64_t i) {
    const placement::View v = placement::viewFor(kCanvas);
    const Raw raw = phone(i);
    const double h = placement::restHeight(false);
    QPolygonF quad;
    for (const placement::Vec2& c : placement::footprint()) {
        const placement::Vec2 w = placement::phoneToWorld(c, raw.offX, raw.offY, double(i) * kTurn);
        quad << v.project(w.x + 0.165 * h, w.y + 0.249 * h, 0);
    }
    QPainterPath path;
    path.addPolygon(quad);
    path.closeSubpath();
    return path;
}

// The glow's twelve spots, each two ellipses (centre, half width, opacity).
template <class Spot>
void glowSpots(int64_t i, Spot spot) {
    const placement::View v = placement::viewFor(kCanvas);
    for (int n = 0; n < 12; ++n) {
        const double a = n * std::numbers::pi / 6 + phone(i).rotorPhase / 12;
        const QPointF s = v.project(0.62 * placement::kPlatterCm * std::cos(a), 0.62 * placement::kPlatterCm * std::sin(a), 0.02);
        spot(s, 8.0, 0.18 * 0.9 / 1.4);
        spot(s, 3.2, 0.55 * 0.9 / 1.4);
    }
}

QRectF glowBounds(int64_t i) {
    QRectF bounds;
    glowSpots(i, [&](QPointF s, double, double) { bounds |= QRectF(s.x() - 8, s.y() - 8, 16, 16); });
    return bounds;
}

// The peer: a transparent layer over the padded bounds, painted, blurred in four channels and drawn.
template <class Paint>
void freshBlur(QPainter& p, QRectF bounds, double sigma, Paint paint) {
    const double pad = std::ceil(3 * sigma) + 2;
    const QRect px = bounds.adjusted(-pad, -pad, pad, pad).intersected(QRectF(QPointF(0, 0), kCanvas)).toAlignedRect();
    QImage layer(px.size(), QImage::Format_ARGB32_Premultiplied);
    layer.fill(Qt::transparent);
    {
        QPainter lp(&layer);
        lp.setRenderHint(QPainter::Antialiasing, true);
        lp.translate(-px.topLeft());
        paint(lp);
    }
    p.drawImage(px.topLeft(), plindo::ui::blurred(layer, sigma));
}

void BM_PhoneShadow(benchmark::State& state) {
    QImage img = canvasImage();
    plindo::ui::LayerPainter layers;
    frames(state, [&](int64_t i) {
        QPainter p(&img);
        const QPainterPath shadow = shadowOf(i);
        layers.soft(p, kCanvas, shadow.boundingRect(), 2.5, QColor::fromRgbF(0, 0, 0, 0.42f),
                    [&](QPainter& lp) { lp.fillPath(shadow, Qt::black); });
    });
}
BENCHMARK(BM_PhoneShadow);

void BM_PhoneShadowFreshBlur(benchmark::State& state) {
    QImage img = canvasImage();
    frames(state, [&](int64_t i) {
        QPainter p(&img);
        const QPainterPath shadow = shadowOf(i);
        freshBlur(p, shadow.boundingRect(), 2.5, [&](QPainter& lp) { lp.fillPath(shadow, QColor::fromRgbF(0, 0, 0, 0.42f)); });
    });
}
BENCHMARK(BM_PhoneShadowFreshBlur);

void BM_FieldGlow(benchmark::State& state) {
    QImage img = canvasImage();
    plindo::ui::LayerPainter layers;
    frames(state, [&](int64_t i) {
        QPainter p(&img);
        QPointF spots[12];
        int n = 0;
        glowSpots(i, [&](QPointF s, double r, double) {
            if (r > 5) spots[n++] = s;
        });
        // The field changes with every record: the spot is blurred again each frame.
        layers.softCopies(p, kCanvas, QRectF(-8, -8, 16, 16), 3, plindo::ui::colors::red(), double(i), spots,
                          [&](QPainter& lp) {
                              lp.setPen(Qt::NoPen);
                              lp.setBrush(QColor::fromRgbF(0, 0, 0, float(0.18 * 0.9 / 1.4)));
                              lp.drawEllipse(QPointF(0, 0), 8, 8 * 0.42);
                              lp.setBrush(QColor::fromRgbF(0, 0, 0, float(0.55 * 0.9 / 1.4)));
                              lp.drawEllipse(QPointF(0, 0), 3.2, 3.2 * 0.42);
                          });
    });
}
BENCHMARK(BM_FieldGlow);

void BM_FieldGlowFreshBlur(benchmark::State& state) {
    QImage img = canvasImage();
    frames(state, [&](int64_t i) {
        QPainter p(&img);
        freshBlur(p, glowBounds(i), 3, [&](QPainter& lp) {
            lp.setPen(Qt::NoPen);
            glowSpots(i, [&](QPointF s, double r, double a) {
                QColor red = plindo::ui::colors::red();
                red.setAlphaF(float(a));
                lp.setBrush(red);
                lp.drawEllipse(s, r, r * 0.42);
            });
        });
    });
}
BENCHMARK(BM_FieldGlowFreshBlur);

}  // namespace
