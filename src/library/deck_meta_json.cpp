#include "library/deck_meta_json.h"

#include "library/media_duration.h"
#include "platform/base64.h"

#include <cmath>

namespace plindo::library {

namespace {

using nlohmann::json;

constexpr double kDurationTimeoutSec = 5.0;

std::optional<double> finite(const std::optional<double>& v) {
    if (v && std::isfinite(*v)) return v;
    return std::nullopt;
}

}  // namespace

json flipActionJSON(const SeratoFileMeta::FlipAction& a) {
    json j = {{"type", a.type}};
    if (auto v = finite(a.fromS)) j["from_s"] = *v;
    if (auto v = finite(a.toS)) j["to_s"] = *v;
    if (auto v = finite(a.triggerS)) j["trigger_s"] = *v;
    if (auto v = finite(a.reverseTargetS)) j["reverse_target_s"] = *v;
    if (auto v = finite(a.speed)) j["speed"] = *v;
    return j;
}

json deckMetaDocument(const std::string& path, const std::optional<SeratoFileMeta>& meta,
                      std::optional<double> durationSec) {
    json doc = {{"path", path}, {"api_version", "0004"}};
    json cues = json::array(), loops = json::array(), flips = json::array();
    if (meta) {
        for (const auto& c : meta->cues) {
            if (!std::isfinite(c.posSec)) continue;
            cues.push_back({{"idx", c.idx}, {"t_start", c.posSec}, {"color", c.colorHex}, {"label", c.label}});
        }
        for (const auto& l : meta->loops) {
            if (!std::isfinite(l.startSec) || !std::isfinite(l.endSec)) continue;
            loops.push_back({{"idx", l.idx},
                             {"t_start", l.startSec},
                             {"t_end", l.endSec},
                             {"color", l.colorHex},
                             {"label", l.label},
                             {"locked", l.locked}});
        }
        for (const auto& f : meta->flips) {
            json actions = json::array();
            for (const auto& a : f.actions) actions.push_back(flipActionJSON(a));
            flips.push_back({{"slot", f.slot}, {"name", f.name}, {"loop", f.loop}, {"actions", std::move(actions)}});
        }
    }
    doc["cues"] = std::move(cues);
    doc["loops"] = std::move(loops);
    doc["flips"] = std::move(flips);
    if (durationSec && std::isfinite(*durationSec) && *durationSec > 0) doc["duration_sec"] = *durationSec;
    if (!meta) return doc;

    const auto gridBpm = finite(meta->gridBpm);
    if (gridBpm)
        doc["bpm"] = *gridBpm;
    else if (auto field = finite(meta->bpmField))
        doc["bpm"] = *field;
    if (meta->bpmLock) doc["bpm_lock"] = *meta->bpmLock;
    if (meta->trackColorHex) doc["track_color"] = *meta->trackColorHex;
    if (!meta->key.empty()) doc["key"] = meta->key;
    if (meta->playcount) doc["plays"] = *meta->playcount;
    if (meta->overview) {
        doc["serato_overview"] = {{"columns", 240},
                                  {"rows", 16},
                                  {"layout", "column_major_cube6"},
                                  {"b64", platform::base64Encode(*meta->overview)}};
    }
    if (!gridBpm) return doc;
    json grid = {{"bpm", *gridBpm}};
    const auto terminal = finite(meta->gridTerminalT);
    std::optional<double> anchor = meta->gridMarkers.empty() ? terminal : finite(meta->gridMarkers.front().t);
    if (anchor) grid["first_anchor_sec"] = *anchor;
    if (terminal) grid["terminal_sec"] = *terminal;
    doc["beatgrid"] = std::move(grid);
    return doc;
}

json deckMetaJSON(const std::string& path) {
    return deckMetaDocument(path, SeratoFileMeta::read(path), mediaDurationSec(path, kDurationTimeoutSec));
}

}  // namespace plindo::library
