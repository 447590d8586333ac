// The SysEx assembler over any MIDI byte stream, cut into feeds in many ways: every message runs from F0 to
// F7 with only data bytes between, stays within the cap, and the messages do not depend on where the stream
// was cut.
#include "serato/sysex_assembler.h"

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <span>
#include <vector>

namespace {

using Messages = std::vector<std::vector<uint8_t>>;

Messages feedInPieces(std::span<const uint8_t> in, size_t piece) {
    plindo::serato::SysExAssembler a;
    Messages out;
    for (size_t at = 0; at < in.size(); at += piece) {
        auto got = a.feed(in.subspan(at, std::min(piece, in.size() - at)));
        out.insert(out.end(), got.begin(), got.end());
    }
    return out;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    using plindo::serato::SysExAssembler;
    const std::span<const uint8_t> in(data, size);
    const Messages whole = feedInPieces(in, std::max<size_t>(size, 1));
    for (const auto& m : whole) {
        if (m.size() < 2 || m.front() != 0xF0 || m.back() != 0xF7 || m.size() > SysExAssembler::kMaxMessage) std::abort();
        if (std::any_of(m.begin() + 1, m.end() - 1, [](uint8_t b) { return b >= 0x80; })) std::abort();
    }
    const size_t piece = size ? size_t(data[0] % 13) + 1 : 1;
    if (feedInPieces(in, piece) != whole || feedInPieces(in, 1) != whole) std::abort();
    return 0;
}
