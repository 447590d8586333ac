#include "platform/text.h"

#include <gtest/gtest.h>

using namespace plindo::platform::text;

TEST(Text, FoldIgnoresCaseAndAccentsButNotLetters) {
    EXPECT_EQ(fold("Café"), fold("CAFE"));
    EXPECT_EQ(fold("Cafe\xCC\x81"), fold("café"));  // decomposed accent
    EXPECT_EQ(fold("Ærøskøbing"), fold("æRØSKØBING"));
    EXPECT_NE(fold("cafe"), fold("cafes"));
    EXPECT_EQ(fold(""), "");
}

TEST(Text, NormalFormsRoundTrip) {
    const std::string composed = "\xC3\xA9";      // é
    const std::string decomposed = "e\xCC\x81";   // e + combining acute
    EXPECT_EQ(nfc(decomposed), composed);
    EXPECT_EQ(nfd(composed), decomposed);
    EXPECT_EQ(nfc(nfd("Ünïcödé")), "Ünïcödé");
}

TEST(Text, TrimsOnlyWhatItIsAskedTo) {
    EXPECT_EQ(trimWhitespace(" \t\n\xC2\xA0x y\r\n\xE2\x80\xA8"), "x y");  // NBSP and U+2028 are white space
    EXPECT_EQ(trimWhitespace(" \n\t"), "");
    EXPECT_EQ(trimSpacesAndTabs(" \tx\n\t "), "x\n");
}

TEST(Text, LocalizedOrderIgnoresCaseAndIsStable) {
    EXPECT_LT(compareLocalized("apple", "Banana"), 0);
    EXPECT_EQ(compareLocalized("ABC", "abc"), 0);
    EXPECT_LT(compareLocalized("a", "B"), 0);
    std::vector<std::string> v = {"b", "A", "a", "C", "B"};
    stableSortLocalized(v, [](const std::string& s) -> const std::string& { return s; });
    EXPECT_EQ(v, (std::vector<std::string>{"A", "a", "b", "B", "C"}));
    EXPECT_TRUE(canonicalLess("B", "a"));  // plain order is case-sensitive
    EXPECT_FALSE(canonicalLess("e\xCC\x81", "\xC3\xA9"));
    EXPECT_FALSE(canonicalLess("\xC3\xA9", "e\xCC\x81"));
}

TEST(Text, Utf16BigEndianDecoding) {
    const uint8_t ab[] = {0, 'A', 0, 'B'};
    EXPECT_EQ(fromUtf16BE(ab, 4), "AB");
    const uint8_t pair[] = {0xD8, 0x3D, 0xDE, 0x00};  // U+1F600
    EXPECT_EQ(fromUtf16BE(pair, 4), "\xF0\x9F\x98\x80");
    const uint8_t lone[] = {0, 'A', 0xD8, 0x3D};
    EXPECT_FALSE(fromUtf16BE(lone, 4).has_value());
    const uint8_t loneLow[] = {0xDC, 0x00, 0, 'A'};
    EXPECT_FALSE(fromUtf16BE(loneLow, 4).has_value());
}

TEST(Text, ByteDecodingsAndLines) {
    EXPECT_TRUE(isValidUtf8("Caf\xC3\xA9"));
    EXPECT_FALSE(isValidUtf8("Caf\xE9"));
    EXPECT_EQ(fromLatin1("Caf\xE9"), "Caf\xC3\xA9");
    const auto lines = splitLines("a\r\nb\rc\n\nd\ve\ff\xC2\x85g\xE2\x80\xA8h\xE2\x80\xA9i\r\n");
    EXPECT_EQ(lines, (std::vector<std::string_view>{"a", "b", "c", "d", "e", "f", "g", "h", "i"}));
}

TEST(Text, EscapeControlsKeepsTextButNotWhatBreaksLinesOrDrivesATerminal) {
    const std::string kept = "Gr\xC3\xBC\xC3\x9F\x65 \xE6\x9D\xB1 \xF0\x9F\x8E\xB5 \xC2\xA0\\n";
    EXPECT_EQ(escapeControls(kept), kept);
    // C0 and DEL, the C1 CSI and NEL, the Unicode line breaks, and bytes that are not UTF-8 (a lone 0x9B is CSI
    // to an 8-bit terminal; an overlong form, a surrogate, a cut sequence).
    const char raw[] = "a\nb\r\t\x1B[2J\0\x7F\xC2\x9B\xC2\x85\xE2\x80\xA8\x9B\xFF\xC0\xAF\xED\xA0\x80\xE2\x82";
    const std::string bad(raw, sizeof raw - 1);
    const std::string escaped = "a\\nb\\r\\t\\x1b[2J\\x00\\x7f\\u009b\\u0085\\u2028\\x9b\\xff\\xc0\\xaf\\xed\\xa0\\x80\\xe2\\x82";
    EXPECT_EQ(escapeControls(bad), escaped);
    EXPECT_EQ(escapeControls(escaped), escaped);
}
