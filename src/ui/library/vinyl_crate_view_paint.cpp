// Painting of the crate, back to front: backdrop, train, back lip, the focused card cut at the lip line, the
// front lip's lower half, and the text panel on a blurred copy of what lies under it.
#include "ui/kit/blur.h"
#include "ui/kit/colors.h"
#include "ui/kit/text_styles.h"
#include "ui/library/crate_card_art.h"
#include "ui/library/crate_texts.h"
#include "ui/library/vinyl_crate_view.h"

#include <QFontMetricsF>
#include <QLinearGradient>
#include <QPaintEvent>
#include <QPainter>
#include <QPainterPath>
#include <QTextLayout>

#include <cmath>
#include <cstring>
#include <cstdint>
#include <cstdio>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace plindo::ui {

namespace {

constexpr double kPanelPadX = 14, kPanelPadY = 10, kPanelGap = 4, kPanelMargin = 10, kPanelCorner = 12;
constexpr double kPanelBlur = 12;  // how soft the pixels under the panel get

// The device pixels of a rectangle of logical pixels.
QRect devicePixels(const QRect& logical, double dpr) {
    return {QPoint(int(std::floor(logical.left() * dpr)), int(std::floor(logical.top() * dpr))),
            QPoint(int(std::ceil((logical.right() + 1) * dpr)) - 1, int(std::ceil((logical.bottom() + 1) * dpr)) - 1)};
}

// The device pixels of a region of logical pixels, each pixel once.
QRegion devicePixels(const QRegion& logical, double dpr) {
    if (dpr == 1) return logical;
    QRegion out;
    for (const QRect& r : logical) out += devicePixels(r, dpr);
    return out;
}

QColor grey(double level) {
    const int v = static_cast<int>(std::lround(level * 255));
    return {v, v, v};
}

QFont titleFont() {
    QFont f = font(TextStyle::title2);
    f.setWeight(QFont::DemiBold);
    return f;
}

}  // namespace

struct CratePanelText {
    QStringList title;  // at most two lines, the second cut with an ellipsis
    QString artist;     // one line, cut
    double height = 0;
};

struct VinylCrateView::PaintCache {
    // The panel's texts, laid out for these inputs.
    std::string title, artist;
    double width = -1;
    CratePanelText text;
    // The panel's ground (the blurred scene under it, tinted, cut to its shape) in device pixels, and the key
    // of what it was made from.
    std::string underKey;
    QImage ground;
    // The scene (backdrop, train, lips, focused card) in device pixels: painted into an image of our own, so
    // the covers are scaled and darkened on its pixels, then blitted.
    QImage train;
    std::string trainKey;  // what it shows: the scene key of the whole view
    QRegion trainValid;    // where it shows it
    uint64_t faceRenders = 0;
};

namespace {

using PanelText = CratePanelText;

PanelText panelText(const std::string& title, const std::string& artist, double width) {
    PanelText t;
    const QFont tf = titleFont(), af = font(TextStyle::title3);
    const QFontMetricsF tfm(tf), afm(af);
    const QString full = QString::fromStdString(title);
    QTextLayout layout(full, tf);
    QTextOption opt;
    opt.setWrapMode(QTextOption::WrapAtWordBoundaryOrAnywhere);
    layout.setTextOption(opt);
    layout.beginLayout();
    QList<QTextLine> lines;
    for (QTextLine l = layout.createLine(); l.isValid(); l = layout.createLine()) {
        l.setLineWidth(width);
        lines.push_back(l);
    }
    layout.endLayout();
    if (lines.size() <= 2) {
        for (const QTextLine& l : lines) t.title << full.mid(l.textStart(), l.textLength()).trimmed();
    } else {
        t.title << full.mid(lines[0].textStart(), lines[0].textLength()).trimmed();
        t.title << tfm.elidedText(full.mid(lines[1].textStart()).trimmed(), Qt::ElideRight, width);
    }
    if (t.title.isEmpty()) t.title << QString();
    t.height = 2 * kPanelPadY + t.title.size() * tfm.height();
    if (!artist.empty()) {
        t.artist = afm.elidedText(QString::fromStdString(artist), Qt::ElideRight, width);
        t.height += kPanelGap + afm.height();
    }
    return t;
}

}  // namespace

