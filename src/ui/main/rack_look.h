#pragma once
// What the rack shows for a deck, worked out from the deck's record alone: the card's pitch and the middle
// panel's row.
#include "host/host_ui_types.h"

#include <QColor>

#include <string>

namespace plindo::ui {

// "Deck L" for deck 1, "Deck R" for any other.
std::string rackDeckTitle(int deck);
// "%+.2f %%" of the deviation from nominal speed in percent.
std::string pitchText(double rate);

struct RackRowLook {
    QColor dot;
    std::string remote;  // the phone's name, or "no remote / stale"
    bool standalone = false;
    std::string name;    // "—" when empty
    std::string timeLine;
    std::string channel;
    bool feedShown = false;  // the max gap and the link
    std::string maxText;
    QColor maxColor;
    std::string via;
    QColor viaColor;
};

RackRowLook rackRowLook(const host::DeckInfo& info);

}  // namespace plindo::ui
