#pragma once
// This host's named deck seats: at most four, ordinals unique within 1…4, sorted by ordinal, every id
// "<device name>#<ordinal>". Kept in the settings as a JSON array of {"ordinal", "id", "name"} under
// "plindo.deckInventory"; every change is stored at once. Main actor only.
#include "group/deck_slot.h"
#include "platform/settings.h"

#include <functional>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace plindo::group {

class DeckInventory {
public:
    static constexpr int kMaxSeats = 4;
    static constexpr const char* kDefaultKey = "plindo.deckInventory";

    DeckInventory(platform::Settings& store, std::string deviceName, std::string key = kDefaultKey);

    const std::vector<DeckSlot>& decks() const { return decks_; }
    const std::string& deviceName() const { return deviceName_; }
    const std::string& key() const { return key_; }

    // Reads the stored seats. Entries that cannot be read, ordinals outside 1…4 and repeated ordinals (all
    // but the first) are dropped and ids are rewritten; nothing left gives seat 1 with the default name.
    // Writes back only when that differs from what was stored.
    void load();
    // The seat with this ordinal, if any.
    std::optional<DeckSlot> slot(int ordinal) const;
    // A new seat on the lowest free ordinal; none when all four are taken.
    std::optional<DeckSlot> add(const std::string& name);
    // Sets a seat's name exactly as given; nothing when no seat has the ordinal.
    void rename(int ordinal, const std::string& name);
    // Removes the seat with this ordinal in one change (the others keep their order); nothing when none has it.
    void removeOrdinal(int ordinal);
    void save();

    // Called after every change of decks(), before the observers.
    std::function<void()> onChange;
    // Observers of every change, called in the order they subscribed; any number may watch at once (an
    // observer may unsubscribe itself or another while being called). Returns the id to unsubscribe with.
    int subscribe(std::function<void()> observer);
    void unsubscribe(int id);

private:
    void changed();
    DeckSlot seat(int ordinal, std::string name) const;

    platform::Settings& store_;
    std::string deviceName_;
    std::string key_;
    std::vector<DeckSlot> decks_;
    std::vector<std::pair<int, std::function<void()>>> observers_;
    int nextObserver_ = 1;
};

}  // namespace plindo::group
