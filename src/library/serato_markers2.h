#pragma once
// The "Serato Markers2" object: base64 text of named entries holding hot cues, saved loops, the track
// colour, the BPM lock and flips.
#include "library/serato_file_meta.h"

#include <optional>
#include <string_view>
#include <vector>

namespace plindo::library::SeratoMarkers2 {

// Appends cues, loops and flips, sets trackColorHex and bpmLock, and sorts cues by idx (stable). Malformed
// data ends the walk and keeps what was read before it.
void parseMarkers2(TagBytes payload, SeratoFileMeta& meta);

// Lenient base64: tries the text and the text without its last 1, 2 and 3 bytes; the first decoding that
// begins with `expectedPrefix` wins, else the longest decoding (earliest on a tie).
std::optional<std::vector<uint8_t>> decodeBase64(TagBytes text, std::string_view expectedPrefix);

}  // namespace plindo::library::SeratoMarkers2
