#include "serato/rane_library_decoder.h"

#include "test_util.h"

#include <gtest/gtest.h>

namespace plindo::serato {
namespace {

namespace L = RaneLibraryDecoder;
using testing::Bytes;
using testing::cat;

std::optional<L::Event> run(uint8_t type, const Bytes& payload) { return L::decode(L::packFrame(type, payload)); }

TEST(RaneLibraryDecoder, SelfTestPasses) {
    EXPECT_TRUE(L::selfTest().empty());
    EXPECT_EQ(L::describe(L::decode(Bytes{0xF0, 0xF7})), "nil");
}

TEST(RaneLibraryDecoder, DecodesEachFrameTypeFromItsPayload) {
    const Bytes title = L::utf16Field("Night Moves", 256);
    const Bytes artist = L::utf16Field("Kai", 104);
    const struct { uint8_t type; Bytes payload; std::optional<L::Event> expected; } cases[] = {
        {0x24, cat({{7}, title, artist}), L::Row{7, "Night Moves", "Kai"}},
        {0x24, cat({{7}, title, Bytes(43, 0)}), L::Row{7, "Night Moves", ""}},  // 300 bytes: no artist
        {0x24, cat({{7}, Bytes(255, 0x41)}), std::nullopt},                     // 256 bytes
        {0x22, cat({{0}, L::utf16Field("Dub", 128)}), L::Crate{"Dub"}},
        {0x22, cat({{0}, L::utf16Field("   ", 128)}), std::nullopt},
        {0x22, cat({{0}, L::utf16Field("Dub\n", 128)}), L::Crate{"Dub\n"}},
        {0x22, {0, 0x41, 0}, std::nullopt},  // shorter than 4
        {0x23, {0x03, 0x00, 0x01, 0x00, 0x00, 0x00, 0x02, 0x5E}, L::Cursor{3, 1, 24066}},
        {0x23, {0x03, 0x00, 0x01, 0x00, 0x00, 0x00, 0x02}, std::nullopt},
        {0x20, {0x05, 0xAA, 0x34, 0x12, 0xBB, 0xCC, 0x78, 0x56}, L::CrateCursor{5, 0x1234, 0x5678}},
        {0x21, cat({{0x02, 0x09, 0xFF}, L::utf16Field("House", 20)}), L::CrateRow{2, 9, "House"}},
        {0x21, {0x02, 0x09, 0x00, 0x41}, std::nullopt},
        {0x25, cat({{1, 0x10, 0x27, 0, 0}, {'1', 0, '2', 0, 'B', 0, 'm', 0, 'X', 0}}), L::RowExtra{1, 10000, "12Bm"}},
        {0x25, {1, 0x10, 0x27, 0, 0, 'A', 0, 0}, std::nullopt},
        {0x26, cat({{0}, L::utf16Field("Dub", 128)}), std::nullopt},
        {0x1F, cat({{0}, L::utf16Field("Dub", 128)}), std::nullopt},
    };
    for (const auto& c : cases)
        EXPECT_EQ(run(c.type, c.payload), c.expected) << "type " << int(c.type) << " size " << c.payload.size();
}

TEST(RaneLibraryDecoder, ReadsTitlesToTheirZeroUnitOrTheirWholeField) {
    std::string full(128, 'x');
    EXPECT_EQ(run(0x24, cat({{1}, L::utf16Field(full, 256)})), (L::Event{L::Row{1, full, ""}}));

    Bytes field = L::utf16Field("Hi", 256);
    field[10] = 'Z';  // after the zero unit: not part of the title
    EXPECT_EQ(run(0x24, cat({{1}, field})), (L::Event{L::Row{1, "Hi", ""}}));

    // Characters beyond the basic plane travel as surrogate pairs.
    EXPECT_EQ(run(0x22, cat({{0}, L::utf16Field("\xF0\x9F\x8E\xB5 Mix", 40)})),
              (L::Event{L::Crate{"\xF0\x9F\x8E\xB5 Mix"}}));
}

TEST(RaneLibraryDecoder, RefusesMalformedFrames) {
    const Bytes good = L::packFrame(0x22, cat({{0}, L::utf16Field("Dub", 16)}));
    ASSERT_TRUE(L::decode(good));
    const auto changed = [&](size_t at, uint8_t value) {
        Bytes b = good;
        b[at] = value;
        return b;
    };
    Bytes shortByOne(good.begin(), good.end() - 2);
    shortByOne.push_back(0xF7);
    Bytes longByOne = good;
    longByOne.insert(longByOne.end() - 1, 0x00);
    for (const Bytes& bad : {changed(14, good[14] | 0x80), shortByOne, longByOne, changed(6, 0x06), changed(5, 0x1B),
                             changed(good.size() - 1, 0x00), Bytes(good.begin(), good.begin() + 12)})
        EXPECT_FALSE(L::decode(bad));
    EXPECT_EQ(L::decode(changed(4, 0x7F)), L::decode(good));  // any device byte
}

TEST(RaneLibraryDecoder, Utf16TextStaysInsideItsBytesAndRepairs) {
    const Bytes b{'A', 0, ' ', 0, 0x00, 0xD8, 'B', 0, '\t', 0, 'C'};
    EXPECT_EQ(L::utf16Text(b, 0, 100),
              "A \xEF\xBF\xBD"
              "B");                          // lone surrogate → U+FFFD; odd byte ignored
    EXPECT_EQ(L::utf16Text(b, 6, 11), "B");  // trailing tab trimmed
    EXPECT_EQ(L::utf16Text(b, 9, 3), "");
    EXPECT_EQ(L::utf16Text(b, 50, 60), "");
    const Bytes spaced{0xA0, 0, 'x', 0, 0x00, 0x30, '\n', 0};  // no-break space and ideographic space trimmed
    EXPECT_EQ(L::utf16Text(spaced, 0, 8), "x\xE3\x80\x80\n");
}

TEST(RaneLibraryDecoder, PackFrameRefusesBodiesTheLengthFieldCannotHold) {
    EXPECT_TRUE(L::packFrame(0x22, Bytes(14335, 1)).size() > 0);
    EXPECT_TRUE(L::packFrame(0x22, Bytes(14340, 1)).empty());
}

}  // namespace
}  // namespace plindo::serato
