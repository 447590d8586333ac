#include "library/id3v2_reader.h"

#include "library/serato_payload.h"
#include "library/tag_source.h"
#include "library/tag_text.h"
#include "platform/text.h"

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

// The frame's text after its encoding byte; empty for a frame of size 1.
std::string frameText(TagBytes frame) {
    const uint8_t encoding = M::u8(frame, 0);
    if (frame.size() <= 1) return decodeText({}, encoding);
    return decodeText(frame.subspan(1), encoding);
}

bool wanted(std::string_view id) {
    return id == "TPE1" || id == "TIT2" || id == "TKEY" || id == "TBPM" || id == "TXXX" || id == "GEOB";
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

void forEachFrame(const TagSource& source, int64_t off, const std::function<bool(const Frame&)>& onFrame) {
    const int64_t n = source.size();
    uint8_t h[kHeaderSize] = {};
    // Bytes past the end of the file read as zero.
    const auto head = source.clipped(off, kHeaderSize);
    std::copy(head.begin(), head.end(), h);
    if (head.size() < 3 || std::memcmp(h, "ID3", 3) != 0) return;
    const bool old = h[3] < 4;
    const bool extended = (h[5] & 0x40) != 0;
    const int64_t end = std::min<int64_t>(off + kHeaderSize + M::synchsafe(h, 6), n);

    int64_t pos = off + kHeaderSize;
    if (extended) {
        uint8_t e[4] = {};
        const auto ext = source.clipped(pos, 4);
        std::copy(ext.begin(), ext.end(), e);
        pos += old ? 4 + int64_t{M::u32BE(e, 0)} : int64_t{M::synchsafe(e, 0)};
    }

    while (pos + kHeaderSize <= end) {
        uint8_t f[kHeaderSize];
        if (!source.readAt(pos, f) || f[0] == 0) return;
        const int64_t size = old ? int64_t{M::u32BE(f, 4)} : int64_t{M::synchsafe(f, 4)};
        if (size == 0 || pos + kHeaderSize + size > end) return;
        if (!onFrame(Frame{std::string(reinterpret_cast<const char*>(f), 4), pos + kHeaderSize, size})) return;
        pos += kHeaderSize + size;
    }
}

void forEachFrame(TagBytes data, int64_t off, const std::function<bool(const Frame&)>& onFrame) {
    forEachFrame(MemoryTagSource(data), off, onFrame);
}

void readTag(const TagSource& source, int64_t off, SeratoFileMeta& meta) {
    forEachFrame(source, off, [&](const Frame& f) {
        if (!wanted(f.id)) return true;
        const auto data = source.region(f.dataAt, f.size);
        if (!data) return false;
        const TagBytes frame(*data);
        if (f.id == "TPE1") {
            meta.artist = frameText(frame);
        } else if (f.id == "TIT2") {
            meta.title = frameText(frame);
        } else if (f.id == "TKEY") {
            meta.key = frameText(frame);
        } else if (f.id == "TBPM") {
            meta.bpmField = TagText::decimal(frameText(frame));
        } else if (f.id == "TXXX") {
            parseTXXX(frame, 0, f.size, meta);
        } else if (f.id == "GEOB") {
            parseGEOB(frame, 0, f.size, meta);
        }
        return true;
    });
}

void parseID3(TagBytes data, int64_t off, SeratoFileMeta& meta) { readTag(MemoryTagSource(data), off, meta); }

void parseTXXX(TagBytes data, int64_t from, int64_t size, SeratoFileMeta& meta) {
    if (size < 3 || meta.playcount) return;
    const uint8_t encoding = M::u8(data, from);
    const bool wide = isWide(encoding);
    const int64_t frameEnd = from + size;
    const auto descEnd = M::terminatorEnd(data, from + 1, wide, frameEnd);
    if (!descEnd) return;
    const int64_t terminator = wide ? 2 : 1;
    std::string description = platform::text::asciiLower(decodeText(range(data, from + 1, *descEnd - terminator), encoding));
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
