#pragma once
// A deck's one-line position readout, shown by the deck strip and the rack rows.
#include "host/host_ui_types.h"

#include <string>

namespace plindo::ui {

// "%d:%02d.%d" of minutes, seconds and tenths, each truncated towards zero; minutes are not wrapped into
// hours. Not finite or beyond ±10⁹ s: "0:00.0".
std::string clockText(double seconds);

// The position (negative or not a number: 0), " / " and the length when there is one, and while the phone is
// fresh the rate deviation and the wire counters.
std::string deckTimeLine(const host::DeckInfo& info);

}  // namespace plindo::ui
