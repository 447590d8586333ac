#include "library/peak_envelope.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <complex>
#include <limits>
#include <numbers>

using namespace plindo::library;

namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr double kInf = std::numeric_limits<double>::infinity();

std::vector<float> sine(size_t n, double hz, double sr, double amp = 0.5) {
    std::vector<float> v(n);
    for (size_t i = 0; i < n; ++i) v[i] = static_cast<float>(amp * std::sin(2 * std::numbers::pi * hz * double(i) / sr));
    return v;
}

bool allEqual(const std::vector<double>& v, double x) {
    return std::all_of(v.begin(), v.end(), [x](double y) { return y == x; });
}

// A source envelope of `cols` columns over [0, seconds] whose column k holds k in every list.
PeakEnvelope ramp(int cols, double seconds) {
    PeakEnvelope e;
    e.columns = cols;
    e.durationSec = seconds;
    e.windowSec = {0, seconds};
    for (int k = 0; k < cols; ++k)
        for (auto* l : {&e.bass, &e.mid, &e.treble, &e.peak}) l->push_back(k);
    e.peakL = e.peakR = e.peak;
    e.rgbL = std::vector<double>(3 * size_t(cols));
    for (int k = 0; k < 3 * cols; ++k) (*e.rgbL)[size_t(k)] = k;
    e.rgbR = e.rgbL;
    return e;
}

}  // namespace

TEST(EnvelopeAnalysis, ColumnCountsAndBandLayout) {
    const struct {
        double seconds, sr;
        int columns;
    } counts[] = {{10, 44100, 2500}, {0.1, 44100, 64}, {600, 8000, 120000}, {0, 44100, 64}};
    for (const auto& c : counts) {
        const std::vector<float> s(static_cast<size_t>(c.seconds * c.sr), 0.25f);
        const auto e = PeakEnvelope::analyze(s, s, c.sr, "x");
        EXPECT_EQ(e.columns, c.columns) << c.seconds;
        EXPECT_EQ(e.bass.size(), size_t(c.columns));
        EXPECT_EQ(e.rgbR ? e.rgbR->size() : 0, s.empty() ? 0 : 3 * size_t(c.columns));
    }

    EXPECT_EQ(EnvelopeBands::forSampleRate(30000).hop, 512);
    EXPECT_EQ(EnvelopeBands::forSampleRate(29999).hop, 256);
    EXPECT_EQ(EnvelopeBands::forSampleRate(kNaN).fftSize, 2048);  // taken as 1 Hz
    const struct {
        double sr;
        int n, lo0, lo1, mid1, hi1;
    } layouts[] = {{22050, 2048, 2, 19, 186, 1024}, {44100, 4096, 2, 19, 186, 1024},
                   {48000, 4096, 2, 18, 171, 941},  {96000, 4096, 1, 9, 86, 471},
                   {4000, 2048, 11, 103, 1024, 1024}};  // no treble below 4 kHz
    for (const auto& c : layouts) {
        const auto b = EnvelopeBands::forSampleRate(c.sr);
        EXPECT_EQ((std::vector<int>{b.fftSize, b.low.first, b.low.last, b.middle.first, b.middle.last, b.high.first, b.high.last}),
                  (std::vector<int>{c.n, c.lo0, c.lo1, c.lo1, c.mid1, c.mid1, c.hi1}))
            << c.sr;
    }
    const std::vector<float> s = sine(8000, 1500, 4000);
    EXPECT_TRUE(allEqual(PeakEnvelope::analyze(s, s, 4000, "x").treble, 0.0));
}

