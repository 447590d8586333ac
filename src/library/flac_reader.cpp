#include "library/flac_reader.h"

#include "library/serato_payload.h"
#include "library/tag_source.h"
#include "library/tag_text.h"

namespace plindo::library::FlacReader {

namespace {

using M = SeratoFileMeta;

constexpr int kVorbisCommentBlock = 4;
constexpr uint32_t kMaxComments = 4096;
// Real files hold a few blocks; the cap bounds the walk over a file of zero-length junk blocks.
constexpr int kMaxBlocks = 4096;

void applyComment(std::string_view key, std::string_view value, SeratoFileMeta& meta) {
    const auto bytes = [&] { return TagBytes(reinterpret_cast<const uint8_t*>(value.data()), value.size()); };
    auto object = [&](std::string_view fallback) {
        const auto o = SeratoPayload::decodeTagObject(bytes(), fallback);
        SeratoPayload::applySeratoPayload(o.description, o.payload, meta);
    };
    if (key == "ARTIST") {
        meta.artist = value;
    } else if (key == "TITLE") {
        meta.title = value;
    } else if (key == "INITIALKEY" || key == "KEY") {
        meta.key = value;
    } else if (key == "BPM") {
        meta.bpmField = TagText::decimal(value);
    } else if (key == "PLAYCOUNT" || key == "PLAY_COUNT" || key == "SERATO_PLAYCOUNT") {
        if (!meta.playcount) meta.playcount = TagText::leadingInteger(value);
    } else if (key == "SERATO_MARKERS_V2") {
        object("Serato Markers2");
    } else if (key == "SERATO_BEATGRID") {
        object("Serato BeatGrid");
    } else if (key == "SERATO_OVERVIEW") {
        object("Serato Overview");
    }
}

}  // namespace

bool parseVorbisComments(TagBytes block, SeratoFileMeta& meta) {
    const auto n = static_cast<int64_t>(block.size());
    const uint32_t vendorLength = M::u32LE(block, 0);
    int64_t p = 4 + int64_t{vendorLength};
    if (p > n - 4) return false;
    const uint32_t count = std::min(M::u32LE(block, p), kMaxComments);
    p += 4;
    for (uint32_t i = 0; i < count; ++i) {
        if (p > n - 4) return true;
        const uint32_t length = M::u32LE(block, p);
        p += 4;
        if (length == 0 || int64_t{length} > n - p) return true;
        const auto text = TagText::utf8(block.subspan(static_cast<size_t>(p), length));
        p += length;
        if (!text) continue;
        const auto eq = text->find('=');
        if (eq == std::string::npos) continue;
        applyComment(TagText::asciiUpper(std::string_view(*text).substr(0, eq)), std::string_view(*text).substr(eq + 1), meta);
    }
    return true;
}

void forEachBlock(const TagSource& source, const std::function<bool(const Block&)>& onBlock) {
    const int64_t n = source.size();
    if (n < 8) return;
    int64_t p = 8;
    for (int count = 0; count < kMaxBlocks; ++count) {
        uint8_t h[4];
        if (!source.readAt(p - 4, h)) return;
        const int64_t length = M::u24BE(h, 1);
        if (p + length > n) return;
        const Block block{h[0] & 0x7F, (h[0] & 0x80) != 0, p, length};
        if (!onBlock(block)) return;
        if (block.last) return;
        p += length + 4;
        if (p > n) return;
    }
}

void parseFLAC(const TagSource& source, SeratoFileMeta& meta) {
    forEachBlock(source, [&](const Block& b) {
        if (b.type != kVorbisCommentBlock) return true;
        const auto data = source.region(b.dataAt, b.length);
        if (!data) return false;
        return parseVorbisComments(*data, meta);
    });
}

}  // namespace plindo::library::FlacReader
