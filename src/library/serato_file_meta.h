#pragma once
// What the host knows of one audio file from the tags inside it: artist, title, key, BPM and the DJ
// application's own objects (cues, loops, colour, BPM lock, flips, beat grid, overview, play count).
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

namespace plindo::library {

class TagSource;

using TagBytes = std::span<const uint8_t>;

struct SeratoFileMeta {
    struct Cue {
        int idx = 0;
        double posSec = 0;
        std::string colorHex;
        std::string label;
        bool operator==(const Cue&) const = default;
    };
    struct Loop {
        int idx = 0;
        double startSec = 0;
        double endSec = 0;
        std::string colorHex;
        std::string label;
        bool locked = false;
        bool operator==(const Loop&) const = default;
    };
    struct FlipAction {
        std::string type;  // "jump", "censor" or "unknown"
        std::optional<double> fromS, toS, triggerS, reverseTargetS, speed;
        bool operator==(const FlipAction&) const = default;
    };
    struct Flip {
        int slot = 0;
        std::string name;
        bool loop = false;
        std::vector<FlipAction> actions;
        bool operator==(const Flip&) const = default;
    };
    struct GridMarker {
        double t = 0;        // seconds
        int64_t beats = 0;  // beats up to the next marker
        bool operator==(const GridMarker&) const = default;
    };

    std::string artist;
    std::string title;
    std::string key;
    std::optional<double> bpmField;
    std::optional<double> gridBpm;
    std::vector<GridMarker> gridMarkers;
    std::optional<double> gridTerminalT;
    std::optional<bool> bpmLock;
    std::optional<std::string> trackColorHex;
    std::optional<int64_t> playcount;
    std::vector<Cue> cues;
    std::vector<Loop> loops;
    std::vector<Flip> flips;
    std::optional<std::vector<uint8_t>> overview;  // 3840 bytes: 240 columns of 16

    bool operator==(const SeratoFileMeta&) const = default;

    // Reads the tags of the file at `path`; nothing when it cannot be read, holds no container we know or
    // no field that counts (see isEmpty). Only the tag regions are read, never the audio.
    static std::optional<SeratoFileMeta> read(const std::string& path);
    // The same over bytes already in memory.
    static std::optional<SeratoFileMeta> readBytes(TagBytes file);
    // The same over any source of bytes.
    static std::optional<SeratoFileMeta> read(const TagSource& source);

    // A record with none of the fields that make a track worth describing (a play count, overview or
    // BPM lock alone do not count).
    bool isEmpty() const;

    // Byte readers: a byte outside the buffer (also at a negative offset) reads as 0; they never fail.
    static uint8_t u8(TagBytes b, int64_t at);
    static uint16_t u16BE(TagBytes b, int64_t at);
    static uint32_t u24BE(TagBytes b, int64_t at);
    static uint32_t u32BE(TagBytes b, int64_t at);
    static uint32_t u32LE(TagBytes b, int64_t at);
    static uint64_t u64BE(TagBytes b, int64_t at);
    static float f32BE(TagBytes b, int64_t at);
    static double f64BE(TagBytes b, int64_t at);
    static uint32_t synchsafe(TagBytes b, int64_t at);
    // `count` bytes from `at`; empty when count < 1, at < 0 or the range passes the end.
    static std::vector<uint8_t> bytes(TagBytes b, int64_t at, int64_t count);
    // Index of the first zero byte in [from, min(limit, size)).
    static std::optional<int64_t> findZero(TagBytes b, int64_t from, int64_t limit);
    // Index just past the text terminator searched from `from`: one zero byte, or (wide) an aligned pair of
    // zero bytes whose second index is below `limit`.
    static std::optional<int64_t> terminatorEnd(TagBytes b, int64_t from, bool wide, int64_t limit);
};

}  // namespace plindo::library
