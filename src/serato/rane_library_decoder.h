#pragma once
// The library browser that Serato draws on the Rane hardware's screen, read from the packed frames of types
// 0x20 to 0x25 on the MIDI input path: track rows, the selected crate, crate rows, row extras and cursors.
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

namespace plindo::serato::RaneLibraryDecoder {

struct Row {  // 0x24
    int row = 0;
    std::string title, artist;
    bool operator==(const Row&) const = default;
};
struct Crate {  // 0x22
    std::string name;
    bool operator==(const Crate&) const = default;
};
struct Cursor {  // 0x23
    int row = 0, a = 0, b = 0;
    bool operator==(const Cursor&) const = default;
};
struct CrateRow {  // 0x21
    int slot = 0, secondByte = 0;
    std::string name;
    bool operator==(const CrateRow&) const = default;
};
struct CrateCursor {  // 0x20
    int slot = 0, a = 0, b = 0;
    bool operator==(const CrateCursor&) const = default;
};
struct RowExtra {  // 0x25
    int row = 0;
    int64_t lengthMs = 0;
    std::string key;
    bool operator==(const RowExtra&) const = default;
};

using Event = std::variant<Row, Crate, Cursor, CrateRow, CrateCursor, RowExtra>;

// One complete frame (F0 ... F7) → its event; none for anything malformed, too short or of another type.
std::optional<Event> decode(std::span<const uint8_t> frame);

// UTF-16LE text of bytes[from, to), clipped to the bytes, up to the first zero unit; unpaired surrogates become
// U+FFFD; spaces and tabs (not line breaks) trimmed at both ends.
std::string utf16Text(std::span<const uint8_t> bytes, size_t from, size_t to);

// Start-up check; the texts of the failing cases, empty when all pass.
std::vector<std::string> selfTest();

// Self-test building blocks. packFrame gives an empty frame when the packed body would not fit the 14-bit
// length field.
std::vector<uint8_t> packFrame(uint8_t type, std::span<const uint8_t> payload);
std::vector<uint8_t> utf16Field(std::string_view text, size_t size);

// A readable form of a decode result for failure texts and test output.
std::string describe(const std::optional<Event>& event);

}  // namespace plindo::serato::RaneLibraryDecoder
