#include "library/deck_meta.h"

#include "library/json_read.h"
#include "platform/bounded_json.h"
#include "platform/checked.h"

#include <nlohmann/json.hpp>

#include <cmath>
#include <functional>
#include <limits>

namespace plindo::library {

namespace {

using json = nlohmann::json;

int64_t millisecondIdentity(double tStart) {
    const double ms = tStart * 1000;
    if (auto v = platform::checkedInt64(ms)) return *v;
    if (std::isnan(ms)) return 0;
    return ms > 0 ? std::numeric_limits<int64_t>::max() : std::numeric_limits<int64_t>::min();
}

using namespace json_read;
constexpr auto readInt = &readInteger<int64_t>;

bool readMarkers(const json& j, std::vector<std::vector<double>>& out) {
    return readList(j, out, [](const json& x, std::vector<double>& row) { return readList(x, row, readDouble); });
}

bool readBeatgrid(const json& j, DeckMeta::Beatgrid& g) {
    return j.is_object() && optional(j, "first_anchor_sec", g.firstAnchorSec, readDouble) &&
           optional(j, "bpm", g.bpm, readDouble) && optional(j, "terminal_sec", g.terminalSec, readDouble) &&
           optional(j, "markers", g.markers, readMarkers);
}

bool readCue(const json& j, DeckMeta::Cue& c) {
    return j.is_object() && optional(j, "idx", c.idx, readInt) && required(j, "t_start", c.tStart, readDouble) &&
           optional(j, "color", c.color, readString) && required(j, "label", c.label, readString);
}

bool readLoop(const json& j, DeckMeta::Loop& l) {
    return j.is_object() && optional(j, "idx", l.idx, readInt) && required(j, "t_start", l.tStart, readDouble) &&
           required(j, "t_end", l.tEnd, readDouble) && optional(j, "color", l.color, readString) &&
           required(j, "label", l.label, readString) && required(j, "locked", l.locked, readBool);
}

bool readAction(const json& j, DeckMeta::FlipAction& a) {
    return j.is_object() && required(j, "type", a.type, readString) && optional(j, "from_s", a.fromS, readDouble) &&
           optional(j, "to_s", a.toS, readDouble) && optional(j, "trigger_s", a.triggerS, readDouble);
}

bool readActions(const json& j, std::vector<DeckMeta::FlipAction>& out) { return readList(j, out, readAction); }

bool readFlip(const json& j, DeckMeta::Flip& f) {
    return j.is_object() && optional(j, "slot", f.slot, readInt) && required(j, "name", f.name, readString) &&
           required(j, "loop", f.loop, readBool) && optional(j, "actions", f.actions, readActions);
}

}  // namespace

int64_t DeckMeta::Cue::id() const { return idx ? *idx : millisecondIdentity(tStart); }
int64_t DeckMeta::Loop::id() const { return idx ? *idx : millisecondIdentity(tStart); }
int64_t DeckMeta::Flip::id() const {
    return slot ? *slot : static_cast<int64_t>(std::hash<std::string>{}(name));
}

std::optional<DeckMeta> DeckMeta::decode(std::string_view text) {
    const auto parsed = platform::parseBoundedJson(text);
    if (!parsed || !parsed->is_object()) return std::nullopt;
    const json& j = *parsed;
    DeckMeta m;
    const bool ok =
        required(j, "path", m.path, readString) && optional(j, "api_version", m.apiVersion, readString) &&
        optional(j, "duration_sec", m.durationSec, readDouble) && optional(j, "bpm", m.bpm, readDouble) &&
        optional(j, "bpm_lock", m.bpmLock, readBool) && optional(j, "track_color", m.trackColor, readString) &&
        optional(j, "key", m.key, readString) && optional(j, "camelot", m.camelot, readString) &&
        optional(j, "album_art", m.albumArt, readString) && optional(j, "beatgrid", m.beatgrid, readBeatgrid) &&
        required(j, "cues", m.cues, [](const json& x, auto& out) { return readList(x, out, readCue); }) &&
        required(j, "loops", m.loops, [](const json& x, auto& out) { return readList(x, out, readLoop); }) &&
        required(j, "flips", m.flips, [](const json& x, auto& out) { return readList(x, out, readFlip); });
    if (!ok) return std::nullopt;
    return m;
}

}  // namespace plindo::library
