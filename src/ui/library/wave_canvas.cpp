#include "ui/library/wave_canvas.h"

#include "platform/checked.h"
#include "ui/kit/blur.h"
#include "ui/library/wave_colors.h"
#include "ui/library/wave_spans.h"

#include <QLinearGradient>
#include <QPainter>
#include <QPainterPath>

#include <algorithm>
#include <cmath>

namespace plindo::ui {

namespace {

constexpr double kMinWindowSec = 0.000001;
constexpr double kGlowOpacity = 0.5;
constexpr double kGlowRadius = 6;
constexpr double kMaxFullSizeSigma = 3;  // wider blurs run on a reduced image
const QColor kLoopColor = QColor::fromRgbF(0.25f, 0.55f, 1.0f, 0.9f);
constexpr double kLoopTop = 3, kLoopInset = 8, kLoopWidth = 3;
constexpr double kBoundaryWidth = 1.5, kCueWidth = 2.5, kCueTriangle = 8;

struct Glow {
    double opacity, radius;
};
constexpr Glow kInnerGlow{0.4, 14}, kOuterGlow{0.18, 34};

// Multiplies the image's alpha by a gradient running along `from` → `to` through `stops` (position, opacity).
void fadeAlong(QImage& img, QPointF from, QPointF to, std::initializer_list<std::pair<double, double>> stops) {
    QLinearGradient g(from, to);
    for (const auto& [at, opacity] : stops) g.setColorAt(at, QColor::fromRgbF(1, 1, 1, float(opacity)));
    QPainter p(&img);
    p.setCompositionMode(QPainter::CompositionMode_DestinationIn);
    p.fillRect(QRectF(QPointF(0, 0), img.deviceIndependentSize()), g);
}

double level(const std::optional<std::vector<double>>& side, const std::vector<double>& peak, size_t c) {
    const double v = side ? (*side)[c] : peak[c];
    return std::isnan(v) ? 0.0 : std::clamp(v, 0.0, 1.0);
}

}  // namespace

QImage withWhiteGlow(const QImage& image, double opacity, double radiusPx) {
    QImage glow = image.convertToFormat(QImage::Format_ARGB32_Premultiplied);
    {
        QPainter p(&glow);
        p.setCompositionMode(QPainter::CompositionMode_SourceIn);
        p.fillRect(glow.rect(), QColor::fromRgbF(1, 1, 1, float(opacity)));
    }
    // A shadow's radius spans about two standard deviations of its blur. A wide glow has no detail to keep:
    // it is blurred at a reduced size, where its cost is a small fraction.
    const double sigma = radiusPx / 2;
    const int shrink = std::max(1, int(sigma / kMaxFullSizeSigma));
    QImage out;
    if (shrink == 1) {
        out = blurred(glow, sigma);
    } else {
        const QSize small((glow.width() + shrink - 1) / shrink, (glow.height() + shrink - 1) / shrink);
        out = blurred(glow.scaled(small, Qt::IgnoreAspectRatio, Qt::SmoothTransformation), sigma / shrink)
                  .scaled(glow.size(), Qt::IgnoreAspectRatio, Qt::SmoothTransformation);
    }
    out.setDevicePixelRatio(image.devicePixelRatio());
    QPainter p(&out);
    p.setCompositionMode(QPainter::CompositionMode_SourceOver);
    p.drawImage(QPointF(0, 0), image);
    return out;
}

QImage renderWaveCanvas(const library::PeakEnvelope& env, const library::DeckMeta* meta,
                        const library::DeckMeta::Flip* flip, QSize size, qreal dpr) {
    if (!(dpr > 0)) dpr = 1;
    QImage img(size * dpr, QImage::Format_ARGB32_Premultiplied);
    img.setDevicePixelRatio(dpr);
    img.fill(Qt::transparent);
    const auto spans = flipSegments(env.durationSec, flip);
    const double total = totalLength(spans);
    if (!(total > 0) || env.columns < 2 || size.isEmpty()) return img;

    const double W = size.width(), H = size.height();
    const auto& ws = env.windowSec;
    const double first = ws.empty() ? 0.0 : ws.front();
    const double window = ws.empty() ? kMinWindowSec : std::max(ws.back() - ws.front(), kMinWindowSec);
    const double secPerColumn = window / env.columns;
    const double midY = H * 0.5;
    const double xScale = W / total;
    // A column is drawn only when every array it reads holds it.
    size_t usable = std::min(static_cast<size_t>(env.columns), env.peak.size());
    if (env.peakL) usable = std::min(usable, env.peakL->size());
    if (env.peakR) usable = std::min(usable, env.peakR->size());

    QPainter p(&img);
    p.setRenderHint(QPainter::Antialiasing, true);
    p.setBrush(Qt::NoBrush);

    if (meta) {
        QPen pen(kLoopColor, kLoopWidth);
        p.setPen(pen);
        double offset = 0;
        for (const auto& span : spans) {
            for (const auto& loop : meta->loops) {
                const double lo = std::max(span.start, loop.tStart), hi = std::min(span.end, loop.tEnd);
                if (!(hi > lo)) continue;
                const double x0 = (lo - span.start + offset) * xScale, x1 = (hi - span.start + offset) * xScale;
                p.drawRect(QRectF(x0, kLoopTop, x1 - x0, H - kLoopInset));
            }
            offset += span.end - span.start;
        }
    }

    double offset = 0;
    for (const auto& span : spans) {
        const double len = span.end - span.start;
        const auto n = platform::checkedRound<int64_t>(xScale * len);
        if (n && *n >= 1) {
            // No more lines than pixels of width, whatever the spans claim.
            const int64_t count = std::min<int64_t>(*n, int64_t(W) + 1);
            for (int64_t px = 0; px < count; ++px) {
                const double t = span.start + (double(px) + 0.5) / xScale;
                const auto c = platform::checkedInt64((t - first) / secPerColumn);
                if (!c || *c < 0 || static_cast<uint64_t>(*c) >= usable) continue;
                const auto ci = static_cast<size_t>(*c);
                const double top = level(env.peakR, env.peak, ci), bottom = level(env.peakL, env.peak, ci);
                if (top <= 0 && bottom <= 0) continue;  // a line of no length shows nothing (Qt would draw a dot)
                const double x = offset * xScale + double(px);
                p.setPen(QPen(columnColor(env, *c), 1.0, Qt::SolidLine, Qt::FlatCap));
                p.drawLine(QLineF(x, midY - midY * top, x, midY + midY * bottom));
            }
        }
        offset += len;
        if (spans.size() >= 2 && total > len) {
            p.setPen(QPen(QColor::fromRgbF(1, 1, 1, 0.9f), kBoundaryWidth, Qt::SolidLine, Qt::FlatCap));
            p.drawLine(QLineF(offset * xScale, 0, offset * xScale, H));
        }
    }

    if (meta) {
        offset = 0;
        for (const auto& span : spans) {
            for (const auto& cue : meta->cues) {
                if (!(span.start <= cue.tStart && cue.tStart < span.end)) continue;
                const double x = (cue.tStart - span.start + offset) * xScale;
                const QColor colour = cueColor(cue.color);
                p.setPen(QPen(colour, kCueWidth, Qt::SolidLine, Qt::FlatCap));
                p.drawLine(QLineF(x, 0, x, H));
                QPainterPath triangle;
                triangle.setFillRule(Qt::WindingFill);
                triangle.moveTo(x - kCueTriangle, 0);
                triangle.lineTo(x + kCueTriangle, 0);
                triangle.lineTo(x, 2 * kCueTriangle);
                triangle.closeSubpath();
                p.fillPath(triangle, colour);
            }
            offset += span.end - span.start;
        }
    }
    p.end();
    return withWhiteGlow(img, kGlowOpacity, kGlowRadius * dpr);
}

QImage renderFloorImage(const library::PeakEnvelope& env, const library::DeckMeta* meta,
                        const library::DeckMeta::Flip* flip, QSize size, qreal dpr) {
    if (!(dpr > 0)) dpr = 1;
    QImage img = renderWaveCanvas(env, meta, flip, size, dpr);
    img = withWhiteGlow(img, kInnerGlow.opacity, kInnerGlow.radius * dpr);
    img = withWhiteGlow(img, kOuterGlow.opacity, kOuterGlow.radius * dpr);
    const double W = size.width(), H = size.height();
    // In over the first 4 % of the height, down to 75 % at 55 % and out at the bottom; in and out over the
    // outer 4 % of the width.
    fadeAlong(img, {0, 0}, {0, H}, {{0, 0}, {0.04, 1}, {0.55, 0.75}, {1.0, 0}});
    fadeAlong(img, {0, 0}, {W, 0}, {{0, 0}, {0.04, 1}, {0.96, 1}, {1.0, 0}});
    return img;
}

std::string WaveCanvasCache::key(const std::string& path, int flipSel, QSize size, qreal dpr) {
    return path + '\n' + std::to_string(flipSel) + ' ' + std::to_string(size.width()) + 'x' +
           std::to_string(size.height()) + '@' + std::to_string(dpr);
}

QImage WaveCanvasCache::find(const std::string& path, const Env& env, const Meta& meta, int flipSel, QSize size,
                             qreal dpr) {
    const Entry* e = images_.find(key(path, flipSel, size, dpr));
    if (!e || e->env.lock() != env || e->hadMeta != bool(meta) || e->meta.lock() != meta) return {};
    return e->image;
}

void WaveCanvasCache::put(const std::string& path, const Env& env, const Meta& meta, int flipSel, QSize size,
                          qreal dpr, QImage image) {
    images_.put(key(path, flipSel, size, dpr), Entry{env, meta, bool(meta), std::move(image)});
}

}  // namespace plindo::ui
