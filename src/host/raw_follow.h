#pragma once
// The raw-gyro follower of one deck: the gyro core, the follower's own play position and the 10 ms timer
// that synthesises platter motion while the phone asks the host to spin the deck.
#include "motion/gyro_core.h"
#include "platform/clock.h"
#include "platform/serial_queue.h"

#include <atomic>
#include <functional>
#include <memory>
#include <mutex>

namespace plindo::host {

class RawFollow {
public:
    // Raw samples younger than this drive the follower; the synthesis waits for them to go quiet.
    static constexpr double kFreshSec = 0.5;
    static constexpr auto kSynthPeriod = std::chrono::milliseconds(10);

    explicit RawFollow(const platform::Clock& clock = platform::systemClock());
    ~RawFollow();  // the timer is cancelled and a running step awaited
    RawFollow(const RawFollow&) = delete;
    RawFollow& operator=(const RawFollow&) = delete;

    motion::GyroCore core;

    std::mutex lock;      // guards the follower's own fields below and the timer
    double posSec = 0;    // the follower's play position
    double lastWall = 0;  // media-clock time of the last raw sample, 0 before any

    // The synthesis step, run by the timer on "plindo.rawmirror.synth". Set before the first start.
    std::function<void(RawFollow&)> onSynthStep;

    // Stores the synthetic speed in the core and starts or stops the timer. Safe from any thread: the check
    // and the creation of the timer happen under the follower's lock, so two callers never make two timers.
    void setRawSynth(double omega, bool stop);
    bool synthTimerRunning();
    // Fresh raw samples or the running synthesis move the deck: the phone's frames then wait. The moment the
    // synthesis stops, frames drive again.
    bool drives(double now);
    // Timers alive now (at most one).
    int liveTimers() const { return liveTimers_.load(); }

private:
    class SynthTimer;

    const platform::Clock& clock_;
    std::atomic<int> liveTimers_{0};
    platform::SerialQueue synthQ_{"plindo.rawmirror.synth"};
    std::unique_ptr<SynthTimer> synthTimer_;  // under `lock`; declared after the queue, so it goes first
};

}  // namespace plindo::host
