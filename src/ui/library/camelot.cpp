#include "ui/library/camelot.h"

#include "ui/kit/colors.h"

#include <algorithm>
#include <array>
#include <cctype>
#include <cmath>
#include <utility>

namespace plindo::ui {

namespace {

// Key names as tag writers spell them, matched exactly after "maj"/"min" are folded away.
constexpr std::array<std::pair<std::string_view, std::string_view>, 34> kKeyNames{{
    {"Abm", "1A"},  {"G#m", "1A"},  {"B", "1B"},    {"Ebm", "2A"},  {"D#m", "2A"},  {"Gb", "2B"},
    {"F#", "2B"},   {"Bbm", "3A"},  {"A#m", "3A"},  {"Db", "3B"},   {"C#", "3B"},   {"Fm", "4A"},
    {"Ab", "4B"},   {"G#", "4B"},   {"Cm", "5A"},   {"Eb", "5B"},   {"D#", "5B"},   {"Gm", "6A"},
    {"Bb", "6B"},   {"A#", "6B"},   {"Dm", "7A"},   {"F", "7B"},    {"Am", "8A"},   {"C", "8B"},
    {"Em", "9A"},   {"G", "9B"},    {"Bm", "10A"},  {"D", "10B"},   {"F#m", "11A"}, {"Gbm", "11A"},
    {"A", "11B"},   {"Dbm", "12A"}, {"C#m", "12A"}, {"E", "12B"},
}};

bool isBlank(char c) { return c == ' ' || c == '\t'; }
bool isDigit(char c) { return c >= '0' && c <= '9'; }
bool isSpace(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\f' || c == '\v'; }

std::string_view trimBlanks(std::string_view s) {
    while (!s.empty() && isBlank(s.front())) s.remove_prefix(1);
    while (!s.empty() && isBlank(s.back())) s.remove_suffix(1);
    return s;
}

// One or two digits, any white space, one letter, and at most a final line break (which "$" lets through).
// Gives the number and the letter when `letters` holds the letter.
std::optional<std::pair<int, char>> numberAndLetter(std::string_view s, std::string_view letters) {
    if (s.ends_with("\r\n")) s.remove_suffix(2);
    else if (s.ends_with('\n') || s.ends_with('\r')) s.remove_suffix(1);
    size_t digits = 0;
    while (digits < s.size() && isDigit(s[digits])) ++digits;
    if (digits < 1 || digits > 2 || s.size() < digits + 1) return std::nullopt;
    const char letter = s.back();
    if (letters.find(letter) == std::string_view::npos) return std::nullopt;
    for (size_t i = digits; i + 1 < s.size(); ++i)
        if (!isSpace(s[i])) return std::nullopt;
    int n = 0;
    for (size_t i = 0; i < digits; ++i) n = n * 10 + (s[i] - '0');
    return std::pair{n, letter};
}

std::string replaceIgnoringCase(const std::string& s, std::string_view what, std::string_view with) {
    std::string out;
    for (size_t i = 0; i < s.size();) {
        bool match = i + what.size() <= s.size();
        for (size_t k = 0; match && k < what.size(); ++k)
            match = std::tolower(static_cast<unsigned char>(s[i + k])) == what[k];
        if (match) {
            out += with;
            i += what.size();
        } else {
            out += s[i++];
        }
    }
    return out;
}

std::optional<std::string> lookUp(std::string_view name) {
    for (const auto& [n, code] : kKeyNames)
        if (n == name) return std::string(code);
    return std::nullopt;
}

}  // namespace

std::optional<std::string> camelotCode(std::string_view key) {
    const std::string_view t = trimBlanks(key);
    if (t.empty()) return std::nullopt;
    if (auto ab = numberAndLetter(t, "ABab"); ab && ab->first >= 1 && ab->first <= 12)
        return std::to_string(ab->first) + static_cast<char>(std::toupper(static_cast<unsigned char>(ab->second)));
    if (auto dm = numberAndLetter(t, "dmDM"); dm && dm->first >= 1 && dm->first <= 12) {
        // The open-key notation counts from C major = 1d, which is 8B: its numbers run seven ahead.
        const int code = (dm->first + 6) % 12 + 1;
        const bool minor = std::tolower(static_cast<unsigned char>(dm->second)) == 'm';
        return std::to_string(code) + (minor ? "A" : "B");
    }
    std::string name = replaceIgnoringCase(std::string(t), "maj", "");
    name = replaceIgnoringCase(name, "min", "m");
    name = std::string(trimBlanks(name));
    if (auto code = lookUp(name)) return code;
    if (name.empty()) return std::nullopt;
    name[0] = static_cast<char>(std::toupper(static_cast<unsigned char>(name[0])));
    return lookUp(name);
}

std::optional<double> camelotHue(std::string_view code) {
    while (!code.empty() && !isDigit(code.front())) code.remove_prefix(1);
    while (!code.empty() && !isDigit(code.back())) code.remove_suffix(1);
    if (code.empty()) return std::nullopt;
    int n = 0;
    for (const char c : code) {
        if (!isDigit(c)) return std::nullopt;
        n = std::min(n * 10 + (c - '0'), 1000);  // anything past 12 is out of range alike
    }
    if (n < 1 || n > 12) return std::nullopt;
    return std::fmod((n - 1) * 30.0 + 75.0, 360.0);
}

QColor camelotColor(std::string_view code) {
    const auto hue = camelotHue(code);
    if (!hue) return colors::gray();
    return QColor::fromHsvF(static_cast<float>(*hue / 360.0), 0.68f, 0.95f, 1.0f);
}

}  // namespace plindo::ui
