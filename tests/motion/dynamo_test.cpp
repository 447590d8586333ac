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
    Rec& outline(std::uint8_t kind, std::uint8_t source, float len, float width) {
        return u8(kind).u8(source).f32(len).f32(width);
    }
    Rec& mark(float x, float y, float age, float da, std::uint8_t bits, std::uint8_t src) {
        return f32(x).f32(y).f32(age).f32(da).u8(bits).u8(src);
    }
    Rec& fired(float age, std::string_view label) {
        f32(age).str(label);
        for (int i = 0; i < 6; ++i) f32(static_cast<float>(i + 1));
        return *this;
    }

    // The fixed part with every f32 set to its position in the record plus 0.25, so a number read into the
    // wrong member shows up; flags set to 1, bit fields 0, source "spin".
    static Rec fixed() {
        Rec r;
        r.u32(0x44594E31).u8(1).u8(1);
        float n = 1;
        auto next = [&](int count) {
            for (int i = 0; i < count; ++i) r.f32(n++ + 0.25f);
        };
        next(3 + 12 + 3);  // theta, psiDeg, dRhoCm, three tilts, chipX, chipY, anchorCm
        r.u8(0).u8(0);     // state and scenario bits
        next(13);          // measDx ... cEstY
        r.u8(1);           // cEstValid
        next(3);           // pvtX, pvtY, pvtResidCm
        r.u8(1);           // pvtValid
        next(10);          // tiltGravDeg ... c20Y
        r.u8(0);           // fit bits
        next(5);           // merPhaseDeg ... merBDeg
        r.u8(1);           // merValid
        next(4);           // accNowG ... accDropped
        r.u8(1).u8(1);     // accValid, srcNow
        return r;
    }

    // The smallest record the decoder accepts.
    static Rec minimal() {
        Rec r = fixed();
        r.str("").str("").outline(0, 0, 15, 7).u8(0).u8(0).u8(0).u8(0).u16(0);
        return r;
    }
};

constexpr double kNow = 100.0;

std::optional<DynamoFrame> decode(const Rec& r) { return DynamoGate::decode(r.b, kNow); }

}  // namespace

TEST(DynamoRecord, SmallestRecordDecodesAndAnyShorterPrefixIsRejected) {
    Rec r = Rec::minimal();
    ASSERT_EQ(Rec::fixed().b.size(), 226u);
    ASSERT_EQ(r.b.size(), 244u);

    auto f = decode(r);
    ASSERT_TRUE(f);
    EXPECT_EQ(f->now, kNow);
    EXPECT_EQ(f->latchWhy, "");
    EXPECT_EQ(f->origin, "");
    EXPECT_TRUE(f->frame.empty());
    EXPECT_TRUE(f->fired.empty());
    EXPECT_TRUE(f->tail.empty());
    EXPECT_FALSE(f->roots);
    EXPECT_FALSE(f->tailThinned);
    EXPECT_EQ(f->outline.lengthCm, 15);
    EXPECT_EQ(f->outline.widthCm, 7);

    for (size_t n = 0; n < r.b.size(); ++n) {
        std::span<const std::uint8_t> prefix(r.b.data(), n);
        EXPECT_FALSE(DynamoGate::decode(prefix, kNow)) << "prefix of " << n << " bytes";
    }

    Rec longer = r;
    longer.u8(0xFF).u8(0x01).u32(0xDEADBEEF);
    auto g = decode(longer);
    ASSERT_TRUE(g);
    EXPECT_EQ(g->theta, f->theta);
    EXPECT_TRUE(g->tail.empty());
}

TEST(DynamoRecord, MagicMustBeLittleEndianDyn1) {
    Rec bigEndian = Rec::minimal();
    const std::uint8_t be[] = {0x44, 0x59, 0x4E, 0x31};
    std::memcpy(bigEndian.b.data(), be, 4);
    EXPECT_FALSE(decode(bigEndian));

    const std::uint8_t onlyMagic[] = {0x31, 0x4E, 0x59, 0x44};
    EXPECT_FALSE(DynamoGate::decode(onlyMagic, kNow));

    Rec off = Rec::minimal();
    off.b[0] ^= 1;
    EXPECT_FALSE(decode(off));
}

