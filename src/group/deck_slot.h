#pragma once
// One named deck seat of this host (1 to 4). Its id joins the owning host's device name, "#" and the seat
// number; an empty name means the default one.
#include <string>

namespace plindo::group {

struct DeckSlot {
    int ordinal = 1;
    std::string id;
    std::string name;

    // The name as stored, or "Deck <ordinal>" when it is empty; blanks are shown as they are.
    std::string displayName() const { return name.empty() ? "Deck " + std::to_string(ordinal) : name; }

    bool operator==(const DeckSlot&) const = default;
};

}  // namespace plindo::group
