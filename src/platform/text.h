#pragma once
// Unicode text services on ICU: folding for matching, normal forms, the user's locale ordering, and the
// byte-level decodings the library files and playlists need. All texts are UTF-8.
#include <algorithm>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace plindo::platform::text {

// Case- and diacritic-insensitive folding (no locale): "Café" and "CAFE" fold alike.
std::string fold(std::string_view s);

// Canonical composition (NFC) and decomposition (NFD).
std::string nfc(std::string_view s);
std::string nfd(std::string_view s);

// Removes Unicode white space (spaces, tabs, line breaks) from both ends.
std::string_view trimWhitespace(std::string_view s);
// Removes only spaces and tabs from both ends.
std::string_view trimSpacesAndTabs(std::string_view s);

// Locale-aware, case-insensitive ordering in the user's locale: <0, 0, >0.
int compareLocalized(std::string_view a, std::string_view b);
// A byte string whose plain ordering equals compareLocalized's; cheaper when sorting many texts.
std::string localizedSortKey(std::string_view s);

// Stable sort by the localized case-insensitive order of proj(item); equal texts keep their order.
template <typename T, typename Proj>
void stableSortLocalized(std::vector<T>& items, Proj proj) {
    std::vector<std::pair<std::string, size_t>> keys;
    keys.reserve(items.size());
    for (size_t i = 0; i < items.size(); ++i) keys.emplace_back(localizedSortKey(proj(items[i])), i);
    std::stable_sort(keys.begin(), keys.end(), [](const auto& a, const auto& b) { return a.first < b.first; });
    std::vector<T> sorted;
    sorted.reserve(items.size());
    for (auto& k : keys) sorted.push_back(std::move(items[k.second]));
    items = std::move(sorted);
}

// Plain code-point order of the canonical composed forms (case-sensitive).
bool canonicalLess(std::string_view a, std::string_view b);

// UTF-16 (no byte-order mark) to UTF-8; none when the units are not valid UTF-16. An odd last byte is no
// unit and is ignored.
std::optional<std::string> fromUtf16(const uint8_t* data, size_t size, bool bigEndian);
inline std::optional<std::string> fromUtf16BE(const uint8_t* data, size_t size) { return fromUtf16(data, size, true); }
bool isValidUtf8(std::string_view s);
std::string fromLatin1(std::string_view s);

// A-Z to a-z, every other byte unchanged: for protocol tokens, tag ids and file extensions.
inline std::string asciiLower(std::string_view s) {
    std::string out(s);
    for (char& c : out)
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    return out;
}

// Splits at LF, CR, CR LF, VT, FF, U+0085, U+2028 and U+2029, dropping empty lines.
std::vector<std::string_view> splitLines(std::string_view s);

// Outside text made fit for one log or status line: control characters (C0, DEL, C1) and the line and
// paragraph separators become escapes ("\n", "\r", "\t", "\x1b", "\u0085", "\u2028"), and so does each byte
// that is not part of well-formed UTF-8 ("\xff"); every other character is kept. Applying it twice changes
// nothing more.
std::string escapeControls(std::string_view s);

}  // namespace plindo::platform::text
