#include "ui/main/wave_geometry.h"

#include "library/grid_count.h"
#include "platform/checked.h"
#include "ui/library/wave_colors.h"

#include <algorithm>
#include <cmath>
#include <cstdio>

namespace plindo::ui {

namespace {

constexpr double kWidestSec = 32.0;
constexpr double kZoomSteps = -23.0;    // the narrowest zoom step
constexpr double kMinSpanSec = 0.000001;
// Column colours are stored dim; these gains bring a loud passage to full colour in the narrow column.
constexpr double kRgbGain = 4.2;
constexpr double kBandGain = 6.09;
// Bucket indices stay far from the integer limits, so index arithmetic (±1, ×stride) cannot overflow.
constexpr double kIndexLimit = 4.0e18;

QColor white(double a) { return QColor::fromRgbF(1, 1, 1, float(a)); }
QColor rgb(double r, double g, double b, double a = 1) { return QColor::fromRgbF(float(r), float(g), float(b), float(a)); }

const QColor kMarkerRed = rgb(1.0, 0.15, 0.15, 0.9);
const QColor kMarkerLabel = rgb(1.0, 0.35, 0.35);
const QColor kLoopBlue = rgb(0.42, 0.72, 1.0);

std::optional<int64_t> index(double v) {
    if (!std::isfinite(v) || std::abs(v) > kIndexLimit) return std::nullopt;
    return static_cast<int64_t>(v);
}

// The visible buckets reduced to their peak, smoothed, and laid out as quadrilaterals. False when the
// position cannot be laid out.
bool layoutWaveform(WaveGeometry& g, const library::PeakEnvelope& env, double first, double span) {
    const double W = g.width, H = g.height, s = g.secPerPoint, top = g.topSec, win = g.windowSec;
    const int64_t columns = env.columns;
    const double c = span / static_cast<double>(columns);
    const auto kRaw = index(std::ceil(s / c));
    if (!kRaw) return false;
    const int64_t k = *kRaw <= 0 ? 1 : *kRaw;
    const double b = c * static_cast<double>(k);
    const auto lo = index(std::floor((top - first) / b));
    const auto hi = index(std::ceil((top + win - first) / b));
    if (!lo || !hi) return false;
    const int64_t i0 = std::max<int64_t>(0, *lo - 1);
    const int64_t i1 = std::min(*hi + 1, (columns - 1) / k);
    g.stride = k;
    g.firstBucket = i0;
    g.lastBucket = i1;
    if (i1 < i0) return true;

    // The stride keeps the visible buckets near one per point of height, so this stays small.
    const auto n = static_cast<size_t>(i1 - i0 + 1);
    std::vector<double> v(n, 0.0);
    std::vector<int64_t> colourColumn(n);
    const auto peaks = static_cast<int64_t>(env.peak.size());
    for (size_t m = 0; m < n; ++m) {
        const int64_t from = (i0 + static_cast<int64_t>(m)) * k;
        const int64_t to = std::min({from + k - 1, columns - 1, peaks - 1});
        colourColumn[m] = from;
        for (int64_t col = from; col <= to; ++col) {
            const double p = env.peak[static_cast<size_t>(col)];
            if (p > v[m]) {
                v[m] = p;
                colourColumn[m] = col;
            }
        }
    }
    std::vector<double> smooth(n);
    const auto at = [&](int64_t m) { return v[static_cast<size_t>(std::clamp<int64_t>(m, 0, int64_t(n) - 1))]; };
    for (size_t m = 0; m < n; ++m) {
        const auto i = static_cast<int64_t>(m);
        smooth[m] = (at(i - 2) + 2 * at(i - 1) + 3 * at(i) + 2 * at(i + 1) + at(i + 2)) / 9.0;
    }

    const double reach = b / s;  // one bucket beyond either edge still shows its slope
    const auto yOf = [&](size_t j) { return (first + (static_cast<double>(i0 + int64_t(j)) + 0.5) * b - top) / s; };
    const auto wOf = [&](size_t j) { return std::max((W - 2) * smooth[j], 1.0); };
    for (size_t j = 0; j + 1 < n; ++j) {
        const double y0 = yOf(j), y1 = yOf(j + 1);
        if (y1 <= -reach || y0 >= H + reach) continue;
        if (smooth[j] <= 0 && smooth[j + 1] <= 0) continue;
        const double w0 = wOf(j), w1 = wOf(j + 1);
        g.quads.push_back({{QPointF(W / 2 - w0 / 2, y0), QPointF(W / 2 + w0 / 2, y0), QPointF(W / 2 + w1 / 2, y1),
                            QPointF(W / 2 - w1 / 2, y1)},
                           envelopeColumnColor(env, colourColumn[j], kRgbGain, kBandGain)});
    }
    return true;
}

void layoutGrid(WaveGeometry& g, const library::SeratoFileMeta& marks, double end) {
    const auto yOf = [&](double t) { return (t - g.topSec) / g.secPerPoint; };
    for (const auto& tick : library::GridCount::ticks(marks, end)) {
        const double y = yOf(tick.t);
        if (!(y >= 0 && y <= g.height)) continue;
        if (tick.marker) {
            g.gridLines.push_back({y, kMarkerRed, 1.5});
        } else if (tick.beat == 1) {
            g.gridLines.push_back({y, white(0.3), 1.0});
        } else {
            g.gridLines.push_back({y, white(0.12), 0.5});
        }
        if (tick.beat == 1 && std::abs(tick.bar) % 4 == 1) {
            char text[24];
            std::snprintf(text, sizeof text, "%lld", static_cast<long long>(tick.bar));
            g.barLabels.push_back({text, QPointF(3, y - 1), tick.marker ? kMarkerLabel : white(0.7)});
        }
    }
}

void layoutLoops(WaveGeometry& g, const library::SeratoFileMeta& marks) {
    const auto yOf = [&](double t) { return (t - g.topSec) / g.secPerPoint; };
    const double H = g.height;
    QColor band = kLoopBlue, line = kLoopBlue;
    band.setAlphaF(0.13f);
    line.setAlphaF(0.8f);
    for (const auto& loop : marks.loops) {
        const double ys = yOf(loop.startSec), ye = yOf(loop.endSec);
        if (!(ye > 0 && ys < H && ye > ys)) continue;
        WaveGeometry::Loop out{std::isnan(ys) ? 0.0 : std::max(ys, 0.0), std::min(ye, H), band, {}};
        if (ys >= 0 && ys <= H) out.lines.push_back({ys, line, 1});
        if (ye >= 0 && ye <= H) out.lines.push_back({ye, line, 1});
        g.loops.push_back(std::move(out));
    }
}

void layoutCues(WaveGeometry& g, const library::PeakEnvelope& env, const library::SeratoFileMeta* marks,
                const std::optional<std::vector<host::SeratoCueRow>>& cueRows) {
    const auto add = [&](double t, const QColor& colour) {
        const double y = (t - g.topSec) / g.secPerPoint;
        if (y >= 0 && y <= g.height) g.cueLines.push_back({y, colour, 1.5});
    };
    if (cueRows && !cueRows->empty()) {
        for (const auto& row : *cueRows) add(row.sec, cueColor(row.colorHex));
    } else if (marks && !marks->cues.empty()) {
        for (const auto& cue : marks->cues) add(cue.posSec, cueColor(cue.colorHex));
    } else {
        for (const auto& cue : env.cues) {
            const auto& c = cue.colorRGB;
            add(cue.timeSec, c.size() > 2 ? rgb(std::clamp(c[0], 0, 255) / 255.0, std::clamp(c[1], 0, 255) / 255.0,
                                                std::clamp(c[2], 0, 255) / 255.0)
                                          : cueColor(std::optional<std::string>()));
        }
    }
}

}  // namespace

double waveWindowSec(double zoom) {
    double e = -6;
    if (zoom > 0) {
        e = 0;
    } else if (zoom > kZoomSteps) {
        e = -6 * (zoom / kZoomSteps);
    }
    return kWidestSec * std::exp2(e);
}

WaveGeometry computeWaveGeometry(double posSec, double zoom, const library::PeakEnvelope* env,
                                 const library::SeratoFileMeta* marks,
                                 const std::optional<std::vector<host::SeratoCueRow>>& cueRows, double W,
                                 double H) {
    WaveGeometry g;
    g.width = W;
    g.height = H;
    g.windowSec = waveWindowSec(zoom);
    g.secPerPoint = H >= 1 ? g.windowSec / H : g.windowSec;
    g.topSec = posSec - 0.5 * g.windowSec;
    g.playhead = {H / 2, white(0.9), 1.5};

    if (!env || env->columns < 2) {
        g.playhead = {H / 2, white(0.35), 1.0};
        return g;
    }
    const auto& ws = env->windowSec;
    const double first = ws.empty() ? 0.0 : ws.front();
    const double span = ws.empty() ? kMinSpanSec : std::max(ws.back() - ws.front(), kMinSpanSec);
    // A position or an envelope window that cannot be laid out shows the playhead over the black column.
    if (!std::isfinite(first) || !std::isfinite(span) || !layoutWaveform(g, *env, first, span)) {
        g.quads.clear();
        g.stride = 0;
        return g;
    }
    if (marks) {
        layoutGrid(g, *marks, ws.empty() ? kMinSpanSec : first + span);
        layoutLoops(g, *marks);
    }
    layoutCues(g, *env, marks, cueRows);
    return g;
}

}  // namespace plindo::ui
