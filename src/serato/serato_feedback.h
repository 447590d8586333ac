#pragma once
// What the DJ application's notes and controllers mean for a deck: pad lights for hot cues, the play and
// censor lights, the pitch fader, tempo, progress, the song-changed strobe and hot-cue positions. Channel 0
// is deck 1, channel 1 deck 2; 14-bit values arrive as a high byte that is kept and a low byte that reports.
// Pure state and step functions: the caller dispatches the event and writes the log lines.
#include <array>
#include <bitset>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace plindo::serato {

struct SeratoFeedback {
    enum class StartStop : uint8_t { start, stop, instantStart, instantStop };

    struct Event {
        enum class Kind : uint8_t { none, startStop, mute, cueSet, cueColor, pitch, cueTime, bpm, progress, songChanged };
        Kind kind = Kind::none;
        int deck = 0;  // 1 or 2
        int slot = 0;
        bool on = false;     // mute on, cue set
        int velocity = 0;    // cue set
        double value = 0;    // pitch, cue seconds, bpm, progress
        StartStop play = StartStop::stop;
        std::string hex;     // cue colour, "" for none
    };

    // At most two lines per message: a first-sight line and the rule's own line.
    struct Outcome {
        Event event;
        std::array<std::string, 2> logs;
        int logCount = 0;
        void log(std::string line) {
            if (logCount < 2) logs[logCount++] = std::move(line);
        }
    };

    std::array<std::array<uint8_t, 8>, 2> cueMSB{};
    std::array<uint8_t, 2> pitchMSB{};
    std::array<uint8_t, 2> bpmMSB{};
    std::array<uint8_t, 2> progMSB{};
    int lastChangedDeck = 1;
    int ccDeck = 1;
    std::bitset<0x10000> seenCC;              // (channel << 8) | cc, and 0x9000 | note
    std::array<int16_t, 0x1000> lastCCValue;  // by (channel << 8) | cc; -1 = nothing logged yet

    SeratoFeedback() { lastCCValue.fill(-1); }

    // kind 0x80 or 0x90, channel 0-15, 7-bit note and velocity.
    Outcome note(uint8_t kind, int channel, uint8_t note, uint8_t velocity);
    // channel 0-15, 7-bit controller and value.
    Outcome controller(int channel, uint8_t cc, uint8_t value);

    // "#RRGGBB" from the low six bits of a velocity, two bits per colour channel.
    static std::string colour6(uint8_t v);
    // The reference colour of values 1-20 shown beside colour6 in the log; "-" for others.
    static std::string_view referenceColour(uint8_t v);

    static std::string_view name(StartStop s);
    static std::optional<StartStop> startStopFromName(std::string_view name);
};

}  // namespace plindo::serato
