#pragma once
// JSON read from disk or the network, within bounds: a document larger or nested deeper than any this system
// writes is refused before it is parsed, so a hostile or damaged one cannot exhaust memory or the stack.
#include <nlohmann/json.hpp>

#include <cstddef>
#include <optional>
#include <string_view>

namespace plindo::platform {

inline constexpr size_t kMaxJsonBytes = size_t{1} << 20;
inline constexpr int kMaxJsonDepth = 64;

// The parsed document; none when the text is larger than `maxBytes`, nests arrays and objects deeper than
// `maxDepth`, or is not JSON.
std::optional<nlohmann::json> parseBoundedJson(std::string_view text, size_t maxBytes = kMaxJsonBytes,
                                               int maxDepth = kMaxJsonDepth);

}  // namespace plindo::platform
