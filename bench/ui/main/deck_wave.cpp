// One frame of the deck waveform column at 160×900 over a 480 s track of 120,000 envelope columns, with a
// beat grid, loops and cues: layout alone and layout plus painting, at the widest (32 s) and narrowest
// (0.5 s) zoom. The peer paints the same visible window without buckets: one quadrilateral per envelope
// column, as a column that skipped the stride would.
#include "../offscreen_app.h"
#include "../synthetic_track.h"
#include "library/peak_envelope.h"
#include "library/serato_file_meta.h"
#include "ui/main/deck_wave_column.h"

#include <QImage>
#include <QPainter>

#include <benchmark/benchmark.h>

#include <cmath>

namespace {

using plindo::library::PeakEnvelope;
using plindo::library::SeratoFileMeta;

constexpr int kColumns = 120000;
constexpr double kSeconds = 480;
constexpr double kPos = 200;

const PeakEnvelope& track() {
    static const PeakEnvelope env = plindo::bench::syntheticEnvelope(kColumns, kSeconds, false);
    return env;
}

const SeratoFileMeta& marks() {
    static const SeratoFileMeta m = [] {
        SeratoFileMeta s;
        s.gridBpm = 124;
        s.gridMarkers = {{0.1, 900}};
        s.gridTerminalT = 0.1 + 900 * 60.0 / 124;
        s.loops = {{0, 190, 198, "", "", false}, {1, 205, 206, "", "", false}};
        s.cues = {{0, 199, "ff8000", ""}, {1, 203, "#30c0ff", ""}};
        return s;
    }();
    return m;
}

void BM_ColumnLayout(benchmark::State& state) {
    const double zoom = double(state.range(0));
    for (auto _ : state) {
        auto g = plindo::ui::computeWaveGeometry(kPos, zoom, &track(), &marks(), std::nullopt, 160, 900);
        benchmark::DoNotOptimize(g.quads.data());
    }
}

void BM_ColumnFrame(benchmark::State& state) {
    plindo::bench::offscreenApp();
    const double zoom = double(state.range(0));
    QImage img(160, 900, QImage::Format_ARGB32_Premultiplied), ground;
    size_t quads = 0;
    for (auto _ : state) {
        QPainter p(&img);
        const auto g = plindo::ui::computeWaveGeometry(kPos, zoom, &track(), &marks(), std::nullopt, 160, 900);
        plindo::ui::paintDeckWave(p, g, ground);
        quads = g.quads.size();
    }
    state.counters["quads"] = double(quads);
}

// The peer: every envelope column in the visible window as its own antialiased quadrilateral.
void BM_PeerEveryColumn(benchmark::State& state) {
    plindo::bench::offscreenApp();
    const double win = plindo::ui::waveWindowSec(double(state.range(0)));
    const auto& e = track();
    const double c = kSeconds / kColumns, s = win / 900, top = kPos - win / 2;
    const int first = std::max(0, int((top) / c)), last = std::min(kColumns - 1, int((top + win) / c));
    QImage img(160, 900, QImage::Format_ARGB32_Premultiplied);
    for (auto _ : state) {
        QPainter p(&img);
        p.fillRect(img.rect(), Qt::black);
        p.setRenderHint(QPainter::Antialiasing);
        p.setPen(Qt::NoPen);
        for (int i = first; i < last; ++i) {
            const double y0 = ((i + 0.5) * c - top) / s, y1 = ((i + 1.5) * c - top) / s;
            const double w0 = 158 * e.peak[size_t(i)], w1 = 158 * e.peak[size_t(i) + 1];
            const QPointF q[4] = {{80 - w0 / 2, y0}, {80 + w0 / 2, y0}, {80 + w1 / 2, y1}, {80 - w1 / 2, y1}};
            p.setBrush(QColor::fromRgbF(float(std::min(1.0, e.bass[size_t(i)] * 6.09)), 0.5f, 0.3f));
            p.drawPolygon(q, 4, Qt::WindingFill);
        }
    }
    state.counters["quads"] = double(last - first);
}

}  // namespace

BENCHMARK(BM_ColumnLayout)->Arg(0)->Arg(-23)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_ColumnFrame)->Arg(0)->Arg(-23)->Unit(benchmark::kMicrosecond)->MeasureProcessCPUTime();
BENCHMARK(BM_PeerEveryColumn)->Arg(0)->Arg(-23)->Unit(benchmark::kMicrosecond)->MeasureProcessCPUTime();
