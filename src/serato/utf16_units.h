#pragma once
// UTF-16 code units from Rane screen and library frames turned into UTF-8 text. The units come off the wire,
// so they are repaired, never rejected: an unpaired surrogate becomes U+FFFD.
#include <cstdint>
#include <string>
#include <vector>

namespace plindo::serato::Utf16Units {

// The code points of `units`, each unpaired surrogate as U+FFFD.
std::vector<char32_t> codePoints(const std::vector<uint16_t>& units);

// A space separator (general category Zs) or a tab.
bool isSpaceOrTab(char32_t c);

// UTF-8 of the code points in [begin, end).
std::string toUtf8(const std::vector<char32_t>& cps, size_t begin, size_t end);

}  // namespace plindo::serato::Utf16Units
