#include "ui/main/pane_status_row.h"

#include "ui/kit/colors.h"
#include "ui/kit/system_image.h"
#include "ui/kit/text_styles.h"

#include <QButtonGroup>
#include <QHBoxLayout>
#include <QLabel>
#include <QPainter>
#include <QToolButton>

namespace plindo::ui {

namespace {

constexpr int kDot = 10;

struct Source {
    const char* value;
    const char* label;
};
constexpr Source kSources[] = {{"kiste", "Crate"}, {"liste", "List"}, {"dynamo", "Dynamo"}};

class Dot : public QWidget {
public:
    explicit Dot(QColor c) : colour_(c) { setFixedSize(kDot, kDot); }

protected:
    void paintEvent(QPaintEvent*) override {
        QPainter p(this);
        p.setRenderHint(QPainter::Antialiasing);
        p.setPen(Qt::NoPen);
        p.setBrush(colour_);
        p.drawEllipse(rect());
    }

private:
    QColor colour_;
};

}  // namespace

PaneStatusRow::PaneStatusRow(host::HostUi& state, int pane, QWidget* parent)
    : QWidget(parent), state_(state), pane_(pane) {
    setObjectName("paneStatusRow");
    auto* row = new QHBoxLayout(this);
    row->setContentsMargins(8, 6, 8, 6);
    row->setSpacing(8);
    row->addWidget(new Dot(colors::deck(pane + 1)));
    auto* name = new QLabel("Deck " + QString::number(pane + 1));
    name->setFont(ui::font(TextStyle::headline));
    row->addWidget(name);
    keyboard_ = new QLabel;
    keyboard_->setObjectName("keyboardMark");
    keyboard_->setPixmap(systemPixmap("keyboard", pixelSize(TextStyle::caption2) + 2, colors::secondary(), devicePixelRatioF()));
    row->addWidget(keyboard_);
    row->addStretch(1);

    switch_ = new QWidget;
    switch_->setObjectName("sourceSwitch");
    switch_->setFixedWidth(kSwitchWidth);
    auto* segments = new QHBoxLayout(switch_);
    segments->setContentsMargins(0, 0, 0, 0);
    segments->setSpacing(0);
    group_ = new QButtonGroup(this);
    group_->setExclusive(true);
    for (const Source& s : kSources) {
        auto* b = new QToolButton;
        b->setObjectName(s.value);
        b->setText(s.label);
        b->setCheckable(true);
        b->setFocusPolicy(Qt::NoFocus);
        b->setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Fixed);
        segments->addWidget(b);
        group_->addButton(b);
        const std::string value = s.value;
        connect(b, &QToolButton::clicked, this, [this, value] {
            state_.writePaneView(pane_, value);
            state_.setActivePane(pane_);
        });
    }
    // The chosen segment stands out as in a segmented control.
    switch_->setStyleSheet("QToolButton { border: 1px solid rgba(255,255,255,40); padding: 2px 6px; }"
                           "QToolButton:checked { background: rgba(255,255,255,60); font-weight: 600; }");
    row->addWidget(switch_);

    connect(&state_, &host::HostUi::panesChanged, this, &PaneStatusRow::refresh);
    connect(&state_, &host::HostUi::activePaneChanged, this, &PaneStatusRow::refresh);
    connect(&state_, &host::HostUi::dynamoUnlockedChanged, this, &PaneStatusRow::refresh);
    refresh();
}

QToolButton* PaneStatusRow::sourceButton(const std::string& value) const {
    return switch_->findChild<QToolButton*>(QString::fromStdString(value));
}

void PaneStatusRow::refresh() {
    keyboard_->setVisible(state_.activePane() == pane_);
    sourceButton("dynamo")->setVisible(state_.dynamoUnlocked());
    const std::string& view = state_.panes()[size_t(pane_)].view;
    // A value no segment has leaves every segment off.
    group_->setExclusive(false);
    for (const Source& s : kSources) sourceButton(s.value)->setChecked(view == s.value);
    group_->setExclusive(true);
}

void PaneStatusRow::paintEvent(QPaintEvent*) {
    QPainter p(this);
    p.fillRect(rect(), colors::withOpacity(colors::deck(pane_ + 1), 0.18));
}

}  // namespace plindo::ui
