#include "platform/bounded_json.h"

#include <algorithm>

namespace plindo::platform {

namespace {

// The deepest nesting of arrays and objects, brackets inside strings not counted; stops early past `limit`.
int nestingDepth(std::string_view text, int limit) {
    int depth = 0, deepest = 0;
    bool inString = false, escaped = false;
    for (const char c : text) {
        if (inString) {
            if (escaped) escaped = false;
            else if (c == '\\') escaped = true;
            else if (c == '"') inString = false;
            continue;
        }
        if (c == '"') {
            inString = true;
        } else if (c == '[' || c == '{') {
            deepest = std::max(deepest, ++depth);
            if (deepest > limit) return deepest;
        } else if ((c == ']' || c == '}') && depth > 0) {
            --depth;
        }
    }
    return deepest;
}

}  // namespace

std::optional<nlohmann::json> parseBoundedJson(std::string_view text, size_t maxBytes, int maxDepth) {
    if (text.size() > maxBytes || nestingDepth(text, maxDepth) > maxDepth) return std::nullopt;
    auto j = nlohmann::json::parse(text, nullptr, /*allow_exceptions=*/false);
    if (j.is_discarded()) return std::nullopt;
    return j;
}

}  // namespace plindo::platform