const CratePanelText& VinylCrateView::panelTexts() const {
    if (!paintCache_) paintCache_ = std::make_shared<PaintCache>();
    PaintCache& c = *paintCache_;
    std::string title = panelTitle(model_.meta(), model_.focusedItem()), artist = panelArtist(model_.meta());
    const double width = std::max(0.0, layout_.panelW - 2 * kPanelPadX);
    if (c.width != width || c.title != title || c.artist != artist) {
        c.text = panelText(title, artist, width);
        c.title = std::move(title);
        c.artist = std::move(artist);
        c.width = width;
    }
    return c.text;
}

QRectF VinylCrateView::panelRect() const {
    const double w = layout_.panelW;
    const double h = panelTexts().height;
    return {layout_.width - kPanelMargin - w, (layout_.height - h) / 2, w, h};
}

void VinylCrateView::dropStaleArt() {
    const auto [lo, hi] = model_.trainRange();
    const int focused = model_.focusedIdx().value_or(-1);
    for (auto it = faces_.begin(); it != faces_.end();)
        it = it->first == focused || (it->first >= lo && it->first < hi) ? std::next(it) : faces_.erase(it);
}

const VinylCrateView::Face& VinylCrateView::face(int index) {
    const CrateItem& item = model_.items()[index];
    const auto picture = covers_.picture(index);
    // The key names everything the face is painted from, so a changed cover or label repaints it.
    const std::string key = item.track.path + '\n' + item.track.name + '\n' + item.label() + '\n' +
                            std::to_string(layout_.cardW);
    Face& f = faces_[index];
    if (f.key != key || f.picture != picture || f.image.isNull()) {
        f.key = key;
        f.picture = picture;
        f.opaque = picture && !picture->isNull() && !picture->hasAlphaChannel();
        f.image = cardFace(picture.get(), item.track.name, item.label(), layout_.cardW, devicePixelRatioF());
        f.dimmed = QImage();
        if (!paintCache_) paintCache_ = std::make_shared<PaintCache>();
        ++paintCache_->faceRenders;  // a new picture may take the address of one gone
    }
    return f;
}

const QImage& VinylCrateView::dimmedFace(int index, QSize size, double b) {
    Face& f = faces_[index];
    if (f.dimmed.size() != size || f.dimmedBy != b || f.dimmed.isNull()) {
        f.dimmed = brightened(f.image, size, b);
        f.dimmedBy = b;
    }
    return f.dimmed;
}

const QImage& VinylCrateView::staticLayer(int which) {
    const QSize px = size() * devicePixelRatioF();
    if (staticsSize_ != px) {
        staticsSize_ = px;
        for (auto& s : statics_) s = QImage();
    }
    QImage& img = statics_[which];
    if (!img.isNull()) return img;
    const qreal dpr = devicePixelRatioF();
    const CrateLayout& l = layout_;
    if (which == 0) {
        img = QImage(px, QImage::Format_RGB32);  // opaque: drawn as a plain copy
        img.setDevicePixelRatio(dpr);
        QPainter p(&img);
        QLinearGradient g(0, 0, 0, l.height);
        g.setColorAt(0, grey(0.02));
        g.setColorAt(0.55, grey(0.10));
        g.setColorAt(1, grey(0.45));
        p.fillRect(QRectF(0, 0, l.width, l.height), g);
        return img;
    }
    // A lip image covers the lip's rectangle grown by its shadow's reach.
    const double pad = 12;
    const QRectF lip(pad, pad, l.lipW, l.lipH);
    const QSize lipPx = (QSizeF(l.lipW + 2 * pad, l.lipH + 2 * pad) * dpr).toSize().expandedTo(QSize(1, 1));
    img = QImage(lipPx, QImage::Format_ARGB32_Premultiplied);
    img.fill(Qt::transparent);
    const QPainterPath slit = slitPath(lip, l.topInset);
    if (which == 1) {
        QImage shadow(lipPx, QImage::Format_ARGB32_Premultiplied);
        shadow.fill(Qt::transparent);
        {
            QPainter sp(&shadow);
            sp.setRenderHint(QPainter::Antialiasing);
            sp.scale(dpr, dpr);
            sp.fillPath(slit.translated(0, 2), QColor(0, 0, 0, 128));
        }
        img = blurred(shadow, 3 * dpr);
    }
    img.setDevicePixelRatio(dpr);
    QPainter p(&img);
    p.setRenderHint(QPainter::Antialiasing);
    QLinearGradient g(lip.topLeft(), lip.bottomLeft());
    if (which == 1) {
        g.setColorAt(0, grey(0.55));
        g.setColorAt(0.10, grey(0.18));
        g.setColorAt(0.45, grey(0.01));
        g.setColorAt(1, grey(0.01));
    } else {
        g.setColorAt(0, grey(0.01));
        g.setColorAt(0.55, grey(0.01));
        g.setColorAt(0.74, grey(0.10));
        g.setColorAt(0.94, grey(0.38));
        g.setColorAt(1, grey(0.60));
        p.setClipRect(QRectF(lip.left() - pad, lip.bottom() - l.lipH / 2, lip.width() + 2 * pad, l.lipH / 2));
    }
    p.fillPath(slit, g);
    return img;
}

