#include "ui/main/dynamo_texts.h"

#include <gtest/gtest.h>

#include <cmath>
#include <numbers>

namespace plindo::ui {
namespace {

using motion::DynamoFrame;
using motion::DynamoGate::Feed;
using motion::DynamoGate::Turn;

constexpr double kRad = std::numbers::pi / 180;

std::string joined(std::initializer_list<const char*> pieces) {
    std::string out;
    for (const char* p : pieces) out += (out.empty() ? "" : " · ") + std::string(p);
    return out;
}

TEST(DynamoTexts, AllInvalidFrameGivesTheDashesOfEveryPiece) {
    DynamoFrame f;  // dynamo turn on the lgs feed
    const auto o = DynamoGate::overlayText(f, 0);
    EXPECT_EQ(o[0], "noch keine Drehung");
    EXPECT_EQ(o[1], "— · θ +0° · wobble +0.00° · ω⊥ 0.00 · ψ +0.0° · Δρ +0.00 · flips ······ · |a| — · "
                    "δ 0.0°/0.0° · ei 0.0mg ⇒ achse lotrecht · meridian — (kein Feld) · LGS — ⟨LEITER traegt⟩ · "
                    "20° — · 3U — · PIV —");
    EXPECT_EQ(o[2], "KEIN ANKER — noch keine eigene Drehmessung");
    f.mode.feed = Feed::live;
    const std::string live = DynamoGate::overlayText(f, 0)[1];
    EXPECT_NE(live.find("LGS — · 20° —"), std::string::npos);  // no carrier tag on the legacy feed
    EXPECT_EQ(live.find("⟨"), std::string::npos);

    const auto s = DynamoGate::statusLine(f);
    EXPECT_EQ(s[0], "DYNAMO · OFF (legacy)");
    EXPECT_EQ(s[1], "alt — · neu —");
    EXPECT_EQ(s[2], "0.0 rpm");
}

TEST(DynamoTexts, WobbleFoldsIntoPlusMinus180) {
    struct Case { double deg; const char* shown; };
    for (const Case c : {Case{190, "wobble -170.00°"}, {-190, "wobble +170.00°"}, {540, "wobble +180.00°"},
                         {-180, "wobble -180.00°"}, {30, "wobble +30.00°"}}) {
        DynamoFrame f;
        f.theta = 1.0 + c.deg * kRad;
        f.servedAngle = 1.0;
        EXPECT_NE(DynamoGate::overlayText(f, 0)[1].find(c.shown), std::string::npos) << c.deg;
    }
}

TEST(DynamoTexts, FilledPiecesUseTheirExactFormats) {
    DynamoFrame f;
    f.srcNow = motion::DynamoProbe::Source::push;
    f.theta = 90 * kRad;
    f.servedAngle = 90 * kRad;
    f.perpNow = 0.5;
    f.psiDeg = -3.25;
    f.dRhoCm = 1.5;
    f.accValid = true;
    f.accNowG = 0.1234;
    f.accBodyG = 0.1;
    f.accWorldG = 0.0234;
    f.accDropped = 3;
    f.tiltGravDeg = 1.25;
    f.tiltGyroDeg = 1.5;
    f.wobbleG = 0.0005;  // exactly at the limit: still upright
    f.merValid = true;
    f.merADeg = 10;
    f.merBDeg = 20;
    f.merPhaseDeg = 30;
    f.merAmpUT = 4.5;
    f.merHardUT = 1.25;
    f.lgsValid = true;
    f.lgsX = 1;
    f.lgsY = -2;
    f.lgsCond = 0.5;
    f.lgsCarries = true;
    f.c20Valid = f.cEstValid = f.pvtValid = true;
    f.c20X = 0.5;
    f.cEstY = -0.25;
    f.pvtX = 1;
    f.pvtResidCm = 0.125;
    f.tail = {{3, 4, 0, false, false, 0, {}}};
    f.windows = 12;
    f.rateDeg = 200;
    f.anchorValid = true;
    f.anchorCm = 7.5;
    f.latchWhy = "spin";

    const auto o = DynamoGate::overlayText(f, 0);
    EXPECT_EQ(o[0], "90° +3.00 +4.00 · r 5.00 · n 12");
    EXPECT_EQ(o[1], joined({"∫∫a · θ +90° · wobble +0.00° · ω⊥ 0.50 · ψ -3.2° · Δρ +1.50", "flips ······",
                            "|a| 0.123g = koerper 0.100 + welt 0.023 · weg 3",
                            "δ 1.2°/1.5° · ei 0.5mg ⇒ achse lotrecht",  // exactly 0.0005 g is still upright
                            "meridian 10°/20° · nord 30° 4.5µT · hard 1.2µT",
                            "LGS +1.00 -2.00 c0.500 UNGETRENNT ⟨LGS traegt⟩", "20° +0.50 +0.00", "3U +0.00 -0.25",
                            "PIV +1.00 +0.00 ±0.12"}));
    EXPECT_EQ(o[2], "anker 20° r 7.50 (spin)");
    EXPECT_EQ(DynamoGate::statusLine(f)[2], "33.3 rpm");
    f.rateDeg = -200;
    EXPECT_EQ(DynamoGate::statusLine(f)[2], "-33.3 rpm");

    f.wobbleG = 0.002;
    f.wobbleDeg = 12.34;
    EXPECT_NE(DynamoGate::overlayText(f, 0)[1].find("ei 2.0mg ⇒ achse 12.3°"), std::string::npos);
}

TEST(DynamoTexts, FlipLettersFollowTheMaskBits) {
    DynamoFrame f;
    EXPECT_NE(DynamoGate::overlayText(f, 1u << 4)[1].find("flips ····P·"), std::string::npos);
    EXPECT_NE(DynamoGate::overlayText(f, 0x3F)[1].find("flips SONTPC"), std::string::npos);
    EXPECT_NE(DynamoGate::overlayText(f, 0)[1].find("flips ······"), std::string::npos);

}

TEST(DynamoTexts, SceneTextShowsOldAndNewClassesAndTheirDisagreement) {
    struct Case { bool settling, old, cls, hold, other; const char* text; };
    for (const Case c : {
             Case{false, true, false, true, false, "alt SCR · neu HOLD  ⇒ ODER: SCR"},
             {false, true, true, false, false, "alt SCR · neu SCR"},
             {false, false, false, false, true, "alt — · neu OTHER"},
             {true, false, true, true, true, "MESSE · alt — · neu SCR  ⇒ ODER: SCR"},
         }) {
        DynamoFrame f;
        f.settling = c.settling;
        f.scOld = c.old;
        f.scCls = c.cls;
        f.scHold = c.hold;
        f.scOther = c.other;
        EXPECT_EQ(DynamoGate::statusLine(f)[1], c.text);
    }
    DynamoFrame f;
    f.mode = {Turn::stato, Feed::lgs};
    EXPECT_EQ(DynamoGate::statusLine(f)[0], "STATO · ON (LGS)");
}

TEST(DynamoTexts, AnchorLineTakesTheFirstStateThatHolds) {
    struct Case { bool valid, latch, held; const char* text; };
    for (const Case c : {
             Case{false, true, true, "KEIN ANKER — noch keine eigene Drehmessung"},
             {true, true, true, "anker latch r 2.50"},
             {true, false, true, "anker GEHALTEN r 2.50 — alt, keine Drehung seither"},
         }) {
        DynamoFrame f;
        f.anchorValid = c.valid;
        f.latchValid = c.latch;
        f.anchorHeld = c.held;
        f.anchorCm = 2.5;
        EXPECT_EQ(DynamoGate::overlayText(f, 0)[2], c.text);
    }
}

TEST(DynamoTexts, NumbersThatAreNoNumbersPrintAsSuch) {
    DynamoFrame f;
    f.theta = std::nan("");
    f.rateDeg = INFINITY;
    f.tail = {{std::nan(""), 1, 0, false, false, 0, {}}};
    f.accValid = true;
    f.accDropped = std::nan("");
    EXPECT_EQ(DynamoGate::statusLine(f)[2], "inf rpm");
    const auto o = DynamoGate::overlayText(f, 0);
    EXPECT_NE(o[0].find("nan"), std::string::npos);
    EXPECT_NE(o[1].find("weg nan"), std::string::npos);
}

}  // namespace
}  // namespace plindo::ui
