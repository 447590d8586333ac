#pragma once
// A deck's title card: cover or logo tile, title and artist, elapsed and remaining time, the waveform zoom
// control (mode button, slider −23…0, label) and the gear that swaps the card for the platter readings.
// Rebuilt on every change of the decks, the logo or the settings, its zoom control also on every zoom change;
// it keeps no data.
#include <QWidget>

class QLabel;
class QPushButton;
class QSlider;
class QToolButton;

namespace plindo::host {
class HostUi;
}

namespace plindo::ui {

class ElidedLabel;
class ImageTile;

class DeckTitleCard : public QWidget {
    Q_OBJECT

public:
    static constexpr int kTileSide = 54;
    static constexpr int kModeWidth = 52;
    static constexpr int kSliderWidth = 110;

    // `deckIndex` is 0 or 1 (deck 1 or 2).
    DeckTitleCard(host::HostUi& host, int deckIndex, QWidget* parent = nullptr);

    // Whether the readings are open: only the gear's symbol shows it.
    void setTechOpen(bool open);

    ImageTile* tile() const { return tile_; }
    ElidedLabel* title() const { return title_; }
    ElidedLabel* artist() const { return artist_; }
    QLabel* elapsed() const { return elapsed_; }
    QLabel* remaining() const { return remaining_; }
    QPushButton* modeButton() const { return mode_; }
    QSlider* slider() const { return slider_; }
    QLabel* zoomLabel() const { return zoomLabel_; }
    QToolButton* gear() const { return gear_; }

signals:
    void gearPressed();

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    void refresh();
    void showZoom();

    host::HostUi& host_;
    const int deck_;
    bool autoShown_ = true;  // the mode read at the last rebuild; the button flips that value
    ImageTile* tile_ = nullptr;
    ElidedLabel* title_ = nullptr;
    ElidedLabel* artist_ = nullptr;
    QLabel* elapsed_ = nullptr;
    QLabel* remaining_ = nullptr;
    QPushButton* mode_ = nullptr;
    QSlider* slider_ = nullptr;
    QLabel* zoomLabel_ = nullptr;
    QToolButton* gear_ = nullptr;
};

// The gear button of a deck card: "gearshape.fill" while the readings are open, "gearshape" otherwise.
QToolButton* makeGearButton(QWidget* parent);
void showGearOpen(QToolButton* gear, bool open);

}  // namespace plindo::ui