void VinylCrateView::paintEvent(QPaintEvent* e) {
    QPainter p(this);
    paintScene(p, e->region());
    paintPanel(p, e->region());
}

void VinylCrateView::paintScene(QPainter& p, const QRegion& dirty) {
    p.setRenderHints(QPainter::Antialiasing | QPainter::SmoothPixmapTransform | QPainter::TextAntialiasing);
    const qreal dpr = devicePixelRatioF();
    const QImage& backdrop = staticLayer(0);
    const QRect box = dirty.boundingRect() & rect();
    const QRect px = devicePixels(box, dpr) & backdrop.rect();
    if (!px.isEmpty()) {
        if (!paintCache_) paintCache_ = std::make_shared<PaintCache>();
        QImage& train = paintCache_->train;
        if (train.size() != backdrop.size() || train.devicePixelRatio() != dpr) {
            train = QImage(backdrop.size(), QImage::Format_RGB32);
            train.setDevicePixelRatio(dpr);
            paintCache_->trainKey.clear();
        }
        // A still crate is painted once: later paints of what it already holds only blit it.
        std::string key = sceneKey(QRectF(rect()));
        PaintCache& cache = *paintCache_;
        const bool same = key == cache.trainKey;
        if (same && (QRegion(box) - cache.trainValid).isEmpty()) {
            p.drawImage(QPointF(px.topLeft()) / dpr, train, QRectF(px));
            return;
        }
        cache.trainValid = same ? cache.trainValid + QRegion(box) : QRegion(box);
        cache.trainKey = std::move(key);
        const size_t rowBytes = size_t(px.width()) * sizeof(QRgb);
        for (int y = px.top(); y <= px.bottom(); ++y)
            std::memcpy(reinterpret_cast<QRgb*>(train.scanLine(y)) + px.left(),
                        reinterpret_cast<const QRgb*>(backdrop.constScanLine(y)) + px.left(), rowBytes);
        const CrateLayout& l = layout_;
        const QPointF lipAt(l.width / 2 - l.lipW / 2 - 12, l.lipLine - l.lipH / 2 - 12);
        {
            QPainter tp(&train);
            tp.setRenderHints(p.renderHints());
            tp.setClipRegion(dirty);
            paintTrain(train, dirty);
            tp.drawImage(lipAt, staticLayer(1));
            paintFocusedCard(tp, train, dirty);
            tp.drawImage(lipAt, staticLayer(2));
        }
        p.drawImage(QPointF(px.topLeft()) / dpr, train, QRectF(px));
    }
}

