#include "motion/dynamo_gate.h"

#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstring>
#include <functional>
#include <limits>
#include <string_view>

using namespace plindo::motion;

namespace {

// Writes records the way the phone does: little-endian, f32 numbers, u8-length strings.
struct Rec {
    std::vector<std::uint8_t> b;

    Rec& u8(std::uint8_t v) {
        b.push_back(v);
        return *this;
    }
    Rec& u16(std::uint16_t v) { return u8(v & 0xFF).u8(v >> 8); }
    Rec& u32(std::uint32_t v) { return u16(v & 0xFFFF).u16(v >> 16); }
    Rec& f32(float v) { return u32(std::bit_cast<std::uint32_t>(v)); }
    Rec& str(std::string_view s) {
        u8(static_cast<std::uint8_t>(s.size()));
        b.insert(b.end(), s.begin(), s.end());
        return *this;
    }
    Rec& mark(float x, float y, float age, float da, std::uint8_t bits, std::uint8_t src) {
        return f32(x).f32(y).f32(age).f32(da).u8(bits).u8(src);
    }
    Rec& fired(float age, std::string_view label) {
        f32(age).str(label);
        for (int i = 0; i < 6; ++i) f32(static_cast<float>(i + 1));
        return *this;
    }
    // Two empty strings and an outline: what follows the fixed part in most records here.
    Rec& blankHead() { return str("").str("").u8(0).u8(0).f32(15).f32(7); }

    // The fixed part with every f32 set to its position in the record plus 0.25, so a number read into the
    // wrong member shows up; flags set to 1, bit fields 0, source "spin".
    static Rec fixed() {
        Rec r;
        r.u32(0x44594E31).u8(1).u8(1);
        float n = 1;
        const auto next = [&](int count) -> Rec& {
            while (count--) r.f32(n++ + 0.25f);
            return r;
        };
        next(3 + 12 + 3).u8(0).u8(0);  // theta ... anchorCm; state and scenario bits
        next(13).u8(1);                // measDx ... cEstY; cEstValid
        next(3).u8(1);                 // pvtX, pvtY, pvtResidCm; pvtValid
        next(10).u8(0);                // tiltGravDeg ... c20Y; fit bits
        next(5).u8(1);                 // merPhaseDeg ... merBDeg; merValid
        next(4).u8(1).u8(1);           // accNowG ... accDropped; accValid, srcNow
        return r;
    }
    // The smallest record the decoder accepts: no points, roots, events or marks.
    static Rec minimal() { return fixed().blankHead().u8(0).u8(0).u8(0).u8(0).u16(0); }
};

constexpr double kNow = 100.0;

std::optional<DynamoFrame> decode(const Rec& r) { return DynamoGate::decode(r.b, kNow); }

}  // namespace

TEST(DynamoRecord, SmallestRecordDecodesAndAnyShorterOrMisnamedOneIsRejected) {
    Rec r = Rec::minimal();
    ASSERT_EQ(Rec::fixed().b.size(), 226u);
    ASSERT_EQ(r.b.size(), 244u);
    auto f = decode(r);
    ASSERT_TRUE(f);
    EXPECT_EQ(f->now, kNow);
    EXPECT_TRUE(f->latchWhy.empty() && f->origin.empty() && f->frame.empty() && f->fired.empty() && f->tail.empty());
    EXPECT_FALSE(f->roots || f->tailThinned);
    EXPECT_TRUE(f->outline.lengthCm == 15 && f->outline.widthCm == 7);
    for (size_t n = 0; n < r.b.size(); ++n) {
        EXPECT_FALSE(DynamoGate::decode(std::span(r.b.data(), n), kNow)) << "prefix of " << n << " bytes";
    }
    Rec bigEndian = r, flipped = r;
    std::memcpy(bigEndian.b.data(), "DYN1", 4);
    flipped.b[0] ^= 1;
    EXPECT_FALSE(decode(bigEndian));
    EXPECT_FALSE(decode(flipped));

    auto g = decode(Rec(r).u8(0xFF).u8(0x01).u32(0xDEADBEEF));
    ASSERT_TRUE(g) << "bytes after the record are ignored";
    EXPECT_TRUE(g->theta == f->theta && g->tail.empty());
}

