#include "library/tag_text.h"

#include "platform/text.h"

#include <charconv>
#include <cmath>
#include <cstring>

namespace plindo::library::TagText {

namespace {

void appendUtf8(std::string& out, uint32_t cp) {
    if (cp < 0x80) {
        out.push_back(static_cast<char>(cp));
    } else if (cp < 0x800) {
        out.push_back(static_cast<char>(0xC0 | (cp >> 6)));
        out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    } else if (cp < 0x10000) {
        out.push_back(static_cast<char>(0xE0 | (cp >> 12)));
        out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    } else {
        out.push_back(static_cast<char>(0xF0 | (cp >> 18)));
        out.push_back(static_cast<char>(0x80 | ((cp >> 12) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    }
}

// Length in bytes of the white space that starts (or, with `back`, ends) `s`, 0 when none.
size_t spaceAt(std::string_view s, bool back) {
    if (s.empty()) return 0;
    const auto c = static_cast<unsigned char>(back ? s.back() : s.front());
    if (c == ' ' || (c >= 0x09 && c <= 0x0D)) return 1;
    // Multi-byte spaces: U+0085, U+00A0, U+1680, U+2000..U+200A, U+2028, U+2029, U+202F, U+205F, U+3000.
    static constexpr std::string_view wide[] = {
        "\xC2\x85", "\xC2\xA0", "\xE1\x9A\x80", "\xE2\x80\x80", "\xE2\x80\x81", "\xE2\x80\x82", "\xE2\x80\x83",
        "\xE2\x80\x84", "\xE2\x80\x85", "\xE2\x80\x86", "\xE2\x80\x87", "\xE2\x80\x88", "\xE2\x80\x89",
        "\xE2\x80\x8A", "\xE2\x80\xA8", "\xE2\x80\xA9", "\xE2\x80\xAF", "\xE2\x81\x9F", "\xE3\x80\x80"};
    for (auto w : wide) {
        if (back ? s.ends_with(w) : s.starts_with(w)) return w.size();
    }
    return 0;
}

}  // namespace

std::string latin1(std::span<const uint8_t> b) {
    std::string out;
    out.reserve(b.size());
    for (uint8_t c : b) appendUtf8(out, c);
    return out;
}

std::optional<std::string> utf8(std::span<const uint8_t> b) {
    size_t i = 0;
    const size_t n = b.size();
    while (i < n) {
        // ASCII runs, the common case, eight bytes at a time.
        if (n - i >= 8) {
            uint64_t w;
            std::memcpy(&w, b.data() + i, 8);
            if ((w & 0x8080808080808080ull) == 0) {
                i += 8;
                continue;
            }
        }
        const uint8_t c = b[i];
        if (c < 0x80) {
            ++i;
            continue;
        }
        size_t len = 0;
        uint32_t cp = 0;
        if ((c & 0xE0) == 0xC0) {
            len = 2;
            cp = c & 0x1F;
        } else if ((c & 0xF0) == 0xE0) {
            len = 3;
            cp = c & 0x0F;
        } else if ((c & 0xF8) == 0xF0) {
            len = 4;
            cp = c & 0x07;
        } else {
            return std::nullopt;
        }
        if (n - i < len) return std::nullopt;
        for (size_t k = 1; k < len; ++k) {
            if ((b[i + k] & 0xC0) != 0x80) return std::nullopt;
            cp = (cp << 6) | (b[i + k] & 0x3F);
        }
        static constexpr uint32_t minimum[] = {0, 0, 0x80, 0x800, 0x10000};
        if (cp < minimum[len] || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) return std::nullopt;
        i += len;
    }
    return std::string(reinterpret_cast<const char*>(b.data()), b.size());
}

std::optional<std::string> utf16(std::span<const uint8_t> b, bool bigEndian) {
    if (b.size() % 2 != 0) return std::nullopt;
    return platform::text::fromUtf16(b.data(), b.size(), bigEndian);
}

std::optional<std::string> ascii(std::span<const uint8_t> b) {
    for (uint8_t c : b) {
        if (c >= 0x80) return std::nullopt;
    }
    return std::string(reinterpret_cast<const char*>(b.data()), b.size());
}

std::string asciiUpper(std::string_view s) {
    std::string out(s);
    for (char& c : out) {
        if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
    }
    return out;
}

std::string_view trim(std::string_view s) {
    while (size_t k = spaceAt(s, false)) s.remove_prefix(k);
    while (size_t k = spaceAt(s, true)) s.remove_suffix(k);
    return s;
}

std::optional<double> decimal(std::string_view s) {
    if (s.empty()) return std::nullopt;
    // A leading "+" is a valid spelling of a number; from_chars does not take it.
    if (s.front() == '+') {
        s.remove_prefix(1);
        if (s.empty() || s.front() == '-' || s.front() == '+') return std::nullopt;
    }
    double v = 0;
    const auto [end, ec] = std::from_chars(s.data(), s.data() + s.size(), v, std::chars_format::general);
    if (ec != std::errc{} || end != s.data() + s.size() || !std::isfinite(v)) return std::nullopt;
    return v;
}

std::optional<int64_t> leadingInteger(std::string_view s) {
    s = trim(s);
    size_t n = 0;
    while (n < s.size() && s[n] >= '0' && s[n] <= '9') ++n;
    if (n == 0) return std::nullopt;
    int64_t v = 0;
    const auto [end, ec] = std::from_chars(s.data(), s.data() + n, v, 10);
    if (ec != std::errc{} || end != s.data() + n) return std::nullopt;
    return v;
}

}  // namespace plindo::library::TagText
