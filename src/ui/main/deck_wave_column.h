#pragma once
// One deck's narrow vertical waveform: the track scrolls upwards past a fixed playhead at mid height, with
// the beat grid, bar numbers, loops and cues over it. Redrawn on every frame from the controller's published
// state; it changes nothing.
#include "ui/kit/frame_clock.h"
#include "ui/main/wave_geometry.h"

#include <QWidget>

class QPainter;

namespace plindo::host {
class HostUi;
}

namespace plindo::ui {

// Paints a frame onto black, clipped to the geometry's size.
void paintDeckWave(QPainter& p, const WaveGeometry& g);

class DeckWaveColumn : public QWidget {
    Q_OBJECT

public:
    static constexpr int kMaxWidth = 160;

    // `deck` is 1 or 2.
    DeckWaveColumn(host::HostUi& host, int deck, QWidget* parent = nullptr);

    // The frame as it would be painted now at the widget's size.
    WaveGeometry frame() const;

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    host::HostUi& host_;
    const int deck_;
    FrameClock::Subscription frames_;
};

}  // namespace plindo::ui
