#pragma once
// The second layout of the main screen: a card per deck (side letter, platter spindle, pitch) on the left
// and right, and between them a panel with one text row per deck (phone link, track, position, channel
// timing). No library panes and no keys. Rebuilt on every change of the decks.
#include <QWidget>

class QLabel;

namespace plindo::host {
class HostUi;
}

namespace plindo::ui {

class ColorDot;
class ElidedLabel;
class PlatterSpindle;

class RackCard : public QWidget {
    Q_OBJECT

public:
    static constexpr int kSpindleSize = 260;

    RackCard(host::HostUi& host, int deck, QWidget* parent = nullptr);

    QLabel* pitch() const { return pitch_; }
    PlatterSpindle* spindle() const { return spindle_; }

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    void refresh();

    host::HostUi& host_;
    const int deck_;
    PlatterSpindle* spindle_ = nullptr;
    QLabel* pitch_ = nullptr;
};

class RackRow : public QWidget {
    Q_OBJECT

public:
    RackRow(host::HostUi& host, int deck, QWidget* parent = nullptr);

    ColorDot* dot() const { return dot_; }
    QLabel* remote() const { return remote_; }
    QLabel* standalone() const { return standalone_; }
    ElidedLabel* name() const { return name_; }
    QLabel* timeLine() const { return time_; }
    QLabel* channel() const { return channel_; }
    QLabel* maxGap() const { return max_; }
    QLabel* via() const { return via_; }

private:
    void refresh();

    host::HostUi& host_;
    const int deck_;
    ColorDot* dot_ = nullptr;
    QLabel* remote_ = nullptr;
    QLabel* standalone_ = nullptr;
    ElidedLabel* name_ = nullptr;
    QLabel* time_ = nullptr;
    QLabel* channel_ = nullptr;
    QLabel* max_ = nullptr;
    QLabel* via_ = nullptr;
};

class DeckRack : public QWidget {
    Q_OBJECT

public:
    explicit DeckRack(host::HostUi& host, QWidget* parent = nullptr);

    RackCard* card(int deck) const { return cards_[deck == 2 ? 1 : 0]; }
    RackRow* row(int deck) const { return rows_[deck == 2 ? 1 : 0]; }
    QWidget* middle() const { return middle_; }
    // The line between the rows: only after deck 1's.
    QWidget* divider() const { return divider_; }

private:
    RackCard* cards_[2] = {};
    RackRow* rows_[2] = {};
    QWidget* middle_ = nullptr;
    QWidget* divider_ = nullptr;
};

}  // namespace plindo::ui
