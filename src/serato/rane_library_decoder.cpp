#include "serato/rane_library_decoder.h"

#include "platform/utf8_repair.h"
#include "serato/serato_return.h"
#include "serato/utf16_units.h"

#include <algorithm>

namespace plindo::serato::RaneLibraryDecoder {
namespace {

uint32_t le16(const std::vector<uint8_t>& p, size_t at) { return uint32_t(p[at]) | uint32_t(p[at + 1]) << 8; }

std::vector<char32_t> decodeUtf8(std::string_view text) {
    const std::string s = platform::repairUtf8(text);
    std::vector<char32_t> cps;
    for (size_t i = 0; i < s.size();) {
        const auto c = static_cast<uint8_t>(s[i]);
        const int extra = c < 0x80 ? 0 : c < 0xE0 ? 1 : c < 0xF0 ? 2 : 3;
        char32_t cp = extra == 0 ? c : extra == 1 ? (c & 0x1F) : extra == 2 ? (c & 0x0F) : (c & 0x07);
        for (int k = 1; k <= extra && i + k < s.size(); ++k) cp = (cp << 6) | (static_cast<uint8_t>(s[i + k]) & 0x3F);
        cps.push_back(cp);
        i += size_t(extra) + 1;
    }
    return cps;
}

std::string quoted(const std::string& s) { return "\"" + s + "\""; }

}  // namespace

std::string utf16Text(std::span<const uint8_t> bytes, size_t from, size_t to) {
    to = std::min(to, bytes.size());
    std::vector<uint16_t> units;
    for (size_t i = from; i < to && to - i >= 2; i += 2) {
        const uint16_t u = static_cast<uint16_t>(bytes[i] | bytes[i + 1] << 8);
        if (u == 0) break;
        units.push_back(u);
    }
    const auto cps = Utf16Units::codePoints(units);
    size_t b = 0, e = cps.size();
    while (b < e && Utf16Units::isSpaceOrTab(cps[b])) ++b;
    while (e > b && Utf16Units::isSpaceOrTab(cps[e - 1])) --e;
    return Utf16Units::toUtf8(cps, b, e);
}

std::optional<Event> decode(std::span<const uint8_t> frame) {
    if (frame.size() < 13 || frame[5] != 0x25 || frame[6] != 0x05) return std::nullopt;
    auto u = SeratoReturn::unpackRaneFrame(frame);
    if (!u) return std::nullopt;
    const std::vector<uint8_t>& p = u->payload;
    const size_t n = p.size();
    switch (u->type) {
        case 0x24: {
            if (n < 257) return std::nullopt;
            return Row{p[0], utf16Text(p, 1, 257), n >= 361 ? utf16Text(p, 257, 361) : std::string()};
        }
        case 0x22: {
            if (n < 4) return std::nullopt;
            std::string name = utf16Text(p, 1, n);
            if (name.empty()) return std::nullopt;
            return Crate{std::move(name)};
        }
        case 0x23:
            if (n < 8) return std::nullopt;
            return Cursor{p[0], int(le16(p, 2)), int(le16(p, 6))};
        case 0x20:
            if (n < 8) return std::nullopt;
            return CrateCursor{p[0], int(le16(p, 2)), int(le16(p, 6))};
        case 0x21:
            if (n < 5) return std::nullopt;
            return CrateRow{p[0], p[1], utf16Text(p, 3, n)};
        case 0x25: {
            if (n < 9) return std::nullopt;
            const uint32_t len = le16(p, 1) | le16(p, 3) << 16;
            return RowExtra{p[0], int64_t(len), utf16Text(p, 5, std::min<size_t>(n, 13))};
        }
        default:
            return std::nullopt;
    }
}

std::vector<uint8_t> packFrame(uint8_t type, std::span<const uint8_t> payload) {
    const std::vector<uint8_t> body = SeratoReturn::packSeptets(payload);
    const size_t len = body.size();
    if (len > 0x3FFF) return {};
    std::vector<uint8_t> f{0xF0,
                           0x00,
                           0x00,
                           0x17,
                           0x00,
                           0x25,
                           0x05,
                           type,
                           0x00,
                           0x00,
                           static_cast<uint8_t>((len / 128) % 128),
                           static_cast<uint8_t>(len % 128)};
    f.insert(f.end(), body.begin(), body.end());
    f.push_back(0xF7);
    return f;
}

std::vector<uint8_t> utf16Field(std::string_view text, size_t size) {
    std::vector<uint8_t> out;
    const auto put = [&out](uint32_t unit) {
        out.push_back(static_cast<uint8_t>(unit & 0xFF));
        out.push_back(static_cast<uint8_t>(unit >> 8));
    };
    for (char32_t c : decodeUtf8(text)) {
        if (c >= 0x10000) {
            put(0xD800 + ((c - 0x10000) >> 10));
            put(0xDC00 + ((c - 0x10000) & 0x3FF));
        } else {
            put(c);
        }
    }
    if (out.size() < size) out.resize(size, 0);
    return out;
}

std::string describe(const std::optional<Event>& event) {
    if (!event) return "nil";
    struct V {
        std::string operator()(const Row& e) const {
            return "row(" + std::to_string(e.row) + ", " + quoted(e.title) + ", " + quoted(e.artist) + ")";
        }
        std::string operator()(const Crate& e) const { return "crate(" + quoted(e.name) + ")"; }
        std::string operator()(const Cursor& e) const {
            return "cursor(" + std::to_string(e.row) + ", " + std::to_string(e.a) + ", " + std::to_string(e.b) + ")";
        }
        std::string operator()(const CrateRow& e) const {
            return "crateRow(" + std::to_string(e.slot) + ", " + std::to_string(e.secondByte) + ", " + quoted(e.name) +
                   ")";
        }
        std::string operator()(const CrateCursor& e) const {
            return "crateCursor(" + std::to_string(e.slot) + ", " + std::to_string(e.a) + ", " + std::to_string(e.b) +
                   ")";
        }
        std::string operator()(const RowExtra& e) const {
            return "rowExtra(" + std::to_string(e.row) + ", " + std::to_string(e.lengthMs) + ", " + quoted(e.key) + ")";
        }
    };
    return std::visit(V{}, *event);
}

std::vector<std::string> selfTest() {
    std::vector<std::string> fails;
    const auto concat = [](std::initializer_list<std::vector<uint8_t>> parts) {
        std::vector<uint8_t> v;
        for (const auto& p : parts) v.insert(v.end(), p.begin(), p.end());
        return v;
    };
    const auto run = [](uint8_t type, const std::vector<uint8_t>& payload) { return decode(packFrame(type, payload)); };

    const std::string title = "Midnight Drives (Club Edit)";  // 27 characters
    const std::string artist = "Ray";
    auto row = run(0x24, concat({{0x03}, utf16Field(title, 256), utf16Field(artist, 104)}));
    if (row != Event{Row{3, title, artist}}) fails.push_back("libdec row " + describe(row));

    auto crate = run(0x22, concat({{0x00}, utf16Field("Dub", 128)}));
    if (crate != Event{Crate{"Dub"}}) fails.push_back("libdec crate");

    auto crateRow = run(0x21, concat({{0x01, 0x01, 0x00}, utf16Field("Warehouse", 128)}));
    if (crateRow != Event{CrateRow{1, 1, "Warehouse"}}) fails.push_back("libdec crate row");

    auto extra = run(0x25, concat({{0x02, 0x64, 0xDE, 0x03, 0x00},
                                   utf16Field("3A", 8),
                                   std::vector<uint8_t>(28, 0),
                                   {0xFE, 0x98, 0xFF, 0xFF}}));
    if (extra != Event{RowExtra{2, 253540, "3A"}}) fails.push_back("libdec rowExtra " + describe(extra));

    auto cursor = run(0x23, {0x03, 0x00, 0x01, 0x00, 0x00, 0x00, 0x02, 0x5E, 0x00, 0x00});
    if (cursor != Event{Cursor{3, 1, 24066}}) fails.push_back("libdec cursor");
    return fails;
}

}  // namespace plindo::serato::RaneLibraryDecoder
