#include "ui/kit/image_tile.h"

#include "ui/kit/system_image.h"

#include <QPainter>
#include <QPainterPath>

namespace plindo::ui {

ImageTile::ImageTile(int side, double cornerRadius, QWidget* parent) : QWidget(parent), radius_(cornerRadius) {
    setFixedSize(side, side);
}

void ImageTile::setImage(const QImage& image) {
    if (image == image_) return;
    image_ = image;
    update();
}

void ImageTile::setFallback(const QColor& fill, const std::string& symbol, const QColor& symbolColor) {
    fill_ = fill;
    symbol_ = symbol;
    symbolColor_ = symbolColor;
    update();
}

void ImageTile::paintEvent(QPaintEvent*) {
    QPainter p(this);
    p.setRenderHint(QPainter::Antialiasing);
    p.setRenderHint(QPainter::SmoothPixmapTransform);
    const QRectF r = rect();
    QPainterPath clip;
    clip.addRoundedRect(r, radius_, radius_);
    p.setClipPath(clip);
    if (!image_.isNull()) {
        const QSizeF filled = QSizeF(image_.size()).scaled(r.size(), Qt::KeepAspectRatioByExpanding);
        p.drawImage(QRectF(r.center().x() - filled.width() / 2, r.center().y() - filled.height() / 2, filled.width(),
                           filled.height()),
                    image_);
        return;
    }
    p.fillRect(r, fill_);
    if (!symbol_.empty()) paintSystemImage(p, symbol_, r.adjusted(4, 4, -4, -4), symbolColor_);
}

}  // namespace plindo::ui
