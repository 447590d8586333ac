#include "ui/main/on_key.h"

#include "host/host_ui.h"

namespace plindo::ui {

namespace {
constexpr uint16_t kKeypadPlus = 69;
constexpr uint16_t kKeypadMinus = 78;
}  // namespace

bool onKey(uint16_t keyCode, bool shift, const std::string& chars, const std::string& bare, host::HostUi& host) {
    const int deck = shift ? 2 : 1;
    double step = 0;
    if (chars == "+" || bare == "+" || bare == "=" || keyCode == kKeypadPlus) {
        step = -1;
    } else if (chars == "-" || chars == "\u2212" || bare == "-" || keyCode == kKeypadMinus) {
        step = 1;
    } else {
        return host.libraryCommand(keyCode, shift);
    }
    // The controller rounds and clamps, so a zoom key at an end of the range is used and changes nothing.
    host.setZoom(deck, host.zoom(deck) + step);
    return true;
}

}  // namespace plindo::ui
