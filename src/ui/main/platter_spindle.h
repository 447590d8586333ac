#pragma once
// A small dial that turns with a deck's platter: a ring with a fixed index mark at the top, a needle along
// the platter angle and a hub. The needle is accent-coloured while the phone feed is fresh, grey otherwise.
#include "ui/kit/frame_clock.h"

#include <QWidget>

#include <functional>

class QPainter;

namespace plindo::ui {

// Paints the dial into the square (0, 0, size, size). A positive angle (radians) turns the needle
// anticlockwise from straight up.
void paintSpindle(QPainter& p, double size, bool fresh, double angle);

class PlatterSpindle : public QWidget {
    Q_OBJECT

public:
    // `angle` is called once per frame on the main thread while shown; it must be cheap. The dial repaints
    // only when the angle or the freshness changed.
    PlatterSpindle(int size, std::function<double()> angle, QWidget* parent = nullptr);

    void setFresh(bool fresh);
    bool fresh() const { return fresh_; }
    // Whether the dial follows the frames (only while shown).
    bool animating() const { return frames_.active(); }

protected:
    void paintEvent(QPaintEvent* event) override;
    void showEvent(QShowEvent* event) override;
    void hideEvent(QHideEvent* event) override;

private:
    bool follow();  // true when the angle moved

    const int size_;
    std::function<double()> angle_;
    bool fresh_ = false;
    double shownAngle_ = 0;  // the angle the dial shows (or is about to)
    FrameClock::Subscription frames_;
};

}  // namespace plindo::ui
