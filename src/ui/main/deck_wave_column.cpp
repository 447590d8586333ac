#include "ui/main/deck_wave_column.h"

#include "host/host_ui.h"
#include "ui/kit/colors.h"
#include "ui/kit/text_styles.h"

#include <QPainter>
#include <QPainterPath>

#include <algorithm>
#include <cmath>
#include <vector>

namespace plindo::ui {

namespace {

constexpr int kLetterTop = 3;
constexpr double kLetterOpacity = 0.55;

void strokeAcross(QPainter& p, const WaveGeometry::Line& line, double W) {
    QPen pen(line.color, line.width);
    pen.setCapStyle(Qt::FlatCap);
    p.setPen(pen);
    p.drawLine(QLineF(0, line.y, W, line.y));
}

// The raster engine hands a fill of many rows to its thread pool, a wake-up per frame; strips of a few rows,
// joined on whole pixel rows, stay on this thread and cover the same pixels.
void fillBand(QPainter& p, double top, double bottom, double W, const QColor& color) {
    const double strip = 32.0 / (p.device() ? p.device()->devicePixelRatio() : 1.0);
    for (double y = top; y < bottom;) {
        const double next = std::min(bottom, (std::floor(y / strip) + 1) * strip);
        p.fillRect(QRectF(0, y, W, next - y), color);
        y = next;
    }
}

// One 8-bit channel group times a / 255, rounded, on the red/blue or alpha/green halves of a pixel at once.
uint32_t mulPixel(uint32_t px, uint32_t a) {
    uint32_t rb = (px & 0xff00ffu) * a;
    rb = ((rb + ((rb >> 8) & 0xff00ffu) + 0x800080u) >> 8) & 0xff00ffu;
    uint32_t ag = ((px >> 8) & 0xff00ffu) * a;
    ag = (ag + ((ag >> 8) & 0xff00ffu) + 0x800080u) & 0xff00ff00u;
    return ag | rb;
}

// A premultiplied colour at `coverage` over the pixel, as the raster engine blends an antialiased span.
void blendOver(uint32_t& dst, uint32_t color, int coverage) {
    const uint32_t c = coverage >= 255 ? color : mulPixel(color, uint32_t(coverage));
    dst = c + mulPixel(dst, 255u - (c >> 24));
}

// The mean over a row slab of the part of pixel [0, 1] left of an edge that runs from u0 to u1 across it.
double meanLeftOf(double u0, double u1) {
    const auto clamped = [](double u) { return std::clamp(u, 0.0, 1.0); };
    // The integral of clamped(u) du.
    const auto integral = [](double u) { return u <= 0 ? 0.0 : u >= 1 ? u - 0.5 : 0.5 * u * u; };
    if (std::min(u0, u1) >= 1) return 1;
    if (std::max(u0, u1) <= 0) return 0;
    if (std::abs(u1 - u0) < 1e-9) return clamped(0.5 * (u0 + u1));
    return (integral(u1) - integral(u0)) / (u1 - u0);
}

// Coverage as the raster engine's antialiased fill quantises it: 1/256 steps rounded up, full at 255.
int coverageOf(double area) {
    const double v = area * 256.0 - 1e-6;
    if (!(v > 0)) return 0;
    if (v >= 255) return 255;
    const int whole = static_cast<int>(v);
    return whole + (whole < v ? 1 : 0);
}

// A stretch of a row known to hold one value, so the next quad's inside over it is blended once.
struct Run {
    int from = 0, to = 0;
    uint32_t value = 0;
};

// Fills a trapezoid with horizontal top and bottom edges into the image, antialiased by its exact area per pixel.
// Coordinates are device pixels; pixel (x, y) covers [x, x + 1] × [y, y + 1]. Only the image's pixels are touched.
// `runs` holds one entry per image row.
void fillTrapezoid(QImage& img, std::vector<Run>& runs, double top, double bottom, double left0, double right0,
                   double left1, double right1, uint32_t color) {
    if (!(bottom > top) || !std::isfinite(top) || !std::isfinite(bottom)) return;
    const int w = img.width(), h = img.height();
    const double firstRow = std::max(std::floor(top), 0.0), endRow = std::min(std::ceil(bottom), double(h));
    if (!(firstRow < endRow)) return;
    const double dl = (left1 - left0) / (bottom - top), dr = (right1 - right0) / (bottom - top);
    for (int y = int(firstRow); y < int(endRow); ++y) {
        const double ya = std::max(top, double(y)), yb = std::min(bottom, double(y + 1)), dy = yb - ya;
        if (!(dy > 0)) continue;
        const double la = left0 + dl * (ya - top), lb = left0 + dl * (yb - top);
        const double ra = right0 + dr * (ya - top), rb = right0 + dr * (yb - top);
        const double lMin = std::min(la, lb), lMax = std::max(la, lb), rMin = std::min(ra, rb), rMax = std::max(ra, rb);
        if (!(rMax > lMin)) continue;
        // Pixels wholly between the edges have the slab's height as coverage; the rest are integrated.
        const double innerFrom = std::ceil(lMax), innerTo = std::floor(rMin);
        const int x0 = int(std::clamp(std::floor(lMin), 0.0, double(w)));
        const int x1 = int(std::clamp(std::ceil(rMax), 0.0, double(w)));
        const int i0 = int(std::clamp(innerFrom, double(x0), double(x1)));
        const int i1 = innerTo > innerFrom ? int(std::clamp(innerTo, double(i0), double(x1))) : i0;
        auto* row = reinterpret_cast<uint32_t*>(img.scanLine(y));
        const auto edge = [&](int x) {
            const double area = dy * (meanLeftOf(ra - x, rb - x) - meanLeftOf(la - x, lb - x));
            const int c = coverageOf(area);
            if (c > 0) blendOver(row[x], color, c);
        };
        // The edges change the row outside the inside, so what still holds one value lies within it.
        Run& run = runs[size_t(y)];
        const int from = std::clamp(run.from, i0, i1), to = std::clamp(run.to, from, i1);
        for (int x = x0; x < i0; ++x) edge(x);
        const int inner = coverageOf(dy);
        if (inner >= 255 && (color >> 24) == 255) {
            std::fill(row + i0, row + i1, color);
            run = {i0, i1, color};
        } else if (inner > 0) {
            uint32_t over = run.value;
            blendOver(over, color, inner);
            std::fill(row + from, row + to, over);
            for (int x = i0; x < from; ++x) blendOver(row[x], color, inner);
            for (int x = to; x < i1; ++x) blendOver(row[x], color, inner);
            run = {from, to, over};
        } else {
            run = {from, to, run.value};
        }
        for (int x = i1; x < x1; ++x) edge(x);
    }
}

// The lines, labels and loops over the waveform.
void paintMarks(QPainter& p, const WaveGeometry& g) {
    const double W = g.width;
    p.setRenderHint(QPainter::Antialiasing, true);
    p.setBrush(Qt::NoBrush);
    for (const auto& line : g.gridLines) strokeAcross(p, line, W);
    if (!g.barLabels.empty()) {
        p.setFont(systemFont(9, QFont::DemiBold));
        for (const auto& label : g.barLabels) {
            p.setPen(label.color);
            p.drawText(label.bottomLeft, QString::fromStdString(label.text));
        }
    }
    for (const auto& loop : g.loops) {
        fillBand(p, loop.top, loop.bottom, W, loop.bandColor);
        for (const auto& line : loop.lines) strokeAcross(p, line, W);
    }
    for (const auto& cue : g.cueLines) strokeAcross(p, cue, W);
    strokeAcross(p, g.playhead, W);
}

}  // namespace

void fillDeckWaveGround(QImage& img, const WaveGeometry& g) {
    const double r = img.devicePixelRatio();
    // The raster engine places outlines on a 1/64 pixel grid; so do these, to cover pixels alike.
    const auto at = [r](double v) { return std::round(v * r * 64.0) / 64.0; };
    // The fill writes whole 32-bit pixels.
    if (img.format() != QImage::Format_ARGB32_Premultiplied) img.convertTo(QImage::Format_ARGB32_Premultiplied);
    img.fill(Qt::black);
    std::vector<Run> runs(size_t(std::max(img.height(), 0)), Run{0, img.width(), qRgb(0, 0, 0)});
    for (const auto& q : g.quads) {
        const auto& c = q.corners;
        fillTrapezoid(img, runs, at(c[0].y()), at(c[3].y()), at(c[0].x()), at(c[1].x()), at(c[3].x()), at(c[2].x()),
                      q.color.rgba64().premultiplied().toArgb32());
    }
}

void paintDeckWave(QPainter& p, const WaveGeometry& g, QImage& ground) {
    const double ratio = p.device() ? p.device()->devicePixelRatio() : 1.0;
    const QSize size(int(std::ceil(g.width * ratio)), int(std::ceil(g.height * ratio)));
    if (ground.size() != size || ground.devicePixelRatio() != ratio ||
        ground.format() != QImage::Format_ARGB32_Premultiplied) {
        ground = QImage(size, QImage::Format_ARGB32_Premultiplied);
        ground.setDevicePixelRatio(ratio);
    }
    p.save();
    p.setClipRect(QRectF(0, 0, g.width, g.height));
    if (!ground.isNull()) {
        fillDeckWaveGround(ground, g);
        p.drawImage(QPointF(0, 0), ground);
    }
    paintMarks(p, g);
    p.restore();
}

void paintDeckWave(QPainter& p, const WaveGeometry& g) {
    QImage ground;
    paintDeckWave(p, g, ground);
}

DeckWaveColumn::DeckWaveColumn(host::HostUi& host, int deck, QWidget* parent)
    : QWidget(parent), host_(host), deck_(deck) {
    setMaximumWidth(kMaxWidth);
    setMinimumSize(0, 0);
    setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Expanding);
    setAttribute(Qt::WA_OpaquePaintEvent);
    // The controller publishes positions with the decks; the frames catch the zoom and the cue rows.
    connect(&host_, &host::HostUi::decksChanged, this, &DeckWaveColumn::follow);
    frames_ = FrameClock::shared().subscribeFollow([this] { return follow(); });
    // A new envelope may take the address of the one it replaced.
    connect(&host_, &host::HostUi::deckEnvChanged, this, qOverload<>(&QWidget::update));
    connect(&host_, &host::HostUi::deckMarksChanged, this, qOverload<>(&QWidget::update));
}

