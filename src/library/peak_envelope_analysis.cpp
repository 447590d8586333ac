#include "library/peak_envelope.h"

#include <fftw3.h>

#include <algorithm>
#include <cmath>
#include <map>
#include <memory>
#include <mutex>
#include <numbers>

namespace plindo::library {

namespace {

constexpr double kColumnsPerSecond = 250;
constexpr int kFewestColumns = 64;
constexpr int kMostColumns = 120000;
constexpr double kLargeTransformFromHz = 30000;  // inclusive
constexpr double kLowBand[2] = {20, 200};
constexpr double kMidBand[2] = {200, 2000};
constexpr double kHighBand[2] = {2000, 11025};
constexpr double kBandPercentile = 99, kBandGamma = 0.75;
constexpr double kPeakPercentile = 99.5, kPeakGamma = 1.7;
constexpr double kSmallestReference = 1e-9;
constexpr double kRedGain = 1.4;  // lows read brighter as red

struct FftwFree {
    void operator()(void* p) const { fftwf_free(p); }
};
template <typename T>
using FftwBuffer = std::unique_ptr<T[], FftwFree>;

template <typename T>
FftwBuffer<T> fftwAlloc(size_t count) {
    return FftwBuffer<T>(static_cast<T*>(fftwf_malloc(sizeof(T) * std::max<size_t>(count, 1))));
}

// The planner is not thread-safe, executing a plan on fresh arrays is: plans are made once per size under
// a lock and kept for the process. Plans are out-of-place on fftwf_malloc'd (aligned) arrays, as every
// caller's buffers are.
fftwf_plan planFor(int n) {
    static std::mutex mutex;
    static auto* plans = new std::map<int, fftwf_plan>;  // kept for the process: analyses may run at exit
    std::lock_guard lock(mutex);
    if (auto it = plans->find(n); it != plans->end()) return it->second;
    auto in = fftwAlloc<float>(static_cast<size_t>(n));
    auto out = fftwAlloc<fftwf_complex>(static_cast<size_t>(n / 2 + 1));
    fftwf_plan p = (in && out) ? fftwf_plan_dft_r2c_1d(n, in.get(), out.get(), FFTW_ESTIMATE) : nullptr;
    if (p) plans->emplace(n, p);
    return p;
}

double percentile(const std::vector<double>& values, double p) {
    if (values.empty()) return 0;
    std::vector<double> v = values;
    const double x = static_cast<double>(v.size() - 1) * p / 100.0;
    const size_t i0 = static_cast<size_t>(x);
    const size_t i1 = std::min(i0 + 1, v.size() - 1);
    const double t = x - static_cast<double>(i0);
    std::nth_element(v.begin(), v.begin() + static_cast<std::ptrdiff_t>(i0), v.end());
    const double a = v[i0];
    const double b = i1 == i0 ? a : *std::min_element(v.begin() + static_cast<std::ptrdiff_t>(i1), v.end());
    return t * b + (1 - t) * a;
}

std::vector<double> normalize(std::vector<double> v, double pct, double gamma) {
    const double d = std::max(percentile(v, pct), kSmallestReference);
    for (double& x : v) x = std::pow(std::max(std::min(x / d, 1.0), 0.0), gamma);
    return v;
}

std::vector<double> bandRGB(const std::vector<double>& low, const std::vector<double>& mid,
                            const std::vector<double>& high) {
    double m = 0;
    for (const auto* list : {&low, &mid, &high})
        for (double x : *list) m = std::max(m, x);
    std::vector<double> rgb(3 * low.size(), 0.0);
    if (m < kSmallestReference) return rgb;
    for (size_t c = 0; c < low.size(); ++c) {
        rgb[3 * c] = std::min(kRedGain * low[c] / m, 1.0);
        rgb[3 * c + 1] = std::min(mid[c] / m, 1.0);
        rgb[3 * c + 2] = std::min(high[c] / m, 1.0);
    }
    return rgb;
}

EnvelopeBands::Range bandBins(double lowHz, double highHz, double binWidth, int half) {
    auto bin = [&](double hz, int lo) {
        const double b = std::ceil(hz / binWidth);
        return static_cast<int>(std::clamp(b, static_cast<double>(lo), static_cast<double>(half)));
    };
    const int first = bin(lowHz, 0);
    return {first, bin(highHz, first)};
}

double sanitizedRate(double sampleRate) { return std::isfinite(sampleRate) ? std::max(sampleRate, 1.0) : 1.0; }

}  // namespace

EnvelopeBands EnvelopeBands::forSampleRate(double sampleRate) {
    const double sr = sanitizedRate(sampleRate);
    EnvelopeBands b;
    b.fftSize = sr >= kLargeTransformFromHz ? 4096 : 2048;
    b.hop = b.fftSize / 8;
    const double binWidth = sr / b.fftSize;
    const int half = b.fftSize / 2;
    b.low = bandBins(kLowBand[0], kLowBand[1], binWidth, half);
    b.middle = bandBins(kMidBand[0], kMidBand[1], binWidth, half);
    b.high = bandBins(kHighBand[0], kHighBand[1], binWidth, half);
    return b;
}

std::array<std::vector<float>, 3> EnvelopeBands::frameSums(std::span<const float> a, std::span<const float> b,
                                                             double sampleRate) {
    const bool mix = !b.empty();
    const size_t n = mix ? std::min(a.size(), b.size()) : a.size();
    const EnvelopeBands bands = forSampleRate(sampleRate);
    const int N = bands.fftSize;
    const size_t hop = static_cast<size_t>(bands.hop);
    const size_t frames = std::max<size_t>(1, (n + hop - 1) / hop);
    std::array<std::vector<float>, 3> sums;
    for (auto& list : sums) list.assign(frames, 0.0f);
    fftwf_plan plan = planFor(N);
    if (!plan) return sums;

    const Range ranges[3] = {bands.low, bands.middle, bands.high};
    const int usedBins = std::max({bands.low.last, bands.middle.last, bands.high.last});
    auto window = fftwAlloc<float>(static_cast<size_t>(N));
    auto frame = fftwAlloc<float>(static_cast<size_t>(N));
    auto spectrum = fftwAlloc<fftwf_complex>(static_cast<size_t>(N / 2 + 1));
    std::vector<float> magnitude(static_cast<size_t>(N / 2));
    for (int i = 0; i < N; ++i) window[i] = static_cast<float>(0.5 * (1.0 - std::cos(2.0 * std::numbers::pi * i / N)));
    for (size_t f = 0; f < frames; ++f) {
        const size_t start = f * hop;
        const size_t avail = std::min(n - std::min(start, n), static_cast<size_t>(N));
        float* x = frame.get();
        if (mix) {
            for (size_t i = 0; i < avail; ++i) x[i] = (a[start + i] + b[start + i]) * 0.5f * window[i];
        } else {
            for (size_t i = 0; i < avail; ++i) x[i] = a[start + i] * window[i];
        }
        std::fill(x + avail, x + N, 0.0f);
        fftwf_execute_dft_r2c(plan, x, spectrum.get());
        // |2·X[k]|; bin 0 holds the DC term alone.
        for (int k = 0; k < usedBins; ++k) {
            const float re = spectrum[k][0], im = spectrum[k][1];
            magnitude[static_cast<size_t>(k)] = 2.0f * std::sqrt(re * re + im * im);
        }
        for (int band = 0; band < 3; ++band) {
            float sum = 0;
            for (int k = ranges[band].first; k < ranges[band].last; ++k) sum += magnitude[static_cast<size_t>(k)];
            // Samples that are not finite (a damaged float file) must not poison the whole envelope.
            sums[static_cast<size_t>(band)][f] = std::isfinite(sum) ? sum : 0.0f;
        }
    }
    return sums;
}

PeakEnvelope PeakEnvelope::analyze(std::span<const float> left, std::span<const float> right, double sampleRate,
                                   std::string audioPath) {
    const size_t n = std::min(left.size(), right.size());
    const double sr = sanitizedRate(sampleRate);
    const double seconds = static_cast<double>(n) / sr;
    const int columns = static_cast<int>(std::clamp(std::trunc(kColumnsPerSecond * seconds),
                                                    static_cast<double>(kFewestColumns),
                                                    static_cast<double>(kMostColumns)));
    const auto cols = static_cast<size_t>(columns);

    PeakEnvelope e;
    e.audioPath = std::move(audioPath);
    e.columns = columns;
    if (n == 0) {
        e.windowSec = {0, 0};
        e.bass = e.mid = e.treble = e.peak = std::vector<double>(cols, 0.0);
        return e;
    }

    // Peak columns; every column covers at least one sample.
    std::vector<double> peakL(cols), peakR(cols), peakM(cols);
    for (size_t c = 0; c < cols; ++c) {
        const size_t start = c * n / cols;
        const size_t end = std::min(std::max((c + 1) * n / cols, start + 1), n);
        float l = 0, r = 0, m = 0;
        for (size_t i = start; i < end; ++i) {
            l = std::max(l, std::fabs(left[i]));
            r = std::max(r, std::fabs(right[i]));
            m = std::max(m, std::fabs((left[i] + right[i]) * 0.5f));
        }
        // Samples that are not finite (a damaged float file) must not poison the whole envelope.
        peakL[c] = std::isfinite(l) ? l : 0.0;
        peakR[c] = std::isfinite(r) ? r : 0.0;
        peakM[c] = std::isfinite(m) ? m : 0.0;
    }

    // Band energies per analysis frame, for left, right and the mono mix.
    const EnvelopeBands bands = EnvelopeBands::forSampleRate(sr);
    const size_t hop = static_cast<size_t>(bands.hop);
    const std::span<const float> l = left.first(n), r = right.first(n);
    const std::array<std::vector<float>, 3> frameLists[3] = {
        EnvelopeBands::frameSums(l, {}, sr), EnvelopeBands::frameSums(r, {}, sr), EnvelopeBands::frameSums(l, r, sr)};
    const size_t frames = frameLists[0][0].size();

    // Frames to columns by linear interpolation at each column's first sample.
    std::vector<double> columnLists[3][3];
    for (int signal = 0; signal < 3; ++signal) {
        for (int b = 0; b < 3; ++b) {
            const auto& list = frameLists[signal][b];
            auto& out = columnLists[signal][b];
            out.resize(cols);
            for (size_t c = 0; c < cols; ++c) {
                const size_t s = c * n / cols;
                const double p = static_cast<double>(s) / static_cast<double>(hop);
                const size_t i0 = std::min(frames - 1, static_cast<size_t>(p));
                const size_t i1 = std::min(i0 + 1, frames - 1);
                const double t = p - static_cast<double>(i0);
                out[c] = list[i1] * t + (1 - t) * list[i0];
            }
        }
    }

    e.centerSec = seconds * 0.5;
    e.windowSec = {0, seconds};
    e.durationSec = seconds;
    e.bass = normalize(columnLists[2][0], kBandPercentile, kBandGamma);
    e.mid = normalize(columnLists[2][1], kBandPercentile, kBandGamma);
    e.treble = normalize(columnLists[2][2], kBandPercentile, kBandGamma);
    e.peak = normalize(std::move(peakM), kPeakPercentile, kPeakGamma);
    e.peakL = normalize(std::move(peakL), kPeakPercentile, kPeakGamma);
    e.peakR = normalize(std::move(peakR), kPeakPercentile, kPeakGamma);
    e.rgbL = bandRGB(columnLists[0][0], columnLists[0][1], columnLists[0][2]);
    e.rgbR = bandRGB(columnLists[1][0], columnLists[1][1], columnLists[1][2]);
    return e;
}

}  // namespace plindo::library
