#pragma once
// Follows a platter from the phone's raw z-axis gyroscope: learns and removes the sensor bias, judges when the
// platter stands still (and then reports exactly zero), applies a scale gain, integrates a continuous angle
// and a smoothed angular acceleration, and publishes one RateSample per update. It can also be driven by a
// synthetic rate in place of the sensor.
#include "motion/cells.h"

#include <memory>
#include <mutex>

namespace plindo::motion {

class GyroCore {
public:
    GyroCore() = default;
    GyroCore(const GyroCore&) = delete;
    GyroCore& operator=(const GyroCore&) = delete;

    // One raw sensor sample (rad/s, phone sensor seconds). Takes `lock`; dropped while synthetic mode is on.
    void feed(double rate, double ts);

    // One update, sensor or synthetic. The caller holds `lock`. Allocates nothing and takes only the sink's
    // cell lock, so it may run for every sample on the network queue.
    void update(bool synth, double rate, double ts);

    // Serialises every operation on the core. The controller holds it around its own `update` calls and its
    // writes of synthSpinOn, synthOmega and scaleK; cell locks are only ever taken inside it.
    std::mutex lock;

    // Set once right after creation; without it everything is computed and nothing published.
    std::shared_ptr<RateCell> rateSink;

    // State, guarded by `lock`.
    double gyroBias = 0;       // learned sensor bias, rad/s, always within +-biasLimit
    double scaleK = 1.0;       // gain on the bias-corrected rate
    double sinkStillLP = 0;    // low-passed |bias-corrected rate|: the stillness filter
    bool sinkStill = false;    // the platter is judged to stand still
    double sinkPrevTs = 0;     // timestamp of the previous update (0: none yet)
    double sinkPrevRate = 0;   // effective rate of the previous update
    bool sinkPrevSynth = false;
    double sinkDot = 0;        // smoothed angular acceleration, rad/s^2
    double sinkAngle = 0;      // integrated platter angle, rad, never wrapped
    bool synthSpinOn = false;  // sensor samples are ignored while on
    double synthOmega = 0;     // synthetic speed, rad/s (0 while synthSpinOn is off)

    // A gap in the stream integrates at most this much time.
    static constexpr double maxStep = 0.1;
    // The stillness filter's time constant and its hysteresis: still below stillEnter, moving above stillLeave.
    static constexpr double stillTau = 0.08;
    static constexpr double stillEnter = 0.025;
    static constexpr double stillLeave = 0.05;
    // The bias learns while still or while the raw rate is this small; a turning platter reads far above it.
    static constexpr double biasLearnBelow = 0.12;
    static constexpr double biasGainPerSecond = 0.125;
    // A real gyroscope bias is small; anything larger is platter motion that must not be learned away.
    static constexpr double biasLimit = 0.2;
    // Bounds one noisy difference quotient before it enters the acceleration smoother.
    static constexpr double dotLimit = 400;
    static constexpr double dotWeight = 0.45;
};

}  // namespace plindo::motion
