#pragma once
// Camelot codes: a musical key written as a number 1 to 12 and a letter, "A" minor and "B" major, read from
// the key texts that track files carry, and the colour the crate's sticker gives each number.
#include <QColor>

#include <optional>
#include <string>
#include <string_view>

namespace plindo::ui {

// "8A", " 8 b ", "08a" as they are; the open-key notation ("1d", "12m"); a key name ("Am", "F#", "Gbmin",
// "AMAJ"). None for anything else.
std::optional<std::string> camelotCode(std::string_view key);

// Hue in degrees of a code's number (1 is 75°, each step adds 30°); none when the code has no number 1...12.
std::optional<double> camelotHue(std::string_view code);
// The sticker colour of a code; the system gray when it has no number 1...12. A and B share a colour.
QColor camelotColor(std::string_view code);

}  // namespace plindo::ui
