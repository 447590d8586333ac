#pragma once
// One entry of the crate: a track, or one of the flips named in its metadata.
#include "library/lib_track.h"

#include <string>

namespace plindo::ui {

struct CrateItem {
    library::LibTrack track;
    int flip = -1;         // -1: the track itself; 0, 1, ...: its flips in metadata order
    std::string flipName;  // empty for the track entry

    // The path, or the path, "#" and the zero-based flip. Reporting and the metadata key use it; inside the
    // crate an entry is its index, since a playlist may list one file twice.
    std::string id() const { return flip < 0 ? track.path : track.path + "#" + std::to_string(flip); }
    // Empty for a track; "FLIP " and the one-based flip, then a blank and the name when it has one.
    std::string label() const {
        if (flip < 0) return {};
        std::string l = "FLIP " + std::to_string(flip + 1);
        if (!flipName.empty()) l += " " + flipName;
        return l;
    }
    bool operator==(const CrateItem&) const = default;
};

}  // namespace plindo::ui
