// Buttons and faders of a mapped deck: transport, pitch, touch, mute, cue pads, instant double, the library
// browser and the per-deck initialisation sequence. The note and controller numbers are the contract with
// the mapping file.
#include "serato/serato_midi_out.h"

#include "platform/log.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>

namespace plindo::serato {

namespace {

spdlog::logger& log() { return platform::logger("serato-midi"); }

uint8_t ch(int deck) { return static_cast<uint8_t>(deck - 1); }

std::array<uint8_t, 3> noteOn(uint8_t channel, uint8_t note, uint8_t velocity) {
    return {static_cast<uint8_t>(0x90 | channel), note, velocity};
}

}  // namespace

void SeratoMIDIOut::press(uint8_t status, uint8_t note, const SourceRef& source) {
    const std::array<uint8_t, 3> on{status, note, 127};
    const std::array<uint8_t, 3> off{status, note, 0};
    send(on, source, 0, true);
    send(off, source, 0, true);
}

void SeratoMIDIOut::transport(int deck, bool play, const std::string& reason) {
    if (deck < 1 || deck > 2) return;
    SourceRef source;
    {
        std::lock_guard g(lock_);
        if (!decks_[static_cast<std::size_t>(deck - 1)].emit.active) return;
        source = source_;
    }
    const uint8_t format = s_.format.load();
    if (format == SeratoOutFormat::phone || format == SeratoOutFormat::rel) {
        send(noteOn(ch(deck), 20, play ? 127 : 0), source, 0, true);
        log().info("serato transport deck {}: play {} explicit [{}]", deck, play ? "on" : "off", reason);
    } else {
        const uint8_t note = deck == 1 ? (play ? 20 : 21) : (play ? 22 : 23);
        press(0x90, note, source);
        log().info("serato transport deck {}: play {} [{}]", deck, play ? "on" : "off", reason);
    }
}

void SeratoMIDIOut::pitch(int deck, double rate) {
    if (deck < 1 || deck > 2) return;
    const double r = s_.pitchRangePercent.load() / 100.0;
    if (!(r > 0) || !std::isfinite(rate)) return;
    const double v = std::clamp((rate - 1.0) / r, -1.0, 1.0);
    const auto p = static_cast<int64_t>(std::clamp(std::round((v + 1.0) / 2.0 * 16383.0), 0.0, 16383.0));
    const auto i = static_cast<std::size_t>(deck - 1);
    if (p == s_.lastPitchSent[i].load()) return;
    ensurePorts();
    const std::array<uint8_t, 6> msg{static_cast<uint8_t>(0xB0 | ch(deck)), 16, static_cast<uint8_t>(p >> 7),
                                     static_cast<uint8_t>(0xB0 | ch(deck)), 48, static_cast<uint8_t>(p & 0x7F)};
    // Remembered only once it left, so that a value lost to a missing port goes out with the next call.
    if (!send(msg, sourceIfUp(), 0, true)) return;
    s_.lastPitchSent[i] = p;
    log().info("serato pitch Deck {}: Rate {:f} -> {:f} ({})", deck, rate, v, p);
}

void SeratoMIDIOut::touch(int deck, bool on) {
    if (deck < 1 || deck > 2) return;
    ensurePorts();
    sendNow(noteOn(ch(deck), 6, on ? 127 : 0));
}

void SeratoMIDIOut::mute(int deck, bool on, bool sticky) {
    if (deck < 1 || deck > 2 || (!on && sticky)) return;
    ensurePorts();
    sendNow(noteOn(ch(deck), 83, on ? 127 : 0));
}

void SeratoMIDIOut::cueButton(int deck, int slot, bool on) {
    if (deck < 1 || deck > 2 || slot < 0 || slot > 7) return;
    ensurePorts();
    sendNow(noteOn(ch(deck), static_cast<uint8_t>(40 + slot), on ? 127 : 0));
}

void SeratoMIDIOut::instantDouble(int deck) {
    if (deck < 1 || deck > 2) return;
    SourceRef source;
    {
        std::lock_guard g(lock_);
        if (!decks_[static_cast<std::size_t>(deck - 1)].emit.active) return;
        source = source_;
    }
    press(0x90, deck == 1 ? 24 : 25, source);
    log().info("serato instant double → deck {}", deck);
}

void SeratoMIDIOut::libraryScroll(int64_t steps) {
    if (steps == 0) return;
    ensurePorts();
    const SourceRef source = sourceIfUp();
    int64_t n = steps > 0 ? std::min<int64_t>(steps, 500) : (steps < -500 ? 500 : -steps);
    std::string sizes;
    auto chunk = [&](int64_t c) {
        const auto v = static_cast<uint8_t>(steps > 0 ? c : 128 - c);
        const std::array<uint8_t, 3> msg{0xB0, 0x64, v};
        send(msg, source, 0, true);
        if (!sizes.empty()) sizes += '+';
        sizes += std::to_string(c);
        n -= c;
    };
    while (n >= 32) chunk(32);
    for (int64_t c : {16, 8, 4, 2, 1})
        if (n >= c) chunk(c);
    log().info("serato library scroll {} = {}", steps, sizes);
}

void SeratoMIDIOut::libraryKey(const std::string& name, int deck) {
    if (deck < 1 || deck > 2) return;
    int note = -1;
    if (name == "tab") note = 100;
    else if (name == "left") note = 103;
    else if (name == "right") note = 104;
    else if (name == "load") note = deck == 1 ? 101 : 102;
    else if (name == "double") note = deck == 1 ? 24 : 25;
    if (note < 0) return;
    noteTap(static_cast<uint8_t>(note), 1);
}

void SeratoMIDIOut::initDeck(int deck) {
    if (deck < 1 || deck > 2) return;
    SourceRef source;
    {
        std::lock_guard g(lock_);
        if (!portsUp_) return;
        source = source_;
    }
    const uint8_t format = s_.format.load();
    const uint8_t c = ch(deck);
    if (format == SeratoOutFormat::phone || format == SeratoOutFormat::rel) {
        send(noteOn(c, 54, 127), source, 0, true);
        send(noteOn(c, 54, 0), source, 0, true);
        send(noteOn(c, 55, 127), source, 0, true);
        send(noteOn(c, 55, 0), source, 0, true);
        send(noteOn(c, 52, 127), source, 0, true);
        const std::array<uint8_t, 3> smoothing{static_cast<uint8_t>(0xB0 | c), 0x38, 0x06};
        send(smoothing, source, 0, true);
        log().info("serato deck {} phone init (54/55/52, Glaettung {}) sent", deck, 6);
    } else if (s_.twelveFlag.load()) {
        const auto status = static_cast<uint8_t>(0x90 | c);
        for (uint8_t note : {51, 54, 80, 56, 55}) press(status, note, source);
        send(noteOn(c, 52, 127), source, 0, true);
        log().info("serato deck {} twelve init (51/54/80/56/52) sent", deck);
    } else {
        for (int base : {10, 12, 14, 40}) press(0x90, static_cast<uint8_t>(base + deck - 1), source);
        log().info("serato deck {} init sequence sent", deck);
    }
}

}  // namespace plindo::serato
