#pragma once
// URL text as the host builds and reads it. Query values are written with every byte outside the unreserved
// set percent-encoded ("+" included, since the track server reads "+" as a blank), and read back the way
// HTML forms are decoded, byte for byte: a file name is bytes, and must reach the file system as sent.
#include <optional>
#include <string>
#include <string_view>

namespace plindo::platform {

// Every byte outside A-Z a-z 0-9 "-" "." "_" "~" becomes "%" and two upper-case hex digits.
std::string percentEncodeQueryValue(std::string_view value);

// Form decoding: "+" is a blank, "%" with two hex digits is that byte, any other "%" stays as it is. The
// bytes come back as they are, UTF-8 or not.
std::string formDecode(std::string_view text);

// The decoded value of the first pair named `name` in a raw query ("a=1&b"), an empty text for a pair
// without "=", or none when no pair has that name. Pairs are split at the first "="; empty pieces are
// skipped, so "=b" counts as the name "b".
std::optional<std::string> queryValue(std::string_view name, std::string_view rawQuery);

// A file name or path as a JSON listing gives it, since JSON carries only UTF-8: valid UTF-8 as it is;
// otherwise every "%" and every byte of an ill-formed sequence percent-encoded, the rest as it is, so that
// a client sending the listed text back names the same bytes.
std::string listedName(std::string_view bytes);

// The bytes a listed name stands for: none unless `text` is the listed form of bytes that are not UTF-8
// (every "%" begins an escape, and the escapes decode to ill-formed UTF-8). Text of any other kind names
// itself.
std::optional<std::string> nameFromListing(std::string_view text);

// A URI reference split into its components, each still percent-encoded. Parsing checks every character
// against its component's set, each "%" for two hex digits and the port for digits only.
struct UrlParts {
    std::optional<std::string> scheme;
    std::optional<std::string> authority;  // userinfo@host:port, after "//"
    std::string path;
    std::optional<std::string> query;
    std::optional<std::string> fragment;

    std::string text() const;
};

std::optional<UrlParts> parseUrl(std::string_view text);

}  // namespace plindo::platform
