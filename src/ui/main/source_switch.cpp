#include "ui/main/source_switch.h"

#include "host/host_ui.h"
#include "ui/kit/colors.h"
#include "ui/kit/text_styles.h"

#include <QHBoxLayout>
#include <QPainter>

namespace plindo::ui {

namespace {

// One choice: heavy text on a rounded tile, filled with the deck colour and outlined white when selected.
class ChoiceButton : public QAbstractButton {
public:
    ChoiceButton(const QString& text, int deck) : deck_(deck) {
        setText(text);
        setCheckable(true);
        setAutoExclusive(false);
        setFocusPolicy(Qt::NoFocus);
        setFont(systemFont(13, QFont::Black));
        setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Expanding);
    }
    // The shown state follows the controller, never the click.
    void nextCheckState() override {}

protected:
    void paintEvent(QPaintEvent*) override {
        QPainter p(this);
        p.setRenderHint(QPainter::Antialiasing);
        const bool on = isChecked();
        const QRectF r = QRectF(rect());
        p.setPen(Qt::NoPen);
        p.setBrush(on ? colors::deck(deck_) : colors::withOpacity(colors::primary(), 0.08));
        p.drawRoundedRect(r, 5, 5);
        if (on) {
            QPen border(colors::withOpacity(Qt::white, 0.7), 1.5);
            border.setMiterLimit(10);
            p.setPen(border);
            p.setBrush(Qt::NoBrush);
            p.drawRoundedRect(r.adjusted(0.75, 0.75, -0.75, -0.75), 4.25, 4.25);
        }
        p.setPen(on ? QColor(Qt::white) : colors::secondary());
        p.drawText(r, Qt::AlignCenter, text());
    }

private:
    const int deck_;
};

}  // namespace

SourceSwitch::SourceSwitch(host::HostUi& host, int deck, QWidget* parent) : QWidget(parent), host_(host), deck_(deck) {
    setFixedHeight(kHeight);
    auto* row = new QHBoxLayout(this);
    row->setContentsMargins(0, 0, 0, 0);
    row->setSpacing(3);
    const QString labels[2] = {QStringLiteral("Plindo"), QStringLiteral("Other")};
    for (int i = 0; i < 2; ++i) {
        buttons_[i] = new ChoiceButton(labels[i], deck);
        row->addWidget(buttons_[i]);
        connect(buttons_[i], &QAbstractButton::clicked, this, [this, i] { choose(i == 1); });
    }
    connect(&host_, &host::HostUi::decksChanged, this, &SourceSwitch::refresh);
    refresh();
}

bool SourceSwitch::selected(bool other) const { return button(other)->isChecked(); }

void SourceSwitch::refresh() {
    const bool bridged = host_.isSeratoDeck(deck_);
    for (int i = 0; i < 2; ++i) buttons_[i]->setChecked((i == 1) == bridged);
}

void SourceSwitch::choose(bool other) {
    if (deck_ != 1 && deck_ != 2) return;
    // Marks the deck as put on the bridge by hand, so the DJ application quitting does not take it off.
    host_.config().d().setValue("deck.mode.manual.slot" + std::to_string(deck_), true);
    host_.setSeratoDeck(deck_, other);
}

}  // namespace plindo::ui
