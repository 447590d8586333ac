#include "link/http_head.h"

#include "platform/url.h"
#include "platform/utf8_repair.h"

#include <vector>

namespace plindo::link::http_head {

namespace {

constexpr std::string_view kTerminator = "\r\n\r\n";

int hexValue(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

// "%" at i followed by two hexadecimal digits inside s.
bool isEscape(std::string_view s, size_t i) {
    return i + 2 < s.size() && hexValue(s[i + 1]) >= 0 && hexValue(s[i + 2]) >= 0;
}

bool isUnreserved(unsigned char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '-' || c == '.' ||
           c == '_' || c == '~';
}

bool isSubDelim(unsigned char c) {
    switch (c) {
        case '!': case '$': case '&': case '\'': case '(': case ')': case '*': case '+': case ',': case ';':
        case '=':
            return true;
        default:
            return false;
    }
}

// True when s holds only `extra` characters, unreserved and sub-delimiter characters, and well-formed
// percent escapes.
bool validComponent(std::string_view s, std::string_view extra) {
    for (size_t i = 0; i < s.size(); ++i) {
        const auto c = static_cast<unsigned char>(s[i]);
        if (c == '%') {
            if (!isEscape(s, i)) return false;
            i += 2;
            continue;
        }
        if (isUnreserved(c) || isSubDelim(c) || extra.find(static_cast<char>(c)) != std::string_view::npos) continue;
        return false;
    }
    return true;
}

// Percent-decodes a component that validComponent accepted ("+" stays a "+"), byte for byte.
std::string percentDecode(std::string_view s) {
    std::string out;
    out.reserve(s.size());
    for (size_t i = 0; i < s.size(); ++i) {
        if (s[i] == '%' && isEscape(s, i)) {
            out.push_back(static_cast<char>(hexValue(s[i + 1]) * 16 + hexValue(s[i + 2])));
            i += 2;
        } else {
            out.push_back(s[i]);
        }
    }
    return out;
}

std::vector<std::string_view> splitNonEmpty(std::string_view s, char sep, size_t maxParts) {
    std::vector<std::string_view> parts;
    size_t i = 0;
    while (i < s.size()) {
        if (s[i] == sep) {
            ++i;
            continue;
        }
        if (parts.size() + 1 == maxParts) {
            parts.push_back(s.substr(i));
            // The last part keeps everything, separators included, but not trailing separators alone.
            break;
        }
        const size_t end = s.find(sep, i);
        const size_t stop = end == std::string_view::npos ? s.size() : end;
        parts.push_back(s.substr(i, stop - i));
        i = stop;
    }
    return parts;
}

std::string_view requestLine(std::string_view head) {
    const size_t crlf = head.find("\r\n");
    return crlf == std::string_view::npos ? head : head.substr(0, crlf);
}

}  // namespace

ScanResult scan(std::string_view buffer) {
    const size_t at = buffer.find(kTerminator);
    const std::string_view head = buffer.substr(0, at == std::string_view::npos ? buffer.size() : at);
    for (size_t lf = head.find('\n'); lf != std::string_view::npos; lf = head.find('\n', lf + 1)) {
        if (lf == 0 || head[lf - 1] != '\r') return {Scan::BareLineFeed, 0};
    }
    if (at != std::string_view::npos) return {Scan::Complete, at};
    if (buffer.size() >= kMaxHead) return {Scan::Overflow, 0};
    return {Scan::NeedMore, 0};
}

std::string headText(std::string_view headBytes) { return platform::repairUtf8(headBytes); }

std::string logTarget(std::string_view head) {
    const auto parts = splitNonEmpty(requestLine(head), ' ', 3);
    if (parts.size() >= 2) return std::string(parts[1]);
    return platform::repairUtf8(requestLine(head).substr(0, 120));
}

std::optional<Request> parse(std::string_view head) {
    const auto parts = splitNonEmpty(requestLine(head), ' ', 3);
    if (parts.size() < 2 || parts[0] != "GET") return std::nullopt;

    Request r;
    r.method = std::string(parts[0]);
    r.target = std::string(parts[1]);

    // The target is read as the rest of "http://h": one that does not begin with "/" runs into the host.
    const std::string url = "h" + r.target;
    const size_t authorityEnd = url.find_first_of("/?#");
    const std::string_view authority = std::string_view(url).substr(0, authorityEnd);
    std::string_view rest = authorityEnd == std::string::npos ? std::string_view() : std::string_view(url).substr(authorityEnd);

    std::string_view hostPort = authority;
    if (const size_t at = authority.rfind('@'); at != std::string_view::npos) {
        if (!validComponent(authority.substr(0, at), ":")) return std::nullopt;
        hostPort = authority.substr(at + 1);
    }
    if (const size_t colon = hostPort.find(':'); colon != std::string_view::npos) {
        for (char c : hostPort.substr(colon + 1))
            if (c < '0' || c > '9') return std::nullopt;
        hostPort = hostPort.substr(0, colon);
    }
    if (!validComponent(hostPort, "")) return std::nullopt;

    std::string_view fragment;
    if (const size_t hash = rest.find('#'); hash != std::string_view::npos) {
        fragment = rest.substr(hash + 1);
        rest = rest.substr(0, hash);
    }
    if (!validComponent(fragment, ":@/?")) return std::nullopt;
    std::string_view path = rest;
    std::string_view query;
    bool hasQuery = false;
    if (const size_t q = rest.find('?'); q != std::string_view::npos) {
        path = rest.substr(0, q);
        query = rest.substr(q + 1);
        hasQuery = true;
    }
    if (!validComponent(path, ":@/") || !validComponent(query, ":@/?")) return std::nullopt;
    r.path = platform::repairUtf8(percentDecode(path));  // only ever compared with route names
    r.rawQuery = hasQuery ? std::string(query) : std::string();
    return r;
}

std::string formDecode(std::string_view s) { return platform::formDecode(s); }

std::optional<std::string> queryValue(std::string_view name, std::string_view rawQuery) {
    return platform::queryValue(name, rawQuery);
}

std::map<std::string, std::string> queryItems(std::string_view rawQuery) {
    std::map<std::string, std::string> items;
    if (rawQuery.empty()) return items;
    size_t i = 0;
    while (true) {
        const size_t amp = rawQuery.find('&', i);
        const std::string_view item = rawQuery.substr(i, amp == std::string_view::npos ? std::string_view::npos : amp - i);
        const size_t eq = item.find('=');
        if (eq == std::string_view::npos)
            items[percentDecode(item)] = "";
        else
            items[percentDecode(item.substr(0, eq))] = percentDecode(item.substr(eq + 1));
        if (amp == std::string_view::npos) break;
        i = amp + 1;
    }
    return items;
}

std::string responseHead(std::string_view status, size_t bodyLength, std::string_view contentType) {
    std::string h;
    h.reserve(128);
    h += "HTTP/1.1 ";
    h += status;
    h += "\r\nContent-Length: ";
    h += std::to_string(bodyLength);
    h += "\r\nContent-Type: ";
    h += contentType;
    h += "\r\nAccess-Control-Allow-Origin: *\r\nConnection: close\r\n\r\n";
    return h;
}

}  // namespace plindo::link::http_head
