#include "ui/main/deck_strip_view.h"

#include "host/host_ui.h"
#include "ui/kit/color_dot.h"
#include "ui/kit/colors.h"
#include "ui/kit/elided_label.h"
#include "ui/kit/image_tile.h"
#include "ui/kit/label_style.h"
#include "ui/kit/system_image.h"
#include "ui/kit/text_styles.h"
#include "ui/main/platter_spindle.h"

#include <QDragEnterEvent>
#include <QDropEvent>
#include <QHBoxLayout>
#include <QLabel>
#include <QMenu>
#include <QMimeData>
#include <QPainter>
#include <QToolButton>

#include <algorithm>
#include <iterator>

namespace plindo::ui {

namespace {

constexpr int kSpacing = 8;
constexpr int kCoverSide = 26;
constexpr int kDotSide = 6;
constexpr int kSpindleSize = 20;
constexpr int kJitterWidth = 70;
constexpr int kMaxWidth = 56;
constexpr int kSpacerWidth = 4;

// Keeps its width: the name and the position give way first.
QLabel* textLabel(const QFont& font, const QColor& color, QWidget* parent) {
    QLabel* l = styledLabel(font, color);
    l->setParent(parent);
    l->setSizePolicy(QSizePolicy::Fixed, QSizePolicy::Preferred);
    return l;
}

}  // namespace

DeckStripView::DeckStripView(host::HostUi& host, int deck, QWidget* parent)
    : QWidget(parent), host_(host), deck_(deck) {
    setAcceptDrops(true);
    setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Fixed);
    const QString deckName = QStringLiteral("Deck %1").arg(deck);

    cover_ = new ImageTile(kCoverSide, 4, this);
    cover_->setFallback(colors::withOpacity(colors::gray(), 0.3), "opticaldisc", colors::secondary());

    label_ = textLabel(withWeight(ui::font(TextStyle::caption2), QFont::Bold), colors::secondary(), this);
    label_->setText(deckName);

    group_ = new QToolButton(this);
    group_->setText(deckName);
    group_->setFont(withWeight(ui::font(TextStyle::caption), QFont::DemiBold));
    group_->setPopupMode(QToolButton::InstantPopup);
    // A small bordered button without the menu arrow, as the other strip controls.
    group_->setStyleSheet(QStringLiteral("QToolButton { color: white; background: rgba(255,255,255,24);"
                                         " border: 1px solid rgba(255,255,255,60); border-radius: 5px;"
                                         " padding: 1px 6px; }"
                                         " QToolButton::menu-indicator { image: none; width: 0px; }"));
    group_->setFocusPolicy(Qt::NoFocus);
    group_->setSizePolicy(QSizePolicy::Fixed, QSizePolicy::Fixed);
    auto* menu = new QMenu(group_);
    share_ = menu->addAction(QStringLiteral("Share local files with group"));
    share_->setCheckable(true);
    group_->setMenu(menu);
    // Only the user's toggle reaches the controller; the shown value follows on the next rebuild.
    connect(share_, &QAction::triggered, this, [this](bool on) { host_.setShareTracks(deck_, on); });

    remoteDot_ = new ColorDot(kDotSide, this);

    transport_ = new QToolButton(this);
    transport_->setFocusPolicy(Qt::NoFocus);
    transport_->setIconSize(QSize(18, 14));
    transport_->setSizePolicy(QSizePolicy::Fixed, QSizePolicy::Fixed);
    connect(transport_, &QToolButton::clicked, this, [this] { host_.transportButton(deck_); });

    name_ = new ElidedLabel(this);
    name_->setFont(withWeight(ui::font(TextStyle::caption), QFont::Medium));
    name_->setColor(colors::primary());

    // The position keeps its width while the name gives way; only then does it shorten.
    time_ = new ElidedLabel(this);
    time_->setFont(monoFont(TextStyle::caption2));
    time_->setColor(colors::secondary());
    time_->setSizePolicy(QSizePolicy::Preferred, QSizePolicy::Fixed);

    jitterDot_ = new ColorDot(kDotSide, this);
    jitter_ = textLabel(monoFont(TextStyle::caption2), colors::secondary(), this);
    jitter_->setFixedWidth(kJitterWidth);
    jitter_->setAlignment(Qt::AlignRight | Qt::AlignVCenter);

    max_ = textLabel(monoFont(TextStyle::caption2), colors::secondary(), this);
    max_->setFixedWidth(kMaxWidth);
    max_->setAlignment(Qt::AlignRight | Qt::AlignVCenter);
    via_ = textLabel(withWeight(ui::font(TextStyle::caption2), QFont::Bold), colors::orange(), this);
    wav_ = textLabel(withWeight(ui::font(TextStyle::caption2), QFont::Bold), colors::red(), this);
    wav_->setText(QStringLiteral("WAV"));

    spindle_ = new PlatterSpindle(kSpindleSize, [this] { return host_.remoteLastAngle(deck_); }, this);

    auto* row = new QHBoxLayout(this);
    row->setContentsMargins(8, 4, 8, 4);
    row->setSpacing(kSpacing);
    for (QWidget* w : std::initializer_list<QWidget*>{cover_, label_, group_, remoteDot_, transport_}) row->addWidget(w);
    row->addWidget(name_, 1);
    for (QWidget* w : std::initializer_list<QWidget*>{time_, jitterDot_, jitter_, max_, via_, wav_}) row->addWidget(w);
    row->addSpacing(kSpacerWidth);
    row->addWidget(spindle_);

