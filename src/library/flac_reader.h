#pragma once
// FLAC metadata: the block walk and the Vorbis comments (artist, title, key, BPM, play count and the DJ
// application's base64-wrapped objects). Blocks other than the comments (pictures, padding, seek tables)
// are walked over without being read; the block walk is public for further block readers.
#include "library/serato_file_meta.h"

#include <functional>

namespace plindo::library {

class TagSource;

namespace FlacReader {

struct Block {
    int type = 0;         // low 7 bits of the header's first byte
    bool last = false;    // the last-block flag
    int64_t dataAt = 0;   // file offset of the block's data
    int64_t length = 0;   // 24-bit length
};

// Calls `onBlock` for every metadata block that lies inside the file, in order; `onBlock` returns false
// to stop.
void forEachBlock(const TagSource& source, const std::function<bool(const Block&)>& onBlock);

void parseFLAC(const TagSource& source, SeratoFileMeta& meta);

// One Vorbis comment block's data; false when its comment count does not fit in the block (which ends the
// whole metadata walk).
bool parseVorbisComments(TagBytes block, SeratoFileMeta& meta);

}  // namespace FlacReader
}  // namespace plindo::library
