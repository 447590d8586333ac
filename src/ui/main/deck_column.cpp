#include "ui/main/deck_column.h"

#include "host/host_ui.h"
#include "ui/kit/slot_widget.h"
#include "ui/main/deck_placement_panel.h"
#include "ui/main/deck_strip_view.h"
#include "ui/main/deck_title_card.h"
#include "ui/main/source_switch.h"

#include <QHBoxLayout>
#include <QStackedWidget>
#include <QToolButton>
#include <QVBoxLayout>

namespace plindo::ui {

namespace {

constexpr int kInset = 6;


}  // namespace

DeckColumn::DeckColumn(host::HostUi& host, int deckIndex, QWidget* parent)
    : QWidget(parent), host_(host), index_(deckIndex) {
    const int deck = deckIndex + 1;

    paneSlot_ = makeSlotWidget("paneSlot");
    paneSlot_->setMinimumWidth(kPaneMinWidth);
    paneSlot_->setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Expanding);

    source_ = new SourceSwitch(host_, deck);

    placementSlot_ = makeSlotWidget("placementSlot");
    placementSlot_->setFixedHeight(kPlacementHeight);

    title_ = new DeckTitleCard(host_, deckIndex);
    readings_ = new QWidget;
    auto* readingsRow = new QHBoxLayout(readings_);
    readingsRow->setContentsMargins(10, 0, 10, 0);
    readingsRow->setSpacing(8);
    strip_ = new DeckStripView(host_, deck);
    readingsGear_ = makeGearButton(readings_);
    readingsRow->addWidget(strip_, 1);
    readingsRow->addWidget(readingsGear_);
    // The stack shows one face; the hidden one takes no clicks.
    card_ = new QStackedWidget;
    card_->addWidget(title_);
    card_->addWidget(readings_);
    card_->setFixedHeight(kCardHeight);
    connect(title_, &DeckTitleCard::gearPressed, this, &DeckColumn::gearPressed);
    connect(readingsGear_, &QToolButton::clicked, this, &DeckColumn::gearPressed);

    auto* column = new QVBoxLayout(this);
    column->setContentsMargins(0, 0, 0, 0);
    column->setSpacing(0);
    column->addWidget(paneSlot_, 1);
    auto* switchBox = new QVBoxLayout;
    switchBox->setContentsMargins(kInset, kInset, kInset, 0);
    switchBox->addWidget(source_);
    column->addLayout(switchBox);
    auto* placementBox = new QVBoxLayout;
    placementBox->setContentsMargins(kInset, kInset, kInset, 0);
    placementBox->addWidget(placementSlot_);
    column->addLayout(placementBox);
    auto* cardBox = new QVBoxLayout;
    cardBox->setContentsMargins(0, 0, 0, kInset);
    cardBox->addWidget(card_);
    column->addLayout(cardBox);

    setPlacementWidget(new DeckPlacementPanel(host_, deck));
    setTechOpen(false);
}

void DeckColumn::replace(QWidget* slot, QPointer<QWidget>& current, QWidget* next) {
    if (current == next) return;
    if (current) {
        slot->layout()->removeWidget(current);
        current->hide();
        current->deleteLater();
    }
    current = next;
    if (next) slot->layout()->addWidget(next);
}

void DeckColumn::setPaneWidget(QWidget* pane) { replace(paneSlot_, pane_, pane); }
void DeckColumn::setPlacementWidget(QWidget* placement) { replace(placementSlot_, placement_, placement); }

void DeckColumn::setTechOpen(bool open) {
    const bool changed = open != techOpen_;
    techOpen_ = open;
    card_->setCurrentWidget(open ? readings_ : static_cast<QWidget*>(title_));
    title_->setTechOpen(open);
    // The placement tile's read-outs show with the readings.
    if (auto* tile = qobject_cast<DeckPlacementPanel*>(placement_)) tile->setShowRows(open);
    showGearOpen(readingsGear_, open);
    if (changed) emit techOpenChanged(open);
}

}  // namespace plindo::ui
