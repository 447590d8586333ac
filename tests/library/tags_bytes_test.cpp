// The byte readers every tag reader stands on, the base64 decoder and the text rules of tag values.
#include "library/serato_file_meta.h"
#include "library/serato_markers2.h"
#include "library/tag_source.h"
#include "library/tag_text.h"
#include "tag_file_writer.h"

#include <gtest/gtest.h>

#include <limits>

using namespace plindo::library;
using namespace tagwriter;
using M = SeratoFileMeta;

TEST(TagBytes, ReadsPastTheEndAsZeroBytes) {
    const Buf b{0x12, 0x34, 0x56, 0x78, 0x9A};
    EXPECT_EQ(M::u16BE(b, 0), 0x1234);
    EXPECT_EQ(M::u24BE(b, 1), 0x345678u);
    EXPECT_EQ(M::u32BE(b, 0), 0x12345678u);
    EXPECT_EQ(M::u32LE(b, 0), 0x78563412u);
    // One byte before the end: the last byte lands in the most significant position.
    EXPECT_EQ(M::u32BE(b, 4), 0x9Au << 24);
    EXPECT_EQ(M::u32BE(b, -1), 0x00123456u);
    EXPECT_EQ(M::u32BE(b, std::numeric_limits<int64_t>::max() - 1), 0u);
    EXPECT_EQ(M::synchsafe(Buf{0x7F, 0x7F, 0x7F, 0x7F}, 0), (1u << 28) - 1);
    EXPECT_EQ(M::synchsafe(Buf{0x00, 0x00, 0x01, 0x01}, 0), 129u);
    EXPECT_EQ(M::f32BE(f32(128.5f), 0), 128.5f);
    EXPECT_EQ(M::f64BE(f64(-3.25), 0), -3.25);
}

TEST(TagBytes, RangesAndTerminators) {
    const Buf b{1, 2, 0, 4, 0, 0, 7};
    EXPECT_EQ(M::bytes(b, 4, 3), (Buf{0, 0, 7}));  // ends exactly at the end
    EXPECT_TRUE(M::bytes(b, 5, 3).empty());
    EXPECT_TRUE(M::bytes(b, -1, 2).empty());
    EXPECT_TRUE(M::bytes(b, 0, 0).empty());
    EXPECT_TRUE(M::bytes(b, 1, std::numeric_limits<int64_t>::max()).empty());

    EXPECT_EQ(M::findZero(b, 0, 100), 2);
    EXPECT_EQ(M::findZero(b, 3, 100), 4);
    EXPECT_EQ(M::findZero(b, 0, 2), std::nullopt);
    EXPECT_EQ(M::findZero(b, 6, 7), std::nullopt);
    EXPECT_EQ(M::findZero(b, 9, 100), std::nullopt);

    EXPECT_EQ(M::terminatorEnd(b, 0, false, 7), 3);
    // Wide terminators are aligned pairs: the pair at 2..3 is 0 4, the one at 4..5 is 0 0.
    EXPECT_EQ(M::terminatorEnd(b, 0, true, 7), 6);
    EXPECT_EQ(M::terminatorEnd(b, 1, true, 7), std::nullopt);  // pairs 1-2, 3-4, 5-6: none all zero
    // A pair reaching past the buffer counts its missing byte as zero.
    EXPECT_EQ(M::terminatorEnd(Buf{1, 1, 0}, 0, true, 4), 4);
    EXPECT_EQ(M::terminatorEnd(Buf{1, 1, 0}, 0, true, 3), std::nullopt);
}

