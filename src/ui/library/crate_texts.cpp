#include "ui/library/crate_texts.h"

#include <cstdio>

namespace plindo::ui {

std::string panelTitle(const std::optional<TrackMetaLite>& meta, const CrateItem* focused) {
    std::string t;
    if (meta && !meta->title.empty()) t = meta->title;
    else if (focused) t = focused->track.name;
    if (focused && focused->flip >= 0) t += " \u00B7 " + focused->label();
    return t;
}

std::string panelArtist(const std::optional<TrackMetaLite>& meta) { return meta ? meta->artist : std::string(); }

StickerRows stickerRows(const TrackMetaLite& meta) {
    StickerRows r;
    if (!meta.camelot.empty()) r.camelot = meta.camelot;
    else r.key = meta.key;
    if (meta.bpm && *meta.bpm > 0) {
        char buf[64];
        std::snprintf(buf, sizeof buf, "%.1f BPM", *meta.bpm);
        r.tempo = buf;
    }
    if (meta.plays) r.plays = std::to_string(*meta.plays) + "\u00D7";
    return r;
}

}  // namespace plindo::ui
