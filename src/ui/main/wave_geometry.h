#pragma once
// What the deck waveform column draws for one frame, as plain geometry: the waveform as quadrilaterals, the
// beat grid with bar numbers, loops, cues and the playhead. Time runs downwards; the playhead sits at mid
// height. Pure: the paint function and the tests read the same result.
#include "host/host_ui_types.h"
#include "library/peak_envelope.h"
#include "library/serato_file_meta.h"

#include <QColor>
#include <QPointF>

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace plindo::ui {

struct WaveGeometry {
    struct Quad {
        std::array<QPointF, 4> corners;  // top left, top right, bottom right, bottom left
        QColor color;
    };
    // A line across the whole width.
    struct Line {
        double y = 0;
        QColor color;
        double width = 1;
    };
    struct Label {
        std::string text;
        QPointF bottomLeft;
        QColor color;
    };
    struct Loop {
        double top = 0, bottom = 0;  // the band, clipped to the column
        QColor bandColor;
        std::vector<Line> lines;     // the start and end lines that lie inside the column
    };

    double width = 0, height = 0;
    // The time axis: the visible window, seconds per point and the time at y = 0.
    double windowSec = 0, secPerPoint = 0, topSec = 0;
    // Envelope columns per bucket and the visible bucket range; stride 0 when no waveform was laid out.
    int64_t stride = 0, firstBucket = 0, lastBucket = -1;

    std::vector<Quad> quads;
    std::vector<Line> gridLines;
    std::vector<Label> barLabels;
    std::vector<Loop> loops;
    std::vector<Line> cueLines;
    Line playhead;
};

// The visible window in seconds for a zoom step: 32 s at 0 down to 0.5 s at -23; not a number gives 0.5 s.
double waveWindowSec(double zoom);

// The frame of a W×H column at play position `posSec`. `cueRows` are the DJ application's cue reports for a
// bridged deck. Without an envelope of at least two columns, or at a position that cannot be laid out (not
// finite, or beyond the integer range of bucket indices), only the playhead is drawn.
WaveGeometry computeWaveGeometry(double posSec, double zoom, const library::PeakEnvelope* env,
                                 const library::SeratoFileMeta* marks,
                                 const std::optional<std::vector<host::SeratoCueRow>>& cueRows, double W,
                                 double H);

}  // namespace plindo::ui
