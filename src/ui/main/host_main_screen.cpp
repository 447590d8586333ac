#include "ui/main/host_main_screen.h"

#include "ui/kit/slot_widget.h"
#include "ui/main/deck_column.h"
#include "ui/main/deck_rack.h"
#include "ui/main/deck_seat_sheet.h"
#include "ui/main/deck_wave_column.h"
#include "ui/main/key_monitor.h"
#include "ui/main/library_pane.h"
#include "ui/main/on_key.h"
#include "ui/main/side_switch.h"
#include "ui/main/status_bar.h"

#include <QApplication>
#include <QDialog>
#include <QDragEnterEvent>
#include <QDropEvent>
#include <QHBoxLayout>
#include <QMimeData>
#include <QStackedWidget>
#include <QUrl>
#include <QVBoxLayout>

namespace plindo::ui {

namespace {

int index(HostMainScreen::Slot s) { return static_cast<int>(s); }

}  // namespace

HostMainScreen::HostMainScreen(host::HostUi& state, QWidget* parent) : QWidget(parent), state_(state) {
    setAcceptDrops(true);
    const char* names[] = {"deckColumn1", "deckColumn2", "wave1", "wave2", "rack", "bottom"};
    for (int i = 0; i < 6; ++i) slots_[i] = makeSlotWidget(names[i]);

    // Main layout: deck column, centre, deck column.
    auto* mainPage = new QWidget;
    auto* columns = new QHBoxLayout(mainPage);
    columns->setContentsMargins(0, 0, 0, 0);
    columns->setSpacing(0);
    for (Slot s : {Slot::deckColumn1, Slot::deckColumn2}) {
        slot(s)->setMinimumWidth(kDeckMinWidth);
        slot(s)->setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Expanding);
    }
    centre_ = new QWidget;
    centre_->setObjectName("centre");
    centre_->setFixedWidth(kCentreWidth);
    centre_->setAutoFillBackground(true);
    QPalette black = centre_->palette();
    black.setColor(QPalette::Window, Qt::black);
    centre_->setPalette(black);
    auto* centreStack = new QVBoxLayout(centre_);
    centreStack->setContentsMargins(0, 0, 0, 0);
    centreStack->setSpacing(0);
    sideSwitch_ = new SideSwitch(state_);
    centreStack->addWidget(sideSwitch_);
    auto* waves = new QHBoxLayout;
    waves->setContentsMargins(0, 0, 0, 0);
    waves->setSpacing(kWaveSpacing);
    for (Slot s : {Slot::wave1, Slot::wave2}) {
        slot(s)->setMaximumWidth(kWaveMaxWidth);
        slot(s)->setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Expanding);
        waves->addWidget(slot(s));
    }
    centreStack->addLayout(waves, 1);
    columns->addWidget(slot(Slot::deckColumn1), 1);
    columns->addWidget(centre_, 0);
    columns->addWidget(slot(Slot::deckColumn2), 1);

    // Rack layout: one slot, as large as it gets.
    slot(Slot::rack)->setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Expanding);

    layouts_ = new QStackedWidget;
    layouts_->addWidget(mainPage);
    layouts_->addWidget(slot(Slot::rack));

    auto* outer = new QVBoxLayout(this);
    outer->setContentsMargins(0, 0, 0, 0);
    outer->setSpacing(0);
    outer->addWidget(layouts_, 1);
    outer->addWidget(slot(Slot::bottom), 0);

    fill(Slot::wave1, new DeckWaveColumn(state_, 1));
    fill(Slot::wave2, new DeckWaveColumn(state_, 2));
    for (int i = 0; i < 2; ++i) {
        auto* column = new DeckColumn(state_, i);
        deckColumns_[i] = column;
        connect(column, &DeckColumn::gearPressed, this, [this, i] { toggleTechOpen(i); });
        panes_[i] = new LibraryPane(*this, i);
        column->setPaneWidget(panes_[i]);
        fill(i == 0 ? Slot::deckColumn1 : Slot::deckColumn2, column);
    }
    fill(Slot::bottom, new StatusBar(*this));
    setDecksSheet([this](QWidget* parent) -> QDialog* {
        group::DeckInventory* inventory = state_.deckInventory();
        return inventory ? new DeckSeatSheet(*inventory, parent) : nullptr;
    });
    // A Return the library keys leave presses the "LOAD" on show: only a bridged pane that is not the
    // active one has it then (the active bridged pane takes Return itself). A sheet keeps its Return.
    setReturnHook([this] {
        if (QApplication::activeModalWidget()) return false;
        for (const auto& pane : panes_)
            if (pane && pane->pressLoadIfShown()) return true;
        return false;
    });
    connect(this, &HostMainScreen::techOpenChanged, this, &HostMainScreen::showTechOpen);
    fill(Slot::rack, new DeckRack(state_));

    connect(&state_, &host::HostUi::configChanged, this, &HostMainScreen::chooseLayout);
    connect(&state_, &host::HostUi::showSecretChanged, this, &HostMainScreen::syncSecretSheet);
    chooseLayout();
}

HostMainScreen::~HostMainScreen() = default;

LibraryPane* HostMainScreen::libraryPane(int paneIndex) const {
    return paneIndex == 0 || paneIndex == 1 ? panes_[paneIndex].data() : nullptr;
}

