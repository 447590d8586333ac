#include "ui/main/deck_rack.h"

#include "host/host_ui.h"
#include "ui/kit/color_dot.h"
#include "ui/kit/colors.h"
#include "ui/kit/elided_label.h"
#include "ui/kit/label_style.h"
#include "ui/kit/text_styles.h"
#include "ui/main/platter_spindle.h"
#include "ui/main/rack_look.h"

#include <QFrame>
#include <QHBoxLayout>
#include <QLabel>
#include <QPainter>
#include <QVBoxLayout>

namespace plindo::ui {

namespace {

// The middle panel's plate: the quaternary fill in a rounded rectangle.
class Plate : public QWidget {
protected:
    void paintEvent(QPaintEvent*) override {
        QPainter p(this);
        p.setRenderHint(QPainter::Antialiasing);
        p.setPen(Qt::NoPen);
        p.setBrush(colors::quaternary());
        p.drawRoundedRect(QRectF(rect()), 14, 14);
    }
};

}  // namespace

RackCard::RackCard(host::HostUi& host, int deck, QWidget* parent) : QWidget(parent), host_(host), deck_(deck) {
    auto* stack = new QVBoxLayout(this);
    stack->setContentsMargins(16, 16, 16, 16);
    stack->setSpacing(14);
    stack->addStretch(1);
    stack->addWidget(styledLabel(withWeight(ui::font(TextStyle::title3), QFont::Bold), colors::secondary(),
                               QString::fromStdString(rackDeckTitle(deck))),
                     0, Qt::AlignHCenter);
    spindle_ = new PlatterSpindle(kSpindleSize, [this] { return host_.remoteLastAngle(deck_); });
    stack->addWidget(spindle_, 0, Qt::AlignHCenter);
    pitch_ = styledLabel(monoFont(TextStyle::title2), colors::secondary());
    stack->addWidget(pitch_, 0, Qt::AlignHCenter);
    stack->addStretch(1);
    connect(&host_, &host::HostUi::decksChanged, this, &RackCard::refresh);
    refresh();
}

void RackCard::refresh() {
    const host::DeckInfo& d = host_.deck(deck_);
    spindle_->setFresh(d.remoteFresh);
    pitch_->setText(QString::fromStdString(pitchText(d.rate)));
    setTextColor(pitch_, d.remoteFresh ? colors::primary() : colors::secondary());
}

void RackCard::paintEvent(QPaintEvent*) {
    QPainter p(this);
    p.setRenderHint(QPainter::Antialiasing);
    const QColor deck = colors::deck(deck_ == 2 ? 2 : 1);
    const QRectF r = QRectF(rect());
    p.setPen(Qt::NoPen);
    p.setBrush(colors::withOpacity(deck, 0.22));
    p.drawRoundedRect(r, 12, 12);
    QPen border(colors::withOpacity(deck, 0.55), 1.5);
    border.setMiterLimit(10);
    p.setPen(border);
    p.setBrush(Qt::NoBrush);
    p.drawRoundedRect(r.adjusted(0.75, 0.75, -0.75, -0.75), 11.25, 11.25);
}

RackRow::RackRow(host::HostUi& host, int deck, QWidget* parent) : QWidget(parent), host_(host), deck_(deck) {
    auto* lines = new QVBoxLayout(this);
    lines->setContentsMargins(0, 0, 0, 0);
    lines->setSpacing(6);

    auto* titleLine = new QHBoxLayout;
    titleLine->setSpacing(8);
    titleLine->addWidget(styledLabel(withWeight(ui::font(TextStyle::headline), QFont::Bold), colors::secondary(),
                                   QString::fromStdString(rackDeckTitle(deck))));
    dot_ = new ColorDot(10);
    titleLine->addWidget(dot_);
    remote_ = styledLabel(ui::font(TextStyle::callout), colors::secondary());
    titleLine->addWidget(remote_);
    standalone_ = styledLabel(ui::font(TextStyle::caption), colors::tertiary(), QStringLiteral("[standalone]"));
    titleLine->addWidget(standalone_);
    titleLine->addStretch(1);
    lines->addLayout(titleLine);

    name_ = new ElidedLabel;
    name_->setFont(withWeight(ui::font(TextStyle::title3), QFont::Medium));
    lines->addWidget(name_);

    time_ = styledLabel(monoFont(TextStyle::title3), colors::secondary());
    lines->addWidget(time_);

    auto* timing = new QHBoxLayout;
    timing->setSpacing(12);
    channel_ = styledLabel(monoFont(TextStyle::callout), colors::secondary());
    max_ = styledLabel(monoFont(TextStyle::callout), colors::secondary());
    via_ = styledLabel(withWeight(monoFont(TextStyle::callout), QFont::Bold), colors::orange());
    timing->addWidget(channel_);
    timing->addWidget(max_);
    timing->addWidget(via_);
    timing->addStretch(1);
    lines->addLayout(timing);

    connect(&host_, &host::HostUi::decksChanged, this, &RackRow::refresh);
    refresh();
}

void RackRow::refresh() {
    const RackRowLook l = rackRowLook(host_.deck(deck_));
    dot_->setColor(l.dot);
    remote_->setText(QString::fromStdString(l.remote));
    standalone_->setVisible(l.standalone);
    name_->setText(QString::fromStdString(l.name));
    time_->setText(QString::fromStdString(l.timeLine));
    channel_->setText(QString::fromStdString(l.channel));
    max_->setVisible(l.feedShown);
    max_->setText(QString::fromStdString(l.maxText));
    setTextColor(max_, l.maxColor);
    via_->setVisible(l.feedShown);
    via_->setText(QString::fromStdString(l.via));
    setTextColor(via_, l.viaColor);
}

DeckRack::DeckRack(host::HostUi& host, QWidget* parent) : QWidget(parent) {
    auto* row = new QHBoxLayout(this);
    row->setContentsMargins(24, 24, 24, 24);
    row->setSpacing(28);

    middle_ = new Plate;
    middle_->setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Preferred);
    auto* panel = new QVBoxLayout(middle_);
    panel->setContentsMargins(20, 20, 20, 20);
    panel->setSpacing(16);
    panel->addStretch(1);
    for (int deck = 1; deck <= 2; ++deck) {
        rows_[deck - 1] = new RackRow(host, deck);
        panel->addWidget(rows_[deck - 1]);
        if (deck == 1) {
            auto* line = new QFrame;
            line->setFrameShape(QFrame::HLine);
            line->setFrameShadow(QFrame::Plain);
            QPalette pal = line->palette();
            pal.setColor(QPalette::WindowText, colors::withOpacity(Qt::white, 0.15));
            line->setPalette(pal);
            divider_ = line;
            panel->addWidget(line);
        }
    }
    panel->addStretch(1);

    cards_[0] = new RackCard(host, 1);
    cards_[1] = new RackCard(host, 2);
    row->addWidget(cards_[0]);
    row->addWidget(middle_, 1);
    row->addWidget(cards_[1]);
}

}  // namespace plindo::ui
