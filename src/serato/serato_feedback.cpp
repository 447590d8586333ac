#include "serato/serato_feedback.h"

#include <spdlog/fmt/fmt.h>

#include <algorithm>

namespace plindo::serato {

namespace {

constexpr uint8_t kNotePlay = 20;
constexpr uint8_t kNoteMute = 83;
constexpr uint8_t kNoteCueSet = 40;     // 40-47
constexpr uint8_t kNoteCueColour = 90;  // 90-97
constexpr uint8_t kCcPitchHigh1 = 112, kCcPitchLow1 = 113, kCcPitchHigh2 = 114, kCcPitchLow2 = 115;
constexpr uint8_t kCcCueHigh = 40;  // 40-47
constexpr uint8_t kCcCueLow = 72;   // 72-79
constexpr uint8_t kCcSongChanged = 20;
constexpr uint8_t kCcBpmHigh = 27, kCcBpmLow = 59;
constexpr uint8_t kCcProgressHigh = 28, kCcProgressLow = 60;

constexpr double kFull14 = 16383.0;
constexpr double kCueSpanSec = 1200.0;
constexpr double kBpmSpan = 320.0;
constexpr double kProgressSpan = 0.999;  // never quite the end

int word(uint8_t high, uint8_t low) { return high << 7 | low; }

// 8192 is the fader's centre (0) and each step 0.0001.
double pitchOf(int w) { return w / 13382.0 * 1.3382 - 0.8192; }

constexpr std::array<std::string_view, 20> kReference{
    "#CC0000", "#CC4400", "#CC8800", "#CCCC00", "#88CC00", "#44CC00", "#00CC00", "#00CC44", "#00CC88", "#00CCCC",
    "#0088CC", "#0044CC", "#0000CC", "#4400CC", "#8800CC", "#CC00CC", "#CC0088", "#CC0044", "#FFFFFF", "#000000"};

}  // namespace

std::string SeratoFeedback::colour6(uint8_t v) {
    return fmt::format("#{:02X}{:02X}{:02X}", (v >> 4 & 3) * 85, (v >> 2 & 3) * 85, (v & 3) * 85);
}

std::string_view SeratoFeedback::referenceColour(uint8_t v) {
    return v >= 1 && v <= kReference.size() ? kReference[v - 1] : "-";
}

std::string_view SeratoFeedback::name(StartStop s) {
    switch (s) {
        case StartStop::start: return "start";
        case StartStop::stop: return "stop";
        case StartStop::instantStart: return "instantStart";
        case StartStop::instantStop: return "instantStop";
    }
    return "stop";
}

std::optional<SeratoFeedback::StartStop> SeratoFeedback::startStopFromName(std::string_view n) {
    for (auto s : {StartStop::start, StartStop::stop, StartStop::instantStart, StartStop::instantStop})
        if (name(s) == n) return s;
    return std::nullopt;
}

SeratoFeedback::Outcome SeratoFeedback::note(uint8_t kind, int c, uint8_t n, uint8_t v) {
    Outcome out;
    const size_t key = 0x9000u | n;
    if (!seenCC.test(key)) {
        seenCC.set(key);
        out.log(fmt::format("note ch{} n{} v{} (first)", c + 1, n, v));
    }
    if (c < 0 || c > 1) return out;
    const int deck = c + 1;
    const bool noteOn = kind == 0x90;
    const bool on = noteOn && v > 0;
    Event& e = out.event;
    e.deck = deck;
    if (n == kNotePlay) {
        out.log(fmt::format("serato play deck {}: {}", deck, on ? "on" : "off"));
        e.kind = Event::Kind::startStop;
        e.play = on ? StartStop::start : StartStop::stop;
    } else if (n == kNoteMute) {
        e.kind = Event::Kind::mute;
        e.on = on;
    } else if (n >= kNoteCueColour && n < kNoteCueColour + 8) {
        e.kind = Event::Kind::cueColor;
        e.slot = n - kNoteCueColour;
        const std::string hex = colour6(v);
        out.log(fmt::format("cue color d{} slot {} val {} 6bit {} tabelle {}", deck, e.slot, v, hex,
                            referenceColour(v)));
        e.hex = v == 0 ? std::string() : hex;
    } else if (n >= kNoteCueSet && n < kNoteCueSet + 8) {
        e.kind = Event::Kind::cueSet;
        e.slot = n - kNoteCueSet;
        e.on = on;
        e.velocity = noteOn && v == 0 ? 0 : v;
        if (on) out.log(fmt::format("cue set d{} slot {} vel {}", deck, e.slot, v));
    }
    return out;
}

SeratoFeedback::Outcome SeratoFeedback::controller(int c, uint8_t cc, uint8_t v) {
    Outcome out;
    if (c < 0 || c > 15) return out;
    if (c < 2) ccDeck = c + 1;
    const size_t key = size_t(c) << 8 | cc;
    if (!seenCC.test(key)) {
        seenCC.set(key);
        out.log(fmt::format("cc ch{} #{} = {} (first)", c + 1, cc, v));
    }
    if (c > 1) return out;
    Event& e = out.event;
    if (c == 0) {
        switch (cc) {
            case kCcPitchHigh1: pitchMSB[0] = v; return out;
            case kCcPitchHigh2: pitchMSB[1] = v; return out;
            case kCcPitchLow1:
            case kCcPitchLow2: {
                const int i = cc == kCcPitchLow1 ? 0 : 1;
                e.kind = Event::Kind::pitch;
                e.deck = i + 1;
                e.value = pitchOf(word(pitchMSB[i], v));
                return out;
            }
            default: break;
        }
    }
    const int deck = c + 1;
    const int i = c;
    e.deck = deck;
    if (cc >= kCcCueHigh && cc < kCcCueHigh + 8) {
        cueMSB[i][cc - kCcCueHigh] = v;
    } else if (cc >= kCcCueLow && cc < kCcCueLow + 8) {
        e.kind = Event::Kind::cueTime;
        e.slot = cc - kCcCueLow;
        e.value = word(cueMSB[i][e.slot], v) / kFull14 * kCueSpanSec;
    } else if (cc == kCcSongChanged) {
        lastChangedDeck = deck;
        e.kind = Event::Kind::songChanged;
    } else if (cc == kCcBpmHigh) {
        bpmMSB[i] = v;
    } else if (cc == kCcProgressHigh) {
        progMSB[i] = v;
        lastChangedDeck = deck;
    } else if (cc == kCcBpmLow) {
        e.kind = Event::Kind::bpm;
        e.value = word(bpmMSB[i], v) / kFull14 * kBpmSpan;
    } else if (cc == kCcProgressLow) {
        e.kind = Event::Kind::progress;
        e.value = std::min(word(progMSB[i], v) / kFull14 * kProgressSpan, 1.0);
    } else if (lastCCValue[key] != v) {
        lastCCValue[key] = v;
        out.log(fmt::format("cc ch{} #{} = {}", deck, cc, v));
    }
    return out;
}

}  // namespace plindo::serato