TEST(DynamoRecord, FixedNumbersLandInTheMembersOfTheirName) {
    auto f = decode(Rec::minimal());
    ASSERT_TRUE(f);
#define AT(member) std::pair<const char*, double>{#member, f->member}
    const std::pair<const char*, double> inOrder[] = {
        AT(theta), AT(psiDeg), AT(dRhoCm), AT(tiltPlatter.dx), AT(tiltPlatter.dy), AT(tiltPlatter.deg),
        AT(tiltPlatter.conf), AT(tiltPhone.dx), AT(tiltPhone.dy), AT(tiltPhone.deg), AT(tiltPhone.conf),
        AT(tiltWorld.dx), AT(tiltWorld.dy), AT(tiltWorld.deg), AT(tiltWorld.conf), AT(chipX), AT(chipY),
        AT(anchorCm), AT(measDx), AT(measDy), AT(rateDeg), AT(windows), AT(perpNow), AT(headAxG), AT(headAyG),
        AT(omega), AT(alpha), AT(sigmaCm), AT(servedAngle), AT(cEstX), AT(cEstY), AT(pvtX), AT(pvtY), AT(pvtResidCm),
        AT(tiltGravDeg), AT(tiltGyroDeg), AT(wobbleG), AT(wobbleDeg), AT(lgsX), AT(lgsY), AT(lgsCond), AT(lgsResidG),
        AT(c20X), AT(c20Y), AT(merPhaseDeg), AT(merAmpUT), AT(merHardUT), AT(merADeg), AT(merBDeg), AT(accNowG),
        AT(accBodyG), AT(accWorldG), AT(accDropped),
    };
#undef AT
    for (size_t i = 0; i < std::size(inOrder); ++i) EXPECT_EQ(inOrder[i].second, i + 1.25) << inOrder[i].first;
    EXPECT_TRUE(f->cEstValid && f->pvtValid && f->merValid && f->accValid);
    EXPECT_TRUE(f->mode.turn == DynamoGate::Turn::stato && f->mode.feed == DynamoGate::Feed::live);
    EXPECT_EQ(f->srcNow, DynamoProbe::Source::spin);

    // Numbers pass through unjudged, widened exactly.
    Rec odd = Rec::minimal();
    const auto put = [&](size_t offset, float v) { std::memcpy(odd.b.data() + offset, &v, 4); };
    put(6, std::numeric_limits<float>::quiet_NaN());
    put(80, -std::numeric_limits<float>::infinity());
    put(88, 0.1f);
    auto g = decode(odd);
    ASSERT_TRUE(g);
    EXPECT_TRUE(std::isnan(g->theta));
    EXPECT_EQ(g->measDx, -std::numeric_limits<double>::infinity());
    EXPECT_EQ(g->rateDeg, static_cast<double>(0.1f));
}

TEST(DynamoRecord, BitFieldsFlagsAndEnumerationsDecodeWithFallbacks) {
    const auto with = [](size_t offset, std::uint8_t byte) {
        Rec r = Rec::minimal();
        r.b[offset] = byte;
        return decode(r).value();
    };
    // Each bit-field byte with one bit set at a time: the flags packed back in record order give that bit.
    const auto state = [](const DynamoFrame& f) {
        return f.anchorValid | f.latchValid << 1 | f.settling << 2 | f.beliefValid << 3 | f.spinning << 4 |
               f.liftNow << 5 | f.anchorHeld << 6;
    };
    const auto scenario = [](const DynamoFrame& f) { return f.scOld | f.scCls << 1 | f.scHold << 2 | f.scOther << 3; };
    const auto fit = [](const DynamoFrame& f) {
        return f.lgsSeparated | f.lgsValid << 1 | f.c20Valid << 2 | f.lgsCarries << 3;
    };
    for (int bit = 0; bit < 8; ++bit) {
        const auto b = static_cast<std::uint8_t>(1 << bit);
        EXPECT_EQ(state(with(78, b)), b & 0x7F) << "state bit " << bit;
        EXPECT_EQ(scenario(with(79, b)), b & 0x0F) << "scenario bit " << bit;
        EXPECT_EQ(fit(with(186, b)), b & 0x0F) << "fit bit " << bit;
    }

    using S = DynamoProbe::Source;
    using K = DeviceOutline::Kind;
    struct Case {
        size_t offset;
        std::uint8_t byte;
        std::function<bool(const DynamoFrame&)> holds;
    };
    const Case cases[] = {
        {4, 2, [](auto& f) { return f.mode.turn == DynamoGate::Turn::dynamo; }},
        {5, 2, [](auto& f) { return f.mode.feed == DynamoGate::Feed::lgs; }},
        {132, 2, [](auto& f) { return !f.cEstValid; }},  // a flag is set by exactly 1
        {224, 0xFF, [](auto& f) { return !f.accValid; }},
        {225, 2, [](auto& f) { return f.srcNow == S::push; }},
        {225, 9, [](auto& f) { return f.srcNow == S::none; }},
        {228, 1, [](auto& f) { return f.outline.kind == K::pad; }},  // the outline follows the two empty strings
        {228, 7, [](auto& f) { return f.outline.kind == K::phone; }},
        {229, 0, [](auto& f) { return f.outline.source == DeviceOutline::Source::gemeldet; }},
        {229, 2, [](auto& f) { return f.outline.source == DeviceOutline::Source::unbekannt; }},
        {241, 2, [](auto& f) { return !f.tailThinned; }},
    };
    for (const auto& c : cases) EXPECT_TRUE(c.holds(with(c.offset, c.byte))) << "byte " << c.offset << " = " << +c.byte;
}

