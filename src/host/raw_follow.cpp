#include "host/raw_follow.h"

namespace plindo::host {

// A repeating timer that counts itself among the follower's live timers. Switched off under the follower's
// lock (no step runs after that), it is cancelled and freed outside it: cancelling waits for a running step,
// which may take the lock itself.
class RawFollow::SynthTimer {
public:
    SynthTimer(RawFollow& owner, platform::SerialQueue& queue)
        : owner_(owner), timer_(queue, kSynthPeriod, [this] { step(); }) {
        ++owner_.liveTimers_;
        timer_.start();
    }
    ~SynthTimer() {
        switchOff();
        timer_.cancel();
    }
    void switchOff() {
        if (!off_.exchange(true)) --owner_.liveTimers_;
    }

private:
    void step() {
        if (!off_.load() && owner_.onSynthStep) owner_.onSynthStep(owner_);
    }
    RawFollow& owner_;
    std::atomic<bool> off_{false};
    platform::RepeatingTimer timer_;
};

RawFollow::RawFollow(const platform::Clock& clock) : clock_(clock) {}

RawFollow::~RawFollow() {
    std::unique_ptr<SynthTimer> t;
    {
        std::lock_guard g(lock);
        t = std::move(synthTimer_);
    }
}  // the timer goes here, outside the lock

void RawFollow::setRawSynth(double omega, bool stop) {
    {
        std::lock_guard g(core.lock);
        core.synthSpinOn = !stop;
        core.synthOmega = stop ? 0.0 : omega;
    }
    // A timer being dropped is cancelled outside the lock: its step may take the lock itself.
    std::unique_ptr<SynthTimer> dropped;
    {
        std::lock_guard g(lock);
        if (stop) {
            dropped = std::move(synthTimer_);
            if (dropped) dropped->switchOff();
        } else {
            const double now = clock_.now();
            if (lastWall > 0 && now - lastWall < kFreshSec) return;  // fresh raw data drives; omega waits
            if (synthTimer_) return;                                 // the running timer takes the new omega
            synthTimer_ = std::make_unique<SynthTimer>(*this, synthQ_);
        }
    }
}

bool RawFollow::drives(double now) {
    std::lock_guard g(lock);
    return (lastWall > 0 && now - lastWall < kFreshSec) || synthTimer_ != nullptr;
}

bool RawFollow::synthTimerRunning() {
    std::lock_guard g(lock);
    return synthTimer_ != nullptr;
}

}  // namespace plindo::host
