#include "serato/rane_screen_event.h"

#include "test_util.h"

#include <gtest/gtest.h>

namespace plindo::serato {
namespace {

using testing::Bytes;
using testing::screenField;
using E = RaneScreenEvent;

// A screen frame whose payload is `payload`: its first byte is the parameter byte, the rest is packed.
Bytes screenFrame(uint8_t type, const Bytes& payload) {
    return testing::screenFrame(type, payload.at(0), std::span(payload).subspan(1));
}

std::optional<E::Value> run(uint8_t type, const Bytes& payload) {
    auto e = E::decode(screenFrame(type, payload));
    if (!e) return std::nullopt;
    return e->value;
}

const Bytes kTimePayload{0x01, 0x10, 0x27, 0x00, 0x00, 0x40, 0x9C, 0x00, 0x00, 0x64, 0x04, 0xD0, 0x07};

TEST(RaneScreenEvent, SelfTestPassesAndItsFrameDecodes) {
    EXPECT_TRUE(E::selfTest().empty());
    EXPECT_EQ(run(0x05, kTimePayload), (E::Value{E::Time{1, 20.0, 2000.0}}));
}

TEST(RaneScreenEvent, SeptetRoutinesRoundTripAndCount) {
    const Bytes twelve(kTimePayload.begin() + 1, kTimePayload.end());
    const Bytes nine{0x01, 0x10, 0x27, 0x00, 0x00, 0xAB, 0xCD, 0x7F, 0x80};
    EXPECT_EQ(E::packSeptets(twelve).size(), 14u);
    EXPECT_EQ(E::unpackSeptets(E::packSeptets(twelve)), twelve);
    EXPECT_EQ(E::packSeptets(nine).size(), 11u);
    EXPECT_EQ(E::unpackSeptets(E::packSeptets(nine)), nine);
    for (uint8_t s : E::packSeptets(nine)) EXPECT_LT(s, 0x80);

    // Most significant first: 0x7F 0x7F → one byte 0xFF (7 + 7 bits, top 8 taken).
    EXPECT_EQ(E::unpackSeptetsMSB(Bytes{0x7F, 0x7F}), Bytes{0xFF});
    EXPECT_EQ(E::unpackSeptetsMSB(Bytes{0x40, 0x00}), Bytes{0x80});
    // A header byte carries bit 7 of the data bytes after it; a lone header gives nothing.
    EXPECT_EQ(E::unpackHeaderBits(Bytes{0x05, 0x01, 0x02, 0x03}), (Bytes{0x81, 0x02, 0x83}));
    EXPECT_EQ(E::unpackHeaderBits(Bytes{0x7F}), Bytes{});
    Bytes groups{0x01, 1, 2, 3, 4, 5, 6, 7, 0x01, 9};
    EXPECT_EQ(E::unpackHeaderBits(groups), (Bytes{0x81, 2, 3, 4, 5, 6, 7, 0x89}));
}

TEST(RaneScreenEvent, DecodesTimeFramesAndTheirEdges) {
    const auto time = [](const Bytes& t, size_t size) {
        Bytes p{0x00, 0, 0, 0, 0};
        p.insert(p.end(), t.begin(), t.end());
        p.resize(size, 0);
        return p;
    };
    EXPECT_EQ(run(0x05, time({0xFF, 0xFF, 0xFF, 0xFF}, 13)), (E::Value{E::Other{5, 0, 13}}));
    EXPECT_EQ(run(0x05, time({0x00, 0x00, 0x00, 0x80}, 13)), (E::Value{E::Time{0, 0.0, 0.0}}));  // negative → 0
    EXPECT_EQ(run(0x05, time({0xD0, 0x07, 0x00, 0x00}, 9)), (E::Value{E::Time{0, 1.0, 0.0}}));   // no velocity
    Bytes neg = time({0xD0, 0x07, 0x00, 0x00}, 13);
    neg[11] = 0xF6;
    neg[12] = 0xFF;
    EXPECT_EQ(run(0x05, neg), (E::Value{E::Time{0, 1.0, -10.0}}));
    Bytes eight(8, 0);
    EXPECT_EQ(run(0x05, eight), std::nullopt);
    Bytes deckFive = kTimePayload;
    deckFive[0] = 5;
    EXPECT_EQ(run(0x05, deckFive), (E::Value{E::Time{5, 20.0, 2000.0}}));
}

TEST(RaneScreenEvent, DecodesTextAndBrowserFrames) {
    Bytes title{0x01};
    const Bytes t = screenField("  Ab \n", 20);
    title.insert(title.end(), t.begin(), t.end());
    EXPECT_EQ(run(0x01, title), (E::Value{E::Title{1, "Ab"}}));
    title[0] = 0;
    EXPECT_EQ(run(0x02, title), (E::Value{E::Artist{0, "Ab"}}));

    EXPECT_EQ(E::screenText(Bytes{0x82, 0x00, 0xC4, 0x00}, 1), "Ab");
    EXPECT_EQ(E::screenText(Bytes{0x82, 0x00, 0x01, 0x00, 0xC4, 0x00}, 1), "A");  // 0x0001 >> 1 = 0 ends it
    EXPECT_EQ(E::screenText(Bytes{0x82, 0x00, 0xC4}, 1), "A");                    // odd byte ignored

    Bytes crate{0x00};
    const Bytes c = screenField("Techno", 40);
    crate.insert(crate.end(), c.begin(), c.end());
    EXPECT_EQ(run(0x22, crate), (E::Value{E::LibCrate{"Techno"}}));
    EXPECT_EQ(run(0x22, Bytes{0x00, 0x82}), std::nullopt);

    EXPECT_EQ(run(0x23, Bytes{0x03, 0x00, 0x05, 0xAA, 0xBB, 0x00, 0x07}), (E::Value{E::LibCursor{3, 5, 7}}));
    EXPECT_EQ(run(0x23, Bytes{0x03, 0x00, 0x05, 0xAA, 0xBB, 0x00}), std::nullopt);

    Bytes row{0x04};
    const Bytes rt = screenField("Title", 256), ra = screenField("Artist", 104);
    row.insert(row.end(), rt.begin(), rt.end());
    row.insert(row.end(), ra.begin(), ra.end());
    ASSERT_EQ(row.size(), 361u);
    EXPECT_EQ(run(0x24, row), (E::Value{E::LibRow{4, "Title", "Artist"}}));
    row.pop_back();
    EXPECT_EQ(run(0x24, row), std::nullopt);

    EXPECT_EQ(run(0x46, Bytes{0x01, 1, 2, 3}), (E::Value{E::Other{0x46, 1, 4}}));
    EXPECT_EQ(run(0x30, Bytes{0x02, 1, 2, 3}), (E::Value{E::Other{0x30, 2, 4}}));
    EXPECT_EQ(run(0x30, Bytes{0x02, 1, 2, 3}), (E::Value{E::Other{0x30, 2, 4}}));  // logged once, decoded always
}

TEST(RaneScreenEvent, RefusesWhatIsNoScreenFrame) {
    Bytes good = screenFrame(0x05, kTimePayload);
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
    Bytes row(361, 0);
    EXPECT_TRUE(run(0x24, row));
    E::dumpFrames = false;
}

}  // namespace
}  // namespace plindo::serato
