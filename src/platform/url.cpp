#include "platform/url.h"

#include "platform/text.h"
#include "platform/utf8_repair.h"

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

void appendEscape(std::string& out, char c) {
    static constexpr char kHex[] = "0123456789ABCDEF";
    const auto b = static_cast<uint8_t>(c);
    out += '%';
    out += kHex[b >> 4];
    out += kHex[b & 0x0F];
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

}  // namespace

std::string percentEncodeQueryValue(std::string_view value) {
    std::string out;
    out.reserve(value.size() * 3);
    for (char c : value) {
        if (isUnreserved(c)) out += c;
        else appendEscape(out, c);
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
    return bytes;
}

std::string listedName(std::string_view bytes) {
    if (text::isValidUtf8(bytes)) return std::string(bytes);
    std::string out;
    out.reserve(bytes.size() * 2);
    for (size_t i = 0; i < bytes.size();) {
        const size_t n = utf8SequenceLength(bytes, i);
        if (n == 0 || bytes[i] == '%') {
            appendEscape(out, bytes[i]);
            ++i;
        } else {
            out.append(bytes.substr(i, n));
            i += n;
        }
    }
    return out;
}

std::optional<std::string> nameFromListing(std::string_view text) {
    if (text.find('%') == std::string_view::npos) return std::nullopt;
    std::string bytes;
    bytes.reserve(text.size());
    for (size_t i = 0; i < text.size(); ++i) {
        if (text[i] != '%') {
            bytes += text[i];
            continue;
        }
        if (i + 2 >= text.size() || hexValue(text[i + 1]) < 0 || hexValue(text[i + 2]) < 0) return std::nullopt;
        bytes += static_cast<char>(hexValue(text[i + 1]) * 16 + hexValue(text[i + 2]));
        i += 2;
    }
    if (text::isValidUtf8(bytes)) return std::nullopt;
    return bytes;
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