DeckColumn* HostMainScreen::deckColumn(int deckIndex) const {
    return deckIndex == 0 || deckIndex == 1 ? deckColumns_[deckIndex].data() : nullptr;
}

void HostMainScreen::showTechOpen() {
    for (int i = 0; i < 2; ++i) {
        if (deckColumns_[i]) deckColumns_[i]->setTechOpen(techOpen_.count(i) > 0);
    }
}

void HostMainScreen::setReturnHook(std::function<bool()> hook) {
    returnHook_ = std::move(hook);
    if (keyMonitor_) keyMonitor_->setUnusedReturnHook(returnHook_);
}

// The keys belong to the main layout only: the rack has no library panes to drive.
void HostMainScreen::syncKeyMonitor() {
    if (!mainLayoutShown()) {
        keyMonitor_.reset();
        return;
    }
    if (keyMonitor_) return;
    // Keys sent to the main window or one of its sheets; the settings window and the dialogs keep theirs.
    auto owns = [this](const QWidget* w) { return w && (w == window() || w == secret_ || w == decks_); };
    auto handle = [this](const KeyStroke& k) {
        return onKey(k.keyCode, k.shift, k.characters, k.charactersIgnoringModifiers, state_);
    };
    keyMonitor_ = std::make_unique<KeyMonitor>(owns, handle);
    keyMonitor_->setUnusedReturnHook(returnHook_);
}

QWidget* HostMainScreen::slot(Slot s) const { return slots_[index(s)]; }

void HostMainScreen::fill(Slot s, QWidget* view) {
    QLayout* l = slot(s)->layout();
    while (QLayoutItem* item = l->takeAt(0)) {
        if (QWidget* old = item->widget()) old->deleteLater();
        delete item;
    }
    if (view) l->addWidget(view);
}

bool HostMainScreen::mainLayoutShown() const { return layouts_->currentIndex() == 0; }

void HostMainScreen::chooseLayout() {
    const auto target = state_.config().d().stringValue("orv.hostTarget").value_or("orv");
    layouts_->setCurrentIndex(target == "orv" ? 0 : 1);
    syncKeyMonitor();
}

namespace {

bool isPane(int pane) { return pane == 0 || pane == 1; }
const std::optional<std::string> kNoPath;

}  // namespace

const std::optional<std::string>& HostMainScreen::hoverPath(int pane) const {
    return isPane(pane) ? hoverPath_[pane] : kNoPath;
}

const std::optional<std::string>& HostMainScreen::focusPath(int pane) const {
    return isPane(pane) ? focusPath_[pane] : kNoPath;
}

void HostMainScreen::setHoverPath(int pane, std::optional<std::string> path) {
    if (!isPane(pane) || path == hoverPath_[pane]) return;
    hoverPath_[pane] = std::move(path);
    emit hoverPathChanged(pane);
}

void HostMainScreen::setFocusPath(int pane, std::optional<std::string> path) {
    if (!isPane(pane) || path == focusPath_[pane]) return;
    focusPath_[pane] = std::move(path);
    emit focusPathChanged(pane);
}

void HostMainScreen::setShowDecks(bool on) {
    if (on == showDecks_) return;
    showDecks_ = on;
    syncDecksSheet();
    emit showDecksChanged();
}

void HostMainScreen::toggleTechOpen(int deckIndex) {
    if (!techOpen_.erase(deckIndex)) techOpen_.insert(deckIndex);
    emit techOpenChanged();
}

void HostMainScreen::setSecretSheet(SheetFactory make) {
    makeSecret_ = std::move(make);
    syncSecretSheet();
}

void HostMainScreen::setDecksSheet(SheetFactory make) {
    makeDecks_ = std::move(make);
    syncDecksSheet();
}

namespace {

// Opens the sheet made by `make` when `want` and none is open, closes the open one when not; `closed` runs
// once the user (or the code) has closed it.
void syncSheet(QWidget* parent, QDialog*& sheet, bool want, const HostMainScreen::SheetFactory& make,
               std::function<void()> closed) {
    if (want && !sheet && make) {
        sheet = make(parent);
        if (!sheet) return;
        sheet->setWindowModality(Qt::WindowModal);
        sheet->setAttribute(Qt::WA_DeleteOnClose);
        QObject::connect(sheet, &QDialog::finished, parent, [&sheet, closed = std::move(closed)] {
            sheet = nullptr;
            closed();
        });
        sheet->show();
    } else if (!want && sheet) {
        sheet->close();
    }
}

}  // namespace

void HostMainScreen::syncSecretSheet() {
    syncSheet(this, secret_, state_.showSecret(), makeSecret_, [this] {
        if (state_.showSecret()) state_.writeShowSecret(false);
    });
}

void HostMainScreen::syncDecksSheet() {
    syncSheet(this, decks_, showDecks_, makeDecks_, [this] { setShowDecks(false); });
}

void HostMainScreen::dragEnterEvent(QDragEnterEvent* event) {
    if (event->mimeData()->hasUrls()) event->acceptProposedAction();
}

void HostMainScreen::dropEvent(QDropEvent* event) {
    // Every local file becomes the DJ logo in turn (the controller ignores what is not an image).
    for (const QUrl& url : event->mimeData()->urls()) {
        if (url.isLocalFile()) state_.useDJLogo(url.toLocalFile().toStdString());
    }
    event->acceptProposedAction();
}

}  // namespace plindo::ui
