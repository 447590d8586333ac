#pragma once
// The DJ application's tag objects, whatever container carried them: the dispatch by description, the
// "Serato BeatGrid" and "Serato Overview" decoders and the base64 wrapper used in FLAC and MP4 values.
#include "library/serato_file_meta.h"

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace plindo::library::SeratoPayload {

struct BeatGrid {
    double bpm = 0;
    std::vector<SeratoFileMeta::GridMarker> markers;
    std::optional<double> terminalT;
};

struct TagObject {
    std::string description;
    std::vector<uint8_t> payload;
};

// Routes the payload by its exact description to the grid, markers or overview decoder.
void applySeratoPayload(std::string_view description, TagBytes payload, SeratoFileMeta& meta);

// The terminal BPM (0 < bpm <= 300), the non-terminal markers and the terminal position; nothing when the
// payload is short, holds 0 or more than 10000 markers, or the BPM is out of range. Positions that are
// not finite count as absent: such markers are left out and such a terminal position is absent.
std::optional<BeatGrid> parseBeatGrid(TagBytes payload);

// The 3840 overview bytes after the 01 05 header.
std::optional<std::vector<uint8_t>> parseOverview(TagBytes payload);

// Unwraps a FLAC or MP4 value: base64 of "application/octet-stream", zero bytes, the description and the
// payload. Falls back to `fallbackDescription` with the decoded (or, failing that, raw) bytes.
TagObject decodeTagObject(TagBytes value, std::string_view fallbackDescription);

}  // namespace plindo::library::SeratoPayload
