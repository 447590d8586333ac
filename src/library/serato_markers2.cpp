#include "library/serato_markers2.h"

#include "library/tag_text.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdio>
#include <cstring>

namespace plindo::library::SeratoMarkers2 {

namespace {

using M = SeratoFileMeta;

constexpr std::array<int8_t, 256> kAlphabet = [] {
    std::array<int8_t, 256> t{};
    t.fill(-1);
    for (int i = 0; i < 26; ++i) {
        t[static_cast<size_t>('A' + i)] = static_cast<int8_t>(i);
        t[static_cast<size_t>('a' + i)] = static_cast<int8_t>(26 + i);
    }
    for (int i = 0; i < 10; ++i) t[static_cast<size_t>('0' + i)] = static_cast<int8_t>(52 + i);
    t['+'] = 62;
    t['/'] = 63;
    return t;
}();

// Standard base64 that skips bytes outside the alphabet; "=" ends the data and only "=" may follow it.
// Nothing when the data cannot be whole bytes. Missing padding needs no "=" appended: the end of the text
// ends the data just the same.
std::optional<std::vector<uint8_t>> decodeStrict(TagBytes text) {
    std::vector<uint8_t> out(text.size() / 4 * 3 + 3);
    size_t o = 0;
    uint32_t acc = 0;
    size_t sextets = 0;
    bool padded = false;
    const size_t n = text.size();
    size_t i = 0;
    while (i < n) {
        // Whole groups of four alphabet characters, the common case, in one step.
        if (sextets % 4 == 0 && !padded && n - i >= 4) {
            const int a = kAlphabet[text[i]], b = kAlphabet[text[i + 1]], c = kAlphabet[text[i + 2]], d = kAlphabet[text[i + 3]];
            if ((a | b | c | d) >= 0) {
                const uint32_t v = (uint32_t(a) << 18) | (uint32_t(b) << 12) | (uint32_t(c) << 6) | uint32_t(d);
                out[o++] = uint8_t(v >> 16);
                out[o++] = uint8_t(v >> 8);
                out[o++] = uint8_t(v);
                i += 4;
                continue;
            }
        }
        const uint8_t ch = text[i++];
        if (ch == '=') {
            padded = true;
            continue;
        }
        const int8_t v = kAlphabet[ch];
        if (v < 0) continue;
        if (padded) return std::nullopt;
        acc = (acc << 6) | static_cast<uint32_t>(v);
        if (++sextets % 4 == 0) {
            out[o++] = uint8_t(acc >> 16);
            out[o++] = uint8_t(acc >> 8);
            out[o++] = uint8_t(acc);
            acc = 0;
        }
    }
    switch (sextets % 4) {
        case 1: return std::nullopt;
        case 2: out[o++] = uint8_t(acc >> 4); break;
        case 3:
            out[o++] = uint8_t(acc >> 10);
            out[o++] = uint8_t(acc >> 2);
            break;
        default: break;
    }
    out.resize(o);
    return out;
}

std::string colorHex(uint8_t r, uint8_t g, uint8_t b) {
    char s[8];
    std::snprintf(s, sizeof s, "#%02x%02x%02x", r, g, b);
    return s;
}

// A value that cannot be written to the track's JSON counts as absent.
std::optional<double> finite(double v) {
    if (!std::isfinite(v)) return std::nullopt;
    return v;
}

std::string labelFrom(TagBytes e, int64_t from) {
    const auto end = M::findZero(e, from, static_cast<int64_t>(e.size())).value_or(static_cast<int64_t>(e.size()));
    if (from >= end) return "";
    return TagText::latin1(e.subspan(static_cast<size_t>(from), static_cast<size_t>(end - from)));
}

void parseCue(TagBytes e, SeratoFileMeta& meta) {
    if (e.size() <= 12) return;
    SeratoFileMeta::Cue cue;
    cue.idx = M::u8(e, 1);
    cue.posSec = M::u32BE(e, 2) / 1000.0;
    cue.colorHex = colorHex(M::u8(e, 7), M::u8(e, 8), M::u8(e, 9));
    cue.label = labelFrom(e, 12);
    meta.cues.push_back(std::move(cue));
}

void parseLoop(TagBytes e, SeratoFileMeta& meta) {
    if (e.size() <= 16) return;
    SeratoFileMeta::Loop loop;
    loop.idx = M::u8(e, 1);
    loop.startSec = M::u32BE(e, 2) / 1000.0;
    loop.endSec = M::u32BE(e, 6) / 1000.0;
    loop.locked = M::u32BE(e, 10) != 0xFFFFFFFFu;
    loop.colorHex = colorHex(M::u8(e, 16), M::u8(e, 17), M::u8(e, 18));
    if (e.size() > 20) loop.label = labelFrom(e, 20);
    meta.loops.push_back(std::move(loop));
}

SeratoFileMeta::FlipAction flipAction(uint8_t type, TagBytes v) {
    SeratoFileMeta::FlipAction a;
    if (type == 0 && v.size() >= 16) {
        a.type = "jump";
        a.fromS = finite(M::f64BE(v, 0));
        a.toS = finite(M::f64BE(v, 8));
    } else if (type == 1 && v.size() >= 24) {
        a.type = "censor";
        a.triggerS = finite(M::f64BE(v, 0));
        a.reverseTargetS = finite(M::f64BE(v, 8));
        a.speed = finite(M::f64BE(v, 16));
    } else {
        a.type = "unknown";
    }
    return a;
}

void parseFlip(TagBytes e, SeratoFileMeta& meta) {
    const auto n = static_cast<int64_t>(e.size());
    if (n < 6) return;
    const auto nameEnd = M::findZero(e, 3, n);
    if (!nameEnd) return;
    SeratoFileMeta::Flip flip;
    flip.slot = M::u8(e, 1);
    flip.name = TagText::utf8(e.subspan(3, static_cast<size_t>(*nameEnd - 3))).value_or("");
    flip.loop = M::u8(e, *nameEnd + 1) != 0;
    int64_t p = *nameEnd + 2;
    if (n - p >= 4) {
        const uint32_t count = M::u32BE(e, p);
        p += 4;
        // Each action takes at least 5 bytes, so the walk ends with the entry whatever the count claims.
        for (uint32_t i = 0; i < count; ++i) {
            if (n - p < 5) break;
            const uint8_t type = M::u8(e, p);
            const uint32_t len = M::u32BE(e, p + 1);
            p += 5;
            if (static_cast<uint64_t>(len) > static_cast<uint64_t>(n - p)) break;
            flip.actions.push_back(flipAction(type, e.subspan(static_cast<size_t>(p), len)));
            p += len;
        }
    }
    meta.flips.push_back(std::move(flip));
}

void handleEntry(std::string_view name, TagBytes e, SeratoFileMeta& meta) {
    if (name == "CUE") {
        parseCue(e, meta);
    } else if (name == "LOOP") {
        parseLoop(e, meta);
    } else if (name == "COLOR") {
        if (e.size() >= 4) meta.trackColorHex = colorHex(e[1], e[2], e[3]);
    } else if (name == "BPMLOCK") {
        meta.bpmLock = M::u8(e, 0) != 0;
    } else if (name == "FLIP") {
        parseFlip(e, meta);
    }
}

}  // namespace

std::optional<std::vector<uint8_t>> decodeBase64(TagBytes text, std::string_view expectedPrefix) {
    if (text.empty()) return std::nullopt;
    static constexpr std::array<uint8_t, 256> kSignificant = [] {
        std::array<uint8_t, 256> t{};
        for (size_t c = 0; c < 256; ++c) t[c] = kAlphabet[c] >= 0 || c == '=' ? 1 : 0;
        return t;
    }();
    const auto significant = [](uint8_t c) { return kSignificant[c] != 0; };
    // Padding is judged on the characters that carry data: a carriage return or space left in the text
    // would otherwise skew the count and cut off the last bytes.
    size_t count = 0;
    for (uint8_t c : text) count += kSignificant[c];
    std::optional<std::vector<uint8_t>> fallback;
    for (size_t k = 0; k < 4; ++k) {
        if (k >= text.size()) break;
        const size_t len = text.size() - k;
        if (k > 0 && significant(text[len])) --count;
        if (count % 4 == 1) continue;
        auto decoded = decodeStrict(text.first(len));
        if (!decoded || decoded->empty()) continue;
        if (decoded->size() >= expectedPrefix.size() &&
            std::memcmp(decoded->data(), expectedPrefix.data(), expectedPrefix.size()) == 0) {
            return decoded;
        }
        if (!fallback || decoded->size() > fallback->size()) fallback = std::move(decoded);
    }
    return fallback;
}

void parseMarkers2(TagBytes payload, SeratoFileMeta& meta) {
    if (payload.size() < 2) return;
    const auto stop = M::findZero(payload, 2, static_cast<int64_t>(payload.size())).value_or(static_cast<int64_t>(payload.size()));
    std::vector<uint8_t> text;
    text.reserve(static_cast<size_t>(stop));
    for (int64_t i = 2; i < stop; ++i) {
        if (payload[static_cast<size_t>(i)] != 0x0A) text.push_back(payload[static_cast<size_t>(i)]);
    }
    const auto decoded = decodeBase64(text, "");
    if (!decoded) return;
    const TagBytes d(*decoded);
    const auto n = static_cast<int64_t>(d.size());

    if (n >= 7) {
        int64_t pos = 2;
        while (true) {
            const auto nameEnd = M::findZero(d, pos, n);
            if (!nameEnd || *nameEnd == pos) break;
            const std::string name(reinterpret_cast<const char*>(d.data() + pos), static_cast<size_t>(*nameEnd - pos));
            const int64_t lenAt = *nameEnd + 1;
            if (n - lenAt < 4) break;
            const uint32_t len = M::u32BE(d, lenAt);
            if (len == 0) break;
            const int64_t dataAt = lenAt + 4;
            if (static_cast<uint64_t>(len) > static_cast<uint64_t>(n - dataAt)) break;
            handleEntry(name, d.subspan(static_cast<size_t>(dataAt), len), meta);
            pos = dataAt + len;
            if (!(pos < n - 4)) break;
        }
    }
    std::stable_sort(meta.cues.begin(), meta.cues.end(),
                     [](const SeratoFileMeta::Cue& a, const SeratoFileMeta::Cue& b) { return a.idx < b.idx; });
}

}  // namespace plindo::library::SeratoMarkers2
