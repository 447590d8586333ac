#include "serato/serato_return.h"

#include "test_util.h"

#include <gtest/gtest.h>

#include <cmath>
#include <string>
#include <vector>

namespace plindo::serato::SeratoReturn {
namespace {

using B = std::vector<uint8_t>;
using testing::framedText;
using testing::rane;
const B& kMarker = testing::kSongInfoMarker;

TEST(SeratoReturn, SelfTestPasses) { EXPECT_EQ(selfTest(), std::vector<std::string>{}); }

TEST(SeratoReturn, TimeInfoNeedsItsExactShape) {
    const B good{0xF0, 0x00, 0x20, 0x7F, 0x02, 0x04, 0x08, 0x01, 0x02, 0x03, 0x04, 0x05, 0x06, 0x07, 0xF7};
    ASSERT_EQ(decodeTimeInfo(good), (TimeInfo{2, 4, 0x1234567}));
    struct Mutation { const char* name; size_t at; uint8_t value; };
    for (const auto& m : {Mutation{"deck 0", 4, 0}, Mutation{"deck 3", 4, 3}, Mutation{"byte 6", 6, 9},
                          Mutation{"nibble 0x10", 9, 0x10}, Mutation{"header", 2, 0x21}, Mutation{"end", 14, 0xF6}}) {
        B bad = good;
        bad[m.at] = m.value;
        EXPECT_FALSE(decodeTimeInfo(bad)) << m.name;
    }
    B longer = good;
    longer.insert(longer.begin() + 13, 0x00);
    EXPECT_FALSE(decodeTimeInfo(longer));
    EXPECT_FALSE(decodeTimeInfo(B(good.begin(), good.end() - 1)));
    EXPECT_FALSE(decodeTimeInfo(B{}));
}

TEST(SeratoReturn, RaneFramesUnpackOnlyWhenTheirLengthAndSeptetsAreSound) {
    EXPECT_TRUE(isRaneFrame(B{0xF0, 0x00, 0x00, 0x17, 0xAA, 0xBB, 0xCC, 0xDD}));
    EXPECT_FALSE(isRaneFrame(B{0xF0, 0x00, 0x00, 0x17, 0xAA, 0xBB, 0xCC}));

    const B payload{0x10, 0x80, 0xFF, 0x00, 0x7F, 0x01, 0x02};
    const B frame = rane(3, 0x21, payload);
    const auto f = unpackRaneFrame(frame);
    ASSERT_TRUE(f);
    EXPECT_EQ(f->device, 3);
    EXPECT_EQ(f->type, 0x21);
    EXPECT_EQ(f->payload, payload);  // 8 septets give exactly 7 bytes

    B shortBy1(frame.begin(), frame.end() - 2);
    shortBy1.push_back(0xF7);
    EXPECT_FALSE(unpackRaneFrame(shortBy1));
    B highBit = frame;
    highBit[13] |= 0x80;
    EXPECT_FALSE(unpackRaneFrame(highBit));
    B lengthOff = frame;
    lengthOff[11] += 1;
    EXPECT_FALSE(unpackRaneFrame(lengthOff));

    const B oneSeptet{0xF0, 0x00, 0x00, 0x17, 0x00, 0x25, 0x05, 0x09, 0, 0, 0, 1, 0x55, 0xF7};
    ASSERT_TRUE(unpackRaneFrame(oneSeptet));
    EXPECT_TRUE(unpackRaneFrame(oneSeptet)->payload.empty());
    // Length bytes with their top bit set cannot make the decoder read past the message.
    const B hugeLength{0xF0, 0x00, 0x00, 0x17, 0x00, 0x25, 0x05, 0x09, 0, 0, 0xFF, 0xFF, 0xF7};
    EXPECT_FALSE(unpackRaneFrame(hugeLength));
}

TEST(SeratoReturn, PlatterRecordIsLittleEndianAndNeedsFifteenBytes) {
    B p{1, 0x10, 0x27, 0, 0, 0x20, 0x4E, 0, 0, 0xFF, 0x03, 0xF6, 0xFF, 0xFF, 0xFF};
    EXPECT_EQ(platterPosition(p), (PlatterPosition{1, 10000, 20000, 1023, -10}));
    p.push_back(0x55);
    EXPECT_TRUE(platterPosition(p));
    EXPECT_FALSE(platterPosition(B(p.begin(), p.begin() + 14)));
}

TEST(SeratoReturn, AssemblerGroupsSongsByTimeAndMarker) {
    SongInfoAssembler a;
    // Later messages fed with another deck stay on the deck of the song's first message.
    EXPECT_FALSE(a.feed(kMarker, 2, 10.0));
    EXPECT_EQ(a.feed(framedText("Title"), 1, 10.01), (SongInfo{2, 0, "Title"}));
    EXPECT_FALSE(a.feed(kMarker, 1, 10.02));
    EXPECT_EQ(a.feed(framedText("  Artist\n"), 1, 10.03), (SongInfo{2, 1, "Artist"}));
    EXPECT_EQ(a.feed(framedText("/a/b.mp3"), 1, 10.04), (SongInfo{2, 7, "/a/b.mp3"}));  // no marker needed
    EXPECT_FALSE(a.feed(framedText("/a/b.mp3"), 1, 10.05));                               // a repeat

    // A gap of more than 0.05 s clears the marker.
    EXPECT_FALSE(a.feed(kMarker, 1, 20.0));
    EXPECT_FALSE(a.feed(framedText("Late"), 1, 20.06));
    // Marker + empty text stores an empty title; the next text is then the artist.
    EXPECT_FALSE(a.feed(kMarker, 1, 30.0));
    EXPECT_FALSE(a.feed(B{0xF0, 0xF7}, 1, 30.01));
    EXPECT_FALSE(a.feed(kMarker, 1, 30.02));
    EXPECT_EQ(a.feed(framedText("Who"), 1, 30.03), (SongInfo{1, 1, "Who"}));
    // Invalid UTF-8 after a marker gives nothing and clears the marker.
    EXPECT_FALSE(a.feed(kMarker, 1, 40.0));
    EXPECT_FALSE(a.feed(B{0xF0, 0xC3, 0x28, 0xF7}, 1, 40.01));
    EXPECT_FALSE(a.feed(framedText("After"), 1, 40.02));
    // Unframed messages leave the state alone; a NaN time keeps the song.
    EXPECT_FALSE(a.feed(kMarker, 1, 50.0));
    EXPECT_FALSE(a.feed(B{0x01, 0x02}, 1, 90.0));
    EXPECT_EQ(a.feed(framedText("Still"), 1, std::nan("")), (SongInfo{1, 0, "Still"}));
}

TEST(SeratoReturn, AssemblerMemoryStaysBoundedInAnEndlessWindow) {
    SongInfoAssembler a;
    double t = 1.0;
    for (int i = 0; i < 2000; ++i) {
        a.feed(kMarker, 1, t += 0.01);
        a.feed(framedText("Title " + std::to_string(i)), 1, t += 0.01);
    }
    EXPECT_LE(a.emitted.size(), SongInfoAssembler::kMaxEmitted);
}

TEST(SeratoReturn, SingleMessageSongInfoFindsTheMarkerAndSlotWhereTheyMayBe) {
    const auto message = [](size_t lead, size_t filler, uint8_t slot, std::string_view text) {
        B m{0xF0};
        m.insert(m.end(), lead, 0x11);
        m.insert(m.end(), songInfoMarker.begin(), songInfoMarker.end());
        m.insert(m.end(), filler, 0x20);
        m.push_back(slot);
        m.insert(m.end(), text.begin(), text.end());
        m.push_back(0xF7);
        return m;
    };
    struct Case { const char* name; B m; std::optional<SongInfo> want; };
    const Case cases[] = {
        {"marker at 8", message(8, 0, 0, "Title"), SongInfo{2, 0, "Title"}},
        {"marker at 9", message(9, 0, 0, "Title"), std::nullopt},
        {"one filler", message(0, 1, 1, "Artist"), SongInfo{2, 1, "Artist"}},
        {"two fillers", message(0, 2, 7, "/p.mp3"), SongInfo{2, 7, "/p.mp3"}},
        {"three fillers", message(0, 3, 0, "Title"), std::nullopt},
        {"title after trimming", message(0, 0, 0, "  (Intro)  "), SongInfo{2, 0, "(Intro)"}},
        {"non-ASCII letter", message(0, 0, 0, "Ärger"), SongInfo{2, 0, "Ärger"}},
        {"digit", message(0, 0, 1, "2 Unlimited"), SongInfo{2, 1, "2 Unlimited"}},
        {"dash", message(0, 0, 0, "-remix"), std::nullopt},
        {"quote", message(0, 0, 0, "\"Quoted\""), std::nullopt},
        {"path without slash", message(0, 0, 7, "p.mp3"), std::nullopt},
        {"slot 2", message(0, 0, 2, "Album"), std::nullopt},
        {"invalid utf-8", message(0, 0, 0, "\xC3("), std::nullopt},
        {"text missing", message(0, 0, 0, ""), std::nullopt},
    };
    for (const auto& c : cases) EXPECT_EQ(decodeSongInfo(c.m, 2), c.want) << c.name;
    EXPECT_FALSE(decodeSongInfo(B{0xF0, 0xF7}, 1));
    EXPECT_FALSE(decodeSongInfo(B{0xF0, 0, 0x40, 0x03, 0x12, 0x04, 0, 0, 0x50, 0, 0xF7}, 1));  // no text
}

TEST(SeratoReturn, SeptetPackingRoundTripsThroughAFrame) {
    for (size_t n : {0u, 1u, 6u, 7u, 8u, 100u, 2170u}) {
        B payload(n);
        for (size_t i = 0; i < n; ++i) payload[i] = static_cast<uint8_t>(i * 37 + 11);
        const B packed = packSeptets(payload);
        EXPECT_EQ(packed.size(), (8 * n + 6) / 7) << n;
        const auto f = unpackRaneFrame(rane(0, 9, payload));
        ASSERT_TRUE(f) << n;
        EXPECT_EQ(f->payload, payload) << n;
    }
}

}  // namespace
}  // namespace plindo::serato::SeratoReturn
