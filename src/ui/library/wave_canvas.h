#pragma once
// One track's whole waveform for the crate browser's floor: a thin vertical line per pixel of width,
// coloured by the track's spectral balance, with loops as outlined boxes and cues as lines with a triangle
// on top, laid out in a flip's play order when one is given; everything carries a soft white glow.
#include "library/deck_meta.h"
#include "library/peak_envelope.h"
#include "ui/library/wave_lru_cache.h"

#include <QImage>
#include <QSize>

#include <memory>
#include <string>

namespace plindo::ui {

// The canvas as a transparent image of `size` logical pixels at `dpr`; blank when the spans have no length
// or the envelope fewer than two columns.
QImage renderWaveCanvas(const library::PeakEnvelope& env, const library::DeckMeta* meta,
                        const library::DeckMeta::Flip* flip, QSize size, qreal dpr);

// The crate browser's floor: the canvas under two wider white glows, faded in and out towards its edges.
QImage renderFloorImage(const library::PeakEnvelope& env, const library::DeckMeta* meta,
                        const library::DeckMeta::Flip* flip, QSize size, qreal dpr);

// `image` under a blurred copy of itself tinted white at `opacity`: a shadow of `radiusPx` device pixels
// without offset, as a glow.
QImage withWhiteGlow(const QImage& image, double opacity, double radiusPx);

// Images drawn from one track's envelope and metadata, by (path, flip, size, device pixel ratio). An entry
// drawn from other data than asked for (metadata that arrived since, a rebuilt envelope) is no hit.
// Main thread only.
class WaveCanvasCache {
public:
    using Env = std::shared_ptr<const library::PeakEnvelope>;
    using Meta = std::shared_ptr<const library::DeckMeta>;

    explicit WaveCanvasCache(size_t count = kDefaultCount) : images_(count) {}
    static constexpr size_t kDefaultCount = 8;

    // The cached image, or a null image.
    QImage find(const std::string& path, const Env& env, const Meta& meta, int flipSel, QSize size, qreal dpr);
    void put(const std::string& path, const Env& env, const Meta& meta, int flipSel, QSize size, qreal dpr,
             QImage image);

private:
    struct Entry {
        std::weak_ptr<const library::PeakEnvelope> env;
        std::weak_ptr<const library::DeckMeta> meta;
        bool hadMeta = false;
        QImage image;
    };
    static std::string key(const std::string& path, int flipSel, QSize size, qreal dpr);
    WaveLruCache<Entry> images_;
};

}  // namespace plindo::ui
