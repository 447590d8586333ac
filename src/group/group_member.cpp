#include "group/group_member.h"

#include "platform/text.h"
#include "platform/utf8_repair.h"

#include <nlohmann/json.hpp>

#include <limits>

namespace plindo::group {

namespace {

using nlohmann::json;

std::optional<std::string> textField(const json& j, const char* key) {
    const auto it = j.find(key);
    if (it == j.end() || !it->is_string()) return std::nullopt;
    return it->get<std::string>();
}

std::optional<int64_t> intField(const json& j, const char* key, int64_t lo, int64_t hi) {
    const auto it = j.find(key);
    if (it == j.end()) return std::nullopt;
    if (it->is_number_unsigned()) {
        const auto v = it->get<uint64_t>();
        if (v > static_cast<uint64_t>(hi)) return std::nullopt;
        return static_cast<int64_t>(v);
    }
    if (!it->is_number_integer()) return std::nullopt;
    const auto v = it->get<int64_t>();
    if (v < lo || v > hi) return std::nullopt;
    return v;
}

std::optional<int> smallIntField(const json& j, const char* key) {
    const auto v = intField(j, key, std::numeric_limits<int>::min(), std::numeric_limits<int>::max());
    if (!v) return std::nullopt;
    return static_cast<int>(*v);
}

bool boolField(const json& j, const char* key) {
    const auto it = j.find(key);
    return it != j.end() && it->is_boolean() && it->get<bool>();
}

// `v` as a JSON string. Bytes that are not UTF-8 (a machine name read from a file) are repaired first, so
// the record still goes out and still parses.
void appendJsonString(std::string_view v, std::string& out) {
    if (!platform::text::isValidUtf8(v)) {
        appendJsonString(platform::repairUtf8(v), out);
        return;
    }
    static constexpr char kHex[] = "0123456789abcdef";
    out += '"';
    for (const char c : v) {
        const auto u = static_cast<unsigned char>(c);
        if (c == '"' || c == '\\') {
            out += '\\';
            out += c;
        } else if (u < 0x20) {
            out += "\\u00";
            out += kHex[u >> 4];
            out += kHex[u & 0xF];
        } else {
            out += c;
        }
    }
    out += '"';
}

}  // namespace

std::string_view GroupMember::baseName(std::string_view name) {
    const size_t hash = name.rfind('#');
    if (hash == std::string_view::npos || hash + 1 == name.size()) return name;
    for (size_t i = hash + 1; i < name.size(); ++i) {
        if (name[i] < '0' || name[i] > '9') return name;
    }
    return name.substr(0, hash);
}

std::string GroupMember::toJson() const {
    // Written by hand in the keys' documented order: the roster goes out every second, and building a
    // JSON document per record first costs several times more.
    std::string out;
    out.reserve(96 + name.size() + (path ? path->size() : 0));
    const auto text = [&out](const char* key, std::string_view v) {
        out += key;
        appendJsonString(v, out);
    };
    const auto number = [&out](const char* key, auto v) {
        out += key;
        out += std::to_string(v);
    };
    text("{\"name\":", name);
    text(",\"role\":", roleText(role));
    text(",\"side\":", side);
    out += spinnerWanted ? ",\"spinnerWanted\":true" : ",\"spinnerWanted\":false";
    if (slotNo) number(",\"slotNo\":", *slotNo);
    number(",\"seq\":", seq);
    if (label) text(",\"label\":", *label);
    if (budDeck) number(",\"budDeck\":", *budDeck);
    if (watchDeck) number(",\"watchDeck\":", *watchDeck);
    if (path) text(",\"path\":", *path);
    if (server) text(",\"server\":", *server);
    if (gen) number(",\"gen\":", *gen);
    out += left ? ",\"left\":true}" : ",\"left\":false}";
    return out;
}

std::optional<GroupMember> GroupMember::fromJson(const json& j) {
    if (!j.is_object()) return std::nullopt;
    GroupMember m;
    auto name = textField(j, "name");
    if (!name || name->empty() || name->size() > kMaxNameBytes) return std::nullopt;
    m.name = std::move(*name);
    const auto role = textField(j, "role");
    const auto r = role ? roleFromText(*role) : std::nullopt;
    if (!r) return std::nullopt;
    m.role = *r;
    if (j.contains("seq")) {
        const auto it = j.find("seq");
        if (it->is_number_unsigned()) {
            m.seq = it->get<uint64_t>();
        } else if (it->is_number_integer() && it->get<int64_t>() >= 0) {
            m.seq = static_cast<uint64_t>(it->get<int64_t>());
        } else {
            return std::nullopt;  // a negative or fractional seq must not turn into a huge one
        }
    }
    m.path = textField(j, "path");
    if (m.path && m.path->size() > kMaxPathBytes) return std::nullopt;
    m.server = textField(j, "server");
    if (m.server && m.server->size() > kMaxNameBytes) return std::nullopt;

    const auto side = textField(j, "side");
    if (side && (*side == "left" || *side == "right")) m.side = *side;
    m.spinnerWanted = boolField(j, "spinnerWanted");
    m.slotNo = smallIntField(j, "slotNo");
    m.label = textField(j, "label");
    m.budDeck = smallIntField(j, "budDeck");
    m.watchDeck = smallIntField(j, "watchDeck");
    m.gen = intField(j, "gen", std::numeric_limits<int64_t>::min(), std::numeric_limits<int64_t>::max());
    m.left = boolField(j, "left");
    return m;
}

}  // namespace plindo::group
