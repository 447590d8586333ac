// Painting of the crate, back to front: backdrop, train, back lip, the focused card cut at the lip line, the
// front lip's lower half, and the text panel on a blurred copy of what lies under it.
#include "ui/kit/blur.h"
#include "ui/kit/text_styles.h"
#include "ui/library/crate_card_art.h"
#include "ui/library/crate_texts.h"
#include "ui/library/vinyl_crate_view.h"

#include <QFontMetricsF>
#include <QLinearGradient>
#include <QPaintEvent>
#include <QPainter>
#include <QTextLayout>

#include <cmath>

namespace plindo::ui {

namespace {

constexpr double kPanelPadX = 14, kPanelPadY = 10, kPanelGap = 4, kPanelMargin = 10, kPanelCorner = 12;
constexpr double kPanelBlur = 12;  // how soft the pixels under the panel get

QColor grey(double level) {
    const int v = static_cast<int>(std::lround(level * 255));
    return {v, v, v};
}

QFont titleFont() {
    QFont f = font(TextStyle::title2);
    f.setWeight(QFont::DemiBold);
    return f;
}

struct PanelText {
    QStringList title;  // at most two lines, the second cut with an ellipsis
    QString artist;     // one line, cut
    double height = 0;
};

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

QRectF VinylCrateView::panelRect() const {
    const double w = layout_.panelW;
    const PanelText t = panelText(panelTitle(model_.meta(), model_.focusedItem()), panelArtist(model_.meta()),
                                  std::max(0.0, w - 2 * kPanelPadX));
    return {layout_.width - kPanelMargin - w, (layout_.height - t.height) / 2, w, t.height};
}

void VinylCrateView::dropStaleArt() {
    for (auto it = faces_.begin(); it != faces_.end();)
        it = covers_.picture(it->first) || it->first == model_.focusedIdx().value_or(-1) ||
                     (it->first >= model_.trainRange().first && it->first < model_.trainRange().second)
                 ? std::next(it)
                 : faces_.erase(it);
}

const QImage& VinylCrateView::face(int index) {
    const CrateItem& item = model_.items()[index];
    const auto picture = covers_.picture(index);
    // The key names everything the face is painted from, so a changed cover or label repaints it.
    const std::string key = item.track.path + '\n' + item.track.name + '\n' + item.label() + '\n' +
                            std::to_string(reinterpret_cast<uintptr_t>(picture.get())) + '\n' +
                            std::to_string(layout_.cardW);
    Face& f = faces_[index];
    if (f.key != key || f.image.isNull()) {
        f.key = key;
        f.image = cardFace(picture.get(), item.track.name, item.label(), layout_.cardW, devicePixelRatioF());
    }
    return f.image;
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
        img = QImage(px, QImage::Format_ARGB32_Premultiplied);
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
    const qreal dpr = devicePixelRatioF();
    const QSize px = size() * dpr;
    QRegion dirty = e->region();
    if (frame_.size() != px) {
        frame_ = QImage(px, QImage::Format_ARGB32_Premultiplied);
        frame_.setDevicePixelRatio(dpr);
        dirty = rect();
    }
    // The panel shows what lies under it, so any change under it repaints all of it.
    const QRect panel = model_.focusedItem() ? panelRect().toAlignedRect() : QRect();
    if (!panel.isEmpty() && dirty.intersects(panel)) dirty += panel;
    {
        QPainter fp(&frame_);
        fp.setClipRegion(dirty);
        paintScene(fp, dirty);
    }
    QPainter p(this);
    for (const QRect& r : dirty) p.drawImage(QRectF(r), frame_, QRectF(QRectF(r).topLeft() * dpr, QSizeF(r.size()) * dpr));
}

void VinylCrateView::paintScene(QPainter& p, const QRegion& dirty) {
    p.setRenderHints(QPainter::Antialiasing | QPainter::SmoothPixmapTransform | QPainter::TextAntialiasing);
    p.drawImage(QPointF(0, 0), staticLayer(0));
    paintTrain(p, dirty);
    const CrateLayout& l = layout_;
    const QPointF lipAt(l.width / 2 - l.lipW / 2 - 12, l.lipLine - l.lipH / 2 - 12);
    p.drawImage(lipAt, staticLayer(1));
    paintFocusedCard(p);
    p.drawImage(lipAt, staticLayer(2));
    paintPanel(p);
}

void VinylCrateView::paintTrain(QPainter& p, const QRegion& dirty) {
    const auto [lo, hi] = model_.trainRange();
    if (lo >= hi) return;
    const qreal dpr = devicePixelRatioF();
    const CrateLayout& l = layout_;
    if (shadowSide_ != l.cardW || shadowCar_.isNull()) {
        shadowSide_ = l.cardW;
        shadowCar_ = cardShadow(l.cardW, 8, 0.5, dpr);
        shadowCard_ = cardShadow(l.cardW, 10, 0.6, dpr);
    }
    const double frac = l.focusFraction(model_.focusOffset());
    for (int i = lo; i < hi; ++i) {
        const CarGeometry g = carGeometry((hi - i) + frac, l.cardW, l.lipLine, l.width / 2);
        const double pad = shadowPad(8) * g.scale;
        const QRectF shadowRect = g.rect.adjusted(-pad, -pad + 4, pad, pad + 4);
        if (g.rect.width() < 0.5 || !dirty.intersects(shadowRect.toAlignedRect())) continue;
        p.drawImage(shadowRect, shadowCar_);
        const QImage& f = face(i);
        const QSize size = (g.rect.size() * dpr).toSize().expandedTo(QSize(1, 1));
        const int add = static_cast<int>(std::lround(g.brightness * 255));
        Face& cache = faces_[i];
        if (cache.dim.size() != size || cache.dimAdd != add || cache.dimKey != cache.key) {
            cache.dim = brightened(f, size, g.brightness);
            cache.dimAdd = add;
            cache.dimKey = cache.key;
        }
        p.drawImage(g.rect, cache.dim);
        paintCarEdge(p, g.rect);
    }
}

void VinylCrateView::paintFocusedCard(QPainter& p) {
    playsRect_ = {};
    const CrateItem* item = model_.focusedItem();
    if (!item) return;
    const int index = *model_.focusedIdx();
    const CrateLayout& l = layout_;
    const double centre = l.slotCentre(index, scroll_);
    const CardTransform t = cardTransform(centre - l.focusLine, l.cardW);
    const QRectF r = transformed(cardRect(l, centre), t);
    if (r.top() >= l.lipLine || r.width() < 0.5) return;
    if (shadowSide_ != l.cardW || shadowCard_.isNull()) {
        shadowSide_ = l.cardW;
        shadowCar_ = cardShadow(l.cardW, 8, 0.5, devicePixelRatioF());
        shadowCard_ = cardShadow(l.cardW, 10, 0.6, devicePixelRatioF());
    }
    p.save();
    p.setClipRect(QRectF(0, 0, l.width, std::max(l.lipLine, 0.0)), Qt::IntersectClip);
    const double pad = shadowPad(10) * t.scale;
    p.drawImage(r.adjusted(-pad, -pad + 6, pad, pad + 6), shadowCard_);
    const bool loaded = isLoaded(*item), played = isPlayed(*item);
    const double blink = focusRingOpacity(blinkNow_());
    const QImage& f = face(index);
    const bool sticker = model_.meta().has_value();
    if (t.brightness == 0 && t.scale == 1) {
        p.drawImage(r, f);
        paintCardBorder(p, r, loaded, true, played, blink);
        if (sticker) playsRect_ = paintSticker(p, r, *model_.meta());
    } else {
        // Off the line the whole card darkens, ring and sticker included.
        QImage card = f.copy();
        {
            QPainter cp(&card);
            cp.setRenderHints(QPainter::Antialiasing | QPainter::TextAntialiasing);
            const QRectF whole(0, 0, l.cardW, l.cardW);
            paintCardBorder(cp, whole, loaded, true, played, blink);
            if (sticker) paintSticker(cp, whole, *model_.meta());
        }
        p.drawImage(r, brightened(card, (r.size() * devicePixelRatioF()).toSize().expandedTo(QSize(1, 1)),
                                  t.brightness));
    }
    p.restore();
}

void VinylCrateView::paintPanel(QPainter& p) {
    if (!model_.focusedItem()) return;  // the panel is transparent without a focus
    const double w = layout_.panelW;
    const PanelText t = panelText(panelTitle(model_.meta(), model_.focusedItem()), panelArtist(model_.meta()),
                                  std::max(0.0, w - 2 * kPanelPadX));
    const QRectF r(layout_.width - kPanelMargin - w, (layout_.height - t.height) / 2, w, t.height);
    const qreal dpr = devicePixelRatioF();
    const QRect src = QRectF(r.topLeft() * dpr, r.size() * dpr).toAlignedRect().intersected(frame_.rect());
    if (src.isEmpty()) return;
    QImage under = blurred(frame_.copy(src), kPanelBlur * dpr);
    under.setDevicePixelRatio(dpr);
    QPainterPath shape;
    shape.addRoundedRect(r, kPanelCorner, kPanelCorner);
    p.save();
    p.setClipPath(shape, Qt::IntersectClip);
    p.drawImage(QRectF(QPointF(src.topLeft()) / dpr, QSizeF(src.size()) / dpr), under);
    p.fillPath(shape, QColor(40, 40, 44, 110));  // the thin material's tint
    p.restore();
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
