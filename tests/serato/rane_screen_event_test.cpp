#include "serato/rane_screen_event.h"

#include "test_util.h"

#include <gtest/gtest.h>

namespace plindo::serato {
namespace {

using testing::Bytes;
using testing::cat;
using testing::screenField;
using E = RaneScreenEvent;

// Decodes a screen frame of `type` with the parameter byte `param` and the packed `rest`.
std::optional<E::Value> run(uint8_t type, uint8_t param, const Bytes& rest) {
    auto e = E::decode(testing::screenFrame(type, param, rest));
    if (!e) return std::nullopt;
    return e->value;
}

const Bytes kTimeRest{0x10, 0x27, 0x00, 0x00, 0x40, 0x9C, 0x00, 0x00, 0x64, 0x04, 0xD0, 0x07};  // 20 s, vel 2000

TEST(RaneScreenEvent, SelfTestPassesAndItsFrameDecodes) {
    EXPECT_TRUE(E::selfTest().empty());
    EXPECT_EQ(run(0x05, 1, kTimeRest), (E::Value{E::Time{1, 20.0, 2000.0}}));
    EXPECT_EQ(run(0x05, 5, kTimeRest), (E::Value{E::Time{5, 20.0, 2000.0}}));  // the deck is not range-checked
}

TEST(RaneScreenEvent, SeptetRoutinesRoundTripAndCount) {
    const Bytes nine{0x01, 0x10, 0x27, 0x00, 0x00, 0xAB, 0xCD, 0x7F, 0x80};
    EXPECT_EQ(E::packSeptets(kTimeRest).size(), 14u);
    EXPECT_EQ(E::unpackSeptets(E::packSeptets(kTimeRest)), kTimeRest);
    EXPECT_EQ(E::packSeptets(nine).size(), 11u);
    EXPECT_EQ(E::unpackSeptets(E::packSeptets(nine)), nine);
    for (uint8_t s : E::packSeptets(nine)) EXPECT_LT(s, 0x80);

    // Most significant first: 0x7F 0x7F → one byte 0xFF (7 + 7 bits, top 8 taken).
    EXPECT_EQ(E::unpackSeptetsMSB(Bytes{0x7F, 0x7F}), Bytes{0xFF});
    EXPECT_EQ(E::unpackSeptetsMSB(Bytes{0x40, 0x00}), Bytes{0x80});
    // A header byte carries bit 7 of the data bytes after it; a lone header gives nothing.
    EXPECT_EQ(E::unpackHeaderBits(Bytes{0x05, 0x01, 0x02, 0x03}), (Bytes{0x81, 0x02, 0x83}));
    EXPECT_EQ(E::unpackHeaderBits(Bytes{0x7F}), Bytes{});
    EXPECT_EQ(E::unpackHeaderBits(Bytes{0x01, 1, 2, 3, 4, 5, 6, 7, 0x01, 9}), (Bytes{0x81, 2, 3, 4, 5, 6, 7, 0x89}));
}

TEST(RaneScreenEvent, DecodesTimeFramesAndTheirEdges) {
    const auto time = [](const Bytes& t, size_t size) {
        Bytes p = cat({Bytes(4, 0), t});
        p.resize(size, 0);
        return p;
    };
    EXPECT_EQ(run(0x05, 0, time({0xFF, 0xFF, 0xFF, 0xFF}, 12)), (E::Value{E::Other{5, 0, 13}}));
    EXPECT_EQ(run(0x05, 0, time({0x00, 0x00, 0x00, 0x80}, 12)), (E::Value{E::Time{0, 0.0, 0.0}}));  // negative → 0
    EXPECT_EQ(run(0x05, 0, time({0xD0, 0x07, 0x00, 0x00}, 8)), (E::Value{E::Time{0, 1.0, 0.0}}));   // no velocity
    EXPECT_EQ(run(0x05, 0, time({0xD0, 0x07, 0, 0, 0, 0, 0xF6, 0xFF}, 12)), (E::Value{E::Time{0, 1.0, -10.0}}));
    EXPECT_EQ(run(0x05, 0, Bytes(7, 0)), std::nullopt);
}

TEST(RaneScreenEvent, DecodesTextAndBrowserFrames) {
    const Bytes title = screenField("  Ab \n", 20);
    EXPECT_EQ(run(0x01, 1, title), (E::Value{E::Title{1, "Ab"}}));
    EXPECT_EQ(run(0x02, 0, title), (E::Value{E::Artist{0, "Ab"}}));

    EXPECT_EQ(E::screenText(Bytes{0x82, 0x00, 0xC4, 0x00}, 1), "Ab");
    EXPECT_EQ(E::screenText(Bytes{0x82, 0x00, 0x01, 0x00, 0xC4, 0x00}, 1), "A");  // 0x0001 >> 1 = 0 ends it
    EXPECT_EQ(E::screenText(Bytes{0x82, 0x00, 0xC4}, 1), "A");                    // odd byte ignored

    EXPECT_EQ(run(0x22, 0, screenField("Techno", 40)), (E::Value{E::LibCrate{"Techno"}}));
    EXPECT_EQ(run(0x22, 0, Bytes{0x82}), std::nullopt);

    EXPECT_EQ(run(0x23, 3, Bytes{0x00, 0x05, 0xAA, 0xBB, 0x00, 0x07}), (E::Value{E::LibCursor{3, 5, 7}}));
    EXPECT_EQ(run(0x23, 3, Bytes{0x00, 0x05, 0xAA, 0xBB, 0x00}), std::nullopt);

    Bytes row = cat({screenField("Title", 256), screenField("Artist", 104)});
    EXPECT_EQ(run(0x24, 4, row), (E::Value{E::LibRow{4, "Title", "Artist"}}));
    row.pop_back();
    EXPECT_EQ(run(0x24, 4, row), std::nullopt);

    EXPECT_EQ(run(0x46, 1, Bytes{1, 2, 3}), (E::Value{E::Other{0x46, 1, 4}}));
    EXPECT_EQ(run(0x30, 2, Bytes{1, 2, 3}), (E::Value{E::Other{0x30, 2, 4}}));
    EXPECT_EQ(run(0x30, 2, Bytes{1, 2, 3}), (E::Value{E::Other{0x30, 2, 4}}));  // logged once, decoded always
}

TEST(RaneScreenEvent, RefusesWhatIsNoScreenFrame) {
    const Bytes good = testing::screenFrame(0x05, 1, kTimeRest);
    Bytes noEnd = good;
    noEnd.back() = 0x00;
    Bytes otherFamily = good;
    otherFamily[5] = 0x25;
    EXPECT_FALSE(E::decode(noEnd));
    EXPECT_FALSE(E::decode(otherFamily));
    EXPECT_FALSE(E::decode(Bytes(good.begin(), good.begin() + 12)));
    EXPECT_FALSE(E::decode(Bytes{}));
    // The smallest frame: no packed body at all.
    EXPECT_EQ(E::decode(Bytes{0xF0, 0, 0, 0x17, 0, 0x1B, 0x05, 0x01, 0, 3, 0, 1, 0x00, 0xF7}),
              (RaneScreenEvent{E::Title{0, ""}}));
    // With frame dumps on, long frames still decode.
    E::dumpFrames = true;
    EXPECT_TRUE(run(0x24, 0, Bytes(360, 0)));
    E::dumpFrames = false;
}

}  // namespace
}  // namespace plindo::serato
