#include "ui/main/side_switch.h"

#include "ui/kit/colors.h"
#include "ui/kit/system_image.h"
#include "ui/kit/text_styles.h"

#include <QPainter>

namespace plindo::ui {

namespace {
constexpr int kSymbolPx = 14;  // the label's font size
constexpr int kSpacing = 3;
}  // namespace

SideSwitch::SideSwitch(host::HostUi& state, QWidget* parent) : QAbstractButton(parent), state_(state) {
    setFixedHeight(kHeight);
    setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Fixed);
    setCursor(Qt::PointingHandCursor);
    setFont(systemFont(kSymbolPx, QFont::Bold));
    connect(this, &QAbstractButton::clicked, this, [this] { state_.setLibSync(!state_.libSync()); });
    connect(&state_, &host::HostUi::libSyncChanged, this, &SideSwitch::refresh);
    refresh();
}

QSize SideSwitch::sizeHint() const { return {2 * kSymbolPx + kSpacing, kHeight}; }

void SideSwitch::refresh() {
    setToolTip(state_.libSync() ? "Beide Bibliotheken folgen derselben Kiste" : "Jede Seite fuer sich");
    setAccessibleName(state_.libSync() ? "link checkmark" : "link nosign");
    update();
}

void SideSwitch::paintEvent(QPaintEvent*) {
    QPainter p(this);
    const bool on = state_.libSync();
    const QColor c = on ? colors::green() : colors::withOpacity(colors::secondary(), 0.6);
    const double w = 2 * kSymbolPx + kSpacing;
    const double x = (width() - w) / 2.0, y = (height() - kSymbolPx) / 2.0;
    paintSystemImage(p, "link", QRectF(x, y, kSymbolPx, kSymbolPx), c);
    paintSystemImage(p, on ? "checkmark" : "nosign", QRectF(x + kSymbolPx + kSpacing, y, kSymbolPx, kSymbolPx), c);
}

}  // namespace plindo::ui
