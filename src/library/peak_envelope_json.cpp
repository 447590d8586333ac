#include "library/peak_envelope.h"

#include "library/json_read.h"
#include "platform/bounded_json.h"
#include "platform/checked.h"

#include <nlohmann/json.hpp>

#include <cmath>

namespace plindo::library {

namespace {

constexpr size_t kMaxEnvelopeJsonBytes = size_t{16} << 20;

using ojson = nlohmann::ordered_json;
using json = nlohmann::json;

bool allFinite(const std::vector<double>& v) {
    for (double x : v)
        if (!std::isfinite(x)) return false;
    return true;
}

bool allFinite(const std::optional<std::vector<double>>& v) { return !v || allFinite(*v); }

using namespace json_read;
constexpr auto readInt = &readInteger<int>;

bool readBeat(const json& j, PeakEnvelope::Beat& b) {
    return j.is_object() && required(j, "time_sec", b.timeSec, readDouble) &&
           required(j, "is_downbeat", b.isDownbeat, readBool) && required(j, "is_anchor", b.isAnchor, readBool) &&
           required(j, "x_frac", b.xFrac, readDouble);
}

bool readCue(const json& j, PeakEnvelope::Cue& c) {
    return j.is_object() && required(j, "idx", c.idx, readInt) && required(j, "time_sec", c.timeSec, readDouble) &&
           required(j, "color_rgb", c.colorRGB, readInts) && required(j, "label", c.label, readString) &&
           required(j, "x_frac", c.xFrac, readDouble);
}


}  // namespace

std::optional<std::string> PeakEnvelope::toJson() const {
    if (!std::isfinite(centerSec) || !std::isfinite(durationSec) || !allFinite(windowSec) || !allFinite(bass) ||
        !allFinite(mid) || !allFinite(treble) || !allFinite(peak) || !allFinite(peakL) || !allFinite(peakR) ||
        !allFinite(rgbL) || !allFinite(rgbR) || (bpm && !std::isfinite(*bpm)))
        return std::nullopt;
    ojson j;
    j["audio_path"] = audioPath;
    j["center_sec"] = centerSec;
    j["window_sec"] = windowSec;
    j["columns"] = columns;
    j["duration_sec"] = durationSec;
    j["bass"] = bass;
    j["mid"] = mid;
    j["treble"] = treble;
    j["peak"] = peak;
    ojson beatList = ojson::array();
    for (const Beat& b : beats) {
        if (!std::isfinite(b.timeSec) || !std::isfinite(b.xFrac)) return std::nullopt;
        beatList.push_back(ojson{{"time_sec", b.timeSec}, {"is_downbeat", b.isDownbeat}, {"is_anchor", b.isAnchor},
                                 {"x_frac", b.xFrac}});
    }
    j["beats"] = std::move(beatList);
    ojson cueList = ojson::array();
    for (const Cue& c : cues) {
        if (!std::isfinite(c.timeSec) || !std::isfinite(c.xFrac)) return std::nullopt;
        cueList.push_back(ojson{{"idx", c.idx}, {"time_sec", c.timeSec}, {"color_rgb", c.colorRGB},
                                {"label", c.label}, {"x_frac", c.xFrac}});
    }
    j["cues"] = std::move(cueList);
    if (bpm) j["bpm"] = *bpm;
    if (peakL) j["peak_l"] = *peakL;
    if (peakR) j["peak_r"] = *peakR;
    if (rgbL) j["rgb_l"] = *rgbL;
    if (rgbR) j["rgb_r"] = *rgbR;
    if (trackColor) j["track_color"] = *trackColor;
    // Invalid UTF-8 in a path or label is replaced rather than thrown.
    return j.dump(-1, ' ', false, ojson::error_handler_t::replace);
}

std::optional<PeakEnvelope> PeakEnvelope::fromJson(std::string_view text) {
    // Up to 20000 columns of several channels: larger than other documents, but never deep.
    const auto parsed = platform::parseBoundedJson(text, kMaxEnvelopeJsonBytes);
    if (!parsed || !parsed->is_object()) return std::nullopt;
    const json& j = *parsed;
    PeakEnvelope e;
    const bool ok =
        required(j, "audio_path", e.audioPath, readString) && required(j, "center_sec", e.centerSec, readDouble) &&
        required(j, "window_sec", e.windowSec, readDoubles) && required(j, "columns", e.columns, readInt) &&
        required(j, "duration_sec", e.durationSec, readDouble) && required(j, "bass", e.bass, readDoubles) &&
        required(j, "mid", e.mid, readDoubles) && required(j, "treble", e.treble, readDoubles) &&
        required(j, "peak", e.peak, readDoubles) &&
        required(j, "beats", e.beats, [](const json& x, auto& out) { return readList(x, out, readBeat); }) &&
        required(j, "cues", e.cues, [](const json& x, auto& out) { return readList(x, out, readCue); }) &&
        optional(j, "bpm", e.bpm, readDouble) && optional(j, "peak_l", e.peakL, readDoubles) &&
        optional(j, "peak_r", e.peakR, readDoubles) && optional(j, "rgb_l", e.rgbL, readDoubles) &&
        optional(j, "rgb_r", e.rgbR, readDoubles) && optional(j, "track_color", e.trackColor, readString);
    if (!ok) return std::nullopt;
    return e;
}

}  // namespace plindo::library
