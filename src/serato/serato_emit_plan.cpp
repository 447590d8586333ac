#include "serato/serato_emit_plan.h"

#include <algorithm>
#include <cmath>
#include <numbers>

namespace plindo::serato::SeratoEmit {

namespace {

double ticksOf(double angle) { return -angle / (2 * std::numbers::pi) * 3600; }

void prime(State& s, double a, double ts, double rate, const Tuning& tu, double now) {
    s.clockOffset = now - ts;
    const double e = (s.cursorPrimed && s.sentAny) ? s.tEmit : now - tu.delay;
    const double p = s.emitPos + (now - e) * rate;
    s.angleOffset = p - ticksOf(a);
    const double back = rate != 0 ? tu.primeBackMoving : tu.minPointGap;
    const double t0 = std::min(now, e) - back;
    s.track.clear();
    s.track.push({t0, p - (now - t0) * rate});
    s.track.push({now, p});
    s.primed = true;
    s.cursorPrimed = true;
    s.clockPrimed = true;
    s.lastPhoneTs = ts;
    s.lastAngle = a;
    s.lastFeedWall = now;
    s.tEmit = e;
    s.phaseOffset = 0;
}

}  // namespace

State plan(State s, std::span<const Sample> samples, const Tuning& tu, double speed, double now) {
    planInPlace(s, samples, tu, speed, now);
    return s;
}

void planInPlace(State& s, std::span<const Sample> samples, const Tuning& tu, double speed, double now) {
    if (!s.active || samples.empty() || !std::isfinite(now)) return;

    // Newest sample: greatest ts, the earliest of equals; a NaN stamp is never the newest.
    const Sample* newest = nullptr;
    for (const Sample& x : samples)
        if (!std::isnan(x.ts) && (!newest || x.ts > newest->ts)) newest = &x;
    if (!newest || !std::isfinite(newest->angle) || !std::isfinite(newest->ts)) return;

    const double rate = (speed == 0 || !std::isfinite(speed)) ? 0 : speed / 1.8 * 3600;

    if (!s.primed || s.lastPhoneTs - tu.tsBackJump > newest->ts || now - s.lastFeedWall > tu.reprime) {
        prime(s, newest->angle, newest->ts, rate, tu, now);
        return;
    }

    double o = now - newest->ts;
    if (s.clockPrimed) o = std::min(o, s.clockOffset);
    o += tu.clockDrift;
    s.clockOffset = o;
    s.clockPrimed = true;

    const auto keep = static_cast<std::size_t>(std::max<int64_t>(tu.maxTrackPoints, 1));
    for (const Sample& x : samples) {
        const double a = x.angle;
        const double ts = x.ts;
        if (!std::isfinite(a) || !std::isfinite(ts) || ts <= s.lastPhoneTs) continue;
        if (s.lastAngle && a == *s.lastAngle) {
            s.lastPhoneTs = ts;
            s.lastFeedWall = now;
            continue;
        }
        const double t = ts + o;
        const double p = ticksOf(a) + s.angleOffset;
        if (!s.track.empty()) {
            const TrackPoint& last = s.track.back();
            if (last.t + tu.minPointGap >= t) {
                s.lastPhoneTs = ts;
                s.lastFeedWall = now;
                continue;
            }
            if (std::fabs((p - last.p) / (t - last.t)) > tu.maxTickRate) {
                prime(s, a, ts, rate, tu, now);
                return;
            }
        }
        const double before = position(s.tEmit, s, tu);
        if (s.track.size() >= keep) s.track.popFront();
        while (s.track.full()) s.track.popFront();  // a tuning beyond the storage keeps the newest points
        s.track.push({t, p});
        const double after = position(s.tEmit, s, tu);
        s.phaseOffset += before - after;
        s.lastAngle = a;
        s.lastPhoneTs = ts;
        s.lastFeedWall = now;
    }
}

}  // namespace plindo::serato::SeratoEmit
