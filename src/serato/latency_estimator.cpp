#include "serato/latency_estimator.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <functional>
#include <limits>
#include <numbers>

namespace plindo::serato {

void LatencyEstimator::prune(double now, const Limits& lim) {
    const double cutoff = now - lim.window - lim.maxLag - lim.keepExtra;
    auto cut = [cutoff](std::vector<Sample>& s) {
        auto it = std::find_if(s.begin(), s.end(), [cutoff](const Sample& x) { return !(x.t < cutoff); });
        s.erase(s.begin(), it);
    };
    cut(ref);
    cut(lagged);
}

std::optional<double> LatencyEstimator::estimate(double now, const Limits& lim) {
    if (now - lastRun < lim.interval) return std::nullopt;
    lastRun = now;

    const double from = now - lim.window;
    auto first = std::find_if(lagged.begin(), lagged.end(), [from](const Sample& s) { return s.t >= from; });
    const std::size_t n = static_cast<std::size_t>(lagged.end() - first);
    if (n < static_cast<std::size_t>(std::max(0, lim.minSamples)) || n == 0) return std::nullopt;
    double lo = first->v, hi = first->v;
    for (auto it = first; it != lagged.end(); ++it) {
        lo = std::min(lo, it->v);
        hi = std::max(hi, it->v);
    }
    if (!(hi - lo >= lim.minSwing)) return std::nullopt;

    const long lags = std::lround(lim.maxLag / lim.lagStep);
    std::vector<std::pair<double, double>> candidates;
    for (long i = 0; i <= lags && lags >= 0; ++i) {
        const double lag = static_cast<double>(i) * lim.lagStep;
        double sum = 0;
        std::size_t count = 0;
        for (auto it = first; it != lagged.end(); ++it) {
            const double at = it->t - lag;
            auto r = std::upper_bound(ref.begin(), ref.end(), at, [](double x, const Sample& s) { return x < s.t; });
            if (r == ref.begin()) continue;
            sum += std::fabs(std::prev(r)->v - it->v);
            ++count;
        }
        if (count > 0 && count >= n / 2) candidates.emplace_back(lag, sum / static_cast<double>(count));
    }
    if (candidates.empty()) return std::nullopt;
    double best = std::numeric_limits<double>::infinity();
    for (auto& c : candidates) best = std::min(best, c.second);
    double lagSum = 0;
    int lagCount = 0;
    for (auto& c : candidates) {
        if (c.second - best <= 1e-9) {
            lagSum += c.first;
            ++lagCount;
        }
    }
    return lagSum / lagCount;
}

namespace {

std::string number(double v) {
    char buf[48];
    std::snprintf(buf, sizeof buf, "%.6g", v);
    return buf;
}

// Feeds 4 s of a signal and its copy delayed by tau; returns the last estimate.
std::optional<double> run(const std::function<double(double)>& f, double tau,
                          const LatencyEstimator::Limits& lim, bool* anyEstimate) {
    LatencyEstimator e;
    std::optional<double> lastEstimate;
    for (int i = 0; i <= 800; ++i) {
        const double t = i * 0.005;
        e.ref.push_back({t, f(t)});
        e.prune(t, lim);
        if (std::lround(t * 1000) % 25 == 0) {
            e.lagged.push_back({t, f(t - tau)});
            e.prune(t, lim);
        }
        if (auto est = e.estimate(t + 0.005, lim)) lastEstimate = est;
    }
    if (anyEstimate) *anyEstimate = lastEstimate.has_value();
    return lastEstimate;
}

}  // namespace

std::vector<std::string> LatencyEstimator::selfTest(const Limits& lim) {
    std::vector<std::string> fail;
    auto square = [](double t) { return (static_cast<long>(std::floor(t / 0.5)) % 2 == 0) ? -1.0 : 1.0; };
    if (auto est = run(square, 0.037, lim, nullptr)) {
        if (std::fabs(*est - 0.037) > 0.013) fail.push_back("latency tau " + number(*est));
    } else {
        fail.push_back("latency: keine Schaetzung");
    }
    auto sine = [](double t) { return 1.5 * std::sin(4 * std::numbers::pi * t); };
    if (auto est = run(sine, 0.083, lim, nullptr)) {
        if (std::fabs(*est - 0.083) > 0.006) fail.push_back("latency sin tau " + number(*est));
    } else {
        fail.push_back("latency sin: keine Schaetzung");
    }
    bool any = false;
    run([](double) { return 1.0; }, 0.05, lim, &any);
    if (any) fail.push_back("latency konstant schaetzt");
    return fail;
}

}  // namespace plindo::serato
