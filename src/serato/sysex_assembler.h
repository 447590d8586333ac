#pragma once
// Reassembles complete SysEx messages (F0 ... F7) from a spied MIDI byte stream that may split them anywhere.
// Real-time bytes inside a message are skipped; any other status byte aborts it.
#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

namespace plindo::serato {

class SysExAssembler {
public:
    // Longer than any screen or packed frame (14-bit body length plus header); a message growing past it is
    // dropped, so a stream that never closes its message cannot grow the buffer without bound.
    static constexpr size_t kMaxMessage = 16 * 1024 + 64;

    // The messages completed by `bytes`, each from F0 to F7 inclusive, in order.
    std::vector<std::vector<uint8_t>> feed(std::span<const uint8_t> bytes);

private:
    std::vector<uint8_t> buf_;
    bool open_ = false;
    bool overflow_ = false;  // the open message outgrew kMaxMessage; skip to its end
};

}  // namespace plindo::serato
