#include "ui/kit/layer_painter.h"

#include "ui/kit/blur.h"

#include <QPainterPath>

#include <algorithm>
#include <cmath>
#include <cstring>

namespace plindo::ui {

namespace {

constexpr double kSane = 1e6;  // a layer farther out than this is garbage, not a drawing

// Grows `image` to hold `size` (never shrinks it, so a shape that turns does not reallocate every frame) and,
// when asked, clears its top-left `size` pixels. A painter open on it is closed before it grows.
void prepare(QImage& image, QSize size, bool clear, QPainter* painter = nullptr) {
    if (image.width() < size.width() || image.height() < size.height()) {
        if (painter && painter->isActive()) painter->end();
        const QSize grown = size.expandedTo(image.size()) + QSize(32, 32);
        image = QImage(grown, QImage::Format_ARGB32_Premultiplied);
    }
    if (!clear) return;
    uchar* bits = image.bits();
    for (int y = 0; y < size.height(); ++y) std::memset(bits + y * image.bytesPerLine(), 0, size_t(size.width()) * 4);
}

uint32_t premultiplied(float r, float g, float b, float a) {
    const auto byte = [](float v) { return uint32_t(std::clamp(v * 255.0f + 0.5f, 0.0f, 255.0f)); };
    const uint32_t ab = byte(a);
    // Rounding must keep each colour at or below the opacity.
    return (ab << 24) | (std::min(byte(r), ab) << 16) | (std::min(byte(g), ab) << 8) | std::min(byte(b), ab);
}

// A premultiplied pixel times a coverage of 0...255, each channel rounded.
uint32_t scaled(uint32_t pixel, uint32_t cover) {
    uint32_t out = 0;
    for (int shift = 0; shift < 32; shift += 8) {
        const uint32_t c = (pixel >> shift & 0xff) * cover + 127;
        out |= ((c + (c >> 8)) >> 8) << shift;
    }
    return out;
}

bool sane(const QRectF& r) {
    return std::isfinite(r.left()) && std::isfinite(r.top()) && std::isfinite(r.right()) && std::isfinite(r.bottom()) &&
           std::abs(r.left()) < kSane && std::abs(r.top()) < kSane && r.width() < kSane && r.height() < kSane;
}

// How far a blur by `sigma` spreads: three deviations, and a little more for rounding.
double spread(double sigma) { return std::ceil(3 * sigma) + 2; }

}  // namespace

bool LayerPainter::place(QPainter& p, QSizeF canvas, QRectF bounds) {
    dpr_ = p.device() ? p.device()->devicePixelRatioF() : 1.0;
    bounds = bounds.intersected(QRectF(QPointF(0, 0), canvas));
    if (!sane(bounds) || bounds.isEmpty()) return false;
    device_ = QRectF(bounds.topLeft() * dpr_, bounds.size() * dpr_).toAlignedRect();
    used_ = device_.size();
    return !device_.isEmpty();
}

QPainter& plainPainter(QPainter& painter, QImage& image) {
    if (!painter.isActive()) {
        painter.begin(&image);
        painter.setRenderHint(QPainter::Antialiasing, true);
    }
    painter.resetTransform();
    painter.setCompositionMode(QPainter::CompositionMode_SourceOver);
    painter.setPen(Qt::NoPen);
    painter.setBrush(Qt::NoBrush);
    return painter;
}

QPainter& LayerPainter::ready(QPainter& painter, QImage& image, QSize size, bool clear) {
    prepare(image, size, clear, &painter);
    return plainPainter(painter, image);
}

bool LayerPainter::begin(QPainter& p, QSizeF canvas, QRectF bounds) {
    if (!place(p, canvas, bounds)) return false;
    ready(onLayer_, layer_, used_, true);
    onLayer_.translate(-device_.x(), -device_.y());
    onLayer_.scale(dpr_, dpr_);
    return true;
}

void LayerPainter::blit(QPainter& p) {
    // Pixel for pixel: the untransformed draw that stays on this thread.
    p.drawImage(QRectF(QPointF(device_.topLeft()) / dpr_, QSizeF(used_) / dpr_), layer_,
                QRectF(QPointF(0, 0), QSizeF(used_)));
}

void LayerPainter::fillLinear(QPainter& p, QSizeF canvas, const QPainterPath& path, QPointF start, const QColor& c0,
                              QPointF end, const QColor& c1) {
    // One pixel around the path for the antialiased edge.
    if (!begin(p, canvas, path.boundingRect().adjusted(-1, -1, 1, 1))) return;
    // An opaque fill gives each pixel its coverage as its opacity; the gradient is laid in through it.
    onLayer_.setCompositionMode(QPainter::CompositionMode_Source);
    onLayer_.fillPath(path, Qt::white);

    float from[4], to[4];
    c0.getRgbF(&from[0], &from[1], &from[2], &from[3]);
    c1.getRgbF(&to[0], &to[1], &to[2], &to[3]);
    for (int c = 0; c < 3; ++c) {  // premultiplied, as the raster engine blends stops
        from[c] *= from[3];
        to[c] *= to[3];
    }
    // The gradient in steps of 1/256 of its length, as the raster engine keeps it in a table.
    for (int i = 0; i < 256; ++i) {
        const float t = float(i) / 255.0f;
        const auto mix = [&](int c) { return from[c] + (to[c] - from[c]) * t; };
        tinted_[size_t(i)] = premultiplied(mix(0), mix(1), mix(2), mix(3));
    }
    // The place t along the gradient grows by a fixed step per pixel either way.
    const QPointF d = end - start;
    const double len2 = QPointF::dotProduct(d, d);
    const double stepX = len2 > 0 ? d.x() / dpr_ / len2 : 0, stepY = len2 > 0 ? d.y() / dpr_ / len2 : 0;
    const QPointF first = QPointF(device_.x() + 0.5, device_.y() + 0.5) / dpr_ - start;
    const double t00 = len2 > 0 ? QPointF::dotProduct(first, d) / len2 : 0;
    uchar* bits = layer_.bits();
    const qsizetype stride = layer_.bytesPerLine();
    for (int y = 0; y < used_.height(); ++y) {
        auto* row = reinterpret_cast<uint32_t*>(bits + y * stride);
        const double t0 = t00 + y * stepY;
        for (int x = 0; x < used_.width(); ++x) {
            const uint32_t cover = row[x] >> 24;
            if (!cover) continue;
            const uint32_t colour = tinted_[size_t(std::clamp(t0 + x * stepX, 0.0, 1.0) * 255.0 + 0.5)];
            row[x] = cover == 255 ? colour : scaled(colour, cover);
        }
    }
    blit(p);
}

void LayerPainter::blurOpacity(int w, int h, double sigma, std::vector<float>& out) {
    gaussianKernel(sigma, kernel_);
    const int radius = int(kernel_.size() / 2);

    // The mask is black: its opacity carries the whole shape, so only that is blurred, rows then columns. Both
    // passes spread only what is there, so the empty stretches of a mask cost little.
    rows_.assign(size_t(w) * size_t(h), 0.0f);
    out.assign(size_t(w) * size_t(h), 0.0f);
    const uchar* bits = mask_.constBits();
    const qsizetype stride = mask_.bytesPerLine();
    for (int y = 0; y < h; ++y) {
        const auto* src = reinterpret_cast<const uint32_t*>(bits + y * stride);
        float* dst = rows_.data() + size_t(y) * size_t(w);
        for (int x = 0; x < w; ++x) {
            const float a = float(src[x] >> 24);
            if (a == 0) continue;
            const int lo = std::max(0, x - radius), hi = std::min(w - 1, x + radius);
            const float* k = kernel_.data() + (lo - x + radius);
            for (int j = lo; j <= hi; ++j) dst[j] += a * *k++;
        }
    }
    for (int y = 0; y < h; ++y) {
        const float* src = rows_.data() + size_t(y) * size_t(w);
        const int lo = std::max(0, y - radius), hi = std::min(h - 1, y + radius);
        for (int from = 0; from < w;) {
            // One run of the row that holds something.
            while (from < w && src[from] == 0) ++from;
            int to = from;
            while (to < w && src[to] != 0) ++to;
            for (int j = lo; j <= hi && from < to; ++j) {
                const float k = kernel_[size_t(j - y + radius)];
                float* dst = out.data() + size_t(j) * size_t(w);
                for (int x = from; x < to; ++x) dst[x] += src[x] * k;
            }
            from = to;
        }
    }
}

void LayerPainter::fillTints(const QColor& tint) {
    float tr, tg, tb, ta;
    tint.getRgbF(&tr, &tg, &tb, &ta);
    for (int i = 0; i < 256; ++i) {
        const float a = float(i) / 255.0f * ta;
        tinted_[size_t(i)] = premultiplied(tr * a, tg * a, tb * a, a);
    }
}

bool LayerPainter::beginSoft(QPainter& p, QSizeF canvas, QRectF bounds, double sigma) {
    if (!(sigma >= 0.5) || !std::isfinite(sigma)) return false;
    const double pad = spread(sigma);
    if (!place(p, canvas, bounds.adjusted(-pad, -pad, pad, pad))) return false;
    ready(onMask_, mask_, QSize((used_.width() + 1) / 2, (used_.height() + 1) / 2), true);
    softSigma_ = sigma * dpr_ / 2;
    onMask_.scale(0.5, 0.5);
    onMask_.translate(-device_.x(), -device_.y());
    onMask_.scale(dpr_, dpr_);
    return true;
}

void LayerPainter::endSoft(QPainter& p, const QColor& tint) {
    const int w = (used_.width() + 1) / 2, h = (used_.height() + 1) / 2;
    blurOpacity(w, h, softSigma_, blurred_);
    fillTints(tint);
    // Back to full resolution between the four nearest half-resolution pixels: the centre of full pixel x lies
    // at (x + 0.5) / 2 - 0.5 in half pixels, a quarter past or before one. Each row is first mixed between its
    // two half rows, with a blank pixel on either side.
    prepare(layer_, used_, false, &onLayer_);  // every pixel is written
    uchar* bits = layer_.bits();
    const qsizetype stride = layer_.bytesPerLine();
    rows_.assign(size_t(w) + 2, 0.0f);
    const auto halfRow = [&](int y) { return y >= 0 && y < h ? blurred_.data() + size_t(y) * size_t(w) : nullptr; };
    for (int y = 0; y < used_.height(); ++y) {
        const int y0 = (y - 1) >> 1;
        const float fy = (y & 1) ? 0.25f : 0.75f;
        const float *above = halfRow(y0), *below = halfRow(y0 + 1);
        for (int x = 0; x < w; ++x) {
            const float a = above ? above[x] : 0.0f, b = below ? below[x] : 0.0f;
            rows_[size_t(x) + 1] = a + (b - a) * fy;
        }
        // Full pixels 2k and 2k + 1 lie three quarters and a quarter of the way from half pixel k - 1 to k and
        // from k to k + 1 (rows_ is shifted by the blank one).
        auto* row = reinterpret_cast<uint32_t*>(bits + y * stride);
        const float* r = rows_.data();
        for (int x = 0, k = 0; x < used_.width(); x += 2, ++k) {
            row[x] = tinted(r[k] + (r[k + 1] - r[k]) * 0.75f);
            if (x + 1 < used_.width()) row[x + 1] = tinted(r[k + 1] + (r[k + 2] - r[k + 1]) * 0.25f);
        }
    }
    blit(p);
}

bool LayerPainter::beginSprite(QPainter& p, QRectF shapeBounds, double sigma, double key) {
    dpr_ = p.device() ? p.device()->devicePixelRatioF() : 1.0;
    if (!sprite_.isEmpty() && key == spriteKey_ && sigma == spriteSigma_ && dpr_ == spriteDpr_ &&
        shapeBounds == spriteShape_)
        return false;
    spriteKey_ = key;
    spriteSigma_ = sigma;
    spriteDpr_ = dpr_;
    spriteShape_ = shapeBounds;
    sprite_ = QRect();
    if (!(sigma >= 0.5) || !std::isfinite(sigma) || !sane(shapeBounds) || shapeBounds.isEmpty()) return false;
    const double pad = spread(sigma);
    const QRectF padded = shapeBounds.adjusted(-pad, -pad, pad, pad);
    sprite_ = QRectF(padded.topLeft() * dpr_, padded.size() * dpr_).toAlignedRect();
    ready(onMask_, mask_, sprite_.size(), true);
    onMask_.translate(-sprite_.x(), -sprite_.y());
    onMask_.scale(dpr_, dpr_);
    return true;
}

void LayerPainter::laySprite(QPainter& p, QSizeF canvas, const QColor& tint, std::span<const QPointF> at) {
    if (sprite_.isEmpty() || at.empty()) return;
    QRectF bounds;
    const QRectF around(QPointF(sprite_.topLeft()) / dpr_, QSizeF(sprite_.size()) / dpr_);
    for (const QPointF& a : at) bounds |= around.translated(a);
    if (!place(p, canvas, bounds.adjusted(-1, -1, 1, 1))) return;
    const int w = used_.width(), h = used_.height(), sw = sprite_.width(), sh = sprite_.height();

    // Where each sprite's first pixel lands, in layer pixels, and the fraction of a pixel past it: that
    // fraction is split between the two pixels it falls between, which moves the sprite by exactly that much.
    copies_.clear();
    for (const QPointF& a : at) {
        const double bx = a.x() * dpr_ - device_.x() + sprite_.x(), by = a.y() * dpr_ - device_.y() + sprite_.y();
        if (!std::isfinite(bx) || !std::isfinite(by) || std::abs(bx) > kSane || std::abs(by) > kSane) continue;
        const double ix = std::floor(bx), iy = std::floor(by);
        copies_.push_back({int(ix), int(iy), float(bx - ix), float(by - iy)});
    }
    fillTints(tint);
    prepare(layer_, used_, false, &onLayer_);
    uchar* bits = layer_.bits();
    const qsizetype stride = layer_.bytesPerLine();
    // Row by row, the copies over the row add up in one short sum, then go into the layer in the tint.
    rows_.resize(size_t(w) + 1);
    for (int y = 0; y < h; ++y) {
        auto* row = reinterpret_cast<uint32_t*>(bits + y * stride);
        std::memset(row, 0, size_t(w) * 4);
        int from = w, to = 0;
        for (const Copy& c : copies_) {
            if (y >= c.y && y <= c.y + sh) {
                from = std::min(from, std::max(0, c.x));
                to = std::max(to, std::min(w, c.x + sw + 1));
            }
        }
        if (from >= to) continue;
        float* __restrict sum = rows_.data();
        std::fill(sum + from, sum + to, 0.0f);
        for (const Copy& c : copies_) {
            // The sprite rows over this one: j with its share 1 - fy, and j - 1 with fy.
            for (int dy = 0; dy < 2; ++dy) {
                const int j = y - c.y - dy;
                if (j < 0 || j >= sh) continue;
                const float* __restrict src = spriteBlur_.data() + size_t(j) * size_t(sw);
                const float share = dy ? c.fy : 1 - c.fy;
                const float left = share * (1 - c.fx), right = share * c.fx;
                // Where both pixels a sprite pixel is split between lie in the layer; the two halves go in two
                // passes, each free of the other; at the layer's edges one of the two lies outside.
                const int lo = std::max(0, -c.x), hi = std::min(sw, w - c.x - 1);
                for (int i = lo; i < hi; ++i) sum[c.x + i] += src[i] * left;
                for (int i = lo; i < hi; ++i) sum[c.x + i + 1] += src[i] * right;
                if (lo > 0 && lo - 1 < sw) sum[0] += src[lo - 1] * right;
                if (hi >= lo && hi < sw) sum[w - 1] += src[hi] * left;
            }
        }
        for (int x = from; x < to; ++x) row[x] = tinted(sum[x]);
    }
    blit(p);
}

}  // namespace plindo::ui
