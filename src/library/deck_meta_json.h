#pragma once
// The "/deck/meta" document (api_version "0004"): a track's length, tempo, key, colour, play count, cues,
// loops, flips, beat grid and overview bytes, as the phones, the hover panel and the crate browser read it.
#include "library/serato_file_meta.h"

#include <nlohmann/json.hpp>

#include <optional>
#include <string>

namespace plindo::library {

// Reads the tags and the length of the file at `path` (the resolved path) and builds the document. Blocks
// for at most about 5 s (the length probe). Never fails: what cannot be read is left out.
nlohmann::json deckMetaJSON(const std::string& path);

// The document from what was read. Numbers that are not finite are left out (a cue or loop without a
// finite position is left out whole), so the document always encodes.
nlohmann::json deckMetaDocument(const std::string& path, const std::optional<SeratoFileMeta>& meta,
                                std::optional<double> durationSec);

nlohmann::json flipActionJSON(const SeratoFileMeta::FlipAction& action);

}  // namespace plindo::library
