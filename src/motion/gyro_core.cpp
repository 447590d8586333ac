#include "motion/gyro_core.h"

#include <algorithm>
#include <cmath>

namespace plindo::motion {

void GyroCore::feed(double rate, double ts) {
    std::lock_guard g(lock);
    if (synthSpinOn) return;
    update(false, rate, ts);
}

void GyroCore::update(bool synth, double rate, double ts) {
    // One NaN would stay in the bias, the filter and the angle for the life of the process, and a NaN
    // timestamp would freeze the time step at 0 forever; such a sample carries nothing usable.
    if (!std::isfinite(rate) || !std::isfinite(ts)) return;

    const double dt = (sinkPrevTs > 0 && sinkPrevTs < ts) ? std::min(ts - sinkPrevTs, maxStep) : 0.0;

    const double x = synth ? 0.0 : rate - gyroBias;
    sinkStillLP += (std::fabs(x) - sinkStillLP) * std::min(dt / stillTau, 1.0);
    if (sinkStill && sinkStillLP > stillLeave) {
        sinkStill = false;
    } else if (!sinkStill && sinkStillLP < stillEnter) {
        sinkStill = true;
    }

    double corrected = rate;
    double effective = rate;
    if (!synth) {
        if (sinkStill || std::fabs(rate) < biasLearnBelow) {
            gyroBias += (rate - gyroBias) * std::min(biasGainPerSecond * dt, 1.0);
        }
        gyroBias = std::clamp(gyroBias, -biasLimit, biasLimit);
        corrected = (rate - gyroBias) * scaleK;
        effective = sinkStill ? 0.0 : corrected;
    }

    if (dt > 0) {
        if (!synth && !sinkPrevSynth && !sinkStill) {
            const double d = std::clamp((effective - sinkPrevRate) / dt, -dotLimit, dotLimit);
            sinkDot += (d - sinkDot) * dotWeight;
        } else {
            sinkDot = 0;
        }
        // The corrected rate is integrated, not the effective one: while judged still the angle may creep by
        // the residual, though the published rate is 0.
        sinkAngle += corrected * dt;
    }

    sinkPrevRate = effective;
    sinkPrevSynth = synth;
    sinkPrevTs = ts;

    if (rateSink) rateSink->cell.write(RateSample{effective, sinkDot, sinkAngle, ts});
}

}  // namespace plindo::motion