TEST(DynamoRecord, ListsRootsAndAgesDecodeInRecordOrder) {
    Rec r = Rec::fixed();
    r.str("latched").str("phone-b").u8(3).u8(0).f32(2.5f).f32(1.5f);
    r.u8(2).f32(1).f32(2).f32(3).f32(4);
    r.u8(1).f32(10).f32(11).f32(12).f32(13).u8(0x05).f32(0.5f);
    r.u8(2).fired(0.25f, "shove").fired(0, "");
    r.u8(1).u16(2).mark(1, 2, 0, 0.5f, 0x02, 2).mark(3, 4, 1.5f, -1, 0x01, 7);

    auto f = decode(r);
    ASSERT_TRUE(f);
    EXPECT_EQ(f->latchWhy + "|" + f->origin, "latched|phone-b");
    EXPECT_TRUE(f->outline.kind == DeviceOutline::Kind::bud && f->outline.lengthCm == 2.5);
    ASSERT_EQ(f->frame.size(), 2u);
    EXPECT_EQ(f->frame[1].x, 3);
    ASSERT_TRUE(f->roots);
    EXPECT_TRUE(f->roots->ax == 10 && f->roots->by == 13 && f->roots->conf == 0.5);
    EXPECT_TRUE(f->roots->two && f->roots->arbitrary && !f->roots->provisional);
    ASSERT_EQ(f->fired.size(), 2u);
    EXPECT_TRUE(f->fired[0].t == 99.75 && f->fired[0].label == "shove" && f->fired[0].hdeg == 6);
    EXPECT_EQ(f->fired[1].t, kNow);
    EXPECT_TRUE(f->tailThinned);
    ASSERT_EQ(f->tail.size(), 2u);
    EXPECT_TRUE(f->tail[0].t == kNow && f->tail[0].lifted && !f->tail[0].scratching);
    EXPECT_EQ(f->tail[0].src, DynamoProbe::Source::push);
    EXPECT_TRUE(f->tail[1].t == kNow - 1.5 && f->tail[1].da == -1 && f->tail[1].scratching);
    EXPECT_EQ(f->tail[1].src, DynamoProbe::Source::none);

    // Only a presence byte of exactly 1 announces roots; any other reads nothing more.
    for (std::uint8_t presence : {0, 2, 0xFF}) {
        auto g = decode(Rec::fixed().blankHead().u8(0).u8(presence).u8(0).u8(0).u16(0));
        ASSERT_TRUE(g) << int(presence);
        EXPECT_FALSE(g->roots);
    }
}

TEST(DynamoRecord, CountsAndLengthsReachingPastTheEndRejectTheWholeRecord) {
    const auto tailCount = [](std::uint16_t n, int written) {
        Rec r = Rec::fixed().blankHead().u8(0).u8(0).u8(0).u8(0).u16(n);
        for (int i = 0; i < written; ++i) r.mark(0, 0, 0, 0, 0, 0);
        return r;
    };
    // The tail count is little-endian: 01 02 announces 513 marks.
    Rec le = tailCount(0x0201, 513);
    auto f = decode(le);
    ASSERT_TRUE(f);
    EXPECT_EQ(f->tail.size(), 513u);
    EXPECT_FALSE(decode(tailCount(0x0201, 512)));
    EXPECT_FALSE(decode(tailCount(0xFFFF, 0)));

    EXPECT_FALSE(decode(Rec::fixed().blankHead().u8(3).f32(1).f32(1).f32(2).f32(2).u8(0).u8(0).u8(0).u16(0)))
        << "points: the rest lands inside the third";
    EXPECT_FALSE(decode(Rec::fixed().blankHead().u8(0).u8(0).u8(255).fired(1, "x").u8(0).u16(0))) << "events";
    EXPECT_FALSE(decode(Rec::fixed().blankHead().u8(0).u8(1))) << "roots";
    EXPECT_FALSE(decode(Rec::fixed().u8(200).u8('a'))) << "string";
}

TEST(DynamoRecord, InvalidUtf8IsRepairedNotRejected) {
    Rec r = Rec::fixed();
    r.str("ok\xFF!").str("Dreh\xC3\xA4 \xE2\x82").u8(0).u8(0).f32(1).f32(1).u8(0).u8(0);
    r.u8(1).fired(0, "\xC0\xAF").u8(0).u16(0);
    auto f = decode(r);
    ASSERT_TRUE(f);
    EXPECT_EQ(f->latchWhy, "ok\xEF\xBF\xBD!");
    EXPECT_EQ(f->origin, "Dreh\xC3\xA4 \xEF\xBF\xBD");
    ASSERT_EQ(f->fired.size(), 1u);
    EXPECT_EQ(f->fired[0].label, "\xEF\xBF\xBD\xEF\xBF\xBD");
}

TEST(DynamoRecord, PaletteKnowsItsSixColoursAndFallsBackToWhite) {
    using RGB = std::array<double, 3>;
    EXPECT_EQ(DynamoGate::paletteRGB({0.2, 0.9, 1.0, 1}), (RGB{0.2, 0.9, 1.0}));
    EXPECT_EQ(DynamoGate::paletteRGB({0.2, 0.9, 1.0, 0.5}), (RGB{1, 1, 1})) << "only opaque colours match";
    EXPECT_EQ(DynamoGate::paletteRGB({0.3, 0.3, 0.3, 1}), (RGB{1, 1, 1}));
}