namespace {

// Inside `r` where a card drawn there surely covers what lies under it: all but its rounded corners and a
// margin along its edges, where the scaled face may be partly see-through.
QRegion coveredBy(const QRectF& r, double scale) {
    const double corner = kCardCorner * scale + 1, edge = 2;
    const auto inside = [](const QRectF& f) {
        if (f.isEmpty()) return QRegion();
        return QRegion(QRect(QPoint(int(std::ceil(f.left())), int(std::ceil(f.top()))),
                             QPoint(int(std::floor(f.right())) - 1, int(std::floor(f.bottom())) - 1)));
    };
    return inside(r.adjusted(edge, corner, -edge, -corner)) + inside(r.adjusted(corner, edge, -corner, -edge));
}

// Adds b (below 0) to every channel of the opaque pixels of `img` inside the rounded rectangle `r` (logical,
// its corners as a path filled without antialiasing takes them) and the region `area`: one pass over them.
void darkenPixels(QImage& img, const QRectF& r, double scale, const QRegion& area, double b) {
    const int k = static_cast<int>(std::lround(std::clamp(-b, 0.0, 1.0) * 255));
    if (k == 0) return;
    const double dpr = img.devicePixelRatio();
    const QRectF d(r.topLeft() * dpr, r.size() * dpr);
    const double radius = kCardCorner * scale * dpr;
    for (const QRect& logical : area) {
        const QRect box = devicePixels(logical, dpr) & img.rect();
        for (int y = box.top(); y <= box.bottom(); ++y) {
            const double yc = y + 0.5;
            if (yc < d.top() || yc >= d.bottom()) continue;
            double inset = 0;
            const double fromTop = d.top() + radius - yc, fromBottom = yc - (d.bottom() - radius);
            const double dy = std::max(fromTop, fromBottom);
            if (dy > 0) inset = radius - std::sqrt(std::max(0.0, radius * radius - dy * dy));
            const int x0 = std::max(box.left(), int(std::ceil(d.left() + inset - 0.5)));
            const int x1 = std::min(box.right(), int(std::ceil(d.right() - inset - 0.5)) - 1);
            auto* line = reinterpret_cast<QRgb*>(img.scanLine(y));
            int x = x0;
#if defined(__SSE2__)
            const __m128i by = _mm_set1_epi32(k | k << 8 | k << 16);  // the colour channels, not alpha
            for (; x + 4 <= x1 + 1; x += 4) {
                auto* at = reinterpret_cast<__m128i*>(line + x);
                _mm_storeu_si128(at, _mm_subs_epu8(_mm_loadu_si128(at), by));
            }
#endif
            for (; x <= x1; ++x) {
                const QRgb c = line[x];
                line[x] = qRgba(std::max(0, qRed(c) - k), std::max(0, qGreen(c) - k), std::max(0, qBlue(c) - k),
                                qAlpha(c));
            }
        }
    }
}

}  // namespace

void VinylCrateView::ensureShadows() {
    if (shadowSide_ == layout_.cardW && !shadowCar_.isNull()) return;
    shadowSide_ = layout_.cardW;
    shadowCar_ = cardShadow(layout_.cardW, 8, 0.5, devicePixelRatioF());
    shadowCard_ = cardShadow(layout_.cardW, 10, 0.6, devicePixelRatioF());
}

