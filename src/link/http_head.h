#pragma once
// The track server's request side as pure functions: finding the end of a request head, parsing the request
// line and target, decoding query values, and the exact bytes of a response head.
#include <cstddef>
#include <map>
#include <optional>
#include <string>
#include <string_view>

namespace plindo::link::http_head {

// Each read asks for at most this many bytes.
inline constexpr size_t kReadChunk = 16384;
// A head this long without its terminator is abandoned; no legitimate client sends one.
inline constexpr size_t kMaxHead = 65536;

enum class Scan { NeedMore, Complete, Overflow, BareLineFeed };

struct ScanResult {
    Scan state = Scan::NeedMore;
    size_t headLength = 0;  // bytes before "\r\n\r\n" when complete
};

// Looks for "\r\n\r\n" in everything received so far. A line ending in a bare "\n" before it can never
// form the terminator: such a head is malformed at once.
ScanResult scan(std::string_view buffer);

struct Request {
    std::string method;
    std::string target;
    std::string path;      // percent-decoded route key
    std::string rawQuery;  // still percent-encoded; "" when there is none
};

// The head (bytes before the terminator) as text: invalid UTF-8 replaced.
std::string headText(std::string_view headBytes);

// Parses a request head. None means the request gets the empty 400 answer: fewer than two parts in the
// request line, a method other than "GET", or a target that is not a valid URI reference.
std::optional<Request> parse(std::string_view head);

// What the request log line shows of a head: the target, or the start of a malformed request line.
std::string logTarget(std::string_view head);

// "+" is a blank, "%hh" a byte; any other "%" stays. The bytes come back as sent, UTF-8 or not.
std::string formDecode(std::string_view s);

// The decoded value of the first pair named `name` in the raw query ("" for a pair without a value).
std::optional<std::string> queryValue(std::string_view name, std::string_view rawQuery);

// The control route's parameters: every item percent-decoded byte for byte ("+" stays), the later of two
// equal names wins.
std::map<std::string, std::string> queryItems(std::string_view rawQuery);

// The exact response head: status line, length, type, the CORS line and "Connection: close".
std::string responseHead(std::string_view status, size_t bodyLength, std::string_view contentType);

}  // namespace plindo::link::http_head