TEST(EnvelopeAnalysis, BandSumsMatchANaiveTransform) {
    constexpr double sr = 44100;
    constexpr int N = 4096, hop = 512;
    // A sine on bin 60 (middle band) plus a little on bin 7 (low band); one short last frame.
    std::vector<float> x = sine(3 * N + 100, 60 * sr / N, sr, 0.6);
    const auto lowPart = sine(x.size(), 7 * sr / N, sr, 0.1);
    for (size_t i = 0; i < x.size(); ++i) x[i] += lowPart[i];
    const auto sums = EnvelopeBands::frameSums(x, {}, sr);
    const auto bands = EnvelopeBands::forSampleRate(sr);
    ASSERT_EQ(sums[0].size(), (x.size() + hop - 1) / hop);
    for (size_t f : {size_t(0), size_t(3), sums[0].size() - 1}) {
        std::vector<double> frame(N, 0.0);
        for (int i = 0; i < N && f * hop + size_t(i) < x.size(); ++i)
            frame[size_t(i)] = x[f * hop + size_t(i)] * 0.5 * (1 - std::cos(2 * std::numbers::pi * i / N));
        const EnvelopeBands::Range ranges[3] = {bands.low, bands.middle, bands.high};
        double want[3] = {0, 0, 0};
        for (int b = 0; b < 3; ++b) {
            for (int k = ranges[b].first; k < ranges[b].last; ++k) {
                std::complex<double> X = 0;
                for (int m = 0; m < N; ++m) X += frame[size_t(m)] * std::polar(1.0, -2 * std::numbers::pi * k * m / N);
                want[b] += 2 * std::abs(X);
            }
        }
        // Single-precision rounding spreads about 1e-4 of the frame's energy over the near-empty bands.
        const double total = want[0] + want[1] + want[2];
        if (f == 0) EXPECT_GT(want[1], 1000);
        for (int b = 0; b < 3; ++b)
            EXPECT_NEAR(sums[size_t(b)][f], want[b], 1e-3 * want[b] + 1e-4 * total) << "frame " << f << " band " << b;
    }
    // The mix form is (a + b) / 2.
    const auto mixed = EnvelopeBands::frameSums(x, std::vector<float>(x.size(), 0.0f), sr);
    EXPECT_NEAR(mixed[1][1], sums[1][1] / 2, 1e-3 * sums[1][1]);
}

TEST(EnvelopeAnalysis, TheStereoMixBandsAreThoseOfTheMixedSignal) {
    // Left low and high, right in the middle: the mix's bands, made from the two spectra, must be those of
    // the mixed signal in every band, up to single-precision rounding.
    constexpr double sr = 44100;
    const size_t n = 44100;
    auto l = sine(n, 90, sr, 0.4), r = sine(n, 700, sr, 0.5);
    const auto high = sine(n, 9000, sr, 0.3);
    std::vector<float> mix(n);
    for (size_t i = 0; i < n; ++i) {
        l[i] += high[i];
        mix[i] = (l[i] + r[i]) * 0.5f;
    }
    const PeakEnvelope stereo = PeakEnvelope::analyze(l, r, sr, "x"), mono = PeakEnvelope::analyze(mix, mix, sr, "x");
    for (const auto& [a, b] : {std::pair{&stereo.bass, &mono.bass}, {&stereo.mid, &mono.mid}, {&stereo.treble, &mono.treble}})
        for (size_t c = 0; c < a->size(); ++c) ASSERT_NEAR((*a)[c], (*b)[c], 1e-3) << c;
    EXPECT_GT(stereo.treble[100], 0.1);
}

TEST(EnvelopeAnalysis, SidesNormalisationAndSpan) {
    constexpr double sr = 44100;
    std::vector<float> left(size_t(sr) * 2), right(left.size(), 0.0f);
    for (size_t i = 0; i < left.size(); ++i) left[i] = (i / 50) % 2 ? 1.0f : -1.0f;  // a square wave, left only
    const auto e = PeakEnvelope::analyze(left, right, sr, "sq.wav");
    EXPECT_TRUE(allEqual(*e.peakL, 1.0));
    EXPECT_TRUE(allEqual(*e.peakR, 0.0));
    EXPECT_TRUE(allEqual(e.peak, 1.0));  // 0.5 before normalisation
    EXPECT_TRUE(allEqual(*e.rgbR, 0.0));
    EXPECT_GT((*e.rgbL)[3 * 100 + 1], 0.0);
    EXPECT_EQ(e.windowSec, (std::vector<double>{0, 2.0}));
    EXPECT_DOUBLE_EQ(e.centerSec, 1.0);

    const std::vector<float> silence(44100, 0.0f);
    const auto s = PeakEnvelope::analyze(silence, silence, 44100, "s");
    for (const auto* l : {&s.bass, &s.mid, &s.treble, &s.peak, &*s.peakL, &*s.rgbL}) EXPECT_TRUE(allEqual(*l, 0.0));
}

