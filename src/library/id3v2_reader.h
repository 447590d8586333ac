#pragma once
// ID3v2 tags (major versions 3 and 4; unsynchronisation, compression and encryption are not handled):
// artist, title, key, BPM, the play count in a user text frame and the DJ application's objects in GEOB
// frames. The frame walk is public so further frame readers (pictures, say) can reuse it.
#include "library/serato_file_meta.h"

#include <functional>
#include <string>
#include <string_view>

namespace plindo::library {

class TagSource;

namespace Id3v2Reader {

struct Frame {
    std::string id;       // four characters
    int64_t dataAt = 0;   // offset of the frame's data in the source
    int64_t size = 0;     // size of the data
};

// Calls `onFrame` for every frame of the tag whose header starts at `off`, in file order, until the zero
// fill, a zero size or a frame that would pass the tag's end. Only the headers are read: a handler fetches
// the data of the frames it wants, so pictures and other large frames cost nothing. `onFrame` returns false
// to stop early.
void forEachFrame(const TagSource& source, int64_t off, const std::function<bool(const Frame&)>& onFrame);
// The same over a tag already in memory; offsets are into `data`.
void forEachFrame(TagBytes data, int64_t off, const std::function<bool(const Frame&)>& onFrame);

// Reads the tag whose header is at `off` into `meta` (later frames of one ID replace earlier values).
void parseID3(TagBytes data, int64_t off, SeratoFileMeta& meta);
void readTag(const TagSource& source, int64_t off, SeratoFileMeta& meta);

// Text in an ID3 encoding (0 ISO 8859-1, 1 UTF-16 with BOM, 2 UTF-16 big-endian, 3 UTF-8, other ISO 8859-1)
// without its trailing terminators; "" when not valid in that encoding.
std::string decodeText(TagBytes bytes, uint8_t encoding);

void parseTXXX(TagBytes data, int64_t from, int64_t size, SeratoFileMeta& meta);
void parseGEOB(TagBytes data, int64_t from, int64_t to, SeratoFileMeta& meta);

}  // namespace Id3v2Reader
}  // namespace plindo::library
