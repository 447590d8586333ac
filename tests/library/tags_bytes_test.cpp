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
constexpr int64_t kBig = std::numeric_limits<int64_t>::max();

TEST(TagBytes, ReadsNeverLeaveTheBuffer) {
    const Buf b{0x12, 0x34, 0x56, 0x78, 0x9A};
    // Past either end reads as zero bytes: the last byte lands in the most significant position.
    EXPECT_EQ(M::u32BE(b, 4), 0x9Au << 24);
    EXPECT_EQ(M::u32BE(b, -1), 0x00123456u);
    EXPECT_EQ(M::u32BE(b, kBig - 1), 0u);

    const Buf z{1, 2, 0, 4, 0, 0, 7};
    EXPECT_EQ(M::bytes(z, 4, 3), (Buf{0, 0, 7}));  // ends exactly at the end
    for (auto [at, n] : {std::pair<int64_t, int64_t>{5, 3}, {-1, 2}, {0, 0}, {1, kBig}}) EXPECT_TRUE(M::bytes(z, at, n).empty());
    EXPECT_EQ(M::findZero(z, 3, 100), 4);
    EXPECT_EQ(M::findZero(z, 0, 2), std::nullopt);
    EXPECT_EQ(M::findZero(z, 9, 100), std::nullopt);
    EXPECT_EQ(M::terminatorEnd(z, 0, false, 7), 3);
    // Wide terminators are aligned pairs: the pair at 2..3 is 0 4, the one at 4..5 is 0 0.
    EXPECT_EQ(M::terminatorEnd(z, 0, true, 7), 6);
    EXPECT_EQ(M::terminatorEnd(z, 1, true, 7), std::nullopt);  // pairs 1-2, 3-4, 5-6: none all zero
    // A pair reaching past the buffer counts its missing byte as zero, within the limit only.
    EXPECT_EQ(M::terminatorEnd(Buf{1, 1, 0}, 0, true, 4), 4);
    EXPECT_EQ(M::terminatorEnd(Buf{1, 1, 0}, 0, true, 3), std::nullopt);

    EXPECT_EQ(TagRange::add(kBig, 1), std::nullopt);
    EXPECT_EQ(TagRange::add(-1, 1), std::nullopt);
    EXPECT_TRUE(TagRange::fits(4, 6, 10));
    EXPECT_FALSE(TagRange::fits(4, 7, 10));
    EXPECT_FALSE(TagRange::fits(4, UINT64_MAX, 10));
    EXPECT_FALSE(TagRange::fits(-1, 1, 10));
    const Buf three{1, 2, 3};
    MemoryTagSource src(three);  // a view: the bytes must outlive it
    EXPECT_EQ(src.region(1, 2), (Buf{2, 3}));
    EXPECT_EQ(src.region(2, 2), std::nullopt);
    EXPECT_EQ(src.region(1, kBig), std::nullopt);
    EXPECT_EQ(src.clipped(1, kBig), (Buf{2, 3}));
}

TEST(TagBytes, Base64TakesStrayCharactersMissingPaddingAndPrefixes) {
    const auto decode = [](const std::string& s, std::string_view prefix = "") {
        return SeratoMarkers2::decodeBase64(bytes(s), prefix);
    };
    const Buf body = bytes("Serato markers body!");  // 20 bytes: 28 characters with one "="
    std::string unpadded = base64(body);
    unpadded.pop_back();
    EXPECT_EQ(decode(unpadded), body);
    // 4k+1: one stray character; the second attempt without it decodes.
    EXPECT_EQ(decode(base64(bytes("abcdef")) + "Q"), bytes("abcdef"));
    EXPECT_EQ(decode(""), std::nullopt);
    EXPECT_EQ(decode("A"), std::nullopt);
    // With a prefix, the longest decoding stands in when none matches.
    EXPECT_EQ(decode(base64(bytes("xyz123")), "application/octet-stream"), bytes("xyz123"));
    EXPECT_EQ(decode("YWJj\nZGVm"), bytes("abcdef"));  // bytes outside the alphabet are skipped
}

TEST(TagText, NumbersAreFiniteOrAbsentAndUnicodeIsWellFormed) {
    EXPECT_EQ(TagText::decimal("+127.5"), 127.5);
    EXPECT_EQ(TagText::decimal("1e2"), 100.0);
    for (const char* bad : {"", " 128", "128 ", "nan", "NaN", "inf", "-infinity", "1e999", "12a", "+", "+-1", "0x80"})
        EXPECT_EQ(TagText::decimal(bad), std::nullopt) << bad;
    EXPECT_EQ(TagText::leadingInteger(" 42 plays\n"), 42);
    EXPECT_EQ(TagText::leadingInteger("\xC2\xA0" "7"), 7);
    for (const char* bad : {"x42", "-3", "99999999999999999999"}) EXPECT_EQ(TagText::leadingInteger(bad), std::nullopt) << bad;

    EXPECT_EQ(TagText::utf8(bytes("K\xC3\xA4se")), "K\xC3\xA4se");
    for (const char* bad : {"\xC0\xAF", "\xED\xA0\x80", "\xF4\x90\x80\x80", "\xE2\x82", "\x80"})
        EXPECT_EQ(TagText::utf8(bytes(bad)), std::nullopt) << bad;
    EXPECT_EQ(TagText::utf16(Buf{0x3D, 0xD8, 0x00, 0xDE}, false), "\xF0\x9F\x98\x80");
    for (const Buf& bad : {Buf{0x3D, 0xD8}, Buf{0x00, 0xDE, 0x41, 0x00}, Buf{0x41}})  // lone surrogates, odd length
        EXPECT_EQ(TagText::utf16(bad, false), std::nullopt);
    EXPECT_EQ(TagText::latin1(Buf{0x41, 0xE9}), "A\xC3\xA9");
}
