#include "link/osc.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <limits>

using namespace plindo::link;

namespace {

using Bytes = std::vector<uint8_t>;

Bytes enc(std::string_view address, std::vector<OSCValue> args = {}) { return OSCMessage::encode(address, args); }

std::vector<OSCMessage> dec(const Bytes& b) { return OSCMessage::decodePacket(b); }

Bytes cat(std::initializer_list<Bytes> parts) {
    Bytes out;
    for (const auto& p : parts) out.insert(out.end(), p.begin(), p.end());
    return out;
}

Bytes sized(const Bytes& element) {
    const auto n = static_cast<uint32_t>(element.size());
    Bytes out{uint8_t(n >> 24), uint8_t(n >> 16), uint8_t(n >> 8), uint8_t(n)};
    out.insert(out.end(), element.begin(), element.end());
    return out;
}

Bytes bundleHeader() {
    Bytes b{'#', 'b', 'u', 'n', 'd', 'l', 'e', 0};
    b.resize(16, 0);
    b[15] = 1;  // time tag "immediately"
    return b;
}

// A hand-written message: address, tag text and raw argument bytes.
Bytes raw(std::string_view address, std::string_view tags, const Bytes& body) {
    Bytes b;
    OSCMessage::appendString(address, b);
    OSCMessage::appendString(tags, b);
    b.insert(b.end(), body.begin(), body.end());
    return b;
}

}  // namespace

TEST(OSCCodec, EncodesExactBytes) {
    EXPECT_EQ(enc("/a"), (Bytes{0x2F, 0x61, 0, 0, 0x2C, 0, 0, 0}));
    EXPECT_EQ(enc("/a", {OSCValue::int32(1)}), (Bytes{0x2F, 0x61, 0, 0, 0x2C, 0x69, 0, 0, 0, 0, 0, 1}));
    EXPECT_EQ(enc("/a", {OSCValue::float32(1.0f)}),
              (Bytes{0x2F, 0x61, 0, 0, 0x2C, 0x66, 0, 0, 0x3F, 0x80, 0, 0}));
    EXPECT_EQ(enc("/abc").size(), 8u + 4u);  // a 4-byte address takes 8 bytes
    EXPECT_EQ(enc("/a", {OSCValue::string("")}), (Bytes{0x2F, 0x61, 0, 0, 0x2C, 0x73, 0, 0, 0, 0, 0, 0}));
    EXPECT_EQ(enc("/a", {OSCValue::int32(-2)}).back(), 0xFE);
    EXPECT_EQ(enc("/a", {OSCValue::float64(1.0)}),
              (Bytes{0x2F, 0x61, 0, 0, 0x2C, 0x64, 0, 0, 0x3F, 0xF0, 0, 0, 0, 0, 0, 0}));
    EXPECT_EQ(enc("/a", {OSCValue::int64(0x0102030405060708)}),
              (Bytes{0x2F, 0x61, 0, 0, 0x2C, 0x68, 0, 0, 1, 2, 3, 4, 5, 6, 7, 8}));
    // Three arguments: "," + 3 tags = 4 bytes of tag text, padded to 8.
    EXPECT_EQ(enc("/a", {OSCValue::int32(0), OSCValue::int32(0), OSCValue::int32(0)}).size(), 4u + 8u + 12u);
    // The encoder validates nothing: the address is written as given.
    EXPECT_EQ(enc("x").size(), 8u);
}

TEST(OSCCodec, NonAllocatingEncoderMatchesAndRefusesShortBuffers) {
    const std::vector<OSCValue> args{OSCValue::int32(7), OSCValue::string("hello")};
    const Bytes ref = OSCMessage::encode("/orv/load", args);
    uint8_t buf[64];
    ASSERT_EQ(OSCMessage::encodeInto(buf, "/orv/load", args), ref.size());
    EXPECT_EQ(Bytes(buf, buf + ref.size()), ref);
    uint8_t small[8];
    EXPECT_EQ(OSCMessage::encodeInto(small, "/orv/load", args), 0u);
}

