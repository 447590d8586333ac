#include "ui/library/track_meta_lite.h"

#include "library/json_read.h"
#include "platform/bounded_json.h"
#include "ui/library/camelot.h"

namespace plindo::ui {

namespace {

using json = nlohmann::json;
namespace jr = library::json_read;

std::optional<json> parseObject(std::string_view body) {
    auto j = platform::parseBoundedJson(body);
    if (!j || !j->is_object()) return std::nullopt;
    return j;
}

// An absent or null member leaves `out` alone; a present one must read.
template <typename T, typename Read>
bool optionalMember(const json& o, const char* name, std::optional<T>& out, Read read) {
    const auto it = o.find(name);
    if (it == o.end() || it->is_null()) return true;
    T v{};
    if (!read(*it, v)) return false;
    out = std::move(v);
    return true;
}

bool optionalString(const json& o, const char* name, std::optional<std::string>& out) {
    return optionalMember(o, name, out, jr::readString);
}

}  // namespace

bool readTagsReply(std::string_view body, TrackMetaLite& meta) {
    const auto o = parseObject(body);
    if (!o) return false;
    std::optional<std::string> artist, title;
    if (!optionalString(*o, "artist", artist) || !optionalString(*o, "title", title)) return false;
    meta.artist = artist.value_or("");
    meta.title = title.value_or("");
    return true;
}

bool readDeckMetaReply(std::string_view body, TrackMetaLite& meta) {
    const auto o = parseObject(body);
    if (!o) return false;
    std::optional<double> bpm;
    std::optional<std::string> key, camelot;
    std::optional<int> plays;
    std::optional<std::vector<std::string>> flipNames;
    const auto readFlip = [](const json& f, std::string& name) {
        if (!f.is_object()) return false;
        std::optional<std::string> n;
        if (!optionalString(f, "name", n)) return false;
        name = n.value_or("");
        return true;
    };
    const bool ok =
        optionalMember(*o, "bpm", bpm, jr::readDouble) && optionalString(*o, "key", key) &&
        optionalString(*o, "camelot", camelot) &&
        optionalMember(*o, "plays", plays, [](const json& j, int& v) { return jr::readInteger(j, v); }) &&
        optionalMember(*o, "flips", flipNames, [&](const json& j, std::vector<std::string>& names) {
            return jr::readList(j, names, readFlip);
        });
    if (!ok) return false;
    meta.bpm = bpm;
    meta.key = key.value_or("");
    meta.camelot = camelot.value_or("");
    meta.plays = plays;
    meta.flipNames = flipNames.value_or(std::vector<std::string>{});
    if (meta.camelot.empty() && !meta.key.empty()) meta.camelot = camelotCode(meta.key).value_or("");
    return true;
}

}  // namespace plindo::ui
