#pragma once
// Text from the network that must be shown, never rejected: every ill-formed UTF-8 sequence becomes U+FFFD.
#include <string>
#include <string_view>

namespace plindo::platform {

// Well-formed input comes back unchanged. Each maximal ill-formed subpart (an unexpected byte, a truncated
// sequence, an overlong form, a surrogate or a value above U+10FFFF) gives one U+FFFD.
std::string repairUtf8(std::string_view bytes);

// The length of the well-formed UTF-8 sequence that begins at `at`, or 0 when an ill-formed one begins there.
size_t utf8SequenceLength(std::string_view bytes, size_t at);

}  // namespace plindo::platform