TEST(DynamoRecord, FixedNumbersLandInTheMembersOfTheirName) {
    auto f = decode(Rec::minimal());
    ASSERT_TRUE(f);
    struct Case {
        const char* name;
        double value;
        int position;  // 1-based position of the f32 in the record
    };
    const Case cases[] = {
        {"theta", f->theta, 1}, {"psiDeg", f->psiDeg, 2}, {"dRhoCm", f->dRhoCm, 3},
        {"tiltPlatter.dx", f->tiltPlatter.dx, 4}, {"tiltPlatter.conf", f->tiltPlatter.conf, 7},
        {"tiltPhone.dx", f->tiltPhone.dx, 8}, {"tiltPhone.dy", f->tiltPhone.dy, 9},
        {"tiltPhone.deg", f->tiltPhone.deg, 10}, {"tiltWorld.dx", f->tiltWorld.dx, 12},
        {"tiltWorld.conf", f->tiltWorld.conf, 15}, {"chipX", f->chipX, 16}, {"chipY", f->chipY, 17},
        {"anchorCm", f->anchorCm, 18}, {"measDx", f->measDx, 19}, {"measDy", f->measDy, 20},
        {"rateDeg", f->rateDeg, 21}, {"windows", f->windows, 22}, {"perpNow", f->perpNow, 23},
        {"headAxG", f->headAxG, 24}, {"headAyG", f->headAyG, 25}, {"omega", f->omega, 26},
        {"alpha", f->alpha, 27}, {"sigmaCm", f->sigmaCm, 28}, {"servedAngle", f->servedAngle, 29},
        {"cEstX", f->cEstX, 30}, {"cEstY", f->cEstY, 31}, {"pvtX", f->pvtX, 32}, {"pvtY", f->pvtY, 33},
        {"pvtResidCm", f->pvtResidCm, 34}, {"tiltGravDeg", f->tiltGravDeg, 35},
        {"tiltGyroDeg", f->tiltGyroDeg, 36}, {"wobbleG", f->wobbleG, 37}, {"wobbleDeg", f->wobbleDeg, 38},
        {"lgsX", f->lgsX, 39}, {"lgsY", f->lgsY, 40}, {"lgsCond", f->lgsCond, 41},
        {"lgsResidG", f->lgsResidG, 42}, {"c20X", f->c20X, 43}, {"c20Y", f->c20Y, 44},
        {"merPhaseDeg", f->merPhaseDeg, 45}, {"merAmpUT", f->merAmpUT, 46}, {"merHardUT", f->merHardUT, 47},
        {"merADeg", f->merADeg, 48}, {"merBDeg", f->merBDeg, 49}, {"accNowG", f->accNowG, 50},
        {"accBodyG", f->accBodyG, 51}, {"accWorldG", f->accWorldG, 52}, {"accDropped", f->accDropped, 53},
    };
    for (const auto& c : cases) EXPECT_EQ(c.value, c.position + 0.25) << c.name;
    EXPECT_TRUE(f->cEstValid);
    EXPECT_TRUE(f->pvtValid);
    EXPECT_TRUE(f->merValid);
    EXPECT_TRUE(f->accValid);
    EXPECT_EQ(f->mode.turn, DynamoGate::Turn::stato);
    EXPECT_EQ(f->mode.feed, DynamoGate::Feed::live);
    EXPECT_EQ(f->srcNow, DynamoProbe::Source::spin);

    // Numbers pass through unjudged, widened exactly.
    Rec odd = Rec::minimal();
    const float nan = std::numeric_limits<float>::quiet_NaN();
    const auto put = [&](size_t offset, float v) { std::memcpy(odd.b.data() + offset, &v, 4); };
    put(6, nan);
    put(80, -std::numeric_limits<float>::infinity());
    put(88, 0.1f);
    auto g = decode(odd);
    ASSERT_TRUE(g);
    EXPECT_TRUE(std::isnan(g->theta));
    EXPECT_EQ(g->measDx, -std::numeric_limits<double>::infinity());
    EXPECT_EQ(g->rateDeg, static_cast<double>(0.1f));
}

