#pragma once
// URL text as the host builds and reads it. Query values are written with every byte outside the unreserved
// set percent-encoded ("+" included, since the track server reads "+" as a blank), and read back the way
// HTML forms are decoded.
#include <optional>
#include <string>
#include <string_view>

namespace plindo::platform {

// Every byte outside A-Z a-z 0-9 "-" "." "_" "~" becomes "%" and two upper-case hex digits.
std::string percentEncodeQueryValue(std::string_view value);

// Form decoding of UTF-8 bytes: "+" is a blank, "%" with two hex digits is that byte, any other "%" stays as
// it is; the result is read as UTF-8 with each ill-formed sequence replaced by U+FFFD.
std::string formDecode(std::string_view text);

// The decoded value of the first pair named `name` in a raw query ("a=1&b"), an empty text for a pair
// without "=", or none when no pair has that name. Pairs are split at the first "="; empty pieces are
// skipped, so "=b" counts as the name "b".
std::optional<std::string> queryValue(std::string_view name, std::string_view rawQuery);

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
