#include "library/peak_envelope.h"

#include <fftw3.h>

#if defined(__SSE2__)
#include <immintrin.h>
#endif

#include <algorithm>
#include <cmath>
#include <map>
#include <vector>
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

namespace {

// The band sums of one analysis frame at a time: Hann window, transform, |2·X[k]| summed per band.
class BandSummer {
public:
    explicit BandSummer(double sampleRate)
        : bands_(EnvelopeBands::forSampleRate(sampleRate)),
          plan_(planFor(bands_.fftSize)),
          window_(fftwAlloc<float>(static_cast<size_t>(bands_.fftSize))),
          frame_(fftwAlloc<float>(static_cast<size_t>(bands_.fftSize))),
          spectrum_(fftwAlloc<fftwf_complex>(static_cast<size_t>(bands_.fftSize / 2 + 1))),
          left_(fftwAlloc<fftwf_complex>(static_cast<size_t>(bands_.fftSize / 2 + 1))),
          magnitude_(static_cast<size_t>(bands_.fftSize / 2)) {
        const int N = bands_.fftSize;
        for (int i = 0; i < N; ++i) window_[i] = static_cast<float>(0.5 * (1.0 - std::cos(2.0 * std::numbers::pi * i / N)));
    }

    const EnvelopeBands& bands() const { return bands_; }
    bool ok() const { return plan_ != nullptr; }

    // The frame of `avail` samples of `a` (or of the mix with `b` when `b` is set), zero beyond them.
    void sums(const float* a, const float* b, size_t avail, float out[3]) {
        const int N = bands_.fftSize;
        float* x = frame_.get();
        if (b) {
            for (size_t i = 0; i < avail; ++i) x[i] = (a[i] + b[i]) * 0.5f * window_[i];
        } else {
            for (size_t i = 0; i < avail; ++i) x[i] = a[i] * window_[i];
        }
        std::fill(x + avail, x + N, 0.0f);
        fftwf_execute_dft_r2c(plan_, x, spectrum_.get());
        bandSums(spectrum_.get(), out);
    }

    // The sums of the left frame, the right frame and their mix. The mix's spectrum is the mean of the two
    // spectra (the transform is linear), so a stereo frame costs two transforms, not three.
    void stereoSums(const float* l, const float* r, size_t avail, float out[3][3]) {
        const int N = bands_.fftSize;
        float* x = frame_.get();
        for (size_t i = 0; i < avail; ++i) x[i] = l[i] * window_[i];
        std::fill(x + avail, x + N, 0.0f);
        fftwf_execute_dft_r2c(plan_, x, spectrum_.get());
        // Only the bins the bands use are kept and mixed.
        std::copy_n(&spectrum_[0][0], 2 * usedBins_, &left_[0][0]);
        for (size_t i = 0; i < avail; ++i) x[i] = r[i] * window_[i];
        fftwf_execute_dft_r2c(plan_, x, spectrum_.get());
        bandSums(left_.get(), out[0]);
        bandSums(spectrum_.get(), out[1]);
        float* mix = &spectrum_[0][0];
        const float* left = &left_[0][0];
        for (int k = 0; k < 2 * usedBins_; ++k) mix[k] = (mix[k] + left[k]) * 0.5f;
        bandSums(spectrum_.get(), out[2]);
    }

private:
    void bandSums(const fftwf_complex* spectrum, float out[3]) {
        const EnvelopeBands::Range ranges[3] = {bands_.low, bands_.middle, bands_.high};
        float* magnitude = magnitude_.data();
        magnitudes(&spectrum[0][0], usedBins_, magnitude);
        for (int band = 0; band < 3; ++band) {
            const float sum = sumOf(magnitude + ranges[band].first, ranges[band].last - ranges[band].first);
            // Samples that are not finite (a damaged float file) must not poison the whole envelope.
            out[band] = std::isfinite(sum) ? sum : 0.0f;
        }
    }

