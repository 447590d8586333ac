#include "ui/library/crate_model.h"

#include <algorithm>

namespace plindo::ui {

bool CrateModel::sameRows(const std::vector<library::LibTrack>& a, const std::vector<library::LibTrack>& b) {
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](const auto& x, const auto& y) {
               return x.path == y.path && x.name == y.name;
           });
}

void CrateModel::setTracks(std::vector<library::LibTrack> tracks) {
    if (built_ && sameRows(tracks, tracks_)) return;
    built_ = true;
    tracks_ = std::move(tracks);
    rebuildItems();
}

void CrateModel::rebuildItems() {
    // Which copy of the focused id was focused, so a file listed twice keeps its focus on the same copy.
    const CrateItem* before = focusedItem();
    const OptPath oldPath = before ? OptPath(before->track.path) : std::nullopt;
    int ordinal = 0;
    if (focusedID_ && focusedIdx_ && *focusedIdx_ < count())
        for (int i = 0; i < *focusedIdx_; ++i)
            if (items_[i].id() == *focusedID_) ++ordinal;

    std::vector<CrateItem> next;
    next.reserve(tracks_.size());
    for (const auto& t : tracks_) {
        next.push_back({t, -1, {}});
        if (const auto it = metaCache_.find(t.path); it != metaCache_.end())
            for (size_t f = 0; f < it->second.flipNames.size(); ++f)
                next.push_back({t, static_cast<int>(f), it->second.flipNames[f]});
    }
    items_ = std::move(next);

    // The focus moves to the new entries before the caller hears the count: it may select at once.
    bool gone = false;
    if (focusedID_) {
        std::optional<int> first, same;
        int seen = 0;
        for (int i = 0; i < count() && !same; ++i) {
            if (items_[i].id() != *focusedID_) continue;
            if (!first) first = i;
            if (seen++ == ordinal) same = i;
        }
        if (same || first) {
            focusedIdx_ = same ? same : first;
        } else {
            // The focused entry is gone: the caller hears of it even when its old index is out of range now.
            meta_.reset();
            focusedIdx_.reset();
            focusedID_.reset();
            gone = oldPath.has_value();
        }
    }
    if (hooks_.onEntryCount) hooks_.onEntryCount(count());
    // Unless the caller focused another entry meanwhile, of which it has heard already.
    if (gone && !focusedIdx_) {
        focusChanged(std::nullopt);
        if (hooks_.onFocusPath) hooks_.onFocusPath(std::nullopt);
    }
}

const CrateItem* CrateModel::focusedItem() const {
    if (!focusedIdx_ || *focusedIdx_ < 0 || *focusedIdx_ >= count()) return nullptr;
    return &items_[*focusedIdx_];
}

int CrateModel::focusedFlip() const {
    const CrateItem* f = focusedItem();
    return f ? f->flip : -1;
}

void CrateModel::setFocus(std::optional<int> index) {
    const CrateItem* before = focusedItem();
    const OptPath oldPath = before ? OptPath(before->track.path) : std::nullopt;
    focusedIdx_ = index;
    const CrateItem* now = focusedItem();
    focusedID_ = now ? OptPath(now->id()) : std::nullopt;
    const OptPath newPath = now ? OptPath(now->track.path) : std::nullopt;
    // Moving between a track and its own flips changes neither the metadata nor the caller's path.
    if (oldPath == newPath) return;
    focusChanged(newPath);
    if (hooks_.onFocusPath) hooks_.onFocusPath(newPath);
}

void CrateModel::focusChanged(const OptPath& path) {
    if (hooks_.cancelMetaLoad) hooks_.cancelMetaLoad();
    const TrackMetaLite* c = path ? cached(*path) : nullptr;
    meta_ = c ? std::optional(*c) : std::nullopt;
    if (path && !c && hooks_.startMetaLoad) hooks_.startMetaLoad(*path);
}

void CrateModel::focusPicked(std::optional<int> index, double offset) {
    if (index && (*index < 0 || *index >= count())) index.reset();
    focusOff_ = index ? offset : 0;
    if (index == focusedIdx_ && (!index || items_[*index].id() == focusedID_)) return;
    setFocus(index);
    const auto selected = hooks_.selectedGet ? hooks_.selectedGet() : std::nullopt;
    if (index && selected && hooks_.selectedSet && *selected != *index) {
        seenSelection_ = *index;
        hooks_.selectedSet(*index);
    }
}

std::pair<int, int> CrateModel::trainRange() const {
    const CrateItem* f = focusedItem();
    if (!f || f->id() != focusedID_) return {0, 0};
    return {std::max(*focusedIdx_ - kTrainLength, 0), *focusedIdx_};
}

void CrateModel::applyMeta(const TrackMetaLite& meta, const std::string& path, bool cache) {
    if (cache) metaCache_[path] = meta;
    if (const CrateItem* f = focusedItem(); f && f->track.path == path) meta_ = meta;
    if (cache && !meta.flipNames.empty()) rebuildItems();
}

const TrackMetaLite* CrateModel::cached(const std::string& path) const {
    const auto it = metaCache_.find(path);
    return it == metaCache_.end() ? nullptr : &it->second;
}

std::optional<int> CrateModel::selectionToFollow() {
    const auto bound = hooks_.selectedGet ? hooks_.selectedGet() : std::nullopt;
    if (!bound) return std::nullopt;
    const int n = *bound;
    const bool initial = !seenSelection_;
    if (!initial && *seenSelection_ == n) return std::nullopt;
    seenSelection_ = n;
    if (initial || n < 0 || n >= count() || focusedIdx_ == n) return std::nullopt;
    return n;
}

}  // namespace plindo::ui
