#include "osc_bytes.h"

#include <gtest/gtest.h>

#include <limits>

using namespace plindo::link;
using namespace plindo::link::testing;

namespace {

Bytes enc(std::string_view address, std::vector<OSCValue> args = {}) { return OSCMessage::encode(address, args); }
std::vector<OSCMessage> dec(const Bytes& b) { return OSCMessage::decodePacket(b); }

Bytes cat(std::initializer_list<Bytes> parts) {
    Bytes out;
    for (const auto& p : parts) out.insert(out.end(), p.begin(), p.end());
    return out;
}

// A hand-written message: address, tag text and raw argument bytes.
Bytes raw(std::string_view address, std::string_view tags, const Bytes& body) {
    Bytes b;
    OSCMessage::appendString(address, b);
    OSCMessage::appendString(tags, b);
    b.insert(b.end(), body.begin(), body.end());
    return b;
}

std::string addresses(const std::vector<OSCMessage>& ms) {
    std::string s;
    for (const auto& m : ms) s += m.address;
    return s;
}

}  // namespace

TEST(OSCCodec, EncodesExactBytes) {
    const Bytes head{0x2F, 0x61, 0, 0, 0x2C};
    const std::vector<std::pair<std::vector<OSCValue>, Bytes>> cases{
        {{}, {0, 0, 0}},
        {{I(1)}, {0x69, 0, 0, 0, 0, 0, 1}},
        {{I(-2)}, {0x69, 0, 0, 0xFF, 0xFF, 0xFF, 0xFE}},
        {{OSCValue::float32(1.0f)}, {0x66, 0, 0, 0x3F, 0x80, 0, 0}},
        {{S("")}, {0x73, 0, 0, 0, 0, 0, 0}},
        {{D(1.0)}, {0x64, 0, 0, 0x3F, 0xF0, 0, 0, 0, 0, 0, 0}},
        {{OSCValue::int64(0x0102030405060708)}, {0x68, 0, 0, 1, 2, 3, 4, 5, 6, 7, 8}},
    };
    for (const auto& [args, tail] : cases) EXPECT_EQ(enc("/a", args), cat({head, tail})) << args.size();
    EXPECT_EQ(enc("/abc").size(), 8u + 4u);                         // a 4-byte address takes 8 bytes
    EXPECT_EQ(enc("/a", {I(0), I(0), I(0)}).size(), 4u + 8u + 12u);  // ",iii" padded to 8
    EXPECT_EQ(enc("x").size(), 8u);                                  // the encoder validates nothing

    // The non-allocating encoder writes the same bytes and refuses a buffer too short.
    const std::vector<OSCValue> args{I(7), S("hello")};
    const Bytes ref = enc("/orv/load", args);
    uint8_t buf[64], small[8];
    ASSERT_EQ(OSCMessage::encodeInto(buf, "/orv/load", args), ref.size());
    EXPECT_EQ(Bytes(buf, buf + ref.size()), ref);
    EXPECT_EQ(OSCMessage::encodeInto(small, "/orv/load", args), 0u);
}

TEST(OSCCodec, RoundTripsEveryKindAndReadsExtraTags) {
    const std::vector<std::vector<OSCValue>> cases{
        {},
        {I(std::numeric_limits<int32_t>::min()), I(std::numeric_limits<int32_t>::max())},
        {OSCValue::float32(-0.25f), OSCValue::float32(std::numeric_limits<float>::infinity())},
        {D(std::numeric_limits<double>::quiet_NaN()), D(-1e300), D(3.141592653589793)},
        {OSCValue::int64(std::numeric_limits<int64_t>::min()), OSCValue::int64(-1)},
        {S(""), S("abc"), S("abcd"), S("Grüße ♫ 𝄞"), I(1), D(2.5)},
    };
    for (const auto& args : cases) {
        const auto got = dec(enc("/orv/x", args));
        ASSERT_EQ(got.size(), 1u);
        EXPECT_EQ(got[0].address, "/orv/x");
        EXPECT_EQ(got[0].args, args);
    }
    ASSERT_EQ(dec(enc("/")).size(), 1u);

    // T, F and N carry no bytes; t is eight.
    const auto got = dec(raw("/t", ",TFNtS", {0x11, 0x22, 0x33, 0x44, 0x55, 0x66, 0x77, 0x88, 'h', 'i', 0, 0}));
    ASSERT_EQ(got.size(), 1u);
    EXPECT_EQ(got[0].args, (std::vector<OSCValue>{I(1), I(0), I(0), OSCValue::int64(0x1122334455667788), S("hi")}));

    // readString steps over the padding and stops at the end.
    Bytes b;
    for (const char* s : {"abcd", "", "xyz"}) OSCMessage::appendString(s, b);
    ASSERT_EQ(b.size(), 16u);
    size_t off = 0;
    EXPECT_EQ(OSCMessage::readString(b.data(), b.size(), off), "abcd");
    EXPECT_EQ(off, 8u);
    EXPECT_EQ(OSCMessage::readString(b.data(), b.size(), off), "");
    EXPECT_EQ(OSCMessage::readString(b.data(), b.size(), off), "xyz");
    EXPECT_FALSE(OSCMessage::readString(b.data(), b.size(), off));

    // Accessors never convert between text and number.
    EXPECT_EQ(OSCValue::int64(1LL << 40).doubleValue(), double(1LL << 40));
    EXPECT_EQ(OSCValue::float32(0.5f).doubleValue(), 0.5);
    EXPECT_FALSE(S("5").doubleValue());
    EXPECT_FALSE(I(5).stringValue());
}