TEST(DynamoRecord, EnumerationsFlagsAndBitsDecodeWithFallbacks) {
    struct Case {
        const char* what;
        size_t offset;
        std::uint8_t byte;
        std::function<bool(const DynamoFrame&)> holds;
    };
    using S = DynamoProbe::Source;
    const Case cases[] = {
        {"turn 1", 4, 1, [](auto& f) { return f.mode.turn == DynamoGate::Turn::stato; }},
        {"turn 2", 4, 2, [](auto& f) { return f.mode.turn == DynamoGate::Turn::dynamo; }},
        {"feed 2", 5, 2, [](auto& f) { return f.mode.feed == DynamoGate::Feed::lgs; }},
        {"cEstValid 2", 132, 2, [](auto& f) { return !f.cEstValid; }},
        {"merValid 0xFF", 207, 0xFF, [](auto& f) { return !f.merValid; }},
        {"accValid 2", 224, 2, [](auto& f) { return !f.accValid; }},
        {"srcNow 2", 225, 2, [](auto& f) { return f.srcNow == S::push; }},
        {"srcNow 9", 225, 9, [](auto& f) { return f.srcNow == S::none; }},
        {"state 0x01", 78, 0x01, [](auto& f) { return f.anchorValid && !f.latchValid && !f.anchorHeld; }},
        {"state 0x02", 78, 0x02, [](auto& f) { return f.latchValid && !f.anchorValid; }},
        {"state 0x04", 78, 0x04, [](auto& f) { return f.settling && !f.beliefValid; }},
        {"state 0x08", 78, 0x08, [](auto& f) { return f.beliefValid && !f.spinning; }},
        {"state 0x10", 78, 0x10, [](auto& f) { return f.spinning && !f.liftNow; }},
        {"state 0x20", 78, 0x20, [](auto& f) { return f.liftNow && !f.anchorHeld; }},
        {"state 0x40", 78, 0x40, [](auto& f) { return f.anchorHeld && !f.anchorValid; }},
        {"state 0x80", 78, 0x80,
         [](auto& f) {
             return !f.anchorValid && !f.latchValid && !f.settling && !f.beliefValid && !f.spinning &&
                    !f.liftNow && !f.anchorHeld;
         }},
        {"scenario 0x01", 79, 0x01, [](auto& f) { return f.scOld && !f.scCls; }},
        {"scenario 0x02", 79, 0x02, [](auto& f) { return f.scCls && !f.scHold; }},
        {"scenario 0x04", 79, 0x04, [](auto& f) { return f.scHold && !f.scOther; }},
        {"scenario 0xF8", 79, 0xF8, [](auto& f) { return f.scOther && !f.scOld && !f.scCls && !f.scHold; }},
        {"fit 0x01", 186, 0x01, [](auto& f) { return f.lgsSeparated && !f.lgsValid; }},
        {"fit 0x02", 186, 0x02, [](auto& f) { return f.lgsValid && !f.c20Valid; }},
        {"fit 0x04", 186, 0x04, [](auto& f) { return f.c20Valid && !f.lgsCarries; }},
        {"fit 0xF8", 186, 0xF8, [](auto& f) { return f.lgsCarries && !f.lgsSeparated; }},
        // The outline starts right after the two empty strings.
        {"kind 1", 228, 1, [](auto& f) { return f.outline.kind == DeviceOutline::Kind::pad; }},
        {"kind 3", 228, 3, [](auto& f) { return f.outline.kind == DeviceOutline::Kind::bud; }},
        {"kind 7", 228, 7, [](auto& f) { return f.outline.kind == DeviceOutline::Kind::phone; }},
        {"source 0", 229, 0, [](auto& f) { return f.outline.source == DeviceOutline::Source::gemeldet; }},
        {"source 2", 229, 2, [](auto& f) { return f.outline.source == DeviceOutline::Source::unbekannt; }},
        {"tail flag 1", 241, 1, [](auto& f) { return f.tailThinned; }},
        {"tail flag 2", 241, 2, [](auto& f) { return !f.tailThinned; }},
    };
    for (const auto& c : cases) {
        Rec r = Rec::minimal();
        r.b[c.offset] = c.byte;
        auto f = decode(r);
        ASSERT_TRUE(f) << c.what;
        EXPECT_TRUE(c.holds(*f)) << c.what;
    }
}

TEST(DynamoRecord, ListsRootsAndAgesDecodeInRecordOrder) {
    Rec r = Rec::fixed();
    r.str("latched").str("phone-b");
    r.outline(3, 0, 2.5f, 1.5f);
    r.u8(2).f32(1).f32(2).f32(3).f32(4);
    r.u8(1).f32(10).f32(11).f32(12).f32(13).u8(0x05).f32(0.5f);
    r.u8(2).fired(0.25f, "shove").fired(0, "");
    r.u8(1).u16(2).mark(1, 2, 0, 0.5f, 0x02, 2).mark(3, 4, 1.5f, -1, 0x01, 7);

    auto f = decode(r);
    ASSERT_TRUE(f);
    EXPECT_EQ(f->latchWhy, "latched");
    EXPECT_EQ(f->origin, "phone-b");
    EXPECT_EQ(f->outline.kind, DeviceOutline::Kind::bud);
    EXPECT_EQ(f->outline.source, DeviceOutline::Source::gemeldet);
    ASSERT_EQ(f->frame.size(), 2u);
    EXPECT_EQ(f->frame[1].x, 3);
    ASSERT_TRUE(f->roots);
    EXPECT_EQ(f->roots->ax, 10);
    EXPECT_TRUE(f->roots->two);
    EXPECT_FALSE(f->roots->provisional);
    EXPECT_TRUE(f->roots->arbitrary);
    EXPECT_EQ(f->roots->conf, 0.5);
    ASSERT_EQ(f->fired.size(), 2u);
    EXPECT_EQ(f->fired[0].t, 99.75);
    EXPECT_EQ(f->fired[0].label, "shove");
    EXPECT_EQ(f->fired[0].hdeg, 6);
    EXPECT_EQ(f->fired[1].t, kNow);
    EXPECT_TRUE(f->tailThinned);
    ASSERT_EQ(f->tail.size(), 2u);
    EXPECT_EQ(f->tail[0].t, kNow);
    EXPECT_TRUE(f->tail[0].lifted);
    EXPECT_FALSE(f->tail[0].scratching);
    EXPECT_EQ(f->tail[0].src, DynamoProbe::Source::push);
    EXPECT_EQ(f->tail[1].t, kNow - 1.5);
    EXPECT_EQ(f->tail[1].da, -1);
    EXPECT_TRUE(f->tail[1].scratching);
    EXPECT_EQ(f->tail[1].src, DynamoProbe::Source::none);

    // Only a presence byte of exactly 1 announces roots; any other reads nothing more.
    for (std::uint8_t presence : {0, 2, 0xFF}) {
        Rec q = Rec::fixed();
        q.str("").str("").outline(0, 0, 1, 1).u8(0).u8(presence).u8(0).u8(0).u16(0);
        auto g = decode(q);
        ASSERT_TRUE(g) << int(presence);
        EXPECT_FALSE(g->roots);
    }
}