TEST(TagBytes, Base64TakesStrayCharactersMissingPaddingAndPrefixes) {
    const Buf body = bytes("Serato markers body!");  // 20 bytes: 28 characters with one "="
    const std::string text = base64(body);
    const auto decode = [](const std::string& s, std::string_view prefix = "") {
        return SeratoMarkers2::decodeBase64(bytes(s), prefix);
    };
    EXPECT_EQ(decode(text), body);
    std::string unpadded = text;
    while (unpadded.back() == '=') unpadded.pop_back();
    EXPECT_EQ(decode(unpadded), body);
    // 4k+1: one stray character; the second attempt without it decodes.
    EXPECT_EQ(decode(base64(bytes("abcdef")) + "Q"), bytes("abcdef"));
    EXPECT_EQ(decode(""), std::nullopt);
    EXPECT_EQ(decode("A"), std::nullopt);
    // With a prefix, the longest decoding stands in when none matches.
    EXPECT_EQ(decode(base64(bytes("xyz123")), "application/octet-stream"), bytes("xyz123"));
    // Bytes outside the alphabet are skipped.
    EXPECT_EQ(decode("YWJj\nZGVm"), bytes("abcdef"));
}

TEST(TagText, NumbersFromTagsAreFiniteOrAbsent) {
    EXPECT_EQ(TagText::decimal("128"), 128.0);
    EXPECT_EQ(TagText::decimal("+127.5"), 127.5);
    EXPECT_EQ(TagText::decimal("1e2"), 100.0);
    for (const char* bad : {"", " 128", "128 ", "nan", "NaN", "inf", "-infinity", "1e999", "12a", "+", "+-1", "0x80"}) {
        EXPECT_EQ(TagText::decimal(bad), std::nullopt) << bad;
    }
    EXPECT_EQ(TagText::leadingInteger(" 42 plays\n"), 42);
    EXPECT_EQ(TagText::leadingInteger("\xC2\xA0" "7"), 7);
    EXPECT_EQ(TagText::leadingInteger("x42"), std::nullopt);
    EXPECT_EQ(TagText::leadingInteger("-3"), std::nullopt);
    EXPECT_EQ(TagText::leadingInteger("99999999999999999999"), std::nullopt);
}

TEST(TagText, RejectsMalformedUnicode) {
    EXPECT_EQ(TagText::utf8(bytes("K\xC3\xA4se")), "K\xC3\xA4se");
    for (const char* bad : {"\xC0\xAF", "\xED\xA0\x80", "\xF4\x90\x80\x80", "\xE2\x82", "\x80"}) {
        EXPECT_EQ(TagText::utf8(bytes(bad)), std::nullopt) << bad;
    }
    EXPECT_EQ(TagText::utf16(Buf{0x3D, 0xD8, 0x00, 0xDE}, false), "\xF0\x9F\x98\x80");
    EXPECT_EQ(TagText::utf16(Buf{0x3D, 0xD8}, false), std::nullopt);      // lone high surrogate
    EXPECT_EQ(TagText::utf16(Buf{0x00, 0xDE, 0x41, 0x00}, false), std::nullopt);  // lone low surrogate
    EXPECT_EQ(TagText::utf16(Buf{0x41}, false), std::nullopt);
    EXPECT_EQ(TagText::latin1(Buf{0x41, 0xE9}), "A\xC3\xA9");
}

TEST(TagSourceRange, CheckedArithmeticNeverWraps) {
    constexpr int64_t big = std::numeric_limits<int64_t>::max();
    EXPECT_EQ(TagRange::add(big, 1), std::nullopt);
    EXPECT_EQ(TagRange::add(-1, 1), std::nullopt);
    EXPECT_EQ(TagRange::add(2, 3), 5);
    EXPECT_TRUE(TagRange::fits(4, 6, 10));
    EXPECT_FALSE(TagRange::fits(4, 7, 10));
    EXPECT_FALSE(TagRange::fits(4, UINT64_MAX, 10));
    EXPECT_FALSE(TagRange::fits(-1, 1, 10));
    const Buf b{1, 2, 3};
    MemoryTagSource src(b);
    EXPECT_EQ(src.region(1, 2), (Buf{2, 3}));
    EXPECT_EQ(src.region(2, 2), std::nullopt);
    EXPECT_EQ(src.region(1, big), std::nullopt);
    EXPECT_EQ(src.clipped(1, big), (Buf{2, 3}));
}