TEST(OSCCodec, DropsMalformedMessages) {
    const Bytes twoInts{0, 0, 0, 1, 0, 0, 0, 2};
    const std::vector<std::pair<const char*, Bytes>> cases{
        {"empty datagram", {}},
        {"unknown tag b", raw("/a", ",ib", cat({twoInts, {0, 0, 0, 0}}))},
        {"unknown tag c", raw("/a", ",c", twoInts)},
        {"int with 2 bytes left", raw("/a", ",i", {0, 1})},
        {"double with 4 bytes left", raw("/a", ",d", {0, 0, 0, 1})},
        {"address without slash", raw("a", ",", {})},
        {"no type tags", [] { Bytes b; OSCMessage::appendString("/a", b); return b; }()},
        {"tags without comma", raw("/a", "i", {0, 0, 0, 1})},
        {"unterminated address", Bytes{'/', 'a', 'b', 'c'}},
        {"padding runs past the end", Bytes{'/', 'a', 'b', 'c', 0}},
        {"unterminated string argument", raw("/a", ",s", {'a', 'b', 'c', 'd'})},
        {"invalid UTF-8 in address", raw("/\xC3(", ",", {})},
        {"invalid UTF-8 in argument", raw("/a", ",s", {0xFF, 0, 0, 0})},
        {"overlong UTF-8", raw("/a", ",s", {0xC0, 0xAF, 0, 0})},
        {"surrogate in UTF-8", raw("/a", ",s", {0xED, 0xA0, 0x80, 0})},
        {"truncated UTF-8 sequence", raw("/a", ",s", {'x', 0xE2, 0x82, 0})},
    };
    for (const auto& [name, bytes] : cases) EXPECT_TRUE(dec(bytes).empty()) << name;
    // Bytes after the last argument are ignored; padding bytes are not examined.
    EXPECT_EQ(dec(cat({enc("/a", {I(5)}), {9, 9, 9, 9}})).size(), 1u);
    EXPECT_EQ(dec(Bytes{'/', 'a', 0, 7, ',', 0, 0, 0}).size(), 1u);
}

TEST(OSCCodec, DecodesBundlesAndSurvivesHostileOnes) {
    const Bytes a = enc("/a", {I(1)}), b = enc("/b"), c = enc("/c"), d = enc("/d");
    const Bytes empty = bundle({});
    EXPECT_EQ(addresses(dec(bundle({a, bundle({b, c}), d}))), "/a/b/c/d");
    EXPECT_TRUE(dec(empty).empty());
    EXPECT_TRUE(dec(cat({empty, Bytes{0, 0, 0, 0}, sized(a)})).empty());            // zero size ends it
    EXPECT_EQ(addresses(dec(cat({bundle({a}), Bytes{0, 0, 0x10, 0}, b}))), "/a");    // overrun keeps the head
    EXPECT_EQ(addresses(dec(bundle({raw("/x", ",b", {}), d}))), "/d");               // a bad element is skipped
    EXPECT_EQ(addresses(dec(cat({bundle({a}), Bytes{0xFF, 0xFF, 0xFF, 0xFF}}))), "/a");  // would wrap 32 bits
    EXPECT_EQ(addresses(dec(cat({bundle({a}), Bytes{0, 0}}))), "/a");                // 1-3 trailing bytes
    Bytes odd = bundle({a});
    odd[7] = 'X';  // only "#bundle" is compared
    EXPECT_EQ(addresses(dec(odd)), "/a");

    // Deep nesting is bounded by the datagram, not the stack.
    Bytes inner = enc("/deep");
    for (int k = 0; k < 2000; ++k) inner = bundle({inner});
    EXPECT_EQ(addresses(dec(inner)), "/deep");
}
