#pragma once
// The deck cards' two text functions: a track's display name as two lines, and a time as minutes and seconds.
#include <string>
#include <string_view>
#include <utility>

namespace plindo::ui {

// (first line, second line): split at the first of " - ", " – ", " — " (tried in that order) that occurs; the
// second line keeps later occurrences. Without one: an empty first line and the whole name.
std::pair<std::string, std::string> splitDisplayName(std::string_view name);

// "%d:%02d" of the value rounded to whole seconds (halves away from zero). Not finite, negative or beyond
// 10⁹ s: "0:00".
std::string formatMinSec(double seconds);

}  // namespace plindo::ui
