#include "serato/sysex_assembler.h"

namespace plindo::serato {

std::vector<std::vector<uint8_t>> SysExAssembler::feed(std::span<const uint8_t> bytes) {
    std::vector<std::vector<uint8_t>> done;
    for (uint8_t b : bytes) {
        if (b == 0xF0) {
            buf_.assign(1, 0xF0);
            open_ = true;
            overflow_ = false;
            continue;
        }
        if (!open_) continue;
        if (b >= 0xF8) continue;  // real-time bytes may interleave with a message
        if (b == 0xF7) {
            if (!overflow_) {
                buf_.push_back(b);
                done.push_back(std::move(buf_));
            }
            buf_.clear();
            open_ = false;
            overflow_ = false;
            continue;
        }
        if (b >= 0x80) {
            buf_.clear();
            open_ = false;
            overflow_ = false;
            continue;
        }
        if (overflow_) continue;
        if (buf_.size() + 1 >= kMaxMessage) {
            overflow_ = true;
            buf_.clear();
            buf_.shrink_to_fit();
            continue;
        }
        buf_.push_back(b);
    }
    return done;
}

}  // namespace plindo::serato
