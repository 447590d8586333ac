#pragma once
// One deck's column of the main layout, top to bottom: the library pane slot (takes all spare height; the pane
// itself decides which of its taps make it the active one), the source switch, the 210-high placement slot, and the
// 74-high card that shows either the title card or the platter readings (strip and gear). Only the face on
// show takes clicks. Which face shows is the screen's view state, given by `setTechOpen`.
#include <QPointer>
#include <QWidget>

class QStackedWidget;
class QToolButton;

namespace plindo::host {
class HostUi;
}

namespace plindo::ui {

class DeckStripView;
class DeckTitleCard;
class SourceSwitch;

class DeckColumn : public QWidget {
    Q_OBJECT

public:
    static constexpr int kPaneMinWidth = 320;
    static constexpr int kPlacementHeight = 210;
    static constexpr int kCardHeight = 74;

    // `deckIndex` is 0 or 1 (deck 1 or 2).
    DeckColumn(host::HostUi& host, int deckIndex, QWidget* parent = nullptr);

    int deckIndex() const { return index_; }

    // The slots take ownership and delete what was there; null empties the slot.
    void setPaneWidget(QWidget* pane);
    void setPlacementWidget(QWidget* placement);
    QWidget* paneWidget() const { return pane_; }
    QWidget* placementWidget() const { return placement_; }

    void setTechOpen(bool open);
    bool techOpen() const { return techOpen_; }

    SourceSwitch* sourceSwitch() const { return source_; }
    QStackedWidget* card() const { return card_; }
    DeckTitleCard* titleCard() const { return title_; }
    DeckStripView* strip() const { return strip_; }
    QToolButton* readingsGear() const { return readingsGear_; }

signals:
    // Either face's gear was pressed: the screen toggles this deck in its open set.
    void gearPressed();
    void techOpenChanged(bool open);

private:
    static void replace(QWidget* slot, QPointer<QWidget>& current, QWidget* next);

    host::HostUi& host_;
    const int index_;
    bool techOpen_ = false;
    QWidget* paneSlot_ = nullptr;
    QWidget* placementSlot_ = nullptr;
    QPointer<QWidget> pane_;
    QPointer<QWidget> placement_;
    SourceSwitch* source_ = nullptr;
    QStackedWidget* card_ = nullptr;
    DeckTitleCard* title_ = nullptr;
    QWidget* readings_ = nullptr;
    DeckStripView* strip_ = nullptr;
    QToolButton* readingsGear_ = nullptr;
};

}  // namespace plindo::ui
