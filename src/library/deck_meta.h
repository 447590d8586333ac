#pragma once
// The track metadata the track server delivers at "/deck/meta", as the views read it: tempo, key, colour,
// cue points, saved loops, flips and the beat grid. Read-only; decoded from the JSON text.
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace plindo::library {

struct DeckMeta {
    struct Beatgrid {
        std::optional<double> firstAnchorSec;
        std::optional<double> bpm;
        std::optional<double> terminalSec;
        std::optional<std::vector<std::vector<double>>> markers;
        bool operator==(const Beatgrid&) const = default;
    };
    struct Cue {
        std::optional<int64_t> idx;
        double tStart = 0;
        std::optional<std::string> color;
        std::string label;
        // idx, else the start in whole milliseconds (clamped to the integer range; 0 for NaN).
        int64_t id() const;
        bool operator==(const Cue&) const = default;
    };
    struct Loop {
        std::optional<int64_t> idx;
        double tStart = 0;
        double tEnd = 0;
        std::optional<std::string> color;
        std::string label;
        bool locked = false;
        int64_t id() const;
        bool operator==(const Loop&) const = default;
    };
    struct FlipAction {
        std::string type;  // "jump", "censor", "unknown"
        std::optional<double> fromS;
        std::optional<double> toS;
        std::optional<double> triggerS;
        bool operator==(const FlipAction&) const = default;
    };
    struct Flip {
        std::optional<int64_t> slot;
        std::string name;
        bool loop = false;
        std::optional<std::vector<FlipAction>> actions;
        // slot, else a hash of the name that holds for this run of the program.
        int64_t id() const;
        bool operator==(const Flip&) const = default;
    };

    std::string path;
    std::optional<std::string> apiVersion;
    std::optional<double> durationSec;
    std::optional<double> bpm;
    std::optional<bool> bpmLock;
    std::optional<std::string> trackColor;
    std::optional<std::string> key;
    std::optional<std::string> camelot;
    std::optional<std::string> albumArt;
    std::optional<Beatgrid> beatgrid;
    std::vector<Cue> cues;
    std::vector<Loop> loops;
    std::vector<Flip> flips;

    bool operator==(const DeckMeta&) const = default;

    // The whole document or none: a missing required key or a value of the wrong JSON type fails it all.
    static std::optional<DeckMeta> decode(std::string_view json);
};

}  // namespace plindo::library