void VinylCrateView::paintTrain(QImage& layer, const QRegion& dirty) {
    const auto [lo, hi] = model_.trainRange();
    if (lo >= hi) return;
    ensureShadows();
    const CrateLayout& l = layout_;
    const double dpr = layer.devicePixelRatio();
    const double frac = l.focusFraction(model_.focusOffset());
    std::vector<CarGeometry> cars;
    for (int i = lo; i < hi; ++i) cars.push_back(carGeometry((hi - i) + frac, l.cardW, l.lipLine, l.width / 2));

    // Covers are opaque: what a nearer car or the focused card covers is never painted, so a frame costs
    // about the strips of the cars that show, not fourteen whole covers.
    QRegion covered;
    if (const CrateItem* f = model_.focusedItem(); f && face(*model_.focusedIdx()).opaque) {
        const double centre = l.slotCentre(*model_.focusedIdx(), scroll_);
        const CardTransform t = cardTransform(centre - l.focusLine, l.cardW);
        covered = coveredBy(transformed(cardRect(l, centre), t), t.scale) &
                  QRegion(QRect(0, 0, int(l.width), int(std::max(l.lipLine, 0.0))));
    }
    std::vector<QRegion> hidden(cars.size());
    for (int k = int(cars.size()) - 1; k >= 0; --k) {
        hidden[size_t(k)] = covered;
        if (face(lo + k).opaque) covered += coveredBy(cars[size_t(k)].rect, cars[size_t(k)].scale);
    }

    for (int k = 0; k < int(cars.size()); ++k) {
        const int i = lo + k;
        const CarGeometry& g = cars[size_t(k)];
        if (g.rect.width() < 0.5) continue;
        const Face& f = face(i);
        const double pad = shadowPad(8) * g.scale;
        const QRectF shadowRect = g.rect.adjusted(-pad, -pad + 4, pad, pad + 4);
        QRegion shadowArea = (QRegion(shadowRect.toAlignedRect()) & dirty) - hidden[size_t(k)];
        if (f.opaque) shadowArea -= coveredBy(g.rect, g.scale);
        const QRectF shadowPx(shadowRect.topLeft() * dpr, shadowRect.size() * dpr);
        for (const QRect& r : shadowArea)
            blendScaled(layer, shadowPx, shadowCar_, devicePixels(r, dpr), false);  // a blur has no detail to keep
        const QRegion area = (QRegion(g.rect.toAlignedRect()) & dirty) - hidden[size_t(k)];
        if (area.isEmpty()) continue;
        const QRegion areaPx = devicePixels(area, dpr);
        const QRectF facePx(g.rect.topLeft() * dpr, g.rect.size() * dpr);
        if (f.opaque) {
            for (const QRect& r : areaPx) blendScaled(layer, facePx, f.image, r, true);
            darkenPixels(layer, g.rect, g.scale, area, g.brightness);
        } else {
            // A see-through face (the placeholder) is darkened in its own pixels.
            const QSize size = (g.rect.size() * devicePixelRatioF()).toSize().expandedTo(QSize(1, 1));
            const QImage& dimmed = dimmedFace(i, size, g.brightness);
            for (const QRect& r : areaPx) blendScaled(layer, facePx, dimmed, r, true);
        }
        // The thin white edge, stroked inside the car.
        for (const QRect& r : areaPx)
            paintRoundedBand(layer, facePx, kCardCorner * dpr, dpr, colors::withOpacity(Qt::white, 0.12), r);
    }
}

