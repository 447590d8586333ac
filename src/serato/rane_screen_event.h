#pragma once
// What Serato draws on a Rane mixer's screens, read from the SysEx screen frames (F0 00 00 17 00 1B 05 ...)
// that the spy tap copies: deck time, title and artist, library rows, crate and cursor. Besides the event, the
// decoder keeps a little process-wide diagnostic state and logs unknown frame types under "serato.tap".
#include <atomic>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <variant>
#include <vector>

namespace plindo::serato {

struct RaneScreenEvent {
    struct Time {  // 0x05
        int deck = 0;
        double sec = 0, vel = 0;
        bool operator==(const Time&) const = default;
    };
    struct Title {  // 0x01
        int deck = 0;
        std::string text;
        bool operator==(const Title&) const = default;
    };
    struct Artist {  // 0x02
        int deck = 0;
        std::string text;
        bool operator==(const Artist&) const = default;
    };
    struct LibRow {  // 0x24
        int row = 0;
        std::string title, artist;
        bool operator==(const LibRow&) const = default;
    };
    struct LibCrate {  // 0x22
        std::string name;
        bool operator==(const LibCrate&) const = default;
    };
    struct LibCursor {  // 0x23
        int row = 0, a = 0, b = 0;
        bool operator==(const LibCursor&) const = default;
    };
    struct Other {  // every other type, and a 0x05 frame without a time
        uint8_t type = 0;
        int deck = 0, size = 0;
        bool operator==(const Other&) const = default;
    };
    using Value = std::variant<Time, Title, Artist, LibRow, LibCrate, LibCursor, Other>;

    Value value;
    bool operator==(const RaneScreenEvent&) const = default;

    // One complete SysEx message (F0 first, F7 last) → an event, or none when it is no screen frame or a known
    // type is too short. Call from one thread at a time (the spy thread).
    static std::optional<RaneScreenEvent> decode(std::span<const uint8_t> message);

    // Start-up check; the failure texts, empty when all pass.
    static std::vector<std::string> selfTest();

    // Little-endian byte pairs, each shifted right by `shift`, as UTF-16 up to the first zero unit; invalid
    // sequences become U+FFFD; white space and line breaks trimmed at both ends.
    static std::string screenText(std::span<const uint8_t> bytes, int shift);

    // Seven-bit packings: least significant bits first both ways, most significant first, and one header byte
    // carrying the top bits of the seven data bytes after it.
    static std::vector<uint8_t> packSeptets(std::span<const uint8_t> bytes);
    static std::vector<uint8_t> unpackSeptets(std::span<const uint8_t> septets);
    static std::vector<uint8_t> unpackSeptetsMSB(std::span<const uint8_t> septets);
    static std::vector<uint8_t> unpackHeaderBits(std::span<const uint8_t> bytes);

    // While on, more frames are dumped to the log (the control command "tapdump").
    static std::atomic<bool> dumpFrames;
};

}  // namespace plindo::serato
