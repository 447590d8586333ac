#include "motion/angle_integrator.h"

#include <cmath>
#include <numbers>

namespace plindo::motion {

namespace {
constexpr double kTwoPi = 2.0 * std::numbers::pi;

// A non-finite value must never reach the stored state: one bad sample would otherwise poison every
// position after it.
double finiteOr(double v, double fallback) { return std::isfinite(v) ? v : fallback; }
}  // namespace

void AngleIntegrator::step(State& s, double a, double t) {
    // A sample without a usable angle or time carries no motion; dropping it keeps the state clean.
    if (!std::isfinite(a) || !std::isfinite(t)) return;
    if (s.prevTs >= t) {
        if (s.prevTs - t > reprimeGapSec) {
            s.lastDistAngle = a;
            s.lastDistTs = t;
            s.prevAngle = a;
            s.prevTs = t;
            s.primed = true;
        }
        return;
    }
    if (!s.primed) {
        s.lastDistAngle = a;
        s.lastDistTs = t;
        s.prevAngle = a;
        s.prevTs = t;
        s.primed = true;
        return;
    }
    double pos = s.posSec + (s.prevAngle - a) / kTwoPi * secondsPerRev;
    s.posSec = (std::isfinite(pos) && pos > 0) ? pos : 0.0;
    const double dt = t - s.lastDistTs;
    if (a != s.prevAngle) {
        if (dt > 0) s.rate = finiteOr((s.lastDistAngle - a) / kTwoPi * secondsPerRev / dt, 0.0);
        s.lastDistAngle = a;
        s.lastDistTs = t;
    } else if (dt > stillSec) {
        s.rate = 0;
    }
    s.prevAngle = a;
    s.prevTs = t;
}

AngleIntegrator::Result AngleIntegrator::feed(const Sample* samples, size_t count) {
    return cell.update([&](State& s) {
        for (size_t i = 0; i < count; ++i) step(s, samples[i].angle, samples[i].ts);
        return Result{s.posSec, s.rate};
    });
}

void AngleIntegrator::seek(double seconds) {
    const double pos = (std::isfinite(seconds) && seconds > 0) ? seconds : 0.0;
    cell.update([&](State& s) {
        s.posSec = pos;
        s.primed = false;
    });
}

}  // namespace plindo::motion
