// The crate browser's waveform floor for a 5-minute track (75,000 envelope columns with per-side peaks and
// colours, cues, loops and a flip): the canvas drawn afresh, the whole floor image (canvas, two glows and the
// edge fade) drawn afresh, and the cached floor image tilted onto the panel as every repaint does, at 300
// and 1000 pixels wide. The peer is a plain QImage copy scaled onto the panel without the tilt.
#include "../offscreen_app.h"
#include "../synthetic_track.h"
#include "library/deck_meta.h"
#include "library/peak_envelope.h"
#include "ui/library/wave_canvas.h"
#include "ui/library/wave_hover_panel.h"

#include <QPainter>

#include <benchmark/benchmark.h>

#include <cmath>

namespace {

using plindo::library::DeckMeta;
using plindo::library::PeakEnvelope;

constexpr int kColumns = 75000;
constexpr double kSeconds = 300;
constexpr int kHeight = 160;

const PeakEnvelope& track() {
    static const PeakEnvelope env = plindo::bench::syntheticEnvelope(kColumns, kSeconds, true);
    return env;
}

const DeckMeta& meta() {
    static const DeckMeta m = [] {
        DeckMeta d;
        for (int i = 0; i < 8; ++i) d.cues.push_back({i, 20.0 + 30 * i, "#ff8000", ""});
        d.loops.push_back({0, 60, 68, std::nullopt, "", false});
        DeckMeta::Flip f;
        f.actions = std::vector<DeckMeta::FlipAction>{{"jump", 90, 30, std::nullopt}, {"jump", 120, 200, std::nullopt}};
        d.flips.push_back(f);
        return d;
    }();
    return m;
}

void BM_CanvasUncached(benchmark::State& state) {
    plindo::bench::offscreenApp();
    const QSize size(int(state.range(0)), kHeight);
    for (auto _ : state) {
        QImage img = plindo::ui::renderWaveCanvas(track(), &meta(), &meta().flips[0], size, 1.0);
        benchmark::DoNotOptimize(img.constBits());
    }
}

void BM_FloorUncached(benchmark::State& state) {
    plindo::bench::offscreenApp();
    const QSize size(int(state.range(0)), kHeight);
    auto env = std::make_shared<const PeakEnvelope>(track());
    auto m = std::make_shared<const DeckMeta>(meta());
    plindo::ui::WaveCanvasCache cache;
    for (auto _ : state) {
        // A miss each time (the cache holds another size): the floor image is drawn in full.
        QImage img = cache.find("/t", env, m, 0, size, 1.0);
        if (img.isNull()) img = plindo::ui::renderFloorImage(*env, m.get(), &m->flips[0], size, 1.0);
        cache.put("/t", env, m, 0, QSize(1, 1), 1.0, img);
        benchmark::DoNotOptimize(img.constBits());
    }
}

void BM_FloorCachedPaint(benchmark::State& state) {
    plindo::bench::offscreenApp();
    const QSize size(int(state.range(0)), kHeight);
    auto env = std::make_shared<const PeakEnvelope>(track());
    auto m = std::make_shared<const DeckMeta>(meta());
    plindo::ui::WaveCanvasCache cache;
    cache.put("/t", env, m, 0, size, 1.0, plindo::ui::renderFloorImage(*env, m.get(), &m->flips[0], size, 1.0));
    QImage target(size, QImage::Format_ARGB32_Premultiplied);
    const QTransform tilt = plindo::ui::WaveHoverPanel::tilt(QSizeF(size));
    for (auto _ : state) {
        const QImage img = cache.find("/t", env, m, 0, size, 1.0);
        QPainter p(&target);
        p.setRenderHint(QPainter::SmoothPixmapTransform);
        p.setTransform(tilt);
        p.drawImage(QRectF(QPointF(0, 0), QSizeF(size)), img);
    }
}

void BM_PeerPlainDraw(benchmark::State& state) {
    plindo::bench::offscreenApp();
    const QSize size(int(state.range(0)), kHeight);
    QImage img(size, QImage::Format_ARGB32_Premultiplied);
    img.fill(Qt::gray);
    QImage target(size, QImage::Format_ARGB32_Premultiplied);
    for (auto _ : state) {
        QPainter p(&target);
        p.drawImage(QRectF(QPointF(0, 0), QSizeF(size)), img);
    }
}

}  // namespace

BENCHMARK(BM_CanvasUncached)->Arg(300)->Arg(1000)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_FloorUncached)->Arg(300)->Arg(1000)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_FloorCachedPaint)->Arg(300)->Arg(1000)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_PeerPlainDraw)->Arg(300)->Arg(1000)->Unit(benchmark::kMicrosecond);
