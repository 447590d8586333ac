#include "library/peak_envelope.h"

#include <algorithm>
#include <cmath>

namespace plindo::library {

namespace {

constexpr int kFewestColumns = 8;
constexpr int kMostColumns = 20000;

// Raises out[j] to the largest of src[k] for k in [k0, k1]; a source shorter than k + 1 is skipped.
void takeMax(std::vector<double>& out, size_t j, const std::vector<double>& src, size_t k0, size_t k1) {
    for (size_t k = k0; k <= k1 && k < src.size(); ++k) out[j] = std::max(out[j], src[k]);
}

}  // namespace

PeakEnvelope PeakEnvelope::windowed(int columnsWanted, double centerSecArg, double windowSecArg) const {
    const size_t srcCols = static_cast<size_t>(std::max(columns, 0));
    const double first = windowSec.empty() ? 0.0 : windowSec.front();
    const double last = windowSec.empty() ? 0.0 : windowSec.back();
    double total = std::max(durationSec, last);
    if (!std::isfinite(total) || total < 0) total = 0;
    const int outCols = std::clamp(columnsWanted, kFewestColumns, kMostColumns);
    const auto out = static_cast<size_t>(outCols);

    // A centre or length that is not a number cannot place a span: the whole track answers.
    double lo = 0, hi = total;
    if (windowSecArg > 0 && std::isfinite(windowSecArg) && std::isfinite(centerSecArg)) {
        lo = std::max(0.0, centerSecArg - windowSecArg / 2);
        hi = std::min(total, centerSecArg + windowSecArg / 2);
        if (!(lo < hi)) lo = 0, hi = total;
    }

    const double colsPerSec = static_cast<double>(srcCols) / std::max(last - first, 1e-6);
    const double step = (hi - lo) / outCols;

    const bool sides = srcCols > 0 && peakL && peakR && peakL->size() >= srcCols && peakR->size() >= srcCols;
    const bool colours = srcCols > 0 && rgbL && rgbR && rgbL->size() >= 3 * srcCols && rgbR->size() >= 3 * srcCols;

    PeakEnvelope r;
    r.audioPath = audioPath;
    r.centerSec = (lo + hi) / 2;
    r.windowSec = {lo, hi};
    r.columns = outCols;
    r.durationSec = total;
    r.bass = r.mid = r.treble = r.peak = std::vector<double>(out, 0.0);
    if (sides) r.peakL = r.peakR = std::vector<double>(out, 0.0);
    if (colours) r.rgbL = r.rgbR = std::vector<double>(3 * out, 0.0);

    for (size_t j = 0; j < out; ++j) {
        const double t0 = lo + static_cast<double>(j) * step;
        const double a = std::floor((t0 - first) * colsPerSec);
        const double b = std::ceil((t0 + step - first) * colsPerSec);
        if (!(b > 0) || !(a < static_cast<double>(srcCols))) continue;
        const auto k0 = static_cast<size_t>(std::max(a, 0.0));
        const auto k1 = static_cast<size_t>(std::min(b, static_cast<double>(srcCols - 1)));
        takeMax(r.peak, j, peak, k0, k1);
        takeMax(r.bass, j, bass, k0, k1);
        takeMax(r.mid, j, mid, k0, k1);
        takeMax(r.treble, j, treble, k0, k1);
        if (sides) {
            takeMax(*r.peakL, j, *peakL, k0, k1);
            takeMax(*r.peakR, j, *peakR, k0, k1);
        }
        if (colours) {
            for (size_t k = k0; k <= k1; ++k) {
                for (size_t ch = 0; ch < 3; ++ch) {
                    (*r.rgbL)[3 * j + ch] = std::max((*r.rgbL)[3 * j + ch], (*rgbL)[3 * k + ch]);
                    (*r.rgbR)[3 * j + ch] = std::max((*r.rgbR)[3 * j + ch], (*rgbR)[3 * k + ch]);
                }
            }
        }
    }

    for (const Beat& beat : beats)
        if (beat.timeSec >= lo && beat.timeSec <= hi) r.beats.push_back(beat);
    for (const Cue& cue : cues)
        if (cue.timeSec >= lo && cue.timeSec <= hi) r.cues.push_back(cue);
    r.bpm = bpm;
    r.trackColor = trackColor;
    r.finalRGB = finalRGB;
    r.rev = rev;
    return r;
}

}  // namespace plindo::library
