#pragma once
// A waveform envelope of a made-up track for the painting benchmarks: loud beats three times a second over a
// slowly changing spectral balance, optionally with per-side peaks and colours.
#include "library/peak_envelope.h"

#include <cmath>

namespace plindo::bench {

inline library::PeakEnvelope syntheticEnvelope(int columns, double seconds, bool sidesAndColours) {
    library::PeakEnvelope e;
    e.columns = columns;
    e.windowSec = {0, seconds};
    e.durationSec = seconds;
    std::vector<double> l, r, rgb;
    for (int i = 0; i < columns; ++i) {
        const double t = i * seconds / columns;
        e.peak.push_back(0.3 + 0.6 * std::abs(std::sin(t * 3.1)));
        e.bass.push_back(0.1 + 0.05 * std::sin(t));
        e.mid.push_back(0.08);
        e.treble.push_back(0.05 + 0.04 * std::cos(t * 0.3));
        if (!sidesAndColours) continue;
        l.push_back(e.peak.back() * 0.9);
        r.push_back(e.peak.back() * 0.8);
        for (double v : {0.2 + 0.1 * std::sin(t), 0.15, 0.25}) rgb.push_back(v);
    }
    if (sidesAndColours) {
        e.peakL = l;
        e.peakR = r;
        e.rgbR = rgb;
    }
    return e;
}

}  // namespace plindo::bench
