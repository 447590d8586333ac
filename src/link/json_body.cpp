#include "link/json_body.h"

#include <cmath>

namespace plindo::link::json_body {

bool allFinite(const nlohmann::json& j) {
    if (j.is_number_float()) return std::isfinite(j.get<double>());
    if (j.is_structured()) {
        for (const auto& v : j)
            if (!allFinite(v)) return false;
    }
    return true;
}

std::optional<std::string> encode(const nlohmann::json& j) {
    if (!allFinite(j)) return std::nullopt;
    return j.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
}

}  // namespace plindo::link::json_body
