#include "library/serato_file_meta.h"

#include "library/flac_reader.h"
#include "library/id3v2_reader.h"
#include "library/mp4_reader.h"
#include "library/riff_aiff_reader.h"
#include "library/tag_source.h"

#include <bit>
#include <cstring>

namespace plindo::library {

namespace {

// Files this small cannot hold a tag worth reading.
constexpr int64_t kMinFileSize = 17;

bool magicAt(const uint8_t* head, size_t at, const char* magic) {
    return std::memcmp(head + at, magic, std::strlen(magic)) == 0;
}

}  // namespace

uint8_t SeratoFileMeta::u8(TagBytes b, int64_t at) {
    return at >= 0 && static_cast<uint64_t>(at) < b.size() ? b[static_cast<size_t>(at)] : 0;
}

namespace {

// The byte k places after `at`; 0 outside the buffer, also when the position does not fit in 64 bits.
uint8_t byteAt(TagBytes b, int64_t at, int64_t k) {
    int64_t pos = 0;
    if (__builtin_add_overflow(at, k, &pos)) return 0;
    return SeratoFileMeta::u8(b, pos);
}

}  // namespace

uint16_t SeratoFileMeta::u16BE(TagBytes b, int64_t at) {
    return static_cast<uint16_t>((u8(b, at) << 8) | byteAt(b, at, 1));
}

uint32_t SeratoFileMeta::u24BE(TagBytes b, int64_t at) {
    return (uint32_t{u8(b, at)} << 16) | (uint32_t{byteAt(b, at, 1)} << 8) | byteAt(b, at, 2);
}

uint32_t SeratoFileMeta::u32BE(TagBytes b, int64_t at) {
    return (uint32_t{u8(b, at)} << 24) | (uint32_t{byteAt(b, at, 1)} << 16) | (uint32_t{byteAt(b, at, 2)} << 8) |
           byteAt(b, at, 3);
}

uint32_t SeratoFileMeta::u32LE(TagBytes b, int64_t at) {
    return (uint32_t{byteAt(b, at, 3)} << 24) | (uint32_t{byteAt(b, at, 2)} << 16) | (uint32_t{byteAt(b, at, 1)} << 8) |
           u8(b, at);
}

uint64_t SeratoFileMeta::u64BE(TagBytes b, int64_t at) {
    uint64_t v = 0;
    for (int64_t k = 0; k < 8; ++k) v = (v << 8) | byteAt(b, at, k);
    return v;
}

float SeratoFileMeta::f32BE(TagBytes b, int64_t at) { return std::bit_cast<float>(u32BE(b, at)); }

double SeratoFileMeta::f64BE(TagBytes b, int64_t at) { return std::bit_cast<double>(u64BE(b, at)); }

uint32_t SeratoFileMeta::synchsafe(TagBytes b, int64_t at) {
    return (uint32_t{u8(b, at) & 0x7Fu} << 21) | (uint32_t{byteAt(b, at, 1) & 0x7Fu} << 14) |
           (uint32_t{byteAt(b, at, 2) & 0x7Fu} << 7) | (byteAt(b, at, 3) & 0x7Fu);
}

std::vector<uint8_t> SeratoFileMeta::bytes(TagBytes b, int64_t at, int64_t count) {
    if (count < 1 || !TagRange::fits(at, static_cast<uint64_t>(count), static_cast<int64_t>(b.size()))) return {};
    const auto* p = b.data() + at;
    return {p, p + count};
}

std::optional<int64_t> SeratoFileMeta::findZero(TagBytes b, int64_t from, int64_t limit) {
    const int64_t end = std::min<int64_t>(limit, static_cast<int64_t>(b.size()));
    if (from < 0 || from >= end) return std::nullopt;
    const void* z = std::memchr(b.data() + from, 0, static_cast<size_t>(end - from));
    if (!z) return std::nullopt;
    return static_cast<const uint8_t*>(z) - b.data();
}

std::optional<int64_t> SeratoFileMeta::terminatorEnd(TagBytes b, int64_t from, bool wide, int64_t limit) {
    if (!wide) {
        auto z = findZero(b, from, limit);
        if (!z) return std::nullopt;
        return *z + 1;
    }
    if (from < 0) return std::nullopt;
    for (int64_t i = from; i < limit - 1; i += 2) {
        if (u8(b, i) == 0 && u8(b, i + 1) == 0) return i + 2;
    }
    return std::nullopt;
}

bool SeratoFileMeta::isEmpty() const {
    return !gridBpm && cues.empty() && !trackColorHex && loops.empty() && flips.empty() && artist.empty() &&
           title.empty() && key.empty() && !bpmField;
}

std::optional<SeratoFileMeta> SeratoFileMeta::read(const TagSource& source) {
    if (source.size() < kMinFileSize) return std::nullopt;
    uint8_t head[8] = {};
    if (!source.readAt(0, head)) return std::nullopt;

    SeratoFileMeta meta;
    if (magicAt(head, 0, "ID3")) {
        Id3v2Reader::readTag(source, 0, meta);
    } else if (magicAt(head, 0, "fLaC")) {
        FlacReader::parseFLAC(source, meta);
    } else if (magicAt(head, 4, "ftyp")) {
        Mp4Reader::parseMP4(source, meta);
    } else if (magicAt(head, 0, "FORM")) {
        RiffAiffReader::parseChunks(source, false, meta);
    } else if (magicAt(head, 0, "RIFF")) {
        RiffAiffReader::parseChunks(source, true, meta);
    } else {
        return std::nullopt;
    }
    if (meta.isEmpty()) return std::nullopt;
    return meta;
}

std::optional<SeratoFileMeta> SeratoFileMeta::read(const std::string& path) {
    FileTagSource source(path);
    if (!source.ok()) return std::nullopt;
    return read(source);
}

std::optional<SeratoFileMeta> SeratoFileMeta::readBytes(TagBytes file) {
    return read(MemoryTagSource(file));
}

}  // namespace plindo::library
