#include "serato/serato_emit.h"

#include <algorithm>
#include <cmath>

namespace plindo::serato::SeratoEmit {

const Tuning& Tuning::defaults() {
    static const Tuning d{};
    return d;
}

Tuning Tuning::liveStart() {
    Tuning t = defaults();
    t.delay = 0;
    t.ahead = 0;
    t.segFactor = 0;
    return t;
}

namespace {

double segmentSlope(const TrackPoint& a, const TrackPoint& b) {
    const double d = b.t - a.t;
    return d > 0 ? (b.p - a.p) / d : 0;
}

// Index of the first point after the first one whose time lies beyond t (t is inside the track).
std::size_t segmentEnd(const Track& tr, double t) {
    std::size_t i = 1;
    while (i + 1 < tr.size() && !(tr[i].t > t)) ++i;
    return i;
}

}  // namespace

double horizon(const State& s, const Tuning& tu) {
    const Track& tr = s.track;
    if (tr.size() < 2) return tu.ahead;
    const double d = tr.back().t - tr[tr.size() - 2].t;
    if (!(d > 0) || !std::isfinite(d)) return tu.ahead;
    return std::min(std::max(d * tu.segFactor, tu.ahead), tu.reprime);
}

double position(double t, const State& s, const Tuning& tu) {
    const Track& tr = s.track;
    const std::size_t n = tr.size();
    if (n == 0) return s.emitPos + s.phaseOffset;
    if (n == 1) return tr[0].p + s.phaseOffset;
    const TrackPoint& last = tr.back();
    if (t >= last.t) {
        const double sl = segmentSlope(tr[n - 2], last);
        return last.p + std::min(horizon(s, tu), t - last.t) * sl + s.phaseOffset;
    }
    if (t < tr[0].t) return tr[0].p + (t - tr[0].t) * segmentSlope(tr[0], tr[1]) + s.phaseOffset;
    const std::size_t i = segmentEnd(tr, t);
    const TrackPoint& a = tr[i - 1];
    const TrackPoint& b = tr[i];
    if (b.t - a.t <= 0) return b.p + s.phaseOffset;
    return a.p + (t - a.t) * (b.p - a.p) / (b.t - a.t) + s.phaseOffset;
}

double slope(double t, const State& s, const Tuning& tu) {
    const Track& tr = s.track;
    const std::size_t n = tr.size();
    if (n < 2) return 0;
    const TrackPoint& last = tr.back();
    if (t >= last.t) return t <= last.t + horizon(s, tu) ? segmentSlope(tr[n - 2], last) : 0;
    if (t < tr[0].t) return segmentSlope(tr[0], tr[1]);
    const std::size_t i = segmentEnd(tr, t);
    return segmentSlope(tr[i - 1], tr[i]);
}

}  // namespace plindo::serato::SeratoEmit
