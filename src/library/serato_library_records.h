#pragma once
// Pure readers of the DJ application's library files ("database V2" and ".crate"), from bytes in memory.
// A file is a run of records: 4-byte ASCII tag, big-endian 32-bit payload length, payload. "otrk" records
// hold further records. Damaged data ends the walk; what was read before it stands.
#include <spdlog/spdlog.h>

#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace plindo::library::serato_records {

using Bytes = std::span<const uint8_t>;

// Calls action(tag, payload) for each record of `range`. Returns false when the walk stopped early: a
// payload running past the end, or leftover bytes too short for a header.
bool walkRecords(Bytes range, const std::function<void(std::string_view tag, Bytes payload)>& action);

// UTF-16 big-endian text without byte-order mark: an odd length drops the last byte, invalid UTF-16 gives
// the empty text, NUL characters are removed.
std::string decodeText(Bytes payload);

// Empty, absolute ("/...") and drive-letter ("C:...") paths stay; any other gets "/" in front.
std::string normalizePath(std::string path);

// "04:31.73" -> "4:31": cut at the first ".", then drop one leading "0" when at least 5 characters remain.
std::string trimLength(std::string len);
// Seconds of "h:m:s"-style text: pieces split at ":", unparsable pieces dropped, folded as v * 60 + piece.
double parseLength(std::string_view len);

// The fields of one top-level "otrk" of the database; the last occurrence of a tag wins.
struct DatabaseTrack {
    std::string path;  // normalised
    std::string title;
    std::string artist;
    std::string bpm;
    std::string key;
    std::string len;  // as stored
    std::string album;
};

struct DatabaseRead {
    std::vector<DatabaseTrack> tracks;  // one per top-level "otrk", in file order
    bool damaged = false;               // the walk stopped before the end somewhere
};

struct CrateRead {
    std::vector<std::string> paths;  // every "ptrk" of every top-level "otrk", normalised, in file order
    bool damaged = false;
};

DatabaseRead parseDatabase(Bytes file);
CrateRead parseCrate(Bytes file);

// Caps on what is read into memory: the database, and one crate or playlist.
inline constexpr size_t kMaxDatabaseBytes = size_t{256} << 20;
inline constexpr size_t kMaxListBytes = size_t{16} << 20;

// The whole file, or none when it cannot be read. Only a regular file of at most `maxBytes` is read; anything
// else (a FIFO, a device, a folder, an oversized file) returns at once with a line in `log`.
std::optional<std::vector<uint8_t>> readFile(const std::string& path, size_t maxBytes, spdlog::logger& log);

}  // namespace plindo::library::serato_records
