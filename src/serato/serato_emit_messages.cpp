#include "serato/serato_emit_messages.h"

#include "platform/checked.h"

#include <algorithm>
#include <cmath>
#include <numbers>

namespace plindo::serato::SeratoEmit {

namespace {

constexpr double kStampLimit = 1e12;     // seconds; beyond this a stamp is not a clock reading
constexpr double kPositionLimit = 1e15;  // ticks

bool deckOk(int deck) { return deck == 1 || deck == 2; }
bool stampOk(double stamp) { return std::isfinite(stamp) && std::fabs(stamp) < kStampLimit; }
bool positionOk(double p) { return std::isfinite(p) && std::fabs(p) < kPositionLimit; }
std::size_t deckIndex(int deck) { return static_cast<std::size_t>(deck - 1); }

uint8_t lo7(int64_t v) { return static_cast<uint8_t>(v & 0x7F); }
uint8_t hi7(int64_t v) { return static_cast<uint8_t>((v >> 7) & 0x7F); }

// A timestamp clock reading; none when stamp x frequency does not fit (a frequency set out of all reason).
std::optional<int64_t> clockCount(double stamp, double freq) {
    return platform::checkedRound<int64_t>(stamp * freq);
}

void put(MidiBytes& out, uint8_t a, uint8_t b, uint8_t c) {
    out.push(a);
    out.push(b);
    out.push(c);
}

}  // namespace

MidiBytes stampMessage(int deck, bool withPosition, double position, double stamp, SeratoOutSettings& s) {
    MidiBytes out;
    if (!positionOk(position) || !deckOk(deck) || !stampOk(stamp)) return out;
    const auto ch = static_cast<uint8_t>(deck - 1);
    const auto pos = static_cast<int64_t>(std::round(position));
    if (s.twelveFlag.load(std::memory_order_relaxed)) {
        const auto v = clockCount(stamp, s.twelveFreq.load(std::memory_order_relaxed));
        if (!v) return out;
        put(out, static_cast<uint8_t>(0xE0 | ch), lo7(*v), hi7(*v));
        if (withPosition) put(out, static_cast<uint8_t>(0xB0 | ch), 0x06, lo7(pos));
        return out;
    }
    const auto v = clockCount(stamp, s.stampFreq.load(std::memory_order_relaxed));
    if (!v) return out;
    put(out, deck == 1 ? 0xE0 : 0xE2, lo7(*v), hi7(*v));
    const int64_t mode = s.keepAliveMode.load(std::memory_order_relaxed);
    bool keepAlive = mode == 0;
    if (mode == 1) {
        auto& last = s.stampKeepAliveLast[deckIndex(deck)];
        if (stamp - last.load(std::memory_order_relaxed) >= 0.3) {
            last.store(stamp, std::memory_order_relaxed);
            keepAlive = true;
        }
    }
    if (keepAlive) put(out, 0xB0, static_cast<uint8_t>(deck + 3), 0x01);
    if (withPosition) put(out, 0xB0, static_cast<uint8_t>(0x0F + deck), lo7(pos));
    return out;
}

MidiBytes nineByteMessage(int deck, double position, double stamp, SeratoOutSettings& s) {
    MidiBytes out;
    if (!deckOk(deck) || !positionOk(position) || !stampOk(stamp)) return out;
    const auto t = clockCount(stamp, s.timeFreqByDeck[deckIndex(deck)].load(std::memory_order_relaxed));
    if (!t) return out;
    const auto p = static_cast<int64_t>(std::round(position));
    const auto ch = static_cast<uint8_t>(deck - 1);
    put(out, static_cast<uint8_t>(0xE0 | ch), lo7(*t), hi7(*t));
    put(out, static_cast<uint8_t>(0xB0 | ch), 0x06, hi7(p));
    put(out, static_cast<uint8_t>(0xB0 | ch), 0x26, lo7(p));
    return out;
}

MidiBytes relativeMessage(int deck, int64_t delta, double stamp, SeratoOutSettings& s) {
    MidiBytes out;
    if (!deckOk(deck) || !stampOk(stamp)) return out;
    const std::size_t d = deckIndex(deck);
    const auto ch = static_cast<uint8_t>(deck - 1);

    const uint8_t timeCC = s.timeCC.load(std::memory_order_relaxed);
    if (timeCC == 0) {
        const auto t = clockCount(stamp, s.timeFreqByDeck[d].load(std::memory_order_relaxed));
        if (!t) return out;
        put(out, static_cast<uint8_t>(0xE0 | ch), lo7(*t), hi7(*t));
    } else {
        const double last = s.timeCCLastStamp[d].exchange(stamp, std::memory_order_relaxed);
        const double ms = (last > 0 && last < stamp && stamp - last < 1.0) ? (stamp - last) * 1000 : 10;
        double acc = ms + s.timeCCResidual[d].load(std::memory_order_relaxed);
        if (!std::isfinite(acc)) acc = ms;
        const double n = std::clamp(std::trunc(acc), 0.0, 127.0);
        s.timeCCResidual[d].store(acc - n, std::memory_order_relaxed);
        put(out, static_cast<uint8_t>(0xB0 | ch), static_cast<uint8_t>(timeCC & 0x7F), static_cast<uint8_t>(n));
    }

    if (delta == 0) return out;
    const uint8_t form = s.timeCCForm.load(std::memory_order_relaxed);
    int64_t remaining = delta;
    for (int chunks = 0; chunks < 256 && remaining != 0; ++chunks) {
        const int64_t chunk = std::clamp<int64_t>(remaining, -63, 63);
        int64_t value;
        switch (form) {
            case TimeCCForm::offset: value = chunk + 64; break;
            case TimeCCForm::signedForm: value = remaining >= 0 ? chunk : ((-chunk) | 0x40); break;
            case TimeCCForm::onoff: value = remaining >= 0 ? 127 : 0; break;
            default: value = chunk & 0x7F; break;  // "twos", also for an unknown form
        }
        put(out, static_cast<uint8_t>(0xB0 | ch), 0x06, static_cast<uint8_t>(std::clamp<int64_t>(value, 0, 127)));
        remaining -= chunk;
    }
    return out;
}

MidiBytes radianMessage(int deck, double angle, double omega, SeratoOutSettings& s) {
    MidiBytes out;
    if (!deckOk(deck) || !std::isfinite(angle) || !std::isfinite(omega)) return out;
    const std::size_t d = deckIndex(deck);
    const double still = s.radianStill.load(std::memory_order_relaxed);

    double r = std::fabs(omega);
    if (r < still) r = 0;
    // Clamped before rounding, so that no scale can make the rounding overflow.
    const auto rate = static_cast<int64_t>(
        std::round(platform::clampFinite(r * s.radianScale.load(std::memory_order_relaxed), 0, 127)));

    double a = std::fmod(-angle, 2 * std::numbers::pi);
    if (a < 0) a += 2 * std::numbers::pi;
    const auto pos = std::clamp<int64_t>(static_cast<int64_t>(std::round(a / (2 * std::numbers::pi) * 127)), 0, 127);

    if ((std::fabs(omega) < still || omega == 0) && rate == s.radianLastRate[d].load(std::memory_order_relaxed) &&
        pos == s.radianLastPos[d].load(std::memory_order_relaxed))
        return out;
    s.radianLastRate[d].store(rate, std::memory_order_relaxed);
    s.radianLastPos[d].store(pos, std::memory_order_relaxed);
    const auto ch = static_cast<uint8_t>(deck - 1);
    put(out, static_cast<uint8_t>(0xB0 | ch), 0x10, static_cast<uint8_t>(pos));
    put(out, static_cast<uint8_t>(0xB0 | ch), 0x18, static_cast<uint8_t>(rate));
    return out;
}

}  // namespace plindo::serato::SeratoEmit