TEST(EnvelopeAnalysis, EmptyTinyAndDamagedTracks) {
    const auto empty = PeakEnvelope::analyze({}, std::vector<float>(10, 1.0f), 44100, "e");
    EXPECT_EQ(empty.columns, 64);
    EXPECT_TRUE(allEqual(empty.peak, 0.0));
    EXPECT_FALSE(empty.peakL || empty.peakR || empty.rgbL || empty.rgbR);
    EXPECT_EQ(empty.windowSec, (std::vector<double>{0, 0}));

    // Ten samples: every column takes one sample, several columns the same one, one frame for all.
    std::vector<float> ten(10);
    for (size_t i = 0; i < 10; ++i) ten[i] = float(i + 1) / 10;
    const auto t = PeakEnvelope::analyze(ten, ten, 44100, "t");
    ASSERT_EQ(t.columns, 64);
    for (size_t c = 0; c < 64; ++c) {
        EXPECT_NEAR((*t.peakL)[c], std::pow(double(c * 10 / 64 + 1) / 10, 1.7), 1e-6) << c;
        EXPECT_EQ(t.bass[c], t.bass[0]);
    }

    // Samples that are not numbers leave finite lists.
    std::vector<float> bad = sine(44100, 440, 44100);
    bad[1000] = std::numeric_limits<float>::quiet_NaN();
    bad[2000] = std::numeric_limits<float>::infinity();
    EXPECT_TRUE(PeakEnvelope::analyze(bad, bad, 44100, "b").toJson().has_value());
}

TEST(EnvelopeWindow, SpanRules) {
    const PeakEnvelope src = ramp(300, 3.0);
    const struct {
        double center, window, lo, hi;
    } cases[] = {
        {7, 0, 0, 3},      // whole track whatever the centre
        {5, 4, 0, 3},      // lo = 3 = hi falls back
        {-10, 4, 0, 3},    {1, 4, 0, 3},  // clipped at 0
        {1.5, 1, 1, 2},    {kNaN, 1, 0, 3}, {1, kInf, 0, 3}, {kInf, 1, 0, 3}, {1, kNaN, 0, 3},
    };
    for (const auto& c : cases) {
        const auto w = src.windowed(100, c.center, c.window);
        EXPECT_EQ(w.windowSec, (std::vector<double>{c.lo, c.hi})) << c.center << " " << c.window;
        EXPECT_DOUBLE_EQ(w.centerSec, (c.lo + c.hi) / 2);
        EXPECT_DOUBLE_EQ(w.durationSec, 3);
    }
    EXPECT_EQ(src.windowed(1, 0, 0).columns, 8);
    EXPECT_EQ(src.windowed(-5, 0, 0).columns, 8);
    EXPECT_EQ(src.windowed(50000, 0, 0).peak.size(), 20000u);
    const auto e = PeakEnvelope{}.windowed(8, 0, 0);
    EXPECT_TRUE(allEqual(e.peak, 0.0));
    EXPECT_EQ(e.windowSec, (std::vector<double>{0, 0}));
}

