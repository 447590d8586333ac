#pragma once
// What one complete SysEx from the DJ application means: a deck's time or length, a platter record, a
// screen-waveform bitmap, some other packed Rane frame, or song-info text. Repeats are dropped, the logs are
// rate-limited per deck, and screen-waveform bitmaps are kept per deck and offset so that only changed ones
// are reported. Pure state and a step function: the caller dispatches, logs and captures.
#include "serato/screen_wave.h"
#include "serato/serato_return.h"

#include <array>
#include <cstddef>
#include <cstdint>
#include <map>
#include <optional>
#include <span>
#include <string>
#include <vector>

namespace plindo::serato {

struct SysexRouter {
    // Bitmaps kept per deck; the farthest from a new offset goes first. 1,024 cover two minutes of track
    // around the play position, so dropping a repeat works where it matters while the memory stays bounded.
    static constexpr size_t kMaxScreenWaves = 1024;
    static constexpr int kMaxLoggedUnknown = 12;

    struct Context {
        double now = 0;           // system uptime, seconds
        int ccDeck = 1;           // deck of the last controller on channel 0 or 1
        int lastChangedDeck = 1;  // deck of the last song change or progress high byte
        bool capture = false;     // the capture switch
    };

    struct Route {
        enum class Kind : uint8_t { none, time, path, text, platter, screenWave, otherFrame };
        Kind kind = Kind::none;
        int deck = 0;         // time, path, text: 1 or 2
        int slot = 0;         // text
        double seconds = 0;   // time
        std::string text;     // path, text
        std::optional<SeratoReturn::PlatterPosition> platter;
        std::optional<SeratoReturn::ScreenWave> wave;
        bool capture = false;  // append the message to the capture file
        std::vector<std::string> logs;
    };

    std::array<int64_t, 2> lastTimeMs{-1, -1};
    std::array<int64_t, 2> lastLengthMs{-1, -1};
    std::array<double, 2> timeLogWall{0, 0};
    std::array<std::optional<SeratoReturn::PlatterPosition>, 2> lastPlatter;
    std::array<double, 2> platterLogWall{0, 0};
    std::array<int64_t, 2> platterCount{0, 0};
    SeratoReturn::SongInfoAssembler songInfo;
    int sysexLogged = 0;
    std::array<std::map<uint32_t, SeratoReturn::ScreenWave>, 2> screenWave;
    std::array<double, 2> screenWaveLogWall{0, 0};

    Route route(std::span<const uint8_t> message, const Context& ctx);

    // "%02X" of the first min(length, 40) bytes joined by spaces, and the whole message with every byte
    // outside 0x20-0x7E shown as ".".
    static std::string hexHead(std::span<const uint8_t> message);
    static std::string printable(std::span<const uint8_t> message);

private:
    Route timeInfo(const SeratoReturn::TimeInfo& t, const Context& ctx);
    Route platterRecord(const SeratoReturn::PlatterPosition& p, const Context& ctx);
    Route assemble(SeratoReturn::ScreenWave&& w, const Context& ctx);
    Route songText(std::span<const uint8_t> message, const Context& ctx);
};

}  // namespace plindo::serato
