#pragma once
// Strict readers for the library's JSON records: each returns false on a wrong type, a number that is not
// finite, or an integer that does not fit, so one bad member fails the whole record.
#include "platform/checked.h"

#include <nlohmann/json.hpp>

#include <cmath>
#include <limits>
#include <optional>
#include <string>
#include <vector>

namespace plindo::library::json_read {

using json = nlohmann::json;

inline bool readDouble(const json& j, double& out) {
    if (!j.is_number()) return false;
    out = j.get<double>();
    return std::isfinite(out);
}

// Whole numbers only (a stored 3.0 reads as 3, 3.5 fails), inside T's range.
template <typename T>
bool readInteger(const json& j, T& out) {
    if (j.is_number_unsigned()) {
        const auto u = j.get<uint64_t>();
        if (u > static_cast<uint64_t>(std::numeric_limits<T>::max())) return false;
        out = static_cast<T>(u);
        return true;
    }
    if (j.is_number_integer()) {
        const auto v = j.get<int64_t>();
        if (v < static_cast<int64_t>(std::numeric_limits<T>::min()) ||
            v > static_cast<int64_t>(std::numeric_limits<T>::max()))
            return false;
        out = static_cast<T>(v);
        return true;
    }
    if (!j.is_number_float()) return false;
    const double d = j.get<double>();
    const auto v = platform::checkedTrunc<T>(d);
    if (!v || static_cast<double>(*v) != d) return false;
    out = *v;
    return true;
}

inline bool readString(const json& j, std::string& out) {
    if (!j.is_string()) return false;
    out = j.get<std::string>();
    return true;
}

inline bool readBool(const json& j, bool& out) {
    if (!j.is_boolean()) return false;
    out = j.get<bool>();
    return true;
}

template <typename T, typename Read>
bool readList(const json& j, std::vector<T>& out, Read read) {
    if (!j.is_array()) return false;
    out.clear();
    out.reserve(j.size());
    for (const auto& x : j) {
        T v{};
        if (!read(x, v)) return false;
        out.push_back(std::move(v));
    }
    return true;
}

inline bool readDoubles(const json& j, std::vector<double>& out) {
    return readList(j, out, [](const json& x, double& d) { return readDouble(x, d); });
}
inline bool readInts(const json& j, std::vector<int>& out) {
    return readList(j, out, [](const json& x, int& v) { return readInteger(x, v); });
}

// Present with the right type.
template <typename T, typename Read>
bool required(const json& obj, const char* key, T& out, Read read) {
    auto it = obj.find(key);
    return it != obj.end() && read(*it, out);
}

// Missing or null leaves the field absent.
template <typename T, typename Read>
bool optional(const json& obj, const char* key, std::optional<T>& out, Read read) {
    auto it = obj.find(key);
    if (it == obj.end() || it->is_null()) return true;
    T v{};
    if (!read(*it, v)) return false;
    out = std::move(v);
    return true;
}

}  // namespace plindo::library::json_read
