#pragma once
// One record of the group roster: a host or one of its deck seats, as hosts exchange it in "/orv/group/state"
// (a JSON object, or an array of them). Records come from any sender on the network, so reading one checks
// every field and refuses oversized texts.
#include "group/group_role.h"

#include <nlohmann/json_fwd.hpp>

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace plindo::group {

struct GroupMember {
    // Longest member (and serving host) name and track path a received record may carry.
    static constexpr size_t kMaxNameBytes = 128;
    static constexpr size_t kMaxPathBytes = 4096;

    std::string name;
    GroupRole role = GroupRole::Host;
    std::string side;  // "left", "right" or ""
    bool spinnerWanted = false;
    std::optional<int> slotNo;
    uint64_t seq = 0;  // a record replaces a stored one of the same name only with a higher seq
    std::optional<std::string> label;  // a seat's shown name
    std::optional<int> budDeck;
    std::optional<int> watchDeck;
    std::optional<std::string> path;
    std::optional<std::string> server;
    std::optional<int64_t> gen;
    bool left = false;
    double lastSeenWall = 0;  // media clock at receipt (own records: at the last stamp); never sent

    bool operator==(const GroupMember&) const = default;

    // The name without a trailing seat suffix: the part before the last "#" when only digits follow it,
    // else the whole name ("Host#2" → "Host", "Host#x" and "Host#" stay whole).
    static std::string_view baseName(std::string_view name);

    // The record as one compact JSON object. Absent optionals are left out; texts that are not UTF-8 are
    // repaired rather than refused, so our own broadcast never fails.
    std::string toJson() const;
    // A record read from one JSON value; none when it is not an object, has no text "name" (or an empty or
    // oversized one), a role other than "deck" or "host", a seq that is not a whole number ≥ 0, or an
    // oversized path or server. Optional fields of the wrong type count as absent; a side other than
    // "left" or "right" counts as "". lastSeenWall is left at 0.
    static std::optional<GroupMember> fromJson(const nlohmann::json& j);
};

}  // namespace plindo::group