TEST(EnvelopeWindow, ResamplesByMaxima) {
    const PeakEnvelope src = ramp(2500, 10.0);
    const auto same = src.windowed(2500, 0, 0);
    ASSERT_EQ(same.peak.size(), 2500u);
    for (size_t j = 0; j + 1 < 2500; ++j) EXPECT_GE(same.peak[j], double(j + 1)) << j;  // takes its right neighbour
    EXPECT_EQ(same.peak[2499], 2499);
    EXPECT_EQ((*same.rgbL)[3 * 10 + 2], (*src.rgbL)[3 * 11 + 2]);

    const auto coarse = src.windowed(10, 0, 0);
    EXPECT_EQ(coarse.peak[0], 250);  // 0 ... 250 inclusive
    EXPECT_EQ(coarse.peak[9], 2499);

    // More output columns than source columns: runs of repeated values.
    const auto fine = src.windowed(400, 1.0, 0.4);  // 100 source columns over 400
    for (size_t j = 0; j < 400; ++j) {
        EXPECT_GE(fine.peak[j], 200) << j;
        EXPECT_LE(fine.peak[j], 301) << j;
    }
    EXPECT_EQ(fine.peak[0], fine.peak[1]);
}

TEST(EnvelopeWindow, SideListsAndMarks) {
    PeakEnvelope src = ramp(300, 3.0);
    src.peakR->pop_back();  // one side short: both left out
    src.rgbR.reset();
    src.beats = {{0.5, true, false, 0.1, 1}, {1.0, false, true, 0.2, 2}, {2.0, false, false, 0.3, std::nullopt}};
    src.cues = {{1, 2.0, {255, 0, 0}, "drop", 0.7}, {2, 2.5, {0, 0, 255}, "out", 0.9}};
    src.bpm = 128;
    const auto w = src.windowed(16, 1.5, 1.0);  // [1, 2]
    EXPECT_FALSE(w.peakL || w.peakR || w.rgbL || w.rgbR);
    EXPECT_EQ(w.beats, (std::vector<PeakEnvelope::Beat>{src.beats[1], src.beats[2]}));  // both ends included
    EXPECT_EQ(w.cues, (std::vector<PeakEnvelope::Cue>{src.cues[0]}));
    EXPECT_EQ(w.bpm, 128);
}

TEST(EnvelopeJson, RoundTripAndForm) {
    // Keys in a fixed order; absent optional members are left out, not written as null.
    PeakEnvelope small = ramp(1, 2.0);
    small.audioPath = "a";
    small.peakR = small.rgbL = small.rgbR = std::nullopt;
    EXPECT_EQ(small.toJson(), R"({"audio_path":"a","center_sec":0.0,"window_sec":[0.0,2.0],"columns":1,"duration_sec":2.0,)"
                              R"("bass":[0.0],"mid":[0.0],"treble":[0.0],"peak":[0.0],"beats":[],"cues":[],"peak_l":[0.0]})");

    std::vector<float> s = sine(44100, 440, 44100);
    PeakEnvelope e = PeakEnvelope::analyze(s, s, 44100, "t\xC3\xA9st.mp3").windowed(50, 0.5, 1);
    EXPECT_EQ(PeakEnvelope::fromJson(e.toJson().value_or("")), e);

    // Marks and optional members round-trip; the bar, the colour source and the count stay out of JSON.
    e.beats = {{1.5, true, true, 0.25, 3}};
    e.cues = {{4, 2.0, {1, 2, 3}, "x", 0.5}};
    e.bpm = 126.5;
    e.trackColor = "#00ff00";
    e.finalRGB = true;
    e.rev = 3;
    const auto back = PeakEnvelope::fromJson(*e.toJson());
    e.finalRGB = false;
    e.rev = 0;
    e.beats[0].bar.reset();
    EXPECT_EQ(back, e);

    e.peak[3] = kNaN;
    EXPECT_FALSE(e.toJson().has_value());  // never written as null
}

