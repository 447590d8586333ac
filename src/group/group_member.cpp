#include "group/group_member.h"

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
    json j = {{"name", name},
              {"role", roleText(role)},
              {"side", side},
              {"spinnerWanted", spinnerWanted},
              {"seq", seq},
              {"left", left}};
    if (slotNo) j["slotNo"] = *slotNo;
    if (label) j["label"] = *label;
    if (budDeck) j["budDeck"] = *budDeck;
    if (watchDeck) j["watchDeck"] = *watchDeck;
    if (path) j["path"] = *path;
    if (server) j["server"] = *server;
    if (gen) j["gen"] = *gen;
    return j.dump(-1, ' ', false, json::error_handler_t::replace);
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