    // |2·X[k]| of `count` interleaved bins; bin 0 holds the DC term alone. Four bins at a time where the
    // processor has vector square roots: the scalar root's error check keeps the compiler from doing so.
    static void magnitudes(const float* spectrum, int count, float* out) {
        int k = 0;
#if defined(__SSE2__)
        const __m128 two = _mm_set1_ps(2.0f);
        for (; k + 4 <= count; k += 4) {
            const __m128 a = _mm_loadu_ps(spectrum + 2 * k), b = _mm_loadu_ps(spectrum + 2 * k + 4);
            const __m128 re = _mm_shuffle_ps(a, b, _MM_SHUFFLE(2, 0, 2, 0));
            const __m128 im = _mm_shuffle_ps(a, b, _MM_SHUFFLE(3, 1, 3, 1));
            const __m128 power = _mm_add_ps(_mm_mul_ps(re, re), _mm_mul_ps(im, im));
            _mm_storeu_ps(out + k, _mm_mul_ps(two, _mm_sqrt_ps(power)));
        }
#endif
        for (; k < count; ++k) {
            const float re = spectrum[2 * k], im = spectrum[2 * k + 1];
            out[k] = 2.0f * std::sqrt(re * re + im * im);
        }
    }

    // A sum in eight running parts, so that the additions need not wait for one another.
    static float sumOf(const float* x, int count) {
        float part[8] = {};
        int k = 0;
        for (; k + 8 <= count; k += 8)
            for (int j = 0; j < 8; ++j) part[j] += x[k + j];
        float sum = 0;
        for (; k < count; ++k) sum += x[k];
        for (float p : part) sum += p;
        return sum;
    }

    EnvelopeBands bands_;
    fftwf_plan plan_;
    FftwBuffer<float> window_, frame_;
    FftwBuffer<fftwf_complex> spectrum_, left_;
    std::vector<float> magnitude_;
    int usedBins_ = std::max({bands_.low.last, bands_.middle.last, bands_.high.last});
};

}  // namespace

std::array<std::vector<float>, 3> EnvelopeBands::frameSums(std::span<const float> a, std::span<const float> b,
                                                             double sampleRate) {
    const bool mix = !b.empty();
    const size_t n = mix ? std::min(a.size(), b.size()) : a.size();
    BandSummer summer(sampleRate);
    const size_t N = static_cast<size_t>(summer.bands().fftSize);
    const size_t hop = static_cast<size_t>(summer.bands().hop);
    const size_t frames = std::max<size_t>(1, (n + hop - 1) / hop);
    std::array<std::vector<float>, 3> sums;
    for (auto& list : sums) list.assign(frames, 0.0f);
    if (!summer.ok()) return sums;
    for (size_t f = 0; f < frames; ++f) {
        const size_t start = f * hop;
        const size_t avail = std::min(n - std::min(start, n), N);
        float out[3];
        summer.sums(a.data() + std::min(start, n), mix ? b.data() + std::min(start, n) : nullptr, avail, out);
        for (size_t band = 0; band < 3; ++band) sums[band][f] = out[band];
    }
    return sums;
}

PeakEnvelope PeakEnvelope::analyze(std::span<const float> left, std::span<const float> right, double sampleRate,
                                   std::string audioPath) {
    const size_t n = std::min(left.size(), right.size());
    PeakEnvelopeBuilder b(n, sampleRate, std::move(audioPath));
    b.add(left.first(n), right.first(n));
    return b.finish();
}

std::optional<PeakEnvelope> PeakEnvelope::analyze(std::span<const float> left, std::span<const float> right,
                                                  double sampleRate, std::string audioPath,
                                                  const std::function<bool()>& cancelled) {
    constexpr size_t kBlockFrames = size_t{1} << 18;
    const size_t n = std::min(left.size(), right.size());
    PeakEnvelopeBuilder b(n, sampleRate, std::move(audioPath));
    for (size_t at = 0; at < n; at += kBlockFrames) {
        if (cancelled && cancelled()) return std::nullopt;
        const size_t count = std::min(kBlockFrames, n - at);
        b.add(left.subspan(at, count), right.subspan(at, count));
    }
    if (cancelled && cancelled()) return std::nullopt;
    return b.finish();
}

