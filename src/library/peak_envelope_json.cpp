#include "library/peak_envelope.h"

#include "platform/checked.h"

#include <nlohmann/json.hpp>

#include <cmath>

namespace plindo::library {

namespace {

using ojson = nlohmann::ordered_json;
using json = nlohmann::json;

bool allFinite(const std::vector<double>& v) {
    for (double x : v)
        if (!std::isfinite(x)) return false;
    return true;
}

bool allFinite(const std::optional<std::vector<double>>& v) { return !v || allFinite(*v); }

// Readers: false on a wrong JSON type.
bool readDouble(const json& j, double& out) {
    if (!j.is_number()) return false;
    out = j.get<double>();
    return std::isfinite(out);
}

bool readInt(const json& j, int& out) {
    if (j.is_number_integer()) {
        if (j.is_number_unsigned()) {
            const auto u = j.get<uint64_t>();
            if (u > static_cast<uint64_t>(std::numeric_limits<int>::max())) return false;
            out = static_cast<int>(u);
            return true;
        }
        const auto v = j.get<int64_t>();
        if (v < std::numeric_limits<int>::min() || v > std::numeric_limits<int>::max()) return false;
        out = static_cast<int>(v);
        return true;
    }
    if (!j.is_number_float()) return false;
    const double d = j.get<double>();
    const auto v = platform::checkedInt(d);
    if (!v || static_cast<double>(*v) != d) return false;  // a fractional number is not an integer
    out = *v;
    return true;
}

bool readDoubles(const json& j, std::vector<double>& out) {
    if (!j.is_array()) return false;
    out.clear();
    out.reserve(j.size());
    for (const auto& x : j) {
        double d;
        if (!readDouble(x, d)) return false;
        out.push_back(d);
    }
    return true;
}

const json* member(const json& obj, const char* key) {
    auto it = obj.find(key);
    return it == obj.end() ? nullptr : &*it;
}

// Required: present with the right type. Optional: missing or null leaves the field absent.
template <typename T, typename Read>
bool required(const json& obj, const char* key, T& out, Read read) {
    const json* m = member(obj, key);
    return m && read(*m, out);
}

template <typename T, typename Read>
bool optional(const json& obj, const char* key, std::optional<T>& out, Read read) {
    const json* m = member(obj, key);
    if (!m || m->is_null()) return true;
    T v{};
    if (!read(*m, v)) return false;
    out = std::move(v);
    return true;
}

bool readString(const json& j, std::string& out) {
    if (!j.is_string()) return false;
    out = j.get<std::string>();
    return true;
}

bool readBool(const json& j, bool& out) {
    if (!j.is_boolean()) return false;
    out = j.get<bool>();
    return true;
}

bool readBeat(const json& j, PeakEnvelope::Beat& b) {
    return j.is_object() && required(j, "time_sec", b.timeSec, readDouble) &&
           required(j, "is_downbeat", b.isDownbeat, readBool) && required(j, "is_anchor", b.isAnchor, readBool) &&
           required(j, "x_frac", b.xFrac, readDouble);
}

bool readInts(const json& j, std::vector<int>& out) {
    if (!j.is_array()) return false;
    out.clear();
    for (const auto& x : j) {
        int v;
        if (!readInt(x, v)) return false;
        out.push_back(v);
    }
    return true;
}

bool readCue(const json& j, PeakEnvelope::Cue& c) {
    return j.is_object() && required(j, "idx", c.idx, readInt) && required(j, "time_sec", c.timeSec, readDouble) &&
           required(j, "color_rgb", c.colorRGB, readInts) && required(j, "label", c.label, readString) &&
           required(j, "x_frac", c.xFrac, readDouble);
}

template <typename T, typename Read>
bool readList(const json& j, std::vector<T>& out, Read read) {
    if (!j.is_array()) return false;
    out.clear();
    for (const auto& x : j) {
        T v{};
        if (!read(x, v)) return false;
        out.push_back(std::move(v));
    }
    return true;
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
    const json j = json::parse(text, nullptr, false);
    if (j.is_discarded() || !j.is_object()) return std::nullopt;
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
