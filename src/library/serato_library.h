#pragma once
// Read-only access to the DJ application's library: the track database ("database V2") and the crate files
// in "Subcrates", both under one library folder, plus the lookup tables that turn title and artist texts
// from the DJ application into files. Tables are replaced whole under one lock, so a background reload
// and lookups from other threads may overlap.
#include "library/lib_track.h"

#include <cstdint>
#include <filesystem>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

namespace plindo::library {

class SeratoLibrary {
public:
    // One database record, as the lookups hand it out.
    struct TrackMeta {
        std::string path;
        std::string bpm;
        std::string key;
        std::string len;  // "4:31"
        std::string album;
        double lenSec = 0;
        std::string title;
        std::string artist;
        bool operator==(const TrackMeta&) const = default;
    };

    // One (path, title, artist) of the database, raw, with the folded forms the matching compares.
    struct IndexEntry {
        std::string path;
        std::string title;
        std::string artist;
        std::string foldedTitle;
        std::string foldedArtist;
        std::string foldedFileName;
    };

    explicit SeratoLibrary(std::filesystem::path root = defaultRoot());

    // $HOME/Music/_Serato_
    static std::filesystem::path defaultRoot();
    // The process-wide library on the default root.
    static SeratoLibrary& shared();

    const std::filesystem::path& root() const { return root_; }

    // Crate names ("House%%Deep") sorted in the user's case-insensitive order; empty when unreadable.
    std::vector<std::string> crateNames() const;
    // Every database track once (the first record of a path wins), sorted by name.
    std::vector<LibTrack> allTracks() const;
    // The tracks of one crate in file order. Names that could reach outside "Subcrates" give nothing.
    std::vector<LibTrack> crateTracks(std::string_view crateName) const;
    // The paths of a crate found by its name or by its last "%%" part; the last answer is cached.
    std::vector<std::string> cratePaths(std::string_view crateName);

    // Path of a track by folded title and artist, falling back to the title alone and to file names. A miss
    // drops the index and the metadata table and retries once on a fresh read.
    std::optional<std::string> findPath(std::string_view title, std::string_view artist);
    // Rebuilds the metadata, path and candidate tables; an unreadable database leaves them as they are.
    void reloadIndex();
    // True once a reload has built the metadata table (and no miss has dropped it since).
    bool indexLoaded() const;
    // The best database record for title and artist, scored by length hint (ms, <= 0 none), key hint
    // (empty none) and crate membership; none before the first reload.
    std::optional<TrackMeta> track(std::string_view title, std::string_view artist, std::string_view inCrate,
                                   int64_t lengthHintMs = 0, std::string_view keyHint = {});
    // Completes a path cut short, also across composed and decomposed Unicode forms.
    std::optional<std::string> matchBrowserRow(std::string_view prefix, std::string_view title,
                                               std::string_view artist);
    // The metadata table's record for title and artist, else for the title alone.
    std::optional<TrackMeta> lookupMeta(std::string_view title, std::string_view artist) const;
    // The cached index list, read from the database when absent or empty.
    std::shared_ptr<const std::vector<IndexEntry>> loadIndex();

    // Folded and trimmed text, and the lookup keys made from it.
    static std::string foldKey(std::string_view s);
    static std::string titleArtistKey(std::string_view title, std::string_view artist);
    static std::string titleKey(std::string_view title);

private:
    struct PathEntry {
        std::string titleArtistKey;
        std::string titleKey;
        TrackMeta meta;
        std::string composedPath;
        std::string decomposedPath;
    };
    using MetaTable = std::unordered_map<std::string, TrackMeta>;
    using PathTable = std::unordered_map<std::string, PathEntry>;
    using CandidateTable = std::unordered_map<std::string, std::vector<TrackMeta>>;

    std::filesystem::path databasePath() const;
    std::filesystem::path subcratesPath() const;

    std::filesystem::path root_;
    mutable std::mutex mutex_;  // held only to copy or swap the table pointers below
    std::shared_ptr<const std::vector<IndexEntry>> index_;
    std::shared_ptr<const MetaTable> metaTable_;  // null: not loaded
    std::shared_ptr<const PathTable> pathTable_;
    std::shared_ptr<const CandidateTable> candidates_;
    std::optional<std::pair<std::string, std::vector<std::string>>> crateCache_;
};

}  // namespace plindo::library
