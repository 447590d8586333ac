#pragma once
// Standard base64 (RFC 4648 alphabet, "=" padding, no line breaks), as the phones and peer hosts write it.
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace plindo::platform {

std::string base64Encode(std::span<const std::uint8_t> bytes);

// Strict: the length must be a multiple of 4, only the standard alphabet, "=" only as the last one or two
// characters. Any other text gives nothing. Unused low bits of the last group are ignored.
std::optional<std::vector<std::uint8_t>> base64Decode(std::string_view text);

}  // namespace plindo::platform
