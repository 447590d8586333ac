#include "library/mp4_reader.h"

#include "library/serato_payload.h"
#include "library/tag_source.h"
#include "library/tag_text.h"
#include "platform/text.h"

#include <cstring>

namespace plindo::library::Mp4Reader {

namespace {

using M = SeratoFileMeta;

// Real files hold tens of atoms per level; the cap bounds a walk over a file of tiny junk atoms.
constexpr int kMaxAtomsPerLevel = 65536;
// Items the host reads are text and the DJ application's objects (kilobytes); a larger claim is not read
// into memory. FLAC blocks are bounded alike by their 24-bit length.
constexpr int64_t kMaxItemSize = 16 << 20;
// "data" content: 4 bytes of type indicator and 4 of locale before the value.
constexpr int64_t kDataPrefix = 8;
// "mean" and "name" content: 4 bytes of version and flags before the text.
constexpr int64_t kFullAtomPrefix = 4;

std::optional<Atom> headerFrom(const uint8_t* h, size_t got, int64_t at, int64_t end) {
    const TagBytes b(h, got);
    if (got < 8) return std::nullopt;
    uint64_t size = M::u32BE(b, 0);
    int64_t header = 8;
    if (size == 1) {
        size = M::u64BE(b, 8);  // bytes past what was read count as 0, giving a size that fails below
        header = 16;
    } else if (size == 0) {
        size = static_cast<uint64_t>(end - at);
    }
    // A size below the header would put the content after the atom's end.
    if (size < static_cast<uint64_t>(header) || size > static_cast<uint64_t>(end - at)) return std::nullopt;
    Atom a;
    a.type.assign(reinterpret_cast<const char*>(h + 4), 4);
    a.at = at;
    a.contentAt = at + header;
    a.end = at + static_cast<int64_t>(size);
    return a;
}

template <typename Fn>
void eachChild(TagBytes data, int64_t from, int64_t to, Fn&& fn) {
    int64_t p = from;
    for (int count = 0; count < kMaxAtomsPerLevel; ++count) {
        const auto a = atomHeader(data, p, to);
        if (!a || !fn(*a)) return;
        p = a->end;
    }
}

std::optional<Atom> firstChild(TagBytes data, int64_t from, int64_t to, std::string_view type) {
    std::optional<Atom> found;
    eachChild(data, from, to, [&](const Atom& a) {
        if (a.type != type) return true;
        found = a;
        return false;
    });
    return found;
}

std::optional<Atom> findChild(const TagSource& source, int64_t from, int64_t end, std::string_view type) {
    std::optional<Atom> found;
    forEachAtom(source, from, end, [&](const Atom& a) {
        if (a.type != type) return true;
        found = a;
        return false;
    });
    return found;
}

TagBytes slice(TagBytes data, int64_t from, int64_t to) {
    return data.subspan(static_cast<size_t>(from), static_cast<size_t>(to - from));
}

// The ASCII text of a "mean" or "name" child after its version and flags.
std::optional<std::string> fullAtomText(TagBytes data, const std::optional<Atom>& a) {
    if (!a) return std::nullopt;
    const int64_t from = std::min(a->contentAt + kFullAtomPrefix, a->end);
    return TagText::ascii(slice(data, from, a->end));
}

}  // namespace

std::optional<Atom> atomHeader(const TagSource& source, int64_t at, int64_t end) {
    end = std::min(end, source.size());
    if (at < 0 || end - at < 8) return std::nullopt;
    uint8_t h[16] = {};
    const size_t got = static_cast<size_t>(std::min<int64_t>(16, end - at));
    if (!source.readAt(at, std::span<uint8_t>(h, got))) return std::nullopt;
    return headerFrom(h, got, at, end);
}

std::optional<Atom> atomHeader(TagBytes data, int64_t at, int64_t end) {
    end = std::min<int64_t>(end, static_cast<int64_t>(data.size()));
    if (at < 0 || end - at < 8) return std::nullopt;
    const size_t got = static_cast<size_t>(std::min<int64_t>(16, end - at));
    return headerFrom(data.data() + at, got, at, end);
}

void forEachAtom(const TagSource& source, int64_t from, int64_t end, const std::function<bool(const Atom&)>& onAtom) {
    int64_t p = from;
    for (int count = 0; count < kMaxAtomsPerLevel; ++count) {
        const auto a = atomHeader(source, p, end);
        if (!a || !onAtom(*a)) return;
        p = a->end;
    }
}

std::optional<Atom> findIlst(const TagSource& source) {
    const auto moov = findChild(source, 0, source.size(), "moov");
    if (!moov) return std::nullopt;
    const auto udta = findChild(source, moov->contentAt, moov->end, "udta");
    if (!udta) return std::nullopt;
    const auto meta = findChild(source, udta->contentAt, udta->end, "meta");
    if (!meta) return std::nullopt;
    return findChild(source, meta->contentAt + kFullAtomPrefix, meta->end, "ilst");
}

std::optional<std::string> atomText(TagBytes data, int64_t from, int64_t to) {
    const auto d = firstChild(data, from, to, "data");
    if (!d || d->end - d->contentAt < kDataPrefix + 1) return std::nullopt;
    return TagText::utf8(slice(data, d->contentAt + kDataPrefix, d->end));
}

void parseFreeform(TagBytes data, int64_t from, int64_t to, SeratoFileMeta& meta) {
    std::optional<Atom> mean, name, value;
    eachChild(data, from, to, [&](const Atom& a) {
        if (a.type == "mean" && !mean) mean = a;
        if (a.type == "name" && !name) name = a;
        if (a.type == "data" && !value) value = a;
        return true;
    });
    if (!value || value->end - value->contentAt < kDataPrefix + 1) return;
    const auto meanText = fullAtomText(data, mean);
    const auto nameText = fullAtomText(data, name);
    if (!meanText || !nameText) return;
    const TagBytes bytes = slice(data, value->contentAt + kDataPrefix, value->end);
    const std::string n = platform::text::asciiLower(*nameText);

    if (*meanText == "com.serato.dj") {
        auto object = [&](std::string_view fallback) {
            const auto o = SeratoPayload::decodeTagObject(bytes, fallback);
            SeratoPayload::applySeratoPayload(o.description, o.payload, meta);
        };
        if (n.find("playcount") != std::string::npos) {
            if (!meta.playcount) {
                if (auto text = TagText::utf8(bytes)) meta.playcount = TagText::leadingInteger(*text);
            }
        } else if (n == "markersv2") {
            object("Serato Markers2");
        } else if (n == "beatgrid") {
            object("Serato BeatGrid");
        } else if (n == "overview") {
            object("Serato Overview");
        }
    } else if (*meanText == "com.apple.iTunes" && n == "initialkey") {
        if (meta.key.empty()) {
            if (auto text = TagText::utf8(bytes)) meta.key = *text;
        }
    }
}

void parseMP4(const TagSource& source, SeratoFileMeta& meta) {
    const auto ilst = findIlst(source);
    if (!ilst) return;
    forEachAtom(source, ilst->contentAt, ilst->end, [&](const Atom& item) {
        const bool title = item.type == "\xA9nam";
        const bool artist = item.type == "\xA9" "ART";
        const bool tmpo = item.type == "tmpo";
        const bool freeform = item.type == "----";
        if (!(title || artist || tmpo || freeform)) return true;
        const int64_t size = item.end - item.at;
        if (size > kMaxItemSize) return true;
        const auto bytes = source.region(item.at, size);
        if (!bytes) return false;
        const TagBytes data(*bytes);
        const int64_t from = item.contentAt - item.at;
        const int64_t to = size;
        if (title || artist) {
            if (auto text = atomText(data, from, to)) (title ? meta.title : meta.artist) = *text;
        } else if (tmpo) {
            const auto d = firstChild(data, from, to, "data");
            if (d && d->end - d->contentAt >= kDataPrefix + 2) meta.bpmField = M::u16BE(data, d->contentAt + kDataPrefix);
        } else {
            parseFreeform(data, from, to, meta);
        }
        return true;
    });
}

}  // namespace plindo::library::Mp4Reader
