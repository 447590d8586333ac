#pragma once
// The waveform of one track: equally spaced columns of normalised band energies and peak levels, optional
// per-side peaks and colours, and beat and cue marks. Computed from decoded audio, cut to a time window at
// the column count a phone can draw, and served as JSON.
#include <array>
#include <cstddef>
#include <memory>
#include <functional>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace plindo::library {

struct PeakEnvelope {
    struct Beat {
        double timeSec = 0;
        bool isDownbeat = false;
        bool isAnchor = false;
        double xFrac = 0;
        std::optional<int> bar;  // not part of the JSON form
        bool operator==(const Beat&) const = default;
    };
    struct Cue {
        int idx = 0;
        double timeSec = 0;
        std::vector<int> colorRGB;
        std::string label;
        double xFrac = 0;
        bool operator==(const Cue&) const = default;
    };

    std::string audioPath;
    double centerSec = 0;
    std::vector<double> windowSec;  // [start, end], seconds
    int columns = 0;
    double durationSec = 0;
    std::vector<double> bass, mid, treble, peak;
    std::optional<std::vector<double>> peakL, peakR;
    std::optional<std::vector<double>> rgbL, rgbR;  // r, g, b per column
    std::vector<Beat> beats;
    std::vector<Cue> cues;
    std::optional<double> bpm;
    std::optional<std::string> trackColor;
    bool finalRGB = false;  // colours taken as they are from the DJ application's screen; not in JSON
    int rev = 0;            // maker's running count; not in JSON

    bool operator==(const PeakEnvelope&) const = default;

    // The whole-track envelope of a decoded stereo track, about 250 columns per second.
    static PeakEnvelope analyze(std::span<const float> left, std::span<const float> right, double sampleRate,
                                std::string audioPath);
    // The same, asking `cancelled` between blocks of a few seconds; none once it answers true.
    static std::optional<PeakEnvelope> analyze(std::span<const float> left, std::span<const float> right,
                                               double sampleRate, std::string audioPath,
                                               const std::function<bool()>& cancelled);

    // The span around centerSec of length windowSec (<= 0, or not finite: the whole track) resampled by
    // maxima to `columns` (clamped to 8...20000) columns, with the marks inside the span.
    PeakEnvelope windowed(int columns, double centerSec, double windowSec) const;

    // JSON with snake-case keys in a fixed order; none when a number is not finite (JSON has no form for it).
    std::optional<std::string> toJson() const;
    // None when a required key is missing or any value has the wrong type.
    static std::optional<PeakEnvelope> fromJson(std::string_view json);
};

// The whole-track envelope of a track handed over in blocks, for a track too long to hold decoded: it keeps
// the peak columns and the analysis frames, never the signal. Gives what PeakEnvelope::analyze gives for the
// same samples, provided the length is known before the first block.
class PeakEnvelopeBuilder {
public:
    // `totalFrames`: the track's length; frames past it are ignored, frames missing at finish() are silence.
    PeakEnvelopeBuilder(size_t totalFrames, double sampleRate, std::string audioPath);
    ~PeakEnvelopeBuilder();
    PeakEnvelopeBuilder(const PeakEnvelopeBuilder&) = delete;
    PeakEnvelopeBuilder& operator=(const PeakEnvelopeBuilder&) = delete;

    void add(std::span<const float> left, std::span<const float> right);
    PeakEnvelope finish();

private:
    struct Summer;

    size_t columnStart(size_t c) const;
    size_t columnEnd(size_t c) const;

    size_t n_ = 0;
    double sr_ = 1;
    std::string audioPath_;
    size_t cols_ = 0, fftSize_ = 0, hop_ = 0, frames_ = 0;
    size_t taken_ = 0;      // frames added so far
    size_t firstOpen_ = 0;  // first peak column not yet complete
    std::vector<float> peakL_, peakR_, peakM_;
    std::vector<float> bufL_, bufR_;  // samples from bufStart_ on, kept for the frames still to sum
    size_t bufStart_ = 0;
    std::vector<float> scratchL_, scratchR_;  // one frame put together across blocks
    std::array<std::array<std::vector<float>, 3>, 3> frameSums_;  // left, right, mix × low, middle, high
    std::unique_ptr<Summer> summer_;
};

// The analysis' transform layout for a sample rate, exposed for the views and for checking.
struct EnvelopeBands {
    int fftSize = 0;  // N
    int hop = 0;      // N / 8
    struct Range {
        int first = 0;
        int last = 0;  // exclusive
    };
    Range low, middle, high;

    static EnvelopeBands forSampleRate(double sampleRate);

    // Per analysis frame, the sums of |2·X[k]| over the low, middle and high bins of the Hann-windowed frame
    // of `a`, or of the mix (a + b) × 0.5 when `b` is not empty. All zero when no transform can be set up.
    static std::array<std::vector<float>, 3> frameSums(std::span<const float> a, std::span<const float> b,
                                                        double sampleRate);
};

}  // namespace plindo::library
