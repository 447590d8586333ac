#include "motion/follow_player.h"

#include "platform/freed_memory.h"

#include <algorithm>
#include <cmath>
#include <iterator>
#include <mutex>

namespace plindo::motion {

namespace {
// Time constant of the anchor's confidence as it ages.
constexpr double kConfTauSec = 0.1;
// Servo boost after the platter changes direction: how long, and how much stronger.
constexpr double kReversalBoostSec = 0.08;
constexpr double kReversalGain = 3.0;
// Share of the way the eased rate moves towards the anchor rate per callback.
constexpr double kEase = 0.2;
// Frames over which the step ramps to its new value.
constexpr uint32_t kRampFrames = 16;
// Share of the way the gain moves towards its target per frame.
constexpr float kGainStep = 0.02f;
// A pending seek is applied once the gain has fallen below this.
constexpr float kSeekGain = 0.03f;
// Still gate used when none is set, and how long the rate must stay under it before the deck fades.
constexpr double kDefaultStillGate = HostConfig::defaultStillGate;
constexpr double kStillFadeSec = 0.15;

double finiteOr0(double v) { return std::isfinite(v) ? v : 0.0; }
}  // namespace

struct FollowPlayer::RenderState {
    double posFrames = 0;  // play position in track frames
    double rate = 0;       // step in track frames per output frame at the end of the last callback
    double integ = 0;      // servo integral
    double scaleLP = 0;    // eased anchor rate
    float gain = 0;
    std::optional<double> pendingSeek;
    double lastLoadGen = -1;
    double stillSec = 0;
    double reversalBoost = 0;