void VinylCrateView::paintFocusedCard(QPainter& p, QImage& layer, const QRegion& dirty) {
    playsRect_ = {};
    const CrateItem* item = model_.focusedItem();
    if (!item) return;
    const int index = *model_.focusedIdx();
    const CrateLayout& l = layout_;
    const double centre = l.slotCentre(index, scroll_);
    const CardTransform t = cardTransform(centre - l.focusLine, l.cardW);
    const QRectF r = transformed(cardRect(l, centre), t);
    if (r.top() >= l.lipLine || r.width() < 0.5) return;
    ensureShadows();
    p.save();
    p.setClipRect(QRectF(0, 0, l.width, std::max(l.lipLine, 0.0)), Qt::IntersectClip);
    // The shadow and the face are scaled into the layer's pixels here, as the train's are, inside the same
    // clip: the lip line (rounded as the raster engine rounds a clip rectangle) and the dirty region.
    const double dpr = layer.devicePixelRatio();
    const QRect abovePx(0, 0, qRound(l.width * dpr), qRound(std::max(l.lipLine, 0.0) * dpr));
    QRegion clipPx;
    for (const QRect& d : dirty) clipPx += devicePixels(d, dpr) & abovePx;
    const auto px = [dpr](const QRectF& logical) { return QRectF(logical.topLeft() * dpr, logical.size() * dpr); };
    const double pad = shadowPad(10) * t.scale;
    const QRectF shadowPx = px(r.adjusted(-pad, -pad + 6, pad, pad + 6));
    const bool loaded = isLoaded(*item), played = isPlayed(*item);
    const double blink = focusRingOpacity(blinkNow_());
    const Face& f = face(index);
    // What an opaque face covers needs no shadow under it.
    const QRegion shadowArea = f.opaque ? clipPx - devicePixels(coveredBy(r, t.scale), dpr) : clipPx;
    for (const QRect& c : shadowArea) blendScaled(layer, shadowPx, shadowCard_, c, false);  // a blur has no detail to keep
    const auto paintCard = [&](QPainter& cp, bool withFace) {
        // In the card's own square of cardW, whatever scale it is drawn at.
        const QRectF whole(0, 0, l.cardW, l.cardW);
        if (withFace) cp.drawImage(whole, f.image);
        paintCardBorder(cp, whole, loaded, true, played, blink);
        return model_.meta() ? paintSticker(cp, whole, *model_.meta()) : QRectF();
    };
    if (t.brightness == 0 || f.opaque) {
        const CardBorder b = cardBorder(loaded, true, played, blink);
        const double corner = kCardCorner * t.scale * dpr;
        for (const QRect& c : clipPx) {
            blendScaled(layer, px(r), f.image, c, true);
            if (b.tint.isValid()) paintRoundedBand(layer, px(r), corner, 0, b.tint, c);
            paintRoundedBand(layer, px(r), corner, b.width * t.scale * dpr, b.colour, c);
        }
        if (model_.meta()) {
            p.save();
            p.translate(r.topLeft());
            p.scale(t.scale, t.scale);
            const QRectF plays = paintSticker(p, QRectF(0, 0, l.cardW, l.cardW), *model_.meta());
            p.restore();
            if (!plays.isEmpty())
                playsRect_ = QRectF(r.topLeft() + plays.topLeft() * t.scale, plays.size() * t.scale);
        }
        darkenPixels(layer, r, t.scale, dirty & QRectF(0, 0, l.width, std::max(l.lipLine, 0.0)).toRect(),
                     t.brightness);
    } else {
        // Off the line a see-through card darkens in its own pixels, ring and sticker included.
        QImage card(f.image.size(), QImage::Format_ARGB32_Premultiplied);
        card.setDevicePixelRatio(f.image.devicePixelRatio());
        card.fill(Qt::transparent);
        {
            QPainter cp(&card);
            cp.setRenderHints(QPainter::Antialiasing | QPainter::TextAntialiasing | QPainter::SmoothPixmapTransform);
            paintCard(cp, true);
        }
        p.drawImage(r, brightened(card, (r.size() * devicePixelRatioF()).toSize().expandedTo(QSize(1, 1)),
                                  t.brightness));
    }
    p.restore();
}

namespace {

void addNumbers(std::string& key, std::initializer_list<double> numbers) {
    char buf[32];
    for (double v : numbers) {
        const int n = std::snprintf(buf, sizeof buf, "%.4f ", v);
        key.append(buf, size_t(std::max(0, n)));
    }
}

void addRect(std::string& key, const QRectF& r) { addNumbers(key, {r.x(), r.y(), r.width(), r.height()}); }

}  // namespace

std::string VinylCrateView::sceneKey(const QRectF& area) {
    const CrateLayout& l = layout_;
    std::string key;
    addNumbers(key, {l.width, l.height, devicePixelRatioF()});
    addRect(key, area);
    // The backdrop and the lips follow the size alone; the covers add what reaches into the area.
    const auto [lo, hi] = model_.trainRange();
    const double frac = l.focusFraction(model_.focusOffset());
    for (int i = lo; i < hi; ++i) {
        const CarGeometry g = carGeometry((hi - i) + frac, l.cardW, l.lipLine, l.width / 2);
        const double pad = shadowPad(8) * g.scale;
        if (g.rect.width() < 0.5 || !g.rect.adjusted(-pad, -pad + 4, pad, pad + 4).intersects(area)) continue;
        const Face& f = face(i);
        key += "car " + std::to_string(i) + ' ' + f.key + ' ' +
               std::to_string(reinterpret_cast<uintptr_t>(f.picture.get())) + ' ';
        addRect(key, g.rect);
        addNumbers(key, {g.scale, g.brightness});
    }
    if (const CrateItem* item = model_.focusedItem()) {
        const int index = *model_.focusedIdx();
        const double centre = l.slotCentre(index, scroll_);
        const CardTransform t = cardTransform(centre - l.focusLine, l.cardW);
        const QRectF r = transformed(cardRect(l, centre), t);
        const double pad = shadowPad(10) * t.scale;
        if (r.adjusted(-pad, -pad + 6, pad, pad + 6).intersects(area)) {
            const Face& f = face(index);
            key += "card " + std::to_string(index) + ' ' + f.key + ' ' +
                   std::to_string(reinterpret_cast<uintptr_t>(f.picture.get())) + ' ';
            addRect(key, r);
            addNumbers(key, {t.scale, t.brightness, focusRingOpacity(blinkNow_()), double(isLoaded(*item)),
                             double(isPlayed(*item))});
            if (model_.meta()) {
                const StickerRows rows = stickerRows(*model_.meta());
                key += rows.camelot + '\n' + rows.key + '\n' + rows.tempo + '\n' + rows.plays;
            }
        }
    }
    if (paintCache_) key += " faces " + std::to_string(paintCache_->faceRenders);
    return key;
}

