#include "library/serato_payload.h"

#include "library/serato_markers2.h"
#include "library/tag_text.h"

#include <array>
#include <cmath>
#include <cstring>

namespace plindo::library::SeratoPayload {

namespace {

using M = SeratoFileMeta;

// Grids with more markers than this are corrupt; it also bounds the work of one grid.
constexpr uint32_t kMaxGridMarkers = 10000;
constexpr double kMaxGridBpm = 300.0;
constexpr size_t kOverviewSize = 3840;
constexpr std::string_view kObjectPrefix = "application/octet-stream";

constexpr std::array<bool, 256> kBase64Byte = [] {
    std::array<bool, 256> t{};
    for (int c = 0; c < 256; ++c) {
        t[static_cast<size_t>(c)] = (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') ||
                                    c == '+' || c == '/' || c == '=';
    }
    return t;
}();

}  // namespace

void applySeratoPayload(std::string_view description, TagBytes payload, SeratoFileMeta& meta) {
    if (description == "Serato BeatGrid") {
        if (auto grid = parseBeatGrid(payload)) {
            meta.gridBpm = grid->bpm;
            meta.gridMarkers = std::move(grid->markers);
            meta.gridTerminalT = grid->terminalT;
        }
    } else if (description == "Serato Markers2") {
        SeratoMarkers2::parseMarkers2(payload, meta);
    } else if (description == "Serato Overview") {
        meta.overview = parseOverview(payload);
    }
}

std::optional<BeatGrid> parseBeatGrid(TagBytes payload) {
    if (payload.size() < 14) return std::nullopt;
    const uint32_t count = M::u32BE(payload, 2);
    if (count == 0 || count > kMaxGridMarkers) return std::nullopt;
    const auto size = static_cast<int64_t>(payload.size());
    // 6 + 8 * count fits easily in 64 bits for count <= 10000.
    if (6 + 8 * static_cast<int64_t>(count) > size) return std::nullopt;

    BeatGrid grid;
    grid.markers.reserve(count - 1);
    for (uint32_t i = 0; i + 1 < count; ++i) {
        const int64_t at = 6 + 8 * static_cast<int64_t>(i);
        const double t = M::f32BE(payload, at);
        if (!std::isfinite(t)) continue;
        grid.markers.push_back({t, static_cast<int64_t>(M::u32BE(payload, at + 4))});
    }
    const int64_t last = 6 + 8 * static_cast<int64_t>(count - 1);
    const double terminalT = M::f32BE(payload, last);
    const double bpm = M::f32BE(payload, last + 4);
    if (!(bpm > 0) || bpm > kMaxGridBpm) return std::nullopt;
    grid.bpm = bpm;
    if (std::isfinite(terminalT)) grid.terminalT = terminalT;
    return grid;
}

std::optional<std::vector<uint8_t>> parseOverview(TagBytes payload) {
    if (payload.size() < kOverviewSize + 2 || payload[0] != 0x01 || payload[1] != 0x05) return std::nullopt;
    return std::vector<uint8_t>(payload.begin() + 2, payload.begin() + 2 + kOverviewSize);
}

TagObject decodeTagObject(TagBytes value, std::string_view fallbackDescription) {
    std::vector<uint8_t> text(value.size());
    size_t kept = 0;
    for (uint8_t c : value) {
        text[kept] = c;
        kept += kBase64Byte[c] ? 1 : 0;
    }
    text.resize(kept);
    auto decoded = SeratoMarkers2::decodeBase64(text, kObjectPrefix);
    if (!decoded) return {std::string(fallbackDescription), {value.begin(), value.end()}};
    const TagBytes d(*decoded);
    if (d.size() < kObjectPrefix.size() || std::memcmp(d.data(), kObjectPrefix.data(), kObjectPrefix.size()) != 0) {
        return {std::string(fallbackDescription), std::move(*decoded)};
    }
    auto p = static_cast<int64_t>(kObjectPrefix.size());
    const auto n = static_cast<int64_t>(d.size());
    while (p < n && d[static_cast<size_t>(p)] == 0) ++p;
    const auto zero = M::findZero(d, p, n);
    if (!zero) return {std::string(fallbackDescription), {}};
    auto description = TagText::ascii(d.subspan(static_cast<size_t>(p), static_cast<size_t>(*zero - p)));
    TagObject object;
    object.description = description && !description->empty() ? *description : std::string(fallbackDescription);
    object.payload.assign(d.begin() + *zero + 1, d.end());
    return object;
}

}  // namespace plindo::library::SeratoPayload
