#include "platform/utf8_repair.h"

namespace plindo::platform {

namespace {

constexpr std::string_view kReplacement = "\xEF\xBF\xBD";

// Length of the well-formed sequence at `i`, or 0; `bad` is then the length of its maximal ill-formed
// subpart (at least 1), so that a truncated sequence costs one replacement, not one per byte.
size_t wellFormedAt(std::string_view s, size_t i, size_t& bad) {
    const auto b = [&](size_t k) { return static_cast<unsigned char>(s[k]); };
    const unsigned char c = b(i);
    bad = 1;
    if (c < 0x80) return 1;
    size_t need;
    unsigned char lo = 0x80, hi = 0xBF;  // allowed range of the second byte
    if (c >= 0xC2 && c <= 0xDF) {
        need = 2;
    } else if (c >= 0xE0 && c <= 0xEF) {
        need = 3;
        if (c == 0xE0) lo = 0xA0;        // overlong
        if (c == 0xED) hi = 0x9F;        // surrogates
    } else if (c >= 0xF0 && c <= 0xF4) {
        need = 4;
        if (c == 0xF0) lo = 0x90;        // overlong
        if (c == 0xF4) hi = 0x8F;        // above U+10FFFF
    } else {
        return 0;
    }
    for (size_t k = 1; k < need; ++k) {
        if (i + k >= s.size()) {
            bad = k;
            return 0;
        }
        const unsigned char n = b(i + k);
        const bool ok = k == 1 ? (n >= lo && n <= hi) : (n >= 0x80 && n <= 0xBF);
        if (!ok) {
            bad = k;
            return 0;
        }
    }
    return need;
}

}  // namespace

size_t utf8SequenceLength(std::string_view bytes, size_t at) {
    size_t bad = 1;
    return at < bytes.size() ? wellFormedAt(bytes, at, bad) : 0;
}

std::string repairUtf8(std::string_view bytes) {
    std::string out;
    out.reserve(bytes.size());
    size_t i = 0;
    while (i < bytes.size()) {
        size_t bad = 1;
        const size_t n = wellFormedAt(bytes, i, bad);
        if (n > 0) {
            out.append(bytes.substr(i, n));
            i += n;
        } else {
            out.append(kReplacement);
            i += bad;
        }
    }
    return out;
}

}  // namespace plindo::platform
