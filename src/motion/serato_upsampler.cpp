#include "motion/serato_upsampler.h"

#include <array>
#include <cmath>
#include <utility>

namespace plindo::motion {

namespace {

// Half away from zero; callers keep |x| within the tunnel's count limit.
int64_t rounded(double x) { return static_cast<int64_t>(std::round(x)); }

bool inRange(double cum) {
    return std::fabs(cum) < static_cast<double>(SeratoTunnel::kCountLimit);
}

}  // namespace

void SeratoUpsampler::pushFirst(double ts, double cum) {
    base_ = ts;
    last_ = Sample{ts, cum};
    knownUpTo_ = 0;
    lastTick_ = SeratoTunnel::Tick{0, rounded(cum), ts, true};
    const SeratoTunnel::Tick one[1] = {*lastTick_};
    tun.ingest(one);
}

bool SeratoUpsampler::push(double ts, double cum) {
    if (!std::isfinite(ts) || !std::isfinite(cum) || !inRange(cum)) return false;
    if (last_ && !(ts > last_->ts)) return false;
    if (!base_ || !last_) {
        pushFirst(ts, cum);
        return true;
    }

    // A gap wider than one push may fill restarts the grid (and its tunnel) at this sample.
    const double span = (ts - *base_) / sub_ - static_cast<double>(knownUpTo_);
    if (!(span <= kMaxPushTicks)) {
        const double keepLead = maxLead;
        const SeratoTunnel::Tunables keepTun{tun.k, tun.jumpDrainSec};
        const int64_t keepRestarts = restarts_;
        *this = SeratoUpsampler(sub_, keepLead);
        tun.k = keepTun.k;
        tun.jumpDrainSec = keepTun.jumpDrainSec;
        restarts_ = keepRestarts + 1;
        pushFirst(ts, cum);
        return true;
    }

    FixedList<SeratoTunnel::Tick, kMaxPushTicks + 2> batch;
    if (lastTick_) batch.push(*lastTick_);
    const std::size_t firstNew = batch.size();
    const Sample prev = *last_;
    for (int64_t j = knownUpTo_ + 1; !batch.full(); ++j) {
        const double t = *base_ + static_cast<double>(j) * sub_;
        if (!(t <= ts)) break;
        double f = (t - prev.ts) / (ts - prev.ts);
        if (!(f >= 0)) f = 0;
        if (f >= 1) f = 1;
        batch.push(SeratoTunnel::Tick{j, rounded(prev.cum + f * (cum - prev.cum)), t, true});
    }
    last_ = Sample{ts, cum};
    if (batch.size() == firstNew) return true;

    knownUpTo_ = batch.back().seq;
    lastTick_ = batch.back();
    tun.ingest(std::span<const SeratoTunnel::Tick>(batch.data(), batch.size()));
    return true;
}

SeratoUpsampler::Outs SeratoUpsampler::drain(double until) {
    Outs outs;
    if (!base_ || !last_ || !tun.nextSeq() || std::isnan(until)) return outs;
    const double sum = last_->ts + maxLead;
    const double limit = (std::isnan(sum) || until < sum) ? until : sum;
    while (!outs.full() && static_cast<double>(*tun.nextSeq()) * sub_ + *base_ <= limit) {
        const auto o = tun.next();
        if (!o) break;
        outs.push(*o);
    }
    return outs;
}

SeratoUpsampler::Report SeratoUpsampler::run(const Tunables& tunables) {
    std::vector<std::string> fail;
    SeratoUpsampler up(tunables.sub, tunables.maxLead);
    up.tun.k = tunables.tunnel.k;
    up.tun.jumpDrainSec = tunables.tunnel.jumpDrainSec;

    double ts = 1.0;
    double cum = 0;
    double rate = 20000;
    int64_t sum = 0;
    int64_t largest = 0;
    int64_t count = 0;
    for (int i = 0; i < 150; ++i) {
        if (i >= 60 && i <= 69) rate -= 3200;
        if (i >= 100 && i <= 109) rate += 1200;
        if (i >= 110) rate = 0;
        cum += rate * 0.02;
        ts += 0.02;
        up.push(ts, cum);
        if (i == 0) sum = rounded(cum);
        for (int j = 1; j <= 5; ++j) {
            for (const auto& o : up.drain(ts + j * 0.004)) {
                sum += o.delta;
                largest = std::max<int64_t>(largest, o.delta < 0 ? -o.delta : o.delta);
                ++count;
            }
        }
    }
    for (const auto& o : up.drain(ts + 1.0)) sum += o.delta;

    const int64_t final = rounded(cum);
    if (sum != final) fail.push_back("upsampler Summe " + std::to_string(sum) + " != " + std::to_string(final));
    if (count <= 499) fail.push_back("upsampler zu wenig Teilschritte " + std::to_string(count));
    if (largest >= 301) fail.push_back("upsampler Stufe zu gross " + std::to_string(largest));
    return Report{count, largest, sum, final, std::move(fail)};
}

std::vector<std::string> SeratoUpsampler::selfTest() { return selfTest(Tunables{}); }

}  // namespace plindo::motion
