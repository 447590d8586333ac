#include "library/id3v2_reader.h"

#include "library/serato_payload.h"
#include "library/tag_source.h"
#include "library/tag_text.h"

#include <cstring>

namespace plindo::library::Id3v2Reader {

namespace {

using M = SeratoFileMeta;

constexpr int64_t kHeaderSize = 10;

bool isWide(uint8_t encoding) { return encoding == 1 || encoding == 2; }

TagBytes range(TagBytes data, int64_t from, int64_t to) {
    const auto n = static_cast<int64_t>(data.size());
    from = std::clamp<int64_t>(from, 0, n);
    to = std::clamp<int64_t>(to, from, n);
    return data.subspan(static_cast<size_t>(from), static_cast<size_t>(to - from));
}

// The frame's text after its encoding byte; empty for a frame of size 1 or one that passes the data's end.
std::string frameText(TagBytes data, const Frame& f) {
    const uint8_t encoding = M::u8(data, f.dataAt);
    if (f.size <= 1 || f.dataAt + f.size > static_cast<int64_t>(data.size())) return decodeText({}, encoding);
    return decodeText(range(data, f.dataAt + 1, f.dataAt + f.size), encoding);
}

// Drops trailing U+0000 code units; an odd trailing byte cannot be a whole code unit and goes too.
TagBytes withoutWideTerminators(TagBytes b) {
    if (b.size() % 2 != 0) b = b.first(b.size() - 1);
    while (b.size() >= 2 && b[b.size() - 1] == 0 && b[b.size() - 2] == 0) b = b.first(b.size() - 2);
    return b;
}

}  // namespace

std::string decodeText(TagBytes b, uint8_t encoding) {
    if (isWide(encoding)) {
        // Removing single zero bytes would cut the high byte off a little-endian "A" (41 00), so wide text
        // loses whole zero code units only.
        b = withoutWideTerminators(b);
        bool bigEndian = encoding == 2;
        if (b.size() >= 2 && ((b[0] == 0xFF && b[1] == 0xFE) || (b[0] == 0xFE && b[1] == 0xFF))) {
            bigEndian = b[0] == 0xFE;
            b = b.subspan(2);
        } else if (encoding == 1) {
            // Without a byte-order mark, the order Unicode prescribes for unmarked UTF-16.
            bigEndian = true;
        }
        return TagText::utf16(b, bigEndian).value_or("");
    }
    while (!b.empty() && b.back() == 0) b = b.first(b.size() - 1);
    if (encoding == 3) {
        if (b.size() >= 3 && b[0] == 0xEF && b[1] == 0xBB && b[2] == 0xBF) b = b.subspan(3);
        return TagText::utf8(b).value_or("");
    }
    return TagText::latin1(b);
}

void forEachFrame(TagBytes data, int64_t off, const std::function<bool(const Frame&)>& onFrame) {
    const auto n = static_cast<int64_t>(data.size());
    if (off < 0 || off > n - 3 || std::memcmp(data.data() + off, "ID3", 3) != 0) return;
    // A version byte outside the data counts as below 4.
    const bool old = M::u8(data, off + 3) < 4;
    const bool extended = (M::u8(data, off + 5) & 0x40) != 0;
    const int64_t end = std::min<int64_t>(off + kHeaderSize + M::synchsafe(data, off + 6), n);

    int64_t pos = off + kHeaderSize;
    if (extended) pos += old ? 4 + int64_t{M::u32BE(data, pos)} : int64_t{M::synchsafe(data, pos)};

    while (pos + kHeaderSize <= end) {
        if (n - pos < 4 || data[static_cast<size_t>(pos)] == 0) return;
        const std::string_view id(reinterpret_cast<const char*>(data.data() + pos), 4);
        const int64_t size = old ? int64_t{M::u32BE(data, pos + 4)} : int64_t{M::synchsafe(data, pos + 4)};
        if (size == 0 || pos + kHeaderSize + size > end) return;
        if (!onFrame(Frame{id, pos + kHeaderSize, size})) return;
        pos += kHeaderSize + size;
    }
}

void parseID3(TagBytes data, int64_t off, SeratoFileMeta& meta) {
    forEachFrame(data, off, [&](const Frame& f) {
        if (f.id == "TPE1") {
            meta.artist = frameText(data, f);
        } else if (f.id == "TIT2") {
            meta.title = frameText(data, f);
        } else if (f.id == "TKEY") {
            meta.key = frameText(data, f);
        } else if (f.id == "TBPM") {
            meta.bpmField = TagText::decimal(frameText(data, f));
        } else if (f.id == "TXXX") {
            parseTXXX(data, f.dataAt, f.size, meta);
        } else if (f.id == "GEOB") {
            parseGEOB(data, f.dataAt, f.dataAt + f.size, meta);
        }
        return true;
    });
}

void readTag(const TagSource& source, int64_t off, SeratoFileMeta& meta) {
    uint8_t header[kHeaderSize] = {};
    if (!source.readAt(off, header) || std::memcmp(header, "ID3", 3) != 0) return;
    const int64_t tagSize = kHeaderSize + M::synchsafe(header, 6);
    // The synchsafe size is below 2^28, so the tag costs at most that much whatever the file's length.
    const auto tag = source.clipped(off, tagSize);
    parseID3(tag, 0, meta);
}

void parseTXXX(TagBytes data, int64_t from, int64_t size, SeratoFileMeta& meta) {
    if (size < 3 || meta.playcount) return;
    const uint8_t encoding = M::u8(data, from);
    const bool wide = isWide(encoding);
    const int64_t frameEnd = from + size;
    const auto descEnd = M::terminatorEnd(data, from + 1, wide, frameEnd);
    if (!descEnd) return;
    const int64_t terminator = wide ? 2 : 1;
    std::string description = TagText::asciiLower(decodeText(range(data, from + 1, *descEnd - terminator), encoding));
    std::erase_if(description, [](char c) { return c == ' ' || c == '_' || c == '-'; });
    if (description.find("playcount") == std::string::npos && description.find("pcnt") == std::string::npos) return;
    if (*descEnd >= frameEnd) return;
    const std::string value = decodeText(range(data, *descEnd, frameEnd), encoding);
    if (auto count = TagText::leadingInteger(value)) meta.playcount = *count;
}

void parseGEOB(TagBytes data, int64_t from, int64_t to, SeratoFileMeta& meta) {
    const uint8_t encoding = to > from ? M::u8(data, from) : 0;
    const bool wide = isWide(encoding);
    const auto mimeZero = M::findZero(data, from + 1, to);
    if (!mimeZero) return;
    const auto fileNameEnd = M::terminatorEnd(data, *mimeZero + 1, wide, to);
    if (!fileNameEnd) return;

    std::string description;
    int64_t objectAt = 0;
    if (!wide) {
        const auto zero = M::findZero(data, *fileNameEnd, to);
        if (!zero) return;
        description = TagText::latin1(range(data, *fileNameEnd, *zero));
        objectAt = *zero + 1;
    } else {
        const auto descEnd = M::terminatorEnd(data, *fileNameEnd, true, to);
        if (!descEnd) return;
        TagBytes d = range(data, *fileNameEnd, *descEnd - 2);
        // A byte-order mark says the order and is not part of the description.
        if (d.size() >= 2 && ((d[0] == 0xFF && d[1] == 0xFE) || (d[0] == 0xFE && d[1] == 0xFF))) {
            description = TagText::utf16(d.subspan(2), d[0] == 0xFE).value_or("");
        } else {
            auto le = TagText::utf16(d, false);
            description = le ? *le : TagText::utf16(d, true).value_or("");
        }
        objectAt = *descEnd;
    }
    if (objectAt >= to) return;
    SeratoPayload::applySeratoPayload(description, range(data, objectAt, to), meta);
}

}  // namespace plindo::library::Id3v2Reader