TEST(OSCCodec, RoundTripsEveryKind) {
    const double nan = std::numeric_limits<double>::quiet_NaN();
    const std::vector<std::vector<OSCValue>> cases{
        {},
        {OSCValue::int32(std::numeric_limits<int32_t>::min()), OSCValue::int32(std::numeric_limits<int32_t>::max())},
        {OSCValue::float32(-0.25f), OSCValue::float32(std::numeric_limits<float>::infinity())},
        {OSCValue::float64(nan), OSCValue::float64(-1e300), OSCValue::float64(3.141592653589793)},
        {OSCValue::int64(std::numeric_limits<int64_t>::min()), OSCValue::int64(-1)},
        {OSCValue::string(""), OSCValue::string("abc"), OSCValue::string("abcd"), OSCValue::string("Grüße ♫ 𝄞")},
        {OSCValue::string("/Music/a track.mp3"), OSCValue::int32(1), OSCValue::float64(2.5), OSCValue::int64(9)},
    };
    for (const auto& args : cases) {
        const auto got = dec(enc("/orv/x", args));
        ASSERT_EQ(got.size(), 1u);
        EXPECT_EQ(got[0].address, "/orv/x");
        EXPECT_EQ(got[0].args, args);
    }
    // "/" alone is an address.
    ASSERT_EQ(dec(enc("/")).size(), 1u);
}

TEST(OSCCodec, ReadsExtraTags) {
    const Bytes body{0x11, 0x22, 0x33, 0x44, 0x55, 0x66, 0x77, 0x88, 'h', 'i', 0, 0};
    const auto got = dec(raw("/t", ",TFNtS", body));
    ASSERT_EQ(got.size(), 1u);
    ASSERT_EQ(got[0].args.size(), 5u);
    EXPECT_EQ(got[0].args[0], OSCValue::int32(1));
    EXPECT_EQ(got[0].args[1], OSCValue::int32(0));
    EXPECT_EQ(got[0].args[2], OSCValue::int32(0));
    EXPECT_EQ(got[0].args[3], OSCValue::int64(0x1122334455667788));
    EXPECT_EQ(got[0].args[4], OSCValue::string("hi"));
}

TEST(OSCCodec, DropsMalformedMessages) {
    const Bytes fourInts{0, 0, 0, 1, 0, 0, 0, 2};
    const std::vector<std::pair<const char*, Bytes>> cases{
        {"empty datagram", {}},
        {"unknown tag b", raw("/a", ",ib", cat({fourInts, {0, 0, 0, 0}}))},
        {"unknown tag c", raw("/a", ",c", fourInts)},
        {"int with 2 bytes left", raw("/a", ",i", {0, 1})},
        {"double with 4 bytes left", raw("/a", ",d", {0, 0, 0, 1})},
        {"address without slash", raw("a", ",", {})},
        {"no type tags", [] { Bytes b; OSCMessage::appendString("/a", b); return b; }()},
        {"tags without comma", raw("/a", "i", {0, 0, 0, 1})},
        {"unterminated address", Bytes{'/', 'a', 'b', 'c'}},
        {"zero byte last but padding runs past the end", Bytes{'/', 'a', 'b', 'c', 0}},
        {"unterminated string argument", raw("/a", ",s", {'a', 'b', 'c', 'd'})},
        {"invalid UTF-8 in address", raw("/\xC3(", ",", {})},
        {"invalid UTF-8 in argument", raw("/a", ",s", {0xFF, 0, 0, 0})},
        {"overlong UTF-8", raw("/a", ",s", {0xC0, 0xAF, 0, 0})},
        {"surrogate in UTF-8", raw("/a", ",s", {0xED, 0xA0, 0x80, 0})},
        {"truncated UTF-8 sequence", raw("/a", ",s", {'x', 0xE2, 0x82, 0})},
    };
    for (const auto& [name, bytes] : cases) EXPECT_TRUE(dec(bytes).empty()) << name;
    // Bytes after the last argument are ignored; padding bytes are not examined.
    auto extra = cat({enc("/a", {OSCValue::int32(5)}), {9, 9, 9, 9}});
    ASSERT_EQ(dec(extra).size(), 1u);
    Bytes dirtyPad{'/', 'a', 0, 7, ',', 0, 0, 0};
    EXPECT_EQ(dec(dirtyPad).size(), 1u);
}

