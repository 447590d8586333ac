#include "serato/serato_out_settings.h"

#include <array>

namespace plindo::serato {

namespace TimeCCForm {

namespace {
constexpr std::array<std::string_view, 4> kNames{"twos", "offset", "signed", "onoff"};
}

std::string_view name(int form) {
    if (form < 0 || form >= static_cast<int>(kNames.size())) return {};
    return kNames[static_cast<std::size_t>(form)];
}

uint8_t named(std::string_view n) {
    for (std::size_t i = 0; i < kNames.size(); ++i)
        if (kNames[i] == n) return static_cast<uint8_t>(i);
    return unknown;
}

}  // namespace TimeCCForm

SeratoEmit::Tuning LiveTuning::load() const {
    SeratoEmit::Tuning t;
    double* fields[kDoubles] = {&t.period,       &t.delay,       &t.step,       &t.heartbeat,
                                &t.minStep,      &t.maxStepTicks, &t.ahead,     &t.segFactor,
                                &t.reprime,      &t.tsBackJump,  &t.maxTickRate, &t.phaseSlew,
                                &t.phaseFold,    &t.minPointGap, &t.primeBackMoving, &t.clockDrift};
    for (std::size_t i = 0; i < kDoubles; ++i) *fields[i] = d_[i].load(std::memory_order_relaxed);
    t.maxMessages = maxMessages_.load(std::memory_order_relaxed);
    t.maxTrackPoints = maxTrackPoints_.load(std::memory_order_relaxed);
    return t;
}

void LiveTuning::store(const SeratoEmit::Tuning& t) {
    const double fields[kDoubles] = {t.period,    t.delay,        t.step,        t.heartbeat,
                                     t.minStep,   t.maxStepTicks, t.ahead,       t.segFactor,
                                     t.reprime,   t.tsBackJump,   t.maxTickRate, t.phaseSlew,
                                     t.phaseFold, t.minPointGap,  t.primeBackMoving, t.clockDrift};
    for (std::size_t i = 0; i < kDoubles; ++i) d_[i].store(fields[i], std::memory_order_relaxed);
    maxMessages_.store(t.maxMessages, std::memory_order_relaxed);
    maxTrackPoints_.store(t.maxTrackPoints, std::memory_order_relaxed);
}

void SeratoOutSettings::selectFormat(std::string_view name) {
    if (name == "twelve") {
        format = SeratoOutFormat::twelve;
    } else if (name == "jog") {
        format = SeratoOutFormat::jog;
    } else if (name == "rel") {
        format = SeratoOutFormat::rel;
        ticksPerRev = 36000.0;
    } else if (name == "radian") {
        format = SeratoOutFormat::radian;
    } else {
        format = SeratoOutFormat::phone;
        ticksPerRev = 7200.0;
    }
}

SeratoOutSettings& seratoOutSettings() {
    static SeratoOutSettings s;
    return s;
}

}  // namespace plindo::serato
