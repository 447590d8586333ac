#include "library/riff_aiff_reader.h"

#include "library/id3v2_reader.h"
#include "library/tag_source.h"
#include "library/tag_text.h"
#include "platform/text.h"

namespace plindo::library::RiffAiffReader {

namespace {

constexpr int64_t kFileHeader = 12;
constexpr int64_t kChunkHeader = 8;
// Real files hold a handful of chunks; the cap keeps a file of tiny junk chunks from costing a read per
// few bytes across gigabytes.
constexpr int kMaxChunks = 65536;

}  // namespace

void forEachChunk(const TagSource& source, bool littleEndian, const std::function<bool(const Chunk&)>& onChunk) {
    const int64_t n = source.size();
    if (n < 20) return;
    int64_t p = kFileHeader;
    for (int count = 0; count < kMaxChunks && p <= n - kChunkHeader; ++count) {
        uint8_t h[kChunkHeader];
        if (!source.readAt(p, h)) return;
        const uint32_t size = littleEndian ? SeratoFileMeta::u32LE(h, 4) : SeratoFileMeta::u32BE(h, 4);
        if (size == 0 || int64_t{size} >= n) return;
        if (!onChunk(Chunk{std::string_view(reinterpret_cast<const char*>(h), 4), p + kChunkHeader, size})) return;
        p += kChunkHeader + int64_t{size} + (size & 1);
    }
}

void parseChunks(const TagSource& source, bool littleEndian, SeratoFileMeta& meta) {
    forEachChunk(source, littleEndian, [&](const Chunk& c) {
        const std::string id = platform::text::asciiLower(c.id);
        if (id == "id3 " || id == std::string_view("id3\0", 4)) {
            Id3v2Reader::readTag(source, c.dataAt, meta);
            return false;
        }
        return true;
    });
}

}  // namespace plindo::library::RiffAiffReader
