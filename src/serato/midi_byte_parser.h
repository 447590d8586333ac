#pragma once
// The MIDI 1.0 byte stream, one byte at a time: running status, SysEx across packets, real-time bytes that
// may appear anywhere (even inside a SysEx) and change nothing. A SysEx is capped, so a stream that never
// closes one costs a fixed buffer, not memory without end.
#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

namespace plindo::serato {

struct MidiByteParser {
    // A SysEx is handed on only with at most this many bytes before its closing F7.
    static constexpr size_t kMaxSysex = 8192;

    struct Event {
        enum class Kind : uint8_t { none, channel, sysex };
        Kind kind = Kind::none;
        uint8_t status = 0;  // channel messages: kind in the high nibble, channel in the low one
        uint8_t data1 = 0;
        uint8_t data2 = 0;   // 0 for the one-data-byte kinds (program change, channel pressure)
        // The whole SysEx, F0 through F7; valid until the next byte is fed.
        std::span<const uint8_t> sysex;
    };

    MidiByteParser() { sysex.reserve(kMaxSysex + 1); }

    // One byte in arrival order; a complete message comes back as its event.
    Event feed(uint8_t byte);

    bool sysexOpen() const { return !sysex.empty() && !sysexDone; }

    std::vector<uint8_t> sysex;  // the SysEx being collected
    bool sysexDone = false;      // `sysex` holds the message last handed on; cleared at the next byte
    uint8_t status = 0;          // running status; 0 = none
    std::array<uint8_t, 2> data{};
    uint8_t dataLen = 0;
};

}  // namespace plindo::serato
