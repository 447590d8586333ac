#pragma once
// Text helpers shared by the tag readers: decoding of the encodings tags use, trimming and the number
// parsing rules of the tag fields. All results are UTF-8.
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>

namespace plindo::library::TagText {

// Each byte as the ISO 8859-1 character with that code.
std::string latin1(std::span<const uint8_t> b);
// The bytes as text when they are valid UTF-8 (no overlongs, surrogates or code points past U+10FFFF).
std::optional<std::string> utf8(std::span<const uint8_t> b);
// UTF-16 code units in the given byte order; nothing for an odd length or an unpaired surrogate.
std::optional<std::string> utf16(std::span<const uint8_t> b, bool bigEndian);
// The bytes as text when every byte is ASCII.
std::optional<std::string> ascii(std::span<const uint8_t> b);

std::string asciiUpper(std::string_view s);
// Without leading and trailing white space and line breaks (ASCII ones and the common Unicode spaces).
std::string_view trim(std::string_view s);
// A decimal floating-point number spelling the whole text (no surrounding spaces). Non-finite values
// ("nan", "inf", or an overflow) count as no number: they could not be written to the track's JSON.
std::optional<double> decimal(std::string_view s);
// The leading run of digits of the trimmed text as a base-10 integer; nothing when the run is empty or
// does not fit.
std::optional<int64_t> leadingInteger(std::string_view s);

}  // namespace plindo::library::TagText
