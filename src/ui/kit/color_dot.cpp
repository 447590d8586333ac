#include "ui/kit/color_dot.h"

#include <QPainter>

namespace plindo::ui {

ColorDot::ColorDot(int diameter, QWidget* parent) : QWidget(parent) { setFixedSize(diameter, diameter); }

void ColorDot::setColor(const QColor& color) {
    if (color == color_) return;
    color_ = color;
    update();
}

void ColorDot::paintEvent(QPaintEvent*) {
    QPainter p(this);
    p.setRenderHint(QPainter::Antialiasing);
    p.setPen(Qt::NoPen);
    p.setBrush(color_);
    p.drawEllipse(QRectF(rect()));
}

}  // namespace plindo::ui
