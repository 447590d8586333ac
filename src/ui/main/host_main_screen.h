#pragma once
// The main window's screen: the frame around the deck and library views.
//
// Layout ("orv.hostTarget" absent or "orv": main layout; anything else: the deck rack), re-read on every
// settings change:
//
//   ┌──────────────┬──────── centre 322, black ────────┬──────────────┐
//   │ deckColumn1  │ side switch (26 high)             │ deckColumn2  │   deck columns ≥ 340 wide,
//   │              ├─ wave1 (≤160) ─┬2┬─ wave2 (≤160) ─┤              │   sharing what is left; a lower
//   │              │                │ │                │              │   window takes from the libraries
//   ├──────────────┴────────────────┴─┴────────────────┴──────────────┤
//   │ bottom (under both layouts)                                     │
//   └─────────────────────────────────────────────────────────────────┘
//   The rack layout replaces the column area with the one `rack` slot.
//
// Slots are empty containers with a zero-margin vertical layout; `fill(slot, widget)` puts a view in (and
// deletes what was there). The screen owns no data beyond its view state below; views reach the controller
// through `state()`.
#include "host/host_ui.h"

#include <QPointer>
#include <QWidget>

#include <functional>
#include <memory>
#include <optional>
#include <set>
#include <string>

class QDialog;
class QStackedWidget;

namespace plindo::ui {

class DeckColumn;
class LibraryPane;
class KeyMonitor;
class SideSwitch;

class HostMainScreen : public QWidget {
    Q_OBJECT

public:
    static constexpr int kCentreWidth = 322;
    static constexpr int kDeckMinWidth = 340;
    static constexpr int kWaveMaxWidth = 160;
    static constexpr int kWaveSpacing = 2;
    // The window goes down to a laptop's screen; below that the columns' minimums would not fit. The screen
    // itself asks only for what its views need.
    static constexpr int kWindowMinWidth = 1024;
    static constexpr int kWindowMinHeight = 640;

    enum class Slot { deckColumn1, deckColumn2, wave1, wave2, rack, bottom };

    explicit HostMainScreen(host::HostUi& state, QWidget* parent = nullptr);
    ~HostMainScreen() override;

    host::HostUi& state() { return state_; }
    QWidget* slot(Slot s) const;
    void fill(Slot s, QWidget* view);
    bool mainLayoutShown() const;
    SideSwitch* sideSwitch() const { return sideSwitch_; }
    // The deck columns the screen puts in its slots (deck index 0 or 1); null once a slot was filled otherwise.
    DeckColumn* deckColumn(int deckIndex) const;
    // The library pane in deck column `paneIndex` (0 or 1).
    LibraryPane* libraryPane(int paneIndex) const;
    // The key monitor, present while the main layout shows.
    KeyMonitor* keyMonitor() const { return keyMonitor_.get(); }
    // Gets a Return or keypad Enter that the key handler left unused; true swallows it.
    void setReturnHook(std::function<bool()> hook);
    QWidget* centreColumn() const { return centre_; }

    // View state (starts empty / false). Each library pane (0 or 1) has its own hovered and focused path, so
    // a pane's floor never shows the other pane's track; any other index reads none and writes nothing.
    const std::optional<std::string>& hoverPath(int pane) const;
    void setHoverPath(int pane, std::optional<std::string> path);
    const std::optional<std::string>& focusPath(int pane) const;
    void setFocusPath(int pane, std::optional<std::string> path);
    bool showDecks() const { return showDecks_; }
    void setShowDecks(bool on);
    const std::set<int>& techOpen() const { return techOpen_; }  // deck indices 0 and 1
    void toggleTechOpen(int deckIndex);

    // Sheets: made by the factory when their flag rises, window-modal; closing one lowers the flag
    // (`showSecret` through `writeShowSecret(false)`, `showDecks` here).
    using SheetFactory = std::function<QDialog*(QWidget* parent)>;
    void setSecretSheet(SheetFactory make);
    void setDecksSheet(SheetFactory make);

signals:
    void hoverPathChanged(int pane);
    void focusPathChanged(int pane);
    void showDecksChanged();
    void techOpenChanged();

protected:
    void dragEnterEvent(QDragEnterEvent* event) override;
    void dropEvent(QDropEvent* event) override;

private:
    void chooseLayout();
    void syncKeyMonitor();
    void showTechOpen();
    void syncSecretSheet();
    void syncDecksSheet();

    host::HostUi& state_;
    QStackedWidget* layouts_ = nullptr;
    QWidget* centre_ = nullptr;
    SideSwitch* sideSwitch_ = nullptr;
    QWidget* slots_[6] = {};

    std::optional<std::string> hoverPath_[2];
    std::optional<std::string> focusPath_[2];
    bool showDecks_ = false;
    std::set<int> techOpen_;

    QPointer<DeckColumn> deckColumns_[2];
    QPointer<LibraryPane> panes_[2];
    std::unique_ptr<KeyMonitor> keyMonitor_;
    std::function<bool()> returnHook_;

    SheetFactory makeSecret_;
    SheetFactory makeDecks_;
    QDialog* secret_ = nullptr;
    QDialog* decks_ = nullptr;
};

}  // namespace plindo::ui