PeakEnvelopeBuilder::PeakEnvelopeBuilder(size_t totalFrames, double sampleRate, std::string audioPath)
    : n_(totalFrames), sr_(sanitizedRate(sampleRate)), audioPath_(std::move(audioPath)) {
    const double seconds = static_cast<double>(n_) / sr_;
    cols_ = static_cast<size_t>(std::clamp(std::trunc(kColumnsPerSecond * seconds), static_cast<double>(kFewestColumns),
                                           static_cast<double>(kMostColumns)));
    for (auto* list : {&peakL_, &peakR_, &peakM_}) list->assign(cols_, 0.0f);
    const EnvelopeBands bands = EnvelopeBands::forSampleRate(sr_);
    fftSize_ = static_cast<size_t>(bands.fftSize);
    hop_ = static_cast<size_t>(bands.hop);
    frames_ = std::max<size_t>(1, (n_ + hop_ - 1) / hop_);
    for (auto& signal : frameSums_)
        for (auto& list : signal) list.reserve(frames_);
}

struct PeakEnvelopeBuilder::Summer : BandSummer {
    using BandSummer::BandSummer;
};

PeakEnvelopeBuilder::~PeakEnvelopeBuilder() = default;

size_t PeakEnvelopeBuilder::columnStart(size_t c) const { return c * n_ / cols_; }
size_t PeakEnvelopeBuilder::columnEnd(size_t c) const {
    const size_t start = columnStart(c);
    return std::min(std::max((c + 1) * n_ / cols_, start + 1), n_);
}

void PeakEnvelopeBuilder::add(std::span<const float> left, std::span<const float> right) {
    size_t count = std::min(left.size(), right.size());
    count = std::min(count, n_ - std::min(taken_, n_));  // frames past the announced length are not part of it
    if (count == 0) return;
    const size_t g0 = taken_, g1 = taken_ + count;

    // Peak columns: every column whose range meets [g0, g1) takes the maxima of the overlap.
    while (firstOpen_ < cols_ && columnEnd(firstOpen_) <= g0) ++firstOpen_;
    for (size_t c = firstOpen_; c < cols_ && columnStart(c) < g1; ++c) {
        const size_t from = std::max(columnStart(c), g0), to = std::min(columnEnd(c), g1);
        float l = peakL_[c], r = peakR_[c], m = peakM_[c];
        for (size_t g = from; g < to; ++g) {
            const float a = left[g - g0], b = right[g - g0];
            l = std::max(l, std::fabs(a));
            r = std::max(r, std::fabs(b));
            m = std::max(m, std::fabs((a + b) * 0.5f));
        }
        peakL_[c] = l, peakR_[c] = r, peakM_[c] = m;
    }

    // Analysis frames, each summed as soon as it is whole: read from the block where it lies inside it, else
    // put together from the kept samples and the block.
    taken_ = g1;
    while (frameSums_[0][0].size() < frames_) {
        const size_t f = frameSums_[0][0].size();
        const size_t start = f * hop_;
        const size_t avail = std::min(n_ - std::min(start, n_), fftSize_);
        if (start + avail > g1) break;
        const float* l = left.data() + (start >= g0 ? start - g0 : 0);
        const float* r = right.data() + (start >= g0 ? start - g0 : 0);
        if (start < g0) {
            scratchL_.resize(avail), scratchR_.resize(avail);
            const size_t kept = g0 - start;  // from the buffer, the rest from the block
            std::copy_n(bufL_.begin() + static_cast<std::ptrdiff_t>(start - bufStart_), kept, scratchL_.begin());
            std::copy_n(bufR_.begin() + static_cast<std::ptrdiff_t>(start - bufStart_), kept, scratchR_.begin());
            std::copy_n(left.begin(), avail - kept, scratchL_.begin() + static_cast<std::ptrdiff_t>(kept));
            std::copy_n(right.begin(), avail - kept, scratchR_.begin() + static_cast<std::ptrdiff_t>(kept));
            l = scratchL_.data(), r = scratchR_.data();
        }
        float out[3][3] = {};
        if (!summer_) summer_ = std::make_unique<Summer>(sr_);
        if (summer_->ok()) {
            summer_->stereoSums(l, r, avail, out);
        }
        for (size_t signal = 0; signal < 3; ++signal)
            for (size_t band = 0; band < 3; ++band) frameSums_[signal][band].push_back(out[signal][band]);
    }
    // Keep the samples from the next frame's start on: less than one frame.
    const size_t keepFrom = std::min(frameSums_[0][0].size() * hop_, g1);
    if (keepFrom >= g0) {
        bufL_.assign(left.begin() + static_cast<std::ptrdiff_t>(keepFrom - g0), left.begin() + static_cast<std::ptrdiff_t>(count));
        bufR_.assign(right.begin() + static_cast<std::ptrdiff_t>(keepFrom - g0), right.begin() + static_cast<std::ptrdiff_t>(count));
    } else {
        bufL_.erase(bufL_.begin(), bufL_.begin() + static_cast<std::ptrdiff_t>(keepFrom - bufStart_));
        bufR_.erase(bufR_.begin(), bufR_.begin() + static_cast<std::ptrdiff_t>(keepFrom - bufStart_));
        bufL_.insert(bufL_.end(), left.begin(), left.begin() + static_cast<std::ptrdiff_t>(count));
        bufR_.insert(bufR_.end(), right.begin(), right.begin() + static_cast<std::ptrdiff_t>(count));
    }
    bufStart_ = keepFrom;
}

