#include "group/deck_inventory.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

using namespace plindo;
using group::DeckInventory;
using group::DeckSlot;
using nlohmann::json;

namespace {

struct Rig {
    platform::MemorySettings store;
    int saves = 0;
    int changes = 0;
    DeckInventory inv{store, "Booth-1A2B"};

    Rig() {
        store.addChangeListener([this](const std::string& key) { saves += key == "plindo.deckInventory"; });
        inv.onChange = [this] { ++changes; };
    }
    void stored(const json& j) {
        store.setValue("plindo.deckInventory", j);
        saves = 0;
    }
};

DeckSlot seat(int ordinal, std::string name) { return {ordinal, "Booth-1A2B#" + std::to_string(ordinal), std::move(name)}; }

json entry(int ordinal, const char* name, const char* id = "X#9") {
    return {{"ordinal", ordinal}, {"id", id}, {"name", name}};
}

}  // namespace

TEST(DeckInventory, LoadKeepsValidSeatsRewritesIdsAndSavesOnlyWhenChanged) {
    const struct Case {
        const char* what;
        std::optional<json> stored;
        std::vector<DeckSlot> want;
        bool saved;
    } cases[] = {
        {"nothing stored: seat 1 alone", std::nullopt, {seat(1, "")}, true},
        {"not an array", json("garbage"), {seat(1, "")}, true},
        {"empty array", json::array(), {seat(1, "")}, true},
        {"canonical: left alone",
         json::array({entry(1, "A", "Booth-1A2B#1"), entry(3, "C", "Booth-1A2B#3")}),
         {seat(1, "A"), seat(3, "C")},
         false},
        {"ids rewritten", json::array({entry(2, "B", "Old-Mac#2")}), {seat(2, "B")}, true},
        {"sorted by ordinal", json::array({entry(4, "D"), entry(2, "B")}), {seat(2, "B"), seat(4, "D")}, true},
        {"first of a repeated ordinal wins", json::array({entry(2, "first"), entry(2, "second")}), {seat(2, "first")},
         true},
        {"ordinals outside 1..4 dropped", json::array({entry(0, "z"), entry(5, "f"), entry(-1, "m"), entry(3, "C")}),
         {seat(3, "C")},
         true},
        {"only out-of-range: seat 1", json::array({entry(7, "x")}), {seat(1, "")}, true},
        {"a bad entry costs only itself",
         json::array({entry(1, "A"), json{{"ordinal", "2"}, {"name", "B"}}, json{{"ordinal", 3}}, 4,
                      json{{"ordinal", 4}, {"name", "D"}}}),
         {seat(1, "A"), seat(4, "D")},
         true},
    };
    for (const auto& c : cases) {
        Rig rig;
        if (c.stored) rig.stored(*c.stored);
        rig.inv.load();
        EXPECT_EQ(rig.inv.decks(), c.want) << c.what;
        EXPECT_EQ(rig.saves, c.saved ? 1 : 0) << c.what;
        if (c.saved) {
            // What was written reads back unchanged and is not written again.
            DeckInventory again(rig.store, "Booth-1A2B");
            rig.saves = 0;
            again.load();
            EXPECT_EQ(again.decks(), c.want) << c.what;
            EXPECT_EQ(rig.saves, 0) << c.what;
        }
    }
}

TEST(DeckInventory, AddTakesTheLowestFreeOrdinalUntilFourSeats) {
    Rig rig;
    rig.stored(json::array({entry(1, "A", "Booth-1A2B#1"), entry(3, "C", "Booth-1A2B#3")}));
    rig.inv.load();
    rig.changes = 0;
    EXPECT_EQ(rig.inv.add(""), seat(2, ""));
    EXPECT_EQ(rig.inv.decks(), (std::vector<DeckSlot>{seat(1, "A"), seat(2, ""), seat(3, "C")}));
    EXPECT_EQ(rig.inv.add("Four"), seat(4, "Four"));
    EXPECT_EQ(rig.saves, 2);
    EXPECT_EQ(rig.changes, 2);
    EXPECT_FALSE(rig.inv.add("Five"));
    EXPECT_EQ(rig.saves, 2);
    EXPECT_EQ(rig.inv.decks().size(), 4u);
    EXPECT_EQ(rig.store.value("plindo.deckInventory")->at(3), entry(4, "Four", "Booth-1A2B#4"));
}

TEST(DeckInventory, RenameIsVerbatimAndRemovalTakesOneSeat) {
    Rig rig;
    rig.inv.load();
    for (int i = 0; i < 3; ++i) rig.inv.add("S" + std::to_string(i + 2));
    rig.saves = rig.changes = 0;

    rig.inv.rename(3, "  Main room  ");
    EXPECT_EQ(rig.inv.slot(3)->name, "  Main room  ");
    EXPECT_EQ(rig.inv.slot(3)->displayName(), "  Main room  ");
    rig.inv.rename(1, "");
    EXPECT_EQ(rig.inv.slot(1)->displayName(), "Deck 1");
    EXPECT_EQ(rig.saves, 2);
    rig.inv.rename(7, "nobody");

    rig.inv.removeOrdinal(2);
    EXPECT_EQ(rig.inv.decks(), (std::vector<DeckSlot>{seat(1, ""), seat(3, "  Main room  "), seat(4, "S4")}));
    EXPECT_FALSE(rig.inv.slot(2));
    rig.inv.removeOrdinal(2);
    EXPECT_EQ(rig.saves, 3);
    EXPECT_EQ(rig.changes, 3);
    EXPECT_EQ(rig.inv.add("back"), seat(2, "back"));  // the freed seat is the lowest again
}
