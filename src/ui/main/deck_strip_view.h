#pragma once
// One deck's readings in a row: cover, deck label, group menu with the share switch, phone feed health,
// transport, track name, position, and a small spindle on the phone's platter angle. Plain text dropped on
// it (a file path) is loaded on the deck through the host group. Rebuilt on every change of the decks. In a
// narrow column its least needed items give way rather than lie over one another.
#include "ui/main/deck_strip_look.h"

#include <QColor>
#include <QWidget>

#include <string>

class QAction;
class QLabel;
class QToolButton;

namespace plindo::host {
class HostUi;
}

namespace plindo::ui {

class ColorDot;
class ElidedLabel;
class ImageTile;
class PlatterSpindle;

class DeckStripView : public QWidget {
    Q_OBJECT

public:
    // `deck` is 1 or 2.
    DeckStripView(host::HostUi& host, int deck, QWidget* parent = nullptr);

    int deck() const { return deck_; }
    bool targeted() const { return targeted_; }
    // What the strip shows now, and how often it has been rebuilt.
    const DeckStripLook& look() const { return look_; }
    int refreshCount() const { return refreshes_; }

    QToolButton* transport() const { return transport_; }
    QToolButton* groupMenu() const { return group_; }
    QAction* shareSwitch() const { return share_; }
    ImageTile* cover() const { return cover_; }
    PlatterSpindle* spindle() const { return spindle_; }
    QLabel* wavBadge() const { return wav_; }

protected:
    void paintEvent(QPaintEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;
    void dragEnterEvent(QDragEnterEvent* event) override;
    void dragLeaveEvent(QDragLeaveEvent* event) override;
    void dropEvent(QDropEvent* event) override;

private:
    void refresh();
    void fitRow();
    void setTargeted(bool on);

    host::HostUi& host_;
    const int deck_;
    DeckStripLook look_;
    std::string shownSymbol_;  // the transport symbol on show, and its tint
    QColor shownTint_;
    bool targeted_ = false;
    int refreshes_ = 0;

    ImageTile* cover_ = nullptr;
    QLabel* label_ = nullptr;
    QToolButton* group_ = nullptr;
    QAction* share_ = nullptr;
    ColorDot* remoteDot_ = nullptr;
    QToolButton* transport_ = nullptr;
    ElidedLabel* name_ = nullptr;
    ElidedLabel* time_ = nullptr;
    ColorDot* jitterDot_ = nullptr;
    QLabel* jitter_ = nullptr;
    QLabel* max_ = nullptr;
    QLabel* via_ = nullptr;
    QLabel* wav_ = nullptr;
    PlatterSpindle* spindle_ = nullptr;
};

}  // namespace plindo::ui
