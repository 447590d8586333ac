#pragma once
// The process-wide settings and per-deck tables of the Serato MIDI output. They start at their defaults at
// every launch and are never persisted; the control endpoint writes them and every thread of the output
// reads them without a lock, so each is a single atomic word and a change takes effect at the next read.
#include "serato/serato_emit.h"

#include <array>
#include <atomic>
#include <cstdint>
#include <string_view>

namespace plindo::serato {

namespace SeratoOutFormat {
inline constexpr uint8_t twelve = 0;
inline constexpr uint8_t jog = 1;
inline constexpr uint8_t phone = 2;
inline constexpr uint8_t rel = 3;
inline constexpr uint8_t radian = 4;
}  // namespace SeratoOutFormat

// Encodings of the delta controller values of the relative message.
namespace TimeCCForm {
inline constexpr uint8_t twos = 0;
inline constexpr uint8_t offset = 1;
inline constexpr uint8_t signedForm = 2;
inline constexpr uint8_t onoff = 3;
inline constexpr uint8_t unknown = 4;
// "twos", "offset", "signed", "onoff" by index; empty for any other index.
std::string_view name(int form);
// The index of a name, 4 when unknown.
uint8_t named(std::string_view name);
}  // namespace TimeCCForm

// The emitter tuning as the output lives with it: each value its own atomic so that the control endpoint's
// writes never tear a value that the drain reads.
class LiveTuning {
public:
    explicit LiveTuning(const SeratoEmit::Tuning& t) { store(t); }
    SeratoEmit::Tuning load() const;
    void store(const SeratoEmit::Tuning& t);

private:
    static constexpr std::size_t kDoubles = 16;
    std::array<std::atomic<double>, kDoubles> d_{};
    std::atomic<int64_t> maxMessages_{0};
    std::atomic<int64_t> maxTrackPoints_{0};
};

template <typename T>
using PerDeck = std::array<std::atomic<T>, 2>;

struct SeratoOutSettings {
    std::atomic<double> stampFreq{500000.0};
    std::atomic<bool> twelveFlag{true};
    std::atomic<double> twelveFreq{2822400.0};
    std::atomic<uint8_t> format{SeratoOutFormat::rel};
    std::atomic<double> ticksPerRev{36000.0};
    std::atomic<double> radianScale{1.0};
    std::atomic<double> radianStill{0.02};
    std::atomic<double> subStepTicks{2.0};
    std::atomic<int64_t> subSteps{0};
    std::atomic<double> leadScale{1.0};
    std::atomic<bool> autoLead{false};
    std::atomic<bool> movementGate{true};
    std::atomic<int64_t> motionTicks{6};
    std::atomic<double> motionWindow{0.05};
    std::atomic<double> motionHold{5.0};
    std::atomic<double> motionUnderrun{3.0};
    std::atomic<bool> realtimeDrain{true};
    std::atomic<double> pitchRangePercent{8.0};
    std::atomic<int64_t> timestampMode{2};
    std::atomic<int64_t> keepAliveMode{0};
    std::atomic<uint8_t> timeCCForm{TimeCCForm::twos};

    // Per deck, index deck - 1.
    PerDeck<double> timeFreqByDeck{44100.0, 44100.0};
    PerDeck<double> movingUntil{0.0, 0.0};
    PerDeck<double> lastDriveWall{0.0, 0.0};
    PerDeck<double> lastMotionWall{-1.0, -1.0};
    PerDeck<double> lastTouchPulse{-1.0, -1.0};
    PerDeck<double> lastTwelveKeepAlive{-1.0, -1.0};
    PerDeck<int64_t> lastPitchSent{-1, -1};
    PerDeck<bool> engaged{false, false};

    // The encoders' own values.
    std::atomic<uint8_t> timeCC{0};
    PerDeck<double> timeCCLastStamp{-1.0, -1.0};
    PerDeck<double> timeCCResidual{0.0, 0.0};
    PerDeck<int64_t> radianLastRate{-1, -1};
    PerDeck<int64_t> radianLastPos{-1, -1};
    PerDeck<double> stampKeepAliveLast{-1.0, -1.0};

    LiveTuning tuning{SeratoEmit::Tuning::liveStart()};

    // Selects the output format by name: "twelve", "jog", "rel", "radian"; any other name selects "phone".
    // "rel" also sets 36000 ticks per turn, "phone" 7200.
    void selectFormat(std::string_view name);
};

// The one set of the process, made on first use.
SeratoOutSettings& seratoOutSettings();

}  // namespace plindo::serato
