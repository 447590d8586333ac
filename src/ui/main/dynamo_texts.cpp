#include "ui/main/dynamo_texts.h"

#include "motion/host_config.h"
#include "ui/kit/printf_text.h"

#include <cmath>
#include <numbers>

namespace plindo::ui::DynamoGate {

namespace {

using motion::DynamoFrame;
using motion::DynamoProbe::Source;
using motion::DynamoGate::Feed;
using motion::DynamoGate::Turn;

constexpr double kDeg = 180.0 / std::numbers::pi;

std::string sourceSign(Source s) {
    switch (s) {
    case Source::spin: return "ω²";
    case Source::push: return "∫∫a";
    case Source::none: break;
    }
    return "—";
}

std::string flipsPiece(uint32_t flips) {
    static constexpr const char* kLetters[6] = {"S", "O", "N", "T", "P", "C"};
    std::string out = "flips ";
    for (int bit = 0; bit < 6; ++bit) out += (flips >> bit & 1u) ? kLetters[bit] : "·";
    return out;
}

std::string lgsPiece(const DynamoFrame& f) {
    std::string out = f.lgsValid ? printfText("LGS %+.2f %+.2f c%.3f%s", f.lgsX, f.lgsY, f.lgsCond, f.lgsSeparated ? "" : " UNGETRENNT")
                                 : std::string("LGS —");
    if (f.mode.feed == Feed::lgs) out += f.lgsCarries ? " ⟨LGS traegt⟩" : " ⟨LEITER traegt⟩";
    return out;
}

}  // namespace

uint32_t signFlipBits(const motion::HostConfig& config) {
    uint32_t bits = 0;
    for (uint8_t bit = 0; bit < 6; ++bit)
        if (config.signFlip(bit)) bits |= 1u << bit;
    return bits;
}

double wobbleDeg(double theta, double servedAngle) {
    double w = std::fmod((theta - servedAngle) * kDeg, 360.0);
    if (w > 180) w -= 360;
    else if (w < -180) w += 360;
    return w;
}

std::array<std::string, 3> statusLine(const DynamoFrame& f) {
    std::string mode = f.mode.turn == Turn::dynamo ? "DYNAMO" : "STATO";
    mode += " · ";
    mode += f.mode.feed == Feed::lgs ? "ON (LGS)" : "OFF (legacy)";

    const char* cls = f.scCls ? "SCR" : f.scHold ? "HOLD" : f.scOther ? "OTHER" : "—";
    std::string scene = std::string("alt ") + (f.scOld ? "SCR" : "—") + " · neu " + cls;
    if (f.settling) scene = "MESSE · " + scene;
    if (f.scCls != f.scOld) scene += "  ⇒ ODER: SCR";

    return {mode, scene, printfText("%.1f rpm", f.rateDeg / 6)};
}

std::array<std::string, 3> overlayText(const DynamoFrame& f, uint32_t flips) {
    std::string tailLine = "noch keine Drehung";
    if (!f.tail.empty()) {
        const auto& m = f.tail.back();
        tailLine = printfText("90° %+.2f %+.2f · r %.2f · n %.0f", m.x, m.y, std::hypot(m.x, m.y), f.windows);
    }

    const std::string pieces[9] = {
        printfText("%s · θ %+.0f° · wobble %+.2f° · ω⊥ %.2f · ψ %+.1f° · Δρ %+.2f", sourceSign(f.srcNow).c_str(),
            f.theta * kDeg, wobbleDeg(f.theta, f.servedAngle), f.perpNow, f.psiDeg, f.dRhoCm),
        flipsPiece(flips),
        f.accValid ? printfText("|a| %.3fg = koerper %.3f + welt %.3f · weg %.0f", f.accNowG, f.accBodyG, f.accWorldG, f.accDropped)
                   : std::string("|a| —"),
        printfText("δ %.1f°/%.1f° · ei %.1fmg", f.tiltGravDeg, f.tiltGyroDeg, f.wobbleG * 1000) +
            (f.wobbleG > 0.0005 ? printfText(" ⇒ achse %.1f°", f.wobbleDeg) : std::string(" ⇒ achse lotrecht")),
        f.merValid ? printfText("meridian %.0f°/%.0f° · nord %.0f° %.1fµT · hard %.1fµT", f.merADeg, f.merBDeg, f.merPhaseDeg,
                         f.merAmpUT, f.merHardUT)
                   : std::string("meridian — (kein Feld)"),
        lgsPiece(f),
        f.c20Valid ? printfText("20° %+.2f %+.2f", f.c20X, f.c20Y) : std::string("20° —"),
        f.cEstValid ? printfText("3U %+.2f %+.2f", f.cEstX, f.cEstY) : std::string("3U —"),
        f.pvtValid ? printfText("PIV %+.2f %+.2f ±%.2f", f.pvtX, f.pvtY, f.pvtResidCm) : std::string("PIV —"),
    };
    std::string mainLine;
    for (const auto& p : pieces) mainLine += (mainLine.empty() ? "" : " · ") + p;

    std::string anchor;
    if (!f.anchorValid) anchor = "KEIN ANKER — noch keine eigene Drehmessung";
    else if (f.latchValid) anchor = printfText("anker latch r %.2f", f.anchorCm);
    else if (f.anchorHeld) anchor = printfText("anker GEHALTEN r %.2f — alt, keine Drehung seither", f.anchorCm);
    else anchor = printfText("anker 20° r %.2f (", f.anchorCm) + f.latchWhy + ")";  // the phone's reason, uncut

    return {tailLine, mainLine, anchor};
}

}  // namespace plindo::ui::DynamoGate