    // One bad value (a non-finite anchor, an overflow) must not stay in the state and silence the deck
    // for good.
    void sanitize() {
        posFrames = finiteOr0(posFrames);
        rate = finiteOr0(rate);
        integ = finiteOr0(integ);
        scaleLP = finiteOr0(scaleLP);
        stillSec = finiteOr0(stillSec);
        reversalBoost = finiteOr0(reversalBoost);
        if (!std::isfinite(gain)) gain = 0;
    }
};

FollowPlayer::FollowPlayer(const AudioOutDevice& device, int channelStart, uint32_t bufferFrames,
                           const platform::Clock& clock)
    : out(std::make_unique<AudioOut>(device, channelStart)), clock_(clock) {
    out->requestBufferFrames = bufferFrames;
}

FollowPlayer::~FollowPlayer() {
    out->stop();
    state_.reset();
    std::lock_guard g(retireLock_);
    retired_.clear();  // no render runs any more
}

void FollowPlayer::prepare(const FollowConfig& config) {
    easeOn.setValue(config.followEase ? 1.0 : 0.0);
    stillGate.setValue(config.stillGate > 0 ? config.stillGate : kDefaultStillGate);
    // A running output renders from the current state and tuning; they never change under the audio thread.
    if (!out->running()) {
        tuning_ = config.tuning;
        state_ = std::make_unique<RenderState>();
    }
}

void FollowPlayer::start(const FollowConfig& config) {
    prepare(config);
    out->onStatus = [this](const std::string& line) {
        if (onStatus) onStatus(line);
    };
    if (out->running()) return;
    AudioOut* o = out.get();
    o->start([this, o](float* l, float* r, uint32_t n) { render(clock_.now(), o->sampleRate, l, r, n); });
}

void FollowPlayer::install(StemRef stem, int gen) {
    StemRef old = table.replace(std::move(stem));
    loadGenCell.setValue(static_cast<double>(gen));
    retire(std::move(old));
    // The decoder's work buffers were freed as it finished.
    platform::returnFreedMemory();
}

void FollowPlayer::retire(StemRef old) {
    if (!old) return;
    // The table already holds the new track: a callback that starts from here on never sees the old one.
    // Only one in flight now may still use it.
    const uint64_t count = renderCount_.load(std::memory_order_acquire);
    if (count % 2 == 0) {  // none in flight: `old` is the last reference and goes here
        release(std::move(old));
        return;
    }
    {
        std::lock_guard g(retireLock_);
        retired_.push_back({std::move(old), count});
    }
    postCollect();
}

void FollowPlayer::collectRetired() {
    const uint64_t now = renderCount_.load(std::memory_order_acquire);
    std::vector<Retired> done;
    {
        std::lock_guard g(retireLock_);
        // The callback that was in flight has ended once the count moved on.
        auto free = std::stable_partition(retired_.begin(), retired_.end(),
                                          [now](const Retired& r) { return r.renderCount == now; });
        done.assign(std::make_move_iterator(free), std::make_move_iterator(retired_.end()));
        retired_.erase(free, retired_.end());
    }
    for (auto& r : done) release(std::move(r.stem));
}

void FollowPlayer::release(StemRef stem) {
    const bool last = stem && stem.use_count() == 1;
    stem.reset();
    if (last) platform::returnFreedMemory();  // a whole track's pages, else kept by the allocator
}

std::size_t FollowPlayer::retiredCount() const {
    std::lock_guard g(retireLock_);
    return retired_.size();
}

void FollowPlayer::render(double now, double outRate, float* left, float* right, uint32_t n) {
    if (n == 0 || !left || !right) return;
    RenderState* st = state_.get();
    if (!st || !(outRate > 0) || !std::isfinite(outRate)) {
        std::fill_n(left, n, 0.0f);
        std::fill_n(right, n, 0.0f);
        return;
    }
    st->sanitize();

    // Counted as running from before the table is read until after the track is let go (the reference is
    // declared after the guard, so it goes first); a track replaced meanwhile is freed on the control side.
    struct Running {
        std::atomic<uint64_t>& count;
        explicit Running(std::atomic<uint64_t>& c) : count(c) { count.fetch_add(1, std::memory_order_seq_cst); }
        ~Running() { count.fetch_add(1, std::memory_order_release); }
    } running(renderCount_);
    const StemRef cur = table.read();
    const StemBuf* stem = cur.get();
    const size_t count = stem ? stem->frames() : 0;
    const double sr = stem ? stem->sampleRate : 0.0;
    if (count < 2 || !(sr > 0) || !std::isfinite(sr)) {
        std::fill_n(left, n, 0.0f);
        std::fill_n(right, n, 0.0f);
        return;
    }
    const double last = static_cast<double>(count - 1);
    const float* srcL = stem->left.data();
    const float* srcR = stem->right.data();
    const double blockSec = n / outRate;

    const double gen = loadGenCell.value();
    if (!(gen == st->lastLoadGen)) {
        st->lastLoadGen = gen;
        st->gain = 0;
        if (st->posFrames >= last) st->posFrames = 0;
    }

    if (std::optional<double> s = seek.take()) st->pendingSeek = s;
    if (st->pendingSeek && st->gain < kSeekGain) {
        st->posFrames = std::max(0.0, finiteOr0(*st->pendingSeek)) * sr;
        st->integ = 0;
        st->pendingSeek.reset();
    }

    const AnchorCell::Snap a = anchor.cell.read();
    const bool valid = a.valid && std::isfinite(a.pos) && std::isfinite(a.wall) && std::isfinite(a.rate);
    double R = 0;
    if (valid) {
        const double age = now - a.wall;
        if (!(age < tuning_.feedStaleSec)) {
            st->integ = 0;
            st->scaleLP = 0;
        } else {
            const double conf = std::exp(age / -kConfTauSec);
            const double boost = st->scaleLP * a.rate < -1e-6 ? kReversalBoostSec : st->reversalBoost;
            const bool boosted = boost > 0;
            st->reversalBoost = std::max(0.0, boost - blockSec);
            st->scaleLP = easeOn.value() > 0.5 ? st->scaleLP + kEase * (a.rate - st->scaleLP) : a.rate;
            const double latency = finiteOr0(out ? out->outLatency.value() : 0.0);
            const double target = a.pos + tuning_.leadTrimSec + latency +
                                  a.rate * std::clamp(age, 0.0, tuning_.anchorExtrapMaxSec);
            const double err = target - st->posFrames / sr;
            errCell.setValue(err);
            if (std::abs(err) > tuning_.snapSec) {
                st->posFrames = std::max(0.0, target) * sr;
                st->integ = 0;
                st->gain = 0;
                R = st->scaleLP;
            } else {
                const double m = boosted ? kReversalGain : 1.0;
                const double k = conf * m;
                const double sat = tuning_.servoSat;
                st->integ = std::clamp(st->integ + tuning_.servoI * err * k * blockSec, -sat, sat);
                const double c = std::clamp(tuning_.servoP * err * k + st->integ, -sat * m, sat * m);
                R = st->scaleLP + c;
            }
            // An anchor far in the future overflows the confidence; such a callback plays nothing new.
            if (!std::isfinite(R)) R = 0;
            st->integ = finiteOr0(st->integ);
        }
    }

    const double S = (sr / outRate) * R;
    const uint32_t rampLen = std::min(n, kRampFrames);
    const double inc = (S - st->rate) / rampLen;

    const double gate = stillGate.value();
    if (std::abs(R) < (gate > 0 ? gate : kDefaultStillGate)) {
        st->stillSec += blockSec;
    } else {
        st->stillSec = 0;
    }
    const bool open = !(mute.value() > 0.5) && st->stillSec <= kStillFadeSec && !st->pendingSeek;
    const float G = open ? 1.0f : 0.0f;

    double p = st->posFrames;
    double s = st->rate;
    float g = st->gain;
    for (uint32_t i = 0; i < n; ++i) {
        if (i < rampLen) s = (i + 1 == rampLen) ? S : s + inc;
        p += s;
        g += (G - g) * kGainStep;
        if (!(p >= 0 && p < last)) {
            left[i] = 0;
            right[i] = 0;
            p = p >= last ? last : 0.0;
        } else {
            const auto j = static_cast<size_t>(p);
            const auto f = static_cast<float>(p - static_cast<double>(j));
            left[i] = (srcL[j] + (srcL[j + 1] - srcL[j]) * f) * g;
            right[i] = (srcR[j] + (srcR[j + 1] - srcR[j]) * f) * g;
        }
    }
    st->posFrames = p;
    st->rate = S;
    st->gain = g;
    posCell.setValue(p / sr);
    rateCell.setValue(R);
}

}  // namespace plindo::motion
