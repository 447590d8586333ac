#pragma once
// The crate's state as plain C++: its entries (tracks, then each track's flips from the metadata cache),
// which entry is focused, the focused track's metadata, and the caller's selection kept in step. Entries are
// told apart by index, since a playlist may list one file twice; ids serve reporting and the metadata key.
#include "library/lib_track.h"
#include "ui/library/crate_item.h"
#include "ui/library/track_meta_lite.h"

#include <functional>
#include <map>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace plindo::ui {

class CrateModel {
public:
    static constexpr int kTrainLength = 14;  // cars behind the focused card, at most

    using OptPath = std::optional<std::string>;
    struct Hooks {
        std::function<void(const OptPath&)> onFocusPath;  // the focused track path changed
        std::function<void(int)> onEntryCount;            // after every rebuild
        std::function<std::optional<int>()> selectedGet;  // the caller's selection; none when unbound
        std::function<void(int)> selectedSet;
        std::function<void(const std::string& path)> startMetaLoad;  // a path not in the cache gained focus
        std::function<void()> cancelMetaLoad;                        // before any focus change of track
    };

    explicit CrateModel(Hooks hooks = {}) : hooks_(std::move(hooks)) {}
    Hooks& hooks() { return hooks_; }

    // Rebuilds whenever the sequence of (path, name) differs from the last one.
    void setTracks(std::vector<library::LibTrack> tracks);
    const std::vector<library::LibTrack>& tracks() const { return tracks_; }

    void rebuildItems();
    const std::vector<CrateItem>& items() const { return items_; }
    int count() const { return static_cast<int>(items_.size()); }

    std::optional<int> focusedIdx() const { return focusedIdx_; }
    const std::optional<std::string>& focusedID() const { return focusedID_; }
    // The entry at the focused index, when there is one within the entries.
    const CrateItem* focusedItem() const;
    // The focused flip for the floor view: -1 for none or a track entry.
    int focusedFlip() const;
    // Sets the focus and reports a change of the focused track path.
    void setFocus(std::optional<int> index);
    // Swaps the shown metadata for the path's cached one and starts a load when it is not cached.
    void focusChanged(const OptPath& path);
    // The focus rule's outcome: the entry nearest the focus line (none for an empty crate) and its offset.
    void focusPicked(std::optional<int> index, double offset);
    double focusOffset() const { return focusOff_; }

    // The entries of the train, [first, last) in front of the focused one; empty without a valid focus.
    std::pair<int, int> trainRange() const;

    // A finished metadata load for `path`. A load that reached no server is shown but not cached, so the
    // track is asked for again when it next gains focus.
    void applyMeta(const TrackMetaLite& meta, const std::string& path, bool cache = true);
    const std::optional<TrackMetaLite>& meta() const { return meta_; }
    const TrackMetaLite* cached(const std::string& path) const;

    // The selection index the caller's binding now holds that calls for a scroll, or none (unbound, out of
    // range, unchanged since last seen, or already focused).
    std::optional<int> selectionToFollow();

private:
    static bool sameRows(const std::vector<library::LibTrack>& a, const std::vector<library::LibTrack>& b);

    Hooks hooks_;
    std::vector<library::LibTrack> tracks_;
    std::vector<CrateItem> items_;
    std::optional<std::string> focusedID_;
    std::optional<int> focusedIdx_;
    double focusOff_ = 0;
    std::optional<TrackMetaLite> meta_;
    std::map<std::string, TrackMetaLite> metaCache_;
    std::optional<int> seenSelection_;
    bool built_ = false;
};

}  // namespace plindo::ui
