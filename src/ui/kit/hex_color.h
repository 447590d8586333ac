#pragma once
// Colours that arrive as text ("ff8000" or "#ff8000"): cue colours from tags and from the DJ application.
#include <QColor>

#include <string_view>

namespace plindo::ui {

// Six hexadecimal digits, optionally after one "#"; anything else is yellow, so a cue stays visible.
QColor colorFromHex(std::string_view text);

}  // namespace plindo::ui
