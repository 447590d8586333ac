#pragma once
// One deck's narrow vertical waveform: the track scrolls upwards past a fixed playhead at mid height, with
// the beat grid, bar numbers, loops and cues over it. Follows the controller's published state frame by frame
// and repaints only when what it shows changed; it changes nothing.
#include "ui/kit/frame_clock.h"
#include "ui/main/wave_geometry.h"

#include <QImage>
#include <QWidget>

#include <memory>
#include <optional>
#include <vector>

class QPainter;

#include "host/host_ui_types.h"

namespace plindo::host {
class HostUi;
}

namespace plindo::ui {

// Paints a frame onto black, clipped to the geometry's size. The black ground and the waveform are filled into
// `ground` (remade when the size or the painter's device pixel ratio changed) and drawn 1:1: one blit instead
// of a polygon fill per row, and no work handed to the raster engine's threads.
void paintDeckWave(QPainter& p, const WaveGeometry& g, QImage& ground);
void paintDeckWave(QPainter& p, const WaveGeometry& g);

// The black ground and the waveform's quads filled into the image (made premultiplied ARGB32 if it is not), whose
// device pixel ratio scales the geometry, as the raster engine's antialiased polygon fill would draw them. Quads are trapezoids
// with horizontal top and bottom edges.
void fillDeckWaveGround(QImage& img, const WaveGeometry& g);

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
    // Everything a frame is drawn from.
    struct Inputs {
        double posSec = 0, zoom = 0;
        const void* env = nullptr;
        const void* marks = nullptr;
        std::optional<std::vector<host::SeratoCueRow>> cueRows;
        QSize size;
        bool operator==(const Inputs&) const = default;
    };
    Inputs inputs() const;
    bool follow();  // true when the frame changed

    host::HostUi& host_;
    Inputs shown_;
    QImage ground_;
    const int deck_;
    FrameClock::Subscription frames_;
};

}  // namespace plindo::ui
