#include "group/deck_inventory.h"

#include <nlohmann/json.hpp>

#include <algorithm>
#include <limits>

namespace plindo::group {

namespace {

nlohmann::json encode(const std::vector<DeckSlot>& decks) {
    auto out = nlohmann::json::array();
    for (const auto& d : decks) out.push_back({{"ordinal", d.ordinal}, {"id", d.id}, {"name", d.name}});
    return out;
}

// The readable seats of a stored array, in stored order. A seat needs a whole-number ordinal and a text
// name; its id is rewritten anyway. One bad entry costs only itself, not the user's other seats.
std::vector<DeckSlot> decode(const std::optional<nlohmann::json>& stored) {
    std::vector<DeckSlot> out;
    if (!stored || !stored->is_array()) return out;
    for (const auto& e : *stored) {
        if (!e.is_object()) continue;
        const auto ord = e.find("ordinal");
        const auto name = e.find("name");
        if (ord == e.end() || !ord->is_number_integer() || name == e.end() || !name->is_string()) continue;
        const auto o = ord->get<int64_t>();
        if (o < std::numeric_limits<int>::min() || o > std::numeric_limits<int>::max()) continue;
        out.push_back({static_cast<int>(o), "", name->get<std::string>()});
    }
    return out;
}

void sortByOrdinal(std::vector<DeckSlot>& decks) {
    std::stable_sort(decks.begin(), decks.end(), [](const DeckSlot& a, const DeckSlot& b) { return a.ordinal < b.ordinal; });
}

}  // namespace

DeckInventory::DeckInventory(platform::Settings& store, std::string deviceName, std::string key)
    : store_(store), deviceName_(std::move(deviceName)), key_(std::move(key)) {}

DeckSlot DeckInventory::seat(int ordinal, std::string name) const {
    return {ordinal, deviceName_ + "#" + std::to_string(ordinal), std::move(name)};
}

void DeckInventory::changed() {
    if (onChange) onChange();
    // By id, so an observer that unsubscribes another (or itself) while called never leaves a dangling call.
    std::vector<int> ids;
    for (const auto& [id, f] : observers_) ids.push_back(id);
    for (int id : ids) {
        const auto it =
            std::find_if(observers_.begin(), observers_.end(), [id](const auto& o) { return o.first == id; });
        if (it == observers_.end()) continue;
        auto f = it->second;  // a copy: the call may unsubscribe it
        f();
    }
}

int DeckInventory::subscribe(std::function<void()> observer) {
    const int id = nextObserver_++;
    observers_.emplace_back(id, std::move(observer));
    return id;
}

void DeckInventory::unsubscribe(int id) {
    std::erase_if(observers_, [id](const auto& o) { return o.first == id; });
}

void DeckInventory::load() {
    const auto stored = store_.value(key_);
    std::vector<DeckSlot> seats;
    for (auto& d : decode(stored)) {
        if (d.ordinal < 1 || d.ordinal > kMaxSeats) continue;
        if (std::any_of(seats.begin(), seats.end(), [&](const DeckSlot& s) { return s.ordinal == d.ordinal; }))
            continue;
        seats.push_back(seat(d.ordinal, std::move(d.name)));
    }
    sortByOrdinal(seats);
    if (seats.empty()) seats.push_back(seat(1, ""));
    const bool differs = decks_ != seats;
    decks_ = std::move(seats);
    if (!stored || *stored != encode(decks_)) save();
    if (differs) changed();
}

std::optional<DeckSlot> DeckInventory::slot(int ordinal) const {
    for (const auto& d : decks_) {
        if (d.ordinal == ordinal) return d;
    }
    return std::nullopt;
}

std::optional<DeckSlot> DeckInventory::add(const std::string& name) {
    if (decks_.size() >= kMaxSeats) return std::nullopt;
    int free = 0;
    for (int o = 1; o <= kMaxSeats && !free; ++o) {
        if (!slot(o)) free = o;
    }
    if (!free) return std::nullopt;
    DeckSlot d = seat(free, name);
    decks_.push_back(d);
    sortByOrdinal(decks_);
    save();
    changed();
    return d;
}

void DeckInventory::rename(int ordinal, const std::string& name) {
    const auto it = std::find_if(decks_.begin(), decks_.end(), [&](const DeckSlot& d) { return d.ordinal == ordinal; });
    if (it == decks_.end()) return;
    it->name = name;
    save();
    changed();
}

void DeckInventory::removeOrdinal(int ordinal) {
    if (std::erase_if(decks_, [&](const DeckSlot& d) { return d.ordinal == ordinal; }) == 0) return;
    save();
    changed();
}

void DeckInventory::save() { store_.setValue(key_, encode(decks_)); }

}  // namespace plindo::group
