#pragma once
// The role of a roster member: one deck (a host's seat, or a phone's) or a whole host.
#include <optional>
#include <string_view>

namespace plindo::group {

enum class GroupRole { Deck, Host };

constexpr std::string_view roleText(GroupRole r) { return r == GroupRole::Deck ? "deck" : "host"; }

// None for any other text: such a record is not understood and is skipped.
constexpr std::optional<GroupRole> roleFromText(std::string_view t) {
    if (t == "deck") return GroupRole::Deck;
    if (t == "host") return GroupRole::Host;
    return std::nullopt;
}

}  // namespace plindo::group
