#pragma once
// Translucent, graded and soft shapes painted on the painting thread, for canvases redrawn at a phone's rate.
//
// Qt's raster engine spreads a translucent fill, a gradient or a wide stroke of more than a few rows over its
// GUI thread pool; at sixty frames a second the hand-offs cost many times the fill itself. An opaque solid
// fill, any fill with the Source mode and an untransformed image draw stay on the painting thread, so these
// helpers paint through kept layers with only those: a shape alone on a clear layer with the Source mode (the
// same pixels as Source Over there), then the layer laid over the target.
//
// The target painter is expected to carry no transform of its own (a canvas painter); `canvas` is its size and
// bounds and shapes are in its logical points. The layers are kept between calls, so a warm painter allocates
// nothing.
#include <QColor>
#include <QImage>
#include <QPainter>
#include <QRectF>
#include <QSizeF>

#include <algorithm>
#include <array>
#include <cstdint>
#include <span>
#include <vector>

class QPainterPath;

namespace plindo::ui {

// `painter` on `image`, opened unless it is open already and set to its plain state: no transform, Source Over,
// antialiased, no pen and no brush. A painter kept open between frames saves its opening, which costs more than
// most shapes painted with it.
QPainter& plainPainter(QPainter& painter, QImage& image);

class LayerPainter {
public:
    // Paints `paint` into a clear layer over `bounds` with the Source mode and lays the layer over `p`. The
    // shapes of one call must not overlap one another.
    template <class Paint>
    void through(QPainter& p, QSizeF canvas, QRectF bounds, Paint&& paint) {
        if (!begin(p, canvas, bounds)) return;
        onLayer_.setCompositionMode(QPainter::CompositionMode_Source);
        paint(onLayer_);
        blit(p);
    }

    // Fills `path` with the linear gradient from `c0` at `start` to `c1` at `end` (padded beyond them).
    void fillLinear(QPainter& p, QSizeF canvas, const QPainterPath& path, QPointF start, const QColor& c0,
                    QPointF end, const QColor& c1);

    // A soft shape: `mask` paints black at any opacity (Source Over) into a layer at half the resolution (a
    // quarter of the pixels to blur), whose opacity is blurred by `sigma` points (a Gaussian's standard
    // deviation, at least 0.5) and laid over `p` in `tint`. `bounds` holds what the mask paints; the blur's
    // spread is added here.
    template <class Paint>
    void soft(QPainter& p, QSizeF canvas, QRectF bounds, double sigma, const QColor& tint, Paint&& mask) {
        if (!beginSoft(p, canvas, bounds, sigma)) return;
        mask(onMask_);
        endSoft(p, tint);
    }

    // Soft copies of one small shape, at full resolution: `shape` paints black (Source Over) around the origin
    // within `shapeBounds`; its blur by `sigma` points is kept while `key` (whatever the shape's look depends
    // on) stays the same, and laid in `tint` centred on each point of `at`, the copies' opacities added up. The
    // copies' sharp shapes must not overlap one another.
    template <class Paint>
    void softCopies(QPainter& p, QSizeF canvas, QRectF shapeBounds, double sigma, const QColor& tint, double key,
                    std::span<const QPointF> at, Paint&& shape) {
        if (beginSprite(p, shapeBounds, sigma, key)) {
            shape(onMask_);
            blurOpacity(sprite_.width(), sprite_.height(), sigma * dpr_, spriteBlur_);
        }
        laySprite(p, canvas, tint, at);
    }

private:
    // Finds the device pixels of `bounds` on the canvas; false when there are none.
    bool place(QPainter& p, QSizeF canvas, QRectF bounds);
    // Clears the full-resolution layer over the placed pixels and readies `onLayer_` to paint there.
    bool begin(QPainter& p, QSizeF canvas, QRectF bounds);
    // Grows `image` to hold `size` and clears that much when asked, and readies `painter` on it, plain.
    static QPainter& ready(QPainter& painter, QImage& image, QSize size, bool clear);
    bool beginSoft(QPainter& p, QSizeF canvas, QRectF bounds, double sigma);
    void endSoft(QPainter& p, const QColor& tint);
    // Clears the sprite's mask and readies `onMask_` on it when the sprite must be made again.
    bool beginSprite(QPainter& p, QRectF shapeBounds, double sigma, double key);
    void laySprite(QPainter& p, QSizeF canvas, const QColor& tint, std::span<const QPointF> at);
    // Blurs the opacity of `mask_`'s top-left w×h pixels by `sigma` pixels into `out`, w×h.
    void blurOpacity(int w, int h, double sigma, std::vector<float>& out);
    // `tinted_` for each opacity step of `tint`, and the pixel of an opacity of 0...255.
    void fillTints(const QColor& tint);
    uint32_t tinted(float opacity) const { return tinted_[size_t(std::clamp(int(opacity + 0.5f), 0, 255))]; }
    void blit(QPainter& p);

    QImage layer_;   // full resolution; only its top-left `used_` pixels are current
    QImage mask_;    // a soft shape's mask
    QPainter onLayer_, onMask_;  // after the images, so they close before the images go
    QRect device_;   // what the layer covers, in the target's device pixels
    QSize used_;
    double dpr_ = 1;
    double softSigma_ = 0;  // the soft shape's blur, in half-resolution pixels
    std::vector<float> rows_, blurred_, kernel_;  // blur passes, a row's sum
    std::array<uint32_t, 256> tinted_{};  // a tint at each opacity, or a gradient at each step

    // The kept sprite: where its pixels lie around the origin, in device pixels, and what made it.
    QRect sprite_;
    std::vector<float> spriteBlur_;
    // Where a copy's first pixel lands in the layer, and the fraction of a pixel past it.
    struct Copy {
        int x, y;
        float fx, fy;
    };
    std::vector<Copy> copies_;
    double spriteKey_ = 0, spriteSigma_ = 0, spriteDpr_ = 0;
    QRectF spriteShape_;
};

}  // namespace plindo::ui