TEST(OSCCodec, ReadStringMovesPastPadding) {
    Bytes b;
    OSCMessage::appendString("abcd", b);
    OSCMessage::appendString("", b);
    OSCMessage::appendString("xyz", b);
    ASSERT_EQ(b.size(), 8u + 4u + 4u);
    size_t off = 0;
    EXPECT_EQ(OSCMessage::readString(b.data(), b.size(), off), "abcd");
    EXPECT_EQ(off, 8u);
    EXPECT_EQ(OSCMessage::readString(b.data(), b.size(), off), "");
    EXPECT_EQ(OSCMessage::readString(b.data(), b.size(), off), "xyz");
    EXPECT_EQ(off, b.size());
    EXPECT_FALSE(OSCMessage::readString(b.data(), b.size(), off));  // at the end
}

TEST(OSCCodec, DecodesBundles) {
    const Bytes a = enc("/a", {OSCValue::int32(1)}), b = enc("/b"), c = enc("/c"), d = enc("/d");
    const auto addresses = [](const std::vector<OSCMessage>& ms) {
        std::string s;
        for (const auto& m : ms) s += m.address;
        return s;
    };
    const Bytes nested = cat({bundleHeader(), sized(b), sized(c)});
    EXPECT_EQ(addresses(dec(cat({bundleHeader(), sized(a), sized(nested), sized(d)}))), "/a/b/c/d");
    EXPECT_TRUE(dec(bundleHeader()).empty());
    EXPECT_TRUE(dec(cat({bundleHeader(), Bytes{0, 0, 0, 0}, sized(a)})).empty());  // zero size ends it
    // An element that overruns ends the bundle and keeps what came before.
    Bytes overrun = cat({bundleHeader(), sized(a), Bytes{0, 0, 0x10, 0}, b});
    EXPECT_EQ(addresses(dec(overrun)), "/a");
    // A malformed element adds nothing but does not end the bundle.
    EXPECT_EQ(addresses(dec(cat({bundleHeader(), sized(raw("/x", ",b", {})), sized(d)}))), "/d");
    // A huge size that would wrap a 32-bit position.
    EXPECT_EQ(addresses(dec(cat({bundleHeader(), sized(a), Bytes{0xFF, 0xFF, 0xFF, 0xFF}}))), "/a");
    // Only "#bundle" is compared; the eighth byte may be anything.
    Bytes odd = cat({bundleHeader(), sized(a)});
    odd[7] = 'X';
    EXPECT_EQ(addresses(dec(odd)), "/a");
    // Trailing 1-3 bytes after the last element end the bundle quietly.
    EXPECT_EQ(addresses(dec(cat({bundleHeader(), sized(a), Bytes{0, 0}}))), "/a");
}

TEST(OSCCodec, DeepBundleNestingIsBoundedByTheDatagram) {
    Bytes inner = enc("/deep");
    for (int k = 0; k < 2000; ++k) inner = cat({bundleHeader(), sized(inner)});
    const auto got = dec(inner);
    ASSERT_EQ(got.size(), 1u);
    EXPECT_EQ(got[0].address, "/deep");
}

TEST(OSCCodec, AccessorsNeverConvertBetweenTextAndNumber) {
    EXPECT_EQ(OSCValue::int32(-5).doubleValue(), -5.0);
    EXPECT_EQ(OSCValue::int64(1LL << 40).doubleValue(), double(1LL << 40));
    EXPECT_EQ(OSCValue::float32(0.5f).doubleValue(), 0.5);
    EXPECT_FALSE(OSCValue::string("5").doubleValue());
    EXPECT_FALSE(OSCValue::int32(5).stringValue());
    EXPECT_EQ(OSCValue::string("x").stringValue(), "x");
}
