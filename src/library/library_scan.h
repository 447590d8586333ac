#pragma once
// The user's own library folder as a track source: the audio files of one folder, the folders and M3U/M3U8
// playlists below the library folder as "%%"-joined identifiers, and the tracks of one playlist. Walks skip
// hidden entries, never follow symbolic links to folders and pass over folders they cannot read.
#include "library/lib_track.h"

#include <cstdint>
#include <filesystem>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace plindo::library {

// Lower-cased extension in mp3, m4a, aac, flac, wav, aiff, aif, ogg.
bool isAudioExtension(std::string_view extension);

// The audio files directly in `folder`, sorted by name in the user's case-insensitive order.
std::vector<LibTrack> listAudioFiles(const std::string& folder);

// Folder identifiers ("Techno", "Techno%%Old") of every folder holding audio files, sorted, then
// "Playlists%%<name>" of every playlist file, sorted.
std::vector<std::string> findPlaylists(const std::string& libraryFolder);

// The existing audio files a playlist names, in playlist order; the playlist is the first file in the walk
// whose name without extension is `name`.
std::vector<LibTrack> readM3U(const std::string& libraryFolder, std::string_view name);

// The audio paths the lines of a playlist's bytes name, in order, relative ones joined to `folder` (the
// playlist's own); whether they exist is not checked. UTF-8 (an opening byte-order mark skipped), else
// Latin-1.
std::vector<std::filesystem::path> m3uEntries(std::span<const uint8_t> bytes, const std::filesystem::path& folder);

}  // namespace plindo::library
