#pragma once
// The texts the crate shows beside and on its focused cover: the panel's title and artist lines and the
// sticker's rows.
#include "ui/library/crate_item.h"
#include "ui/library/track_meta_lite.h"

#include <optional>
#include <string>

namespace plindo::ui {

// The metadata's title, else the track's name, else empty; a flip adds " · " and its label.
std::string panelTitle(const std::optional<TrackMetaLite>& meta, const CrateItem* focused);
std::string panelArtist(const std::optional<TrackMetaLite>& meta);

// The sticker's rows; empty when the row is not shown.
struct StickerRows {
    std::string camelot;  // in a coloured capsule
    std::string key;      // plain, only without a Camelot code
    std::string tempo;    // "124.0 BPM"; only for a tempo above 0
    std::string plays;    // "7×"; also for 0 plays
    bool empty() const { return camelot.empty() && key.empty() && tempo.empty() && plays.empty(); }
};
StickerRows stickerRows(const TrackMetaLite& meta);

}  // namespace plindo::ui