PeakEnvelope PeakEnvelopeBuilder::finish() {
    const size_t n = n_;
    const size_t cols = cols_;
    const double seconds = static_cast<double>(n) / sr_;
    PeakEnvelope e;
    e.audioPath = std::move(audioPath_);
    e.columns = static_cast<int>(cols);
    if (n == 0) {
        e.windowSec = {0, 0};
        e.bass = e.mid = e.treble = e.peak = std::vector<double>(cols, 0.0);
        return e;
    }
    // Frames the source did not deliver count as silence: their samples are zero.
    if (taken_ < n) {
        const std::vector<float> zeros(std::min<size_t>(n - taken_, 1 << 16), 0.0f);
        while (taken_ < n) {
            const size_t k = std::min(zeros.size(), n - taken_);
            add(std::span(zeros).first(k), std::span(zeros).first(k));
        }
    }

    std::vector<double> peakL(cols), peakR(cols), peakM(cols);
    for (size_t c = 0; c < cols; ++c) {
        // Samples that are not finite (a damaged float file) must not poison the whole envelope.
        peakL[c] = std::isfinite(peakL_[c]) ? peakL_[c] : 0.0;
        peakR[c] = std::isfinite(peakR_[c]) ? peakR_[c] : 0.0;
        peakM[c] = std::isfinite(peakM_[c]) ? peakM_[c] : 0.0;
    }

    // Frames to columns by linear interpolation at each column's first sample.
    const size_t frames = frames_;
    std::vector<double> columnLists[3][3];
    for (int signal = 0; signal < 3; ++signal) {
        for (int b = 0; b < 3; ++b) {
            const auto& list = frameSums_[signal][b];
            auto& out = columnLists[signal][b];
            out.resize(cols);
            for (size_t c = 0; c < cols; ++c) {
                const size_t s = c * n / cols;
                const double p = static_cast<double>(s) / static_cast<double>(hop_);
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
