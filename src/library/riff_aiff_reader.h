#pragma once
// AIFF ("FORM", big-endian sizes) and WAV ("RIFF", little-endian sizes) files: the chunk walk, and the ID3
// tag in the chunk named "id3 " in any letter case.
#include "library/serato_file_meta.h"

#include <functional>
#include <string_view>

namespace plindo::library {

class TagSource;

namespace RiffAiffReader {

struct Chunk {
    std::string_view id;  // four characters
    int64_t dataAt = 0;   // file offset of the chunk's data
    int64_t size = 0;     // size as the header states it
};

// Calls `onChunk` for each chunk after the 12-byte file header until a zero size, a size not below the
// file's length or the end; `onChunk` returns false to stop.
void forEachChunk(const TagSource& source, bool littleEndian, const std::function<bool(const Chunk&)>& onChunk);

// Reads the ID3 tag of the first "id3 " chunk.
void parseChunks(const TagSource& source, bool littleEndian, SeratoFileMeta& meta);

}  // namespace RiffAiffReader
}  // namespace plindo::library
