#pragma once
// JSON answers of the track server. nlohmann writes a number that is not finite as null, which would turn a
// broken value into a silently different document; here such a document is refused instead.
#include <nlohmann/json.hpp>

#include <optional>
#include <string>

namespace plindo::link::json_body {

// Compact text of `j`, or none when it holds a number that is not finite. Invalid UTF-8 in texts is replaced.
std::optional<std::string> encode(const nlohmann::json& j);

bool allFinite(const nlohmann::json& j);

}  // namespace plindo::link::json_body
