#pragma once
// One row of a library track list: the file a deck loads and the name shown for it.
#include <functional>
#include <string>

namespace plindo::library {

struct LibTrack {
    std::string path;  // full path of the file
    std::string name;  // file name without its extension

    // Rows are told apart by path; two rows of one path with different names share an identity.
    const std::string& id() const { return path; }
    bool operator==(const LibTrack&) const = default;
};

}  // namespace plindo::library

template <>
struct std::hash<plindo::library::LibTrack> {
    size_t operator()(const plindo::library::LibTrack& t) const noexcept {
        const size_t h = std::hash<std::string>{}(t.path);
        return h ^ (std::hash<std::string>{}(t.name) + 0x9e3779b97f4a7c15ULL + (h << 6) + (h >> 2));
    }
};
