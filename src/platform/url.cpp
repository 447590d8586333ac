#include "platform/url.h"

#include <cstdint>

namespace plindo::platform {

namespace {

bool isAlpha(char c) { return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z'); }
bool isDigit(char c) { return c >= '0' && c <= '9'; }
bool isUnreserved(char c) { return isAlpha(c) || isDigit(c) || c == '-' || c == '.' || c == '_' || c == '~'; }
bool isSubDelim(char c) {
    switch (c) {
    case '!': case '$': case '&': case '\'': case '(': case ')': case '*': case '+': case ',': case ';': case '=':
        return true;
    default:
        return false;
    }
}
bool isPchar(char c) { return isUnreserved(c) || isSubDelim(c) || c == ':' || c == '@'; }

int hexValue(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

// True when every character is allowed by `ok` or is a complete percent escape.
template <typename Ok>
bool allEncoded(std::string_view s, Ok ok) {
    for (size_t i = 0; i < s.size(); ++i) {
        if (s[i] == '%') {
            if (i + 2 >= s.size() || hexValue(s[i + 1]) < 0 || hexValue(s[i + 2]) < 0) return false;
            i += 2;
        } else if (!ok(s[i])) {
            return false;
        }
    }
    return true;
}

bool validScheme(std::string_view s) {
    if (s.empty() || !isAlpha(s[0])) return false;
    for (char c : s) {
        if (!isAlpha(c) && !isDigit(c) && c != '+' && c != '-' && c != '.') return false;
    }
    return true;
}

bool validAuthority(std::string_view a) {
    if (const auto at = a.rfind('@'); at != std::string_view::npos) {
        if (!allEncoded(a.substr(0, at), [](char c) { return isUnreserved(c) || isSubDelim(c) || c == ':'; }))
            return false;
        a = a.substr(at + 1);
    }
    std::string_view host = a;
    std::string_view port;
    if (!a.empty() && a[0] == '[') {
        const auto close = a.find(']');
        if (close == std::string_view::npos) return false;
        for (char c : a.substr(1, close - 1)) {
            if (hexValue(c) < 0 && c != ':' && c != '.' && !isUnreserved(c) && !isSubDelim(c)) return false;
        }
        host = a.substr(0, close + 1);
        const auto rest = a.substr(close + 1);
        if (!rest.empty()) {
            if (rest[0] != ':') return false;
            port = rest.substr(1);
        }
    } else {
        if (const auto colon = a.rfind(':'); colon != std::string_view::npos) {
            host = a.substr(0, colon);
            port = a.substr(colon + 1);
        }
        if (!allEncoded(host, [](char c) { return isUnreserved(c) || isSubDelim(c); })) return false;
    }
    for (char c : port) {
        if (!isDigit(c)) return false;
    }
    return true;
}

void appendUtf8(std::string& out, uint32_t cp) {
    if (cp < 0x80) {
        out += static_cast<char>(cp);
    } else if (cp < 0x800) {
        out += static_cast<char>(0xC0 | (cp >> 6));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    } else if (cp < 0x10000) {
        out += static_cast<char>(0xE0 | (cp >> 12));
        out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    } else {
        out += static_cast<char>(0xF0 | (cp >> 18));
        out += static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
        out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    }
}

// Well-formed UTF-8 is copied; each maximal ill-formed subpart becomes one U+FFFD.
std::string replaceInvalidUtf8(std::string_view in) {
    std::string out;
    out.reserve(in.size());
    size_t i = 0;
    while (i < in.size()) {
        const auto b0 = static_cast<uint8_t>(in[i]);
        if (b0 < 0x80) {
            out += static_cast<char>(b0);
            ++i;
            continue;
        }
        int need = 0;
        uint32_t cp = 0;
        uint8_t lo = 0x80, hi = 0xBF;  // allowed range of the second byte
        if (b0 >= 0xC2 && b0 <= 0xDF) {
            need = 1, cp = b0 & 0x1F;
        } else if (b0 >= 0xE0 && b0 <= 0xEF) {
            need = 2, cp = b0 & 0x0F;
            if (b0 == 0xE0) lo = 0xA0;
            if (b0 == 0xED) hi = 0x9F;  // no surrogates
        } else if (b0 >= 0xF0 && b0 <= 0xF4) {
            need = 3, cp = b0 & 0x07;
            if (b0 == 0xF0) lo = 0x90;
            if (b0 == 0xF4) hi = 0x8F;
        } else {
            appendUtf8(out, 0xFFFD);
            ++i;
            continue;
        }
        size_t j = i + 1;
        bool ok = true;
        for (int k = 0; k < need; ++k, ++j) {
            const uint8_t b = j < in.size() ? static_cast<uint8_t>(in[j]) : 0;
            const uint8_t l = k == 0 ? lo : 0x80, h = k == 0 ? hi : 0xBF;
            if (j >= in.size() || b < l || b > h) {
                ok = false;
                break;
            }
            cp = (cp << 6) | (b & 0x3F);
        }
        if (ok) {
            out.append(in.substr(i, j - i));
        } else {
            appendUtf8(out, 0xFFFD);
        }
        i = j;
    }
    return out;
}

}  // namespace

std::string percentEncodeQueryValue(std::string_view value) {
    static constexpr char kHex[] = "0123456789ABCDEF";
    std::string out;
    out.reserve(value.size() * 3);
    for (char c : value) {
        if (isUnreserved(c)) {
            out += c;
        } else {
            const auto b = static_cast<uint8_t>(c);
            out += '%';
            out += kHex[b >> 4];
            out += kHex[b & 0x0F];
        }
    }
    return out;
}

std::string formDecode(std::string_view text) {
    std::string bytes;
    bytes.reserve(text.size());
    for (size_t i = 0; i < text.size(); ++i) {
        const char c = text[i];
        if (c == '+') {
            bytes += ' ';
        } else if (c == '%' && i + 2 < text.size() && hexValue(text[i + 1]) >= 0 && hexValue(text[i + 2]) >= 0) {
            bytes += static_cast<char>(hexValue(text[i + 1]) * 16 + hexValue(text[i + 2]));
            i += 2;
        } else {
            bytes += c;
        }
    }
    return replaceInvalidUtf8(bytes);
}

std::optional<std::string> queryValue(std::string_view name, std::string_view rawQuery) {
    size_t start = 0;
    while (start <= rawQuery.size()) {
        size_t end = rawQuery.find('&', start);
        if (end == std::string_view::npos) end = rawQuery.size();
        std::string_view piece = rawQuery.substr(start, end - start);
        start = end + 1;
        if (piece.empty()) continue;
        std::string_view first = piece;
        std::optional<std::string_view> second;
        if (const auto eq = piece.find('='); eq != std::string_view::npos) {
            first = piece.substr(0, eq);
            if (eq + 1 < piece.size()) second = piece.substr(eq + 1);
            if (first.empty()) {  // "=b": the empty name is dropped and b becomes the name
                first = second.value_or(std::string_view());
                second.reset();
            }
        }
        if (first.empty()) continue;
        if (formDecode(first) == name) return second ? formDecode(*second) : std::string();
    }
    return std::nullopt;
}

std::string UrlParts::text() const {
    std::string out;
    if (scheme) out += *scheme + ":";
    if (authority) out += "//" + *authority;
    out += path;
    if (query) out += "?" + *query;
    if (fragment) out += "#" + *fragment;
    return out;
}

std::optional<UrlParts> parseUrl(std::string_view text) {
    UrlParts u;
    std::string_view rest = text;
    if (const auto hash = rest.find('#'); hash != std::string_view::npos) {
        const auto frag = rest.substr(hash + 1);
        if (!allEncoded(frag, [](char c) { return isPchar(c) || c == '/' || c == '?'; })) return std::nullopt;
        u.fragment = std::string(frag);
        rest = rest.substr(0, hash);
    }
    if (const auto q = rest.find('?'); q != std::string_view::npos) {
        const auto query = rest.substr(q + 1);
        if (!allEncoded(query, [](char c) { return isPchar(c) || c == '/' || c == '?'; })) return std::nullopt;
        u.query = std::string(query);
        rest = rest.substr(0, q);
    }
    const auto colon = rest.find(':');
    const auto slash = rest.find('/');
    if (colon != std::string_view::npos && (slash == std::string_view::npos || colon < slash)) {
        // Either a scheme, or a first path segment with ":" that a relative reference may not have.
        if (!validScheme(rest.substr(0, colon))) return std::nullopt;
        u.scheme = std::string(rest.substr(0, colon));
        rest = rest.substr(colon + 1);
    }
    if (rest.starts_with("//")) {
        rest = rest.substr(2);
        const auto end = rest.find('/');
        const auto authority = rest.substr(0, end);
        if (!validAuthority(authority)) return std::nullopt;
        u.authority = std::string(authority);
        rest = end == std::string_view::npos ? std::string_view() : rest.substr(end);
    }
    if (!allEncoded(rest, [](char c) { return isPchar(c) || c == '/'; })) return std::nullopt;
    u.path = std::string(rest);
    return u;
}

}  // namespace plindo::platform
