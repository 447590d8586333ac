#pragma once
// The main screen's key handler: plus and minus zoom deck 1's waveform (deck 2's with Shift); every other key
// goes to the controller's library commands.
#include <cstdint>
#include <string>

namespace plindo::host {
class HostUi;
}

namespace plindo::ui {

// True when the key was used.
bool onKey(uint16_t keyCode, bool shift, const std::string& characters, const std::string& charactersIgnoringModifiers,
           host::HostUi& host);

}  // namespace plindo::ui