DeckWaveColumn::Inputs DeckWaveColumn::inputs() const {
    return {host_.deck(deck_).posSec, host_.zoom(deck_), host_.deckEnv(deck_).get(), host_.deckMarks(deck_).get(),
            host_.seratoCueRows(deck_), size()};
}

bool DeckWaveColumn::follow() {
    // A stopped deck costs no repaint.
    Inputs now = inputs();
    if (now == shown_) return false;
    shown_ = std::move(now);
    update();
    return true;
}

WaveGeometry DeckWaveColumn::frame() const {
    const auto env = host_.deckEnv(deck_);
    const auto marks = host_.deckMarks(deck_);
    return computeWaveGeometry(host_.deck(deck_).posSec, host_.zoom(deck_), env.get(), marks.get(),
                               host_.seratoCueRows(deck_), width(), height());
}

void DeckWaveColumn::paintEvent(QPaintEvent*) {
    shown_ = inputs();
    QPainter p(this);
    paintDeckWave(p, frame(), ground_);
    p.setFont(monoSystemFont(10, QFont::Bold));
    p.setPen(colors::withOpacity(Qt::white, kLetterOpacity));
    p.drawText(QRect(0, kLetterTop, width(), height() - kLetterTop), Qt::AlignHCenter | Qt::AlignTop,
               deck_ == 1 ? QStringLiteral("L") : QStringLiteral("R"));
}

}  // namespace plindo::ui