void VinylCrateView::paintPanel(QPainter& p, const QRegion& dirty) {
    if (!model_.focusedItem()) return;  // the panel is transparent without a focus
    const PanelText& t = panelTexts();
    const QRectF r = panelRect();
    if (!dirty.intersects(r.toAlignedRect())) return;
    const qreal dpr = devicePixelRatioF();
    const QRect src = QRectF(r.topLeft() * dpr, r.size() * dpr).toAlignedRect();
    if (src.isEmpty()) return;
    PaintCache& cache = *paintCache_;
    // The ground is made again only when what lies under the panel changed, and is then blitted as it is.
    if (std::string key = sceneKey(r); key != cache.underKey || cache.ground.isNull()) {
        // The scene under the panel, blurred at a quarter of its size: the same softness for a sixteenth of the
        // work. This paint just made it in the scene image when it covered the panel; else it is painted again.
        QImage scene;
        const QImage& made = cache.train;
        if ((QRegion(r.toAlignedRect()) - dirty).isEmpty() && made.rect().contains(src)) {
            scene = made.copy(src);
        } else {
            scene = QImage(src.size(), QImage::Format_RGB32);
            scene.setDevicePixelRatio(dpr);
            QPainter sp(&scene);
            sp.translate(-QPointF(src.topLeft()) / dpr);
            paintScene(sp, QRegion(r.toAlignedRect()));
        }
        const QImage small = scene.scaled(std::max(1, src.width() / 4), std::max(1, src.height() / 4),
                                          Qt::IgnoreAspectRatio, Qt::SmoothTransformation);
        const QImage under = blurred(small, kPanelBlur * dpr / 4);
        QImage ground(src.size(), QImage::Format_ARGB32_Premultiplied);
        ground.setDevicePixelRatio(dpr);
        ground.fill(Qt::transparent);
        {
            QPainter gp(&ground);
            gp.setRenderHints(QPainter::Antialiasing | QPainter::SmoothPixmapTransform);
            gp.translate(-QPointF(src.topLeft()) / dpr);
            QPainterPath shape;
            shape.addRoundedRect(r, kPanelCorner, kPanelCorner);
            gp.setClipPath(shape);
            gp.drawImage(QRectF(QPointF(src.topLeft()) / dpr, QSizeF(src.size()) / dpr), under);
            gp.fillPath(shape, QColor(40, 40, 44, 110));  // the thin material's tint
        }
        cache.ground = std::move(ground);
        cache.underKey = std::move(key);
    }
    p.drawImage(QPointF(src.topLeft()) / dpr, cache.ground);
    p.save();
    const QFontMetricsF tfm(titleFont()), afm(ui::font(TextStyle::title3));
    double y = r.top() + kPanelPadY;
    p.setFont(titleFont());
    p.setPen(Qt::white);
    for (const QString& line : t.title) {
        p.drawText(QRectF(r.left() + kPanelPadX, y, r.width() - 2 * kPanelPadX, tfm.height()),
                   Qt::AlignLeft | Qt::AlignVCenter, line);
        y += tfm.height();
    }
    if (!t.artist.isEmpty()) {
        y += kPanelGap;
        p.setFont(ui::font(TextStyle::title3));
        p.setPen(QColor(255, 255, 255, 140));
        p.drawText(QRectF(r.left() + kPanelPadX, y, r.width() - 2 * kPanelPadX, afm.height()),
                   Qt::AlignLeft | Qt::AlignVCenter, t.artist);
    }
    p.restore();
}

}  // namespace plindo::ui
