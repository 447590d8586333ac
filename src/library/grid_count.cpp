#include "library/grid_count.h"

#include <algorithm>
#include <cmath>

namespace plindo::library::GridCount {

namespace {

constexpr double kMarkerTolerance = 0.002;
constexpr double kMinLeadPeriod = 0.05;
constexpr double kTerminalReach = 900.0;

}  // namespace

std::vector<double> beatTimes(const SeratoFileMeta& meta, double until) {
    std::vector<double> out;
    if (!meta.gridBpm || !(*meta.gridBpm > 0)) return out;
    const auto& markers = meta.gridMarkers;
    for (size_t i = 0; i < markers.size() && out.size() < kMaxBeats; ++i) {
        const auto& m = markers[i];
        if (m.beats <= 0) continue;
        std::optional<double> end;
        if (i + 1 < markers.size()) {
            end = markers[i + 1].t;
        } else {
            end = meta.gridTerminalT;
        }
        if (!end) continue;
        const double start = m.t;
        if (!std::isfinite(start) || !std::isfinite(*end) || !(*end > start)) continue;
        const double span = *end - start;
        // A beat count beyond what the span holds at the fastest tempo is corrupt (a count of 4e9 would take
        // all memory): such a segment is laid out at that tempo instead.
        const double fastest = std::max(1.0, std::ceil(span * kMaxBpm / 60.0));
        const int64_t beats = std::min<int64_t>(m.beats, static_cast<int64_t>(std::min(fastest, double(kMaxBeats))));
        const double step = span / static_cast<double>(beats);
        for (int64_t k = 0; k < beats && out.size() < kMaxBeats; ++k) out.push_back(start + static_cast<double>(k) * step);
    }
    if (meta.gridTerminalT && std::isfinite(*meta.gridTerminalT)) {
        const double t0 = *meta.gridTerminalT;
        const double end = t0 < until ? until : t0 + kTerminalReach;
        const double step = 60.0 / *meta.gridBpm;
        if (end > t0 && std::isfinite(step) && step > 0) {
            // Beats are counted rather than accumulated, so the loop ends even when the step vanishes
            // against a huge position or `until` is infinite.
            for (int64_t k = 0; out.size() < kMaxBeats; ++k) {
                const double t = t0 + static_cast<double>(k) * step;
                if (k > 0 && !(t < end)) break;
                out.push_back(t);
            }
        }
    }
    std::sort(out.begin(), out.end());
    return out;
}

std::vector<Tick> ticks(const SeratoFileMeta& meta, double until) {
    std::vector<double> markers;
    markers.reserve(meta.gridMarkers.size() + 1);
    for (const auto& m : meta.gridMarkers) markers.push_back(m.t);
    if (meta.gridTerminalT) markers.push_back(*meta.gridTerminalT);
    return ticks(beatTimes(meta, until), markers, 0.0);
}

std::vector<Tick> ticks(const std::vector<double>& beats, const std::vector<double>& markers, double from) {
    std::vector<Tick> out;
    if (beats.empty()) return out;

    if (beats.size() >= 2) {
        const double p = beats[1] - beats[0];
        if (p > kMinLeadPeriod) {
            int k = 1;
            for (; k <= kMaxLeadTicks; ++k) {
                if (beats[0] - k * p < from - 1e-6) break;
            }
            const int lead = k - 1;
            out.reserve(static_cast<size_t>(lead) + beats.size());
            for (int j = lead; j >= 1; --j) {
                out.push_back({beats[0] - j * p, -1 - (j - 1) / 4, 4 - (j - 1) % 4, false});
            }
        }
    }

    // Sorted finite marker times, so each beat finds its nearest marker by binary search rather than by a
    // scan of up to 10000 markers per beat.
    std::vector<double> sorted;
    sorted.reserve(markers.size());
    for (double m : markers) {
        if (std::isfinite(m)) sorted.push_back(m);
    }
    std::sort(sorted.begin(), sorted.end());
    auto nearMarker = [&](double t) {
        const auto it = std::lower_bound(sorted.begin(), sorted.end(), t);
        if (it != sorted.end() && std::fabs(*it - t) < kMarkerTolerance) return true;
        return it != sorted.begin() && std::fabs(*(it - 1) - t) < kMarkerTolerance;
    };

    out.reserve(out.size() + beats.size());
    for (size_t i = 0; i < beats.size(); ++i) {
        const int idx = static_cast<int>(std::min<size_t>(i, size_t{1} << 30));
        out.push_back({beats[i], idx / 4 + 1, idx % 4 + 1, std::isfinite(beats[i]) && nearMarker(beats[i])});
    }
    return out;
}

}  // namespace plindo::library::GridCount
