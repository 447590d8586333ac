#include "library/embedded_art.h"

#include "library/flac_reader.h"
#include "library/mp4_reader.h"
#include "library/riff_aiff_reader.h"
#include "library/serato_file_meta.h"
#include "library/tag_source.h"

#include <sys/stat.h>

#include <algorithm>
#include <cstring>
#include <string_view>

namespace plindo::library::EmbeddedArt {

namespace {

using M = SeratoFileMeta;
constexpr int64_t kId3HeaderSize = 10;
constexpr int kFlacPictureBlock = 6;
// "data" children of "covr" start with 4 bytes of type and flags and 4 of locale.
constexpr int64_t kMp4DataPrefix = 8;

std::optional<std::vector<uint8_t>> nonEmpty(std::vector<uint8_t> v) {
    if (v.empty()) return std::nullopt;
    return v;
}

struct Id3Frame {
    std::string_view id;
    int64_t dataAt = 0;
    int64_t size = 0;
};

// The first frame with `id` of the tag at the start of `tag` (versions 3 and 4, as the tag readers take them).
std::optional<Id3Frame> firstId3Frame(TagBytes tag, std::string_view id) {
    const auto n = static_cast<int64_t>(tag.size());
    if (n < kId3HeaderSize || std::memcmp(tag.data(), "ID3", 3) != 0) return std::nullopt;
    const bool old = M::u8(tag, 3) < 4;
    const int64_t end = std::min<int64_t>(kId3HeaderSize + M::synchsafe(tag, 6), n);
    int64_t pos = kId3HeaderSize;
    if ((M::u8(tag, 5) & 0x40) != 0) pos += old ? 4 + int64_t{M::u32BE(tag, pos)} : int64_t{M::synchsafe(tag, pos)};
    while (pos + kId3HeaderSize <= end && tag[static_cast<size_t>(pos)] != 0) {
        const std::string_view frameId(reinterpret_cast<const char*>(tag.data() + pos), 4);
        const int64_t size = old ? int64_t{M::u32BE(tag, pos + 4)} : int64_t{M::synchsafe(tag, pos + 4)};
        if (size == 0 || pos + kId3HeaderSize + size > end) return std::nullopt;
        if (frameId == id) return Id3Frame{frameId, pos + kId3HeaderSize, size};
        pos += kId3HeaderSize + size;
    }
    return std::nullopt;
}

// APIC: encoding, MIME type (Latin-1, zero-ended), picture type, description (zero-ended in the encoding),
// then the picture.
std::optional<std::vector<uint8_t>> apic(TagBytes tag, const Id3Frame& f) {
    const int64_t end = f.dataAt + f.size;
    const uint8_t encoding = M::u8(tag, f.dataAt);
    const auto mimeEnd = M::findZero(tag, f.dataAt + 1, end);
    if (!mimeEnd) return std::nullopt;
    const int64_t descAt = *mimeEnd + 2;  // past the zero and the picture type
    const auto descEnd = M::terminatorEnd(tag, descAt, encoding == 1 || encoding == 2, end);
    if (!descEnd || *descEnd >= end) return std::nullopt;
    return nonEmpty(M::bytes(tag, *descEnd, end - *descEnd));
}

std::optional<std::vector<uint8_t>> fromId3(const TagSource& source, int64_t off) {
    uint8_t header[kId3HeaderSize] = {};
    if (!source.readAt(off, header) || std::memcmp(header, "ID3", 3) != 0) return std::nullopt;
    // The synchsafe size is below 2^28, so the tag costs at most that much whatever the file's length.
    const auto tag = source.clipped(off, kId3HeaderSize + M::synchsafe(header, 6));
    const auto frame = firstId3Frame(tag, "APIC");
    if (!frame) return std::nullopt;
    return apic(tag, *frame);
}

std::optional<std::vector<uint8_t>> fromChunks(const TagSource& source, bool littleEndian) {
    std::optional<std::vector<uint8_t>> art;
    RiffAiffReader::forEachChunk(source, littleEndian, [&](const RiffAiffReader::Chunk& c) {
        if (c.id.size() == 4 && (c.id[0] == 'i' || c.id[0] == 'I') && (c.id[1] == 'd' || c.id[1] == 'D') && c.id[2] == '3' &&
            (c.id[3] == ' ' || c.id[3] == '\0')) {
            art = fromId3(source, c.dataAt);
            return false;
        }
        return true;
    });
    return art;
}

// PICTURE: type, MIME length and text, description length and text, width, height, depth, colours, data
// length and data; all numbers 32-bit big-endian.
std::optional<std::vector<uint8_t>> fromFlac(const TagSource& source) {
    std::optional<std::vector<uint8_t>> art;
    FlacReader::forEachBlock(source, [&](const FlacReader::Block& b) {
        if (b.type != kFlacPictureBlock) return true;
        const auto data = source.region(b.dataAt, b.length);
        if (!data) return false;
        const TagBytes d(*data);
        const int64_t n = static_cast<int64_t>(d.size());
        int64_t p = 4;
        p += 4 + int64_t{M::u32BE(d, p)};
        if (p + 4 > n) return false;
        p += 4 + int64_t{M::u32BE(d, p)};
        p += 16;
        if (p + 4 > n) return false;
        const int64_t len = M::u32BE(d, p);
        p += 4;
        if (len > n - p) return false;
        art = nonEmpty(M::bytes(d, p, len));
        return false;
    });
    return art;
}

std::optional<std::vector<uint8_t>> fromMp4(const TagSource& source) {
    const auto ilst = Mp4Reader::findIlst(source);
    if (!ilst) return std::nullopt;
    std::optional<std::vector<uint8_t>> art;
    Mp4Reader::forEachAtom(source, ilst->contentAt, ilst->end, [&](const Mp4Reader::Atom& item) {
        if (item.type != "covr") return true;
        Mp4Reader::forEachAtom(source, item.contentAt, item.end, [&](const Mp4Reader::Atom& data) {
            if (data.type != "data") return true;
            const int64_t at = data.contentAt + kMp4DataPrefix;
            if (at < data.end) {
                if (auto bytes = source.region(at, data.end - at)) art = nonEmpty(std::move(*bytes));
            }
            return false;
        });
        return false;
    });
    return art;
}

}  // namespace

std::optional<std::vector<uint8_t>> read(const TagSource& source) {
    uint8_t head[8] = {};
    if (!source.readAt(0, head)) return std::nullopt;
    auto magic = [&](int at, const char* m) { return std::memcmp(head + at, m, 4) == 0; };
    if (std::memcmp(head, "ID3", 3) == 0) return fromId3(source, 0);
    if (magic(0, "fLaC")) return fromFlac(source);
    if (magic(4, "ftyp")) return fromMp4(source);
    if (magic(0, "FORM")) return fromChunks(source, false);
    if (magic(0, "RIFF")) return fromChunks(source, true);
    return std::nullopt;
}

std::optional<std::vector<uint8_t>> read(const std::string& path) {
    // Opening a FIFO would block: look before opening.
    struct stat st {};
    if (path.find('\0') != std::string::npos || ::stat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) return std::nullopt;
    const FileTagSource source(path);
    if (!source.ok()) return std::nullopt;
    return read(source);
}

}  // namespace plindo::library::EmbeddedArt