TEST(DynamoRecord, CountsAndLengthsReachingPastTheEndRejectTheWholeRecord) {
    const auto tailCount = [](std::uint16_t n, int written) {
        Rec r = Rec::fixed();
        r.str("").str("").outline(0, 0, 1, 1).u8(0).u8(0).u8(0).u8(0).u16(n);
        for (int i = 0; i < written; ++i) r.mark(0, 0, 0, 0, 0, 0);
        return r;
    };
    // The tail count is little-endian: 01 02 announces 513 marks.
    Rec le = tailCount(0x0201, 513);
    EXPECT_EQ(le.b[242], 0x01);
    auto f = decode(le);
    ASSERT_TRUE(f);
    EXPECT_EQ(f->tail.size(), 513u);
    EXPECT_FALSE(decode(tailCount(0x0201, 512)));
    EXPECT_FALSE(decode(tailCount(0xFFFF, 0)));

    Rec points = Rec::fixed();
    points.str("").str("").outline(0, 0, 1, 1).u8(3).f32(1).f32(1).f32(2).f32(2);
    points.u8(0).u8(0).u8(0).u16(0);  // lands inside the third point
    EXPECT_FALSE(decode(points));

    Rec fired = Rec::fixed();
    fired.str("").str("").outline(0, 0, 1, 1).u8(0).u8(0).u8(255).fired(1, "x").u8(0).u16(0);
    EXPECT_FALSE(decode(fired));

    Rec roots = Rec::fixed();
    roots.str("").str("").outline(0, 0, 1, 1).u8(0).u8(1);
    EXPECT_FALSE(decode(roots));

    Rec overlong = Rec::fixed();
    overlong.u8(200).u8('a');
    EXPECT_FALSE(decode(overlong));
}

TEST(DynamoRecord, InvalidUtf8IsRepairedNotRejected) {
    Rec r = Rec::fixed();
    r.str("ok\xFF!").str("Dreh\xC3\xA4 \xE2\x82").outline(0, 0, 1, 1).u8(0).u8(0);
    r.u8(1).fired(0, "\xC0\xAF").u8(0).u16(0);
    auto f = decode(r);
    ASSERT_TRUE(f);
    EXPECT_EQ(f->latchWhy, "ok\xEF\xBF\xBD!");
    EXPECT_EQ(f->origin, "Dreh\xC3\xA4 \xEF\xBF\xBD");
    ASSERT_EQ(f->fired.size(), 1u);
    EXPECT_EQ(f->fired[0].label, "\xEF\xBF\xBD\xEF\xBF\xBD");
}

TEST(DynamoRecord, PaletteKnowsItsSixColoursAndFallsBackToWhite) {
    using DynamoGate::paletteRGB;
    EXPECT_EQ(paletteRGB({0.9, 0.1, 0.1, 1}), (std::array<double, 3>{0.9, 0.1, 0.1}));
    EXPECT_EQ(paletteRGB({0.2, 0.9, 1.0, 1}), (std::array<double, 3>{0.2, 0.9, 1.0}));
    EXPECT_EQ(paletteRGB({0.2, 0.9, 1.0, 0.5}), (std::array<double, 3>{1, 1, 1}));
    EXPECT_EQ(paletteRGB({0.3, 0.3, 0.3, 1}), (std::array<double, 3>{1, 1, 1}));
}
