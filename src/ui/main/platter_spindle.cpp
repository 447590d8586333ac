#include "ui/main/platter_spindle.h"

#include "ui/kit/colors.h"

#include <QPainter>

#include <bit>
#include <cstdint>
#include <numbers>

namespace plindo::ui {

void paintSpindle(QPainter& p, double size, bool fresh, double angle) {
    const double c = size / 2;
    const QColor secondary = colors::secondary();
    p.save();
    p.setRenderHint(QPainter::Antialiasing);

    // The ring's stroke stays inside the square so nothing is clipped at the widget's edge.
    const double ringWidth = 0.06 * size;
    QPen ring(colors::withOpacity(secondary, 0.35), ringWidth, Qt::SolidLine, Qt::FlatCap, Qt::MiterJoin);
    ring.setMiterLimit(10);
    p.setPen(ring);
    p.setBrush(Qt::NoBrush);
    const double r = c - ringWidth / 2;
    p.drawEllipse(QPointF(c, c), r, r);

    p.setPen(Qt::NoPen);
    const double markW = 0.05 * size, markH = 0.15 * size;
    p.fillRect(QRectF(c - markW / 2, c - 0.4 * size - markH / 2, markW, markH), colors::withOpacity(secondary, 0.5));

    // y points down, so rotating by the negated angle turns a positive angle anticlockwise on screen.
    p.save();
    p.translate(c, c);
    p.rotate(-angle * 180.0 / std::numbers::pi);
    const double needleW = 0.1 * size, needleH = 0.4 * size;
    p.setBrush(fresh ? colors::accent() : secondary);
    p.drawRoundedRect(QRectF(-needleW / 2, -needleH, needleW, needleH), needleW / 2, needleW / 2);
    p.restore();

    const double hub = 0.03 * size;
    p.setBrush(colors::withOpacity(secondary, 0.6));
    p.drawEllipse(QPointF(c, c), hub, hub);
    p.restore();
}

PlatterSpindle::PlatterSpindle(int size, std::function<double()> angle, QWidget* parent)
    : QWidget(parent), size_(size), angle_(std::move(angle)) {
    setFixedSize(size, size);
}

void PlatterSpindle::setFresh(bool fresh) {
    if (fresh == fresh_) return;
    fresh_ = fresh;
    update();
}

void PlatterSpindle::paintEvent(QPaintEvent*) {
    QPainter p(this);
    paintSpindle(p, size_, fresh_, shownAngle_);
}

bool PlatterSpindle::follow() {
    const double a = angle_ ? angle_() : 0.0;
    // A still platter costs no repaint; a NaN never equals itself, so compare the bits.
    if (std::bit_cast<uint64_t>(a) == std::bit_cast<uint64_t>(shownAngle_)) return false;
    shownAngle_ = a;
    update();
    return true;
}

void PlatterSpindle::showEvent(QShowEvent* event) {
    shownAngle_ = angle_ ? angle_() : 0.0;
    frames_ = FrameClock::shared().subscribeFollow([this] { return follow(); });
    QWidget::showEvent(event);
}

void PlatterSpindle::hideEvent(QHideEvent* event) {
    frames_.reset();
    QWidget::hideEvent(event);
}

}  // namespace plindo::ui