TEST(EnvelopeJson, WrongTypesFailTheWholeRead) {
    const std::string base =
        R"({"audio_path":"a","center_sec":1,"window_sec":[0,2],"columns":2,"duration_sec":2,"bass":[0,0],)"
        R"("mid":[0,0],"treble":[0,0],"peak":[0,1],"beats":[],"cues":[])";
    ASSERT_TRUE(PeakEnvelope::fromJson(base + "}"));
    const auto nullBpm = PeakEnvelope::fromJson(base + R"(,"bpm":null,"peak_l":null,"extra":{"x":1}})");
    ASSERT_TRUE(nullBpm);
    EXPECT_FALSE(nullBpm->bpm || nullBpm->peakL);
    EXPECT_TRUE(PeakEnvelope::fromJson(base + R"(,"columns":2.0})"));  // integral number
    const char* bad[] = {
        R"(,"columns":2.5})",         R"(,"bpm":"120"})",          R"(,"peak_l":[0,"x"]})",
        R"(,"center_sec":"1"})",      R"(,"beats":[{"time_sec":1,"is_downbeat":true,"is_anchor":false}]})",
        R"(,"cues":[{"idx":1.5,"time_sec":1,"color_rgb":[1],"label":"x","x_frac":0}]})",
        R"(,"track_color":5})",       R"(,"window_sec":{}})",      R"(,"columns":99999999999})",
    };
    for (const char* b : bad) EXPECT_FALSE(PeakEnvelope::fromJson(base + b)) << b;
    std::string noBeats = base;
    noBeats.erase(noBeats.find(R"("beats":[],)"), 11);
    EXPECT_FALSE(PeakEnvelope::fromJson(noBeats + "}"));
    EXPECT_FALSE(PeakEnvelope::fromJson("[]"));
    EXPECT_FALSE(PeakEnvelope::fromJson("{"));
}

TEST(EnvelopeBuilder, BlocksOfAnySizeGiveWhatTheWholeSignalGives) {
    const struct {
        size_t n;
        double sr;
        std::vector<size_t> blocks;  // repeated until the signal is used up
    } cases[] = {
        {0, 44100, {1}},           {30, 44100, {7}},             {5000, 22050, {1, 2, 255}},
        {123457, 44100, {4096}},   {123457, 44100, {511, 513}},  {44100 * 3 + 77, 8000, {65536, 3}},
    };
    for (const auto& c : cases) {
        std::vector<float> l(c.n), r(c.n);
        for (size_t i = 0; i < c.n; ++i) {
            l[i] = static_cast<float>(std::sin(double(i) * 0.01) * std::sin(double(i) * 0.0001));
            r[i] = static_cast<float>(std::cos(double(i) * 0.37)) * 0.3f;
        }
        if (c.n > 100) l[50] = kNaN, r[60] = INFINITY;  // damage stays where it is
        PeakEnvelopeBuilder b(c.n, c.sr, "x");
        for (size_t at = 0, k = 0; at < c.n; ++k) {
            const size_t size = std::min(c.blocks[k % c.blocks.size()], c.n - at);
            b.add(std::span(l).subspan(at, size), std::span(r).subspan(at, size));
            at += size;
        }
        EXPECT_EQ(b.finish(), PeakEnvelope::analyze(l, r, c.sr, "x")) << c.n << " at " << c.sr;
    }
    // A source that delivers less than it announced ends in silence; one that delivers more is cut.
    const std::vector<float> tone(1000, 0.5f), padded = [&] {
        std::vector<float> p = tone;
        p.resize(1500, 0.0f);
        return p;
    }();
    PeakEnvelopeBuilder shortSource(1500, 8000, "x");
    shortSource.add(tone, tone);
    EXPECT_EQ(shortSource.finish(), PeakEnvelope::analyze(padded, padded, 8000, "x"));
    PeakEnvelopeBuilder longSource(1000, 8000, "x");
    longSource.add(padded, padded);
    EXPECT_EQ(longSource.finish(), PeakEnvelope::analyze(tone, tone, 8000, "x"));

    // An analysis asked between blocks: called off, it gives nothing; let run, what the whole signal gives.
    const std::vector<float> hour(600000, 0.25f);
    int asked = 0;
    EXPECT_FALSE(PeakEnvelope::analyze(hour, hour, 44100, "x", [&] { return ++asked > 1; }).has_value());
    EXPECT_EQ(asked, 2);
    const auto whole = PeakEnvelope::analyze(hour, hour, 44100, "x", [] { return false; });
    ASSERT_TRUE(whole.has_value());
    EXPECT_EQ(*whole, PeakEnvelope::analyze(hour, hour, 44100, "x"));
}
