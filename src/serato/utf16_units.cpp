#include "serato/utf16_units.h"

namespace plindo::serato::Utf16Units {

std::vector<char32_t> codePoints(const std::vector<uint16_t>& units) {
    std::vector<char32_t> out;
    out.reserve(units.size());
    for (size_t i = 0; i < units.size(); ++i) {
        const uint16_t u = units[i];
        if (u >= 0xD800 && u <= 0xDBFF) {
            if (i + 1 < units.size() && units[i + 1] >= 0xDC00 && units[i + 1] <= 0xDFFF) {
                out.push_back(0x10000 + ((char32_t(u) - 0xD800) << 10) + (char32_t(units[i + 1]) - 0xDC00));
                ++i;
            } else {
                out.push_back(0xFFFD);
            }
        } else if (u >= 0xDC00 && u <= 0xDFFF) {
            out.push_back(0xFFFD);
        } else {
            out.push_back(u);
        }
    }
    return out;
}

bool isSpaceOrTab(char32_t c) {
    return c == 0x09 || c == 0x20 || c == 0xA0 || c == 0x1680 || (c >= 0x2000 && c <= 0x200A) || c == 0x202F ||
           c == 0x205F || c == 0x3000;
}

std::string toUtf8(const std::vector<char32_t>& cps, size_t begin, size_t end) {
    std::string s;
    s.reserve(end > begin ? (end - begin) * 2 : 0);
    for (size_t i = begin; i < end && i < cps.size(); ++i) {
        const char32_t c = cps[i];
        if (c < 0x80) {
            s += static_cast<char>(c);
        } else if (c < 0x800) {
            s += static_cast<char>(0xC0 | (c >> 6));
            s += static_cast<char>(0x80 | (c & 0x3F));
        } else if (c < 0x10000) {
            s += static_cast<char>(0xE0 | (c >> 12));
            s += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
            s += static_cast<char>(0x80 | (c & 0x3F));
        } else {
            s += static_cast<char>(0xF0 | (c >> 18));
            s += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
            s += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
            s += static_cast<char>(0x80 | (c & 0x3F));
        }
    }
    return s;
}

}  // namespace plindo::serato::Utf16Units
