#include "ui/main/focus_frame.h"

#include "ui/kit/colors.h"

#include <QEvent>
#include <QPainter>
#include <QPainterPath>

namespace plindo::ui {

namespace {
constexpr double kLineWidth = 2;
constexpr double kRadius = 6;
constexpr double kInset = 1;
}  // namespace

FocusFrame::FocusFrame(QWidget* parent) : QWidget(parent) {
    setAttribute(Qt::WA_TransparentForMouseEvents);
    setAttribute(Qt::WA_NoSystemBackground);
    parent->installEventFilter(this);
    setGeometry(parent->rect());
    raise();
}

void FocusFrame::setLit(bool lit) {
    if (lit == lit_) return;
    lit_ = lit;
    update();
}

bool FocusFrame::eventFilter(QObject* watched, QEvent* event) {
    if (watched == parentWidget() && event->type() == QEvent::Resize) setGeometry(parentWidget()->rect());
    if (watched == parentWidget() && event->type() == QEvent::ChildAdded) raise();
    return false;
}

void FocusFrame::paintEvent(QPaintEvent*) {
    if (!lit_) return;
    QPainter p(this);
    p.setRenderHint(QPainter::Antialiasing);
    QPen pen(colors::accent(), kLineWidth, Qt::SolidLine, Qt::FlatCap, Qt::MiterJoin);
    pen.setMiterLimit(10);
    p.setPen(pen);
    const double half = kLineWidth / 2;
    p.drawRoundedRect(QRectF(rect()).adjusted(kInset + half, kInset + half, -kInset - half, -kInset - half), kRadius,
                      kRadius);
}

}  // namespace plindo::ui
