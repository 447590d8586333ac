#pragma once
// What the library panes read and show: one pass over the Files folder and the DJ application's library, the
// tracks behind a crate key, the folder crates the track server offers, and the panes' status texts. Runs
// off the main thread (the "plindo.library" queue, the track server's queue); Qt-free and stateless.
#include "library/crate_node.h"
#include "library/lib_track.h"
#include "library/serato_library.h"

#include <cstddef>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

namespace plindo::host::LibraryReads {

// One library pass: the folder's own audio files, the crate tree of both sources, the DJ application's
// track count.
struct LibraryPass {
    std::vector<library::LibTrack> files;
    std::vector<library::CrateNode> tree;
    size_t seratoTracks = 0;
};

// Reads the folder, its playlists and folders, and the DJ application's tracks and crates, in that order.
LibraryPass readLibrary(const std::string& folder, const library::SeratoLibrary& serato);

// Where a crate key's tracks come from.
struct CrateRoute {
    enum class Kind { root, files, serato, seratoCrate, playlist, folder, none };
    Kind kind = Kind::none;
    std::string rest;  // the crate name, playlist name or folder id the kind needs
    bool operator==(const CrateRoute&) const = default;
};
// "Plindo" and "Plindo%%…" keys: the root, "Files", "Serato", "Serato%%<crate>", "Files%%Playlists%%<name>"
// and "Files%%<folder id>"; anything else has no tracks.
CrateRoute routeOf(const std::string& key);

// The tracks behind a key; empty for the root, for keys without a source and for folders outside `folder`.
std::vector<library::LibTrack> crateTracks(const std::string& key, const std::string& folder,
                                           const library::SeratoLibrary& serato);

// The folder a "%%"-joined folder id names below the library folder; none when a part is empty, "." or
// "..", or when the folder (links taken) lies outside the library folder.
std::optional<std::filesystem::path> folderOfId(const std::string& folder, const std::string& id);

// The folder crates of the track server: the playlist scan's ids.
std::vector<std::string> folderCrates(const std::string& folder);
// One folder crate's tracks: a "Playlists%%<name>" playlist, else the audio files of the folder the id names.
std::vector<library::LibTrack> folderCrateTracks(const std::string& folder, const std::string& id);

// Status texts of a pane.
extern const char* const kNotLoaded;    // "Library: not loaded yet"
extern const char* const kLoading;      // "Library: loading …"
extern const char* const kCrateLoading; // "Crate loading …"
std::string libraryStatus(const std::string& folder, size_t files, size_t seratoTracks);
// The last "%%" part of the key names the crate.
std::string crateName(const std::string& key);
std::string crateStatus(const std::string& key, size_t tracks);

}  // namespace plindo::host::LibraryReads
