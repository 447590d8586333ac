#pragma once
// The first picture embedded in an audio file's tags: an ID3 APIC frame (MP3, and the "id3 " chunk of WAV
// and AIFF), a FLAC PICTURE block or the MP4 "covr" item. Only the tag regions are read.
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace plindo::library {

class TagSource;

namespace EmbeddedArt {

// The picture's bytes; none when the file is not a regular file, holds no picture or an empty one.
std::optional<std::vector<uint8_t>> read(const std::string& path);
std::optional<std::vector<uint8_t>> read(const TagSource& source);

}  // namespace EmbeddedArt
}  // namespace plindo::library
