#include "ui/main/status_bar.h"

#include "ui/kit/colors.h"
#include "ui/kit/elided_label.h"
#include "ui/kit/text_styles.h"
#include "ui/main/host_main_screen.h"

#include <QDateTime>
#include <QHBoxLayout>
#include <QLabel>
#include <QMouseEvent>
#include <QPainter>
#include <QPainterPath>
#include <QPushButton>
#include <QShortcut>
#include <QVBoxLayout>

#include <cmath>

namespace plindo::ui {

namespace {

constexpr int kDot = 18;
constexpr double kBadgeStep = 0.25;  // seconds per blink phase
constexpr int kBadgePad = 4;
constexpr double kBadgeRadius = 4;

class BlinkDot : public QWidget {
public:
    explicit BlinkDot(host::HostUi& state) : state_(state) { setFixedSize(kDot, kDot); }

protected:
    void paintEvent(QPaintEvent*) override {
        QPainter p(this);
        p.setRenderHint(QPainter::Antialiasing);
        p.setPen(Qt::NoPen);
        p.setBrush(blinkDotColor(state_.blinkColor()));
        p.drawEllipse(QRectF(rect()));
        p.setBrush(Qt::NoBrush);
        p.setPen(QPen(colors::withOpacity(colors::secondary(), 0.4), 1));
        p.drawEllipse(QRectF(rect()).adjusted(0.5, 0.5, -0.5, -0.5));
    }

private:
    host::HostUi& state_;
};

double systemDate() { return double(QDateTime::currentMSecsSinceEpoch()) / 1000.0; }

}  // namespace

QColor blinkDotColor(int colour) {
    if (colour < 0) return colors::withOpacity(colors::secondary(), 0.25);
    switch (colour) {
        case 0: return colors::red();
        case 1: return colors::yellow();
        case 2: return colors::green();
        default: return colors::blue();
    }
}

BadgeLook badgeLook(double dateSec, double mediaNow, double blinkUntil) {
    BadgeLook l;
    l.blinking = blinkUntil > mediaNow;
    l.phase = std::isfinite(dateSec) ? int64_t(std::floor(dateSec / kBadgeStep)) : 0;
    const bool even = l.phase % 2 == 0;
    if (l.blinking) {
        l.text = even ? colors::pink() : colors::yellow();
        l.fill = colors::withOpacity(colors::pink(), even ? 0.3 : 0.1);
        l.padH = kBadgePad;
    } else {
        l.text = colors::withOpacity(colors::secondary(), 0.6);
        l.fill = Qt::transparent;
    }
    return l;
}

BuildBadge::BuildBadge(host::HostUi& state, FrameClock& clock, std::function<double()> dateNow, QWidget* parent)
    : QWidget(parent), state_(state), dateNow_(dateNow ? std::move(dateNow) : systemDate) {
    setObjectName("buildBadge");
    setFont(monoFont(TextStyle::caption2));
    setSizePolicy(QSizePolicy::Fixed, QSizePolicy::Fixed);
    look_ = badgeLook(dateNow_(), state_.mediaNow(), state_.secretBlinkUntil());
    // Every quarter second, whatever the state, so a blink starts and stops within one step. Its steps are no
    // motion: the clock's poll catches them.
    sub_ = clock.subscribeFollow([this] {
        tick();
        return false;
    });
}

void BuildBadge::tick() {
    const double date = dateNow_();
    if (date < nextTick_ && date >= nextTick_ - 2 * kBadgeStep) return;
    nextTick_ = (std::floor(date / kBadgeStep) + 1) * kBadgeStep;
    const BadgeLook l = badgeLook(date, state_.mediaNow(), state_.secretBlinkUntil());
    if (l == look_) return;
    const bool resized = l.padH != look_.padH;
    look_ = l;
    if (resized) updateGeometry();
    update();
}

QSize BuildBadge::sizeHint() const {
    const QFontMetrics m(font());
    return {m.horizontalAdvance(kBuild) + 2 * kBadgePad, m.height()};
}

void BuildBadge::paintEvent(QPaintEvent*) {
    QPainter p(this);
    p.setRenderHint(QPainter::Antialiasing);
    const QFontMetrics m(font());
    const int textW = m.horizontalAdvance(kBuild);
    // The unpadded text sits where the padded one would end, so the badge keeps its trailing edge.
    const QRectF box(width() - textW - 2 * look_.padH, 0, textW + 2 * look_.padH, height());
    if (look_.fill.alpha() > 0) {
        QPainterPath shape;
        shape.addRoundedRect(box, kBadgeRadius, kBadgeRadius);
        p.fillPath(shape, look_.fill);
    }
    p.setPen(look_.text);
    p.drawText(box, Qt::AlignCenter, kBuild);
}

void BuildBadge::mousePressEvent(QMouseEvent* event) {
    pressed_ = event->button() == Qt::LeftButton;
    event->accept();
}

void BuildBadge::mouseReleaseEvent(QMouseEvent* event) {
    if (std::exchange(pressed_, false) && rect().contains(event->position().toPoint())) state_.blinkPanelTapped();
}

StatusBar::StatusBar(HostMainScreen& screen, FrameClock& clock, std::function<double()> dateNow, QWidget* parent)
    : QWidget(parent), screen_(screen), state_(screen.state()) {
    setObjectName("statusBar");
    auto* rows = new QVBoxLayout(this);
    rows->setContentsMargins(0, 0, 0, 0);
    rows->setSpacing(0);

    auto* blink = new QHBoxLayout;
    blink->setContentsMargins(14, 4, 14, 4);
    blink->setSpacing(8);
    dot_ = new BlinkDot(state_);
    blink->addWidget(dot_);
    auto* caption = new QLabel(kBlinkCaption);
    caption->setFont(ui::font(TextStyle::caption2));
    QPalette tertiary = caption->palette();
    tertiary.setColor(QPalette::WindowText, colors::tertiary());
    caption->setPalette(tertiary);
    blink->addWidget(caption);
    blink->addStretch(1);
    rows->addLayout(blink);

    auto* bar = new QHBoxLayout;
    bar->setContentsMargins(14, 0, 14, 2);
    bar->setSpacing(12);
    decks_ = new QPushButton("Decks\u2026");
    decks_->setObjectName("decksButton");
    decks_->setAutoDefault(false);
    decks_->setFocusPolicy(Qt::NoFocus);
    decks_->setSizePolicy(QSizePolicy::Fixed, QSizePolicy::Fixed);
    connect(decks_, &QPushButton::clicked, this, [this] { screen_.setShowDecks(true); });
    bar->addWidget(decks_);
    cut_ = new QPushButton;
    cut_->setObjectName("cutButton");
    cut_->setAutoDefault(false);
    cut_->setFocusPolicy(Qt::NoFocus);
    cut_->setSizePolicy(QSizePolicy::Fixed, QSizePolicy::Fixed);
    QFont cutFont = ui::font(TextStyle::caption);
    cutFont.setBold(true);
    cut_->setFont(cutFont);
    connect(cut_, &QPushButton::clicked, this, &StatusBar::toggleCut);
    bar->addWidget(cut_);
    // The whole window's key; a focused text field keeps the letter for itself.
    cutKey_ = new QShortcut(QKeySequence(Qt::Key_M), this);
    cutKey_->setContext(Qt::WindowShortcut);
    connect(cutKey_, &QShortcut::activated, this, &StatusBar::toggleCut);
    // The status line takes the room between the buttons and the badge: one line, shortened in its middle so
    // both the subject and the outcome stay readable; the whole text is its tooltip.
    status_ = new ElidedLabel;
    status_->setObjectName("statusLine");
    status_->setFont(ui::font(TextStyle::caption));
    status_->setColor(colors::secondary());
    status_->setElideMode(Qt::ElideMiddle);
    bar->addWidget(status_, 1);
    badge_ = new BuildBadge(state_, clock, std::move(dateNow));
    bar->addWidget(badge_);
    rows->addLayout(bar);

    connect(&state_, &host::HostUi::blinkColorChanged, dot_, qOverload<>(&QWidget::update));
    connect(&state_, &host::HostUi::groupMutedChanged, this, &StatusBar::refreshCut);
    connect(&state_, &host::HostUi::statusLineChanged, this, &StatusBar::refreshStatusLine);
    refreshCut();
    refreshStatusLine();
}

void StatusBar::refreshStatusLine() {
    // The controller has escaped every line break in it: the text is one line as it stands.
    const QString line = QString::fromStdString(state_.statusLine());
    status_->setText(line);
    status_->setToolTip(line);
}

QColor StatusBar::dotColor() const { return blinkDotColor(state_.blinkColor()); }

void StatusBar::toggleCut() { state_.setGroupMuted(!state_.groupMuted()); }

void StatusBar::refreshCut() {
    const bool on = state_.groupMuted();
    cut_->setText(on ? "CUT \u25cf" : "Cut");
    QPalette pal = cut_->palette();
    pal.setColor(QPalette::ButtonText, on ? colors::red() : colors::secondary());
    cut_->setPalette(pal);
}

}  // namespace plindo::ui