    connect(&host_, &host::HostUi::decksChanged, this, &DeckStripView::refresh);
    connect(&host_, &host::HostUi::configChanged, this, &DeckStripView::refresh);
    refresh();
}

void DeckStripView::refresh() {
    ++refreshes_;
    const host::DeckInfo& d = host_.deck(deck_);
    look_ = deckStripLook(d);
    const bool shared = host_.config().shareTracks(deck_);

    cover_->setImage(d.cover);
    share_->setChecked(shared);
    group_->setToolTip(QString::fromStdString(deckGroupText(host_.slotSide(deck_), shared)));
    remoteDot_->setColor(look_.remoteDot);
    remoteDot_->setToolTip(QString::fromStdString(look_.remoteTip));
    // The symbol is drawn anew only when it changes, not with every change of the decks.
    if (look_.transportSymbol != shownSymbol_ || look_.transportTint != shownTint_) {
        shownSymbol_ = look_.transportSymbol;
        shownTint_ = look_.transportTint;
        transport_->setIcon(systemIcon(shownSymbol_, 12, shownTint_));
    }
    transport_->setEnabled(look_.transportEnabled);
    transport_->setToolTip(QString::fromStdString(look_.transportTip));
    name_->setText(QString::fromStdString(d.name));
    time_->setText(QString::fromStdString(look_.timeLine));
    jitterDot_->setColor(look_.jitterDot);
    jitter_->setText(QString::fromStdString(look_.jitterText));
    max_->setText(QString::fromStdString(look_.maxText));
    setTextColor(max_, look_.maxColor);
    via_->setText(QString::fromStdString(look_.via));
    setTextColor(via_, look_.viaColor);
    setTextColor(wav_, look_.wavColor);
    wav_->setToolTip(QString::fromStdString(look_.wavTip));
    spindle_->setFresh(d.remoteFresh);
    fitRow();
    update();
}

namespace {

// The width a row item cannot go below, as the row's layout counts it.
int leastWidth(const QWidget* w) {
    const bool shrinks = w->sizePolicy().horizontalPolicy() & QSizePolicy::ShrinkFlag;
    return std::max(w->minimumWidth(), shrinks ? std::max(0, w->minimumSizeHint().width()) : w->sizeHint().width());
}

}  // namespace

void DeckStripView::resizeEvent(QResizeEvent* event) {
    QWidget::resizeEvent(event);
    fitRow();
}

// In a narrow column the row's fixed parts alone are wider than the strip. Once the name and the position have
// given way, the least needed items leave from the right: the feed details, then the deck label (the group
// menu names the deck too), then the jitter text (its dot keeps the colour).
void DeckStripView::fitRow() {
    QWidget* const optional[] = {wav_, via_, max_, label_, jitter_};
    bool want[] = {look_.feedShown && look_.wavShown, look_.feedShown, look_.feedShown, true, true};
    // A strip no layout has sized yet shows what the look asks for.
    if (testAttribute(Qt::WA_Resized)) {
        const auto need = [&] {
            const QMargins m = layout()->contentsMargins();
            int width = m.left() + m.right() + kSpacerWidth, items = 1;
            for (int i = 0; i < layout()->count(); ++i) {
                QWidget* w = layout()->itemAt(i)->widget();
                if (!w) continue;
                const auto* k = std::find(std::begin(optional), std::end(optional), w);
                if (k != std::end(optional) && !want[k - std::begin(optional)]) continue;
                width += leastWidth(w);
                ++items;
            }
            return width + kSpacing * (items - 1);
        };
        for (size_t k = 0; k < std::size(want) && need() > width(); ++k) want[k] = false;
    }
    for (size_t k = 0; k < std::size(want); ++k) {
        if (optional[k]->isHidden() == want[k]) optional[k]->setVisible(want[k]);
    }
}

void DeckStripView::paintEvent(QPaintEvent*) {
    QPainter p(this);
    p.setRenderHint(QPainter::Antialiasing);
    const QRectF r = QRectF(rect());
    p.setPen(Qt::NoPen);
    p.setBrush(colors::withOpacity(colors::quaternary(), targeted_ ? 0.9 : 0.5));
    p.drawRoundedRect(r, 10, 10);
    if (targeted_) {
        p.setPen(QPen(colors::accent(), 2));
        p.setBrush(Qt::NoBrush);
        p.drawRoundedRect(r.adjusted(1, 1, -1, -1), 9, 9);
    }
}

void DeckStripView::setTargeted(bool on) {
    if (on == targeted_) return;
    targeted_ = on;
    update();
}

// Only plain text from a drag without URLs: a file manager's drag carries URLs, and those belong to the
// window's logo drop.
void DeckStripView::dragEnterEvent(QDragEnterEvent* event) {
    const QMimeData* m = event->mimeData();
    if (!m->hasText() || m->hasUrls()) {
        event->ignore();
        return;
    }
    event->acceptProposedAction();
    setTargeted(true);
}

void DeckStripView::dragLeaveEvent(QDragLeaveEvent*) { setTargeted(false); }

void DeckStripView::dropEvent(QDropEvent* event) {
    setTargeted(false);
    const QMimeData* m = event->mimeData();
    if (!m->hasText() || m->hasUrls()) {
        event->ignore();
        return;
    }
    event->acceptProposedAction();
    const QString text = m->text();
    if (!text.isEmpty()) host_.announceLocalLoad(deck_, text.toStdString());
}

}  // namespace plindo::ui
