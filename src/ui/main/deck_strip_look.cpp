#include "ui/main/deck_strip_look.h"

#include "ui/kit/colors.h"
#include "ui/kit/printf_text.h"
#include "ui/main/deck_time_line.h"

#include <cmath>

namespace plindo::ui {

namespace {
constexpr double kMaxGapRedMs = 25.0;
constexpr double kJitterGoodMs = 2.0;
constexpr double kJitterFairMs = 8.0;
// A rate below this (either way) counts as standing.
constexpr double kPlayingRate = 0.1;
}  // namespace

QColor viaColor(const std::string& via) { return via == "AWDL" ? colors::green() : colors::orange(); }

QColor maxGapColor(double maxGapMs, const QColor& calm) { return maxGapMs > kMaxGapRedMs ? colors::red() : calm; }

DeckStripLook deckStripLook(const host::DeckInfo& d) {
    using namespace colors;
    DeckStripLook l;
    const bool fresh = d.remoteFresh;
    l.playing = d.seratoPlay ? *d.seratoPlay : std::abs(d.rate) > kPlayingRate;
    l.transportSymbol = l.playing ? "pause.fill" : "play.fill";
    l.transportTint = l.playing ? green() : gray();
    l.transportEnabled = !d.path.empty();
    if (d.path.starts_with("serato-midi://")) {
        l.transportTip = "Motor: 33⅓ into Serato (phone rides on top)";
    } else if (fresh) {
        l.transportTip = "Play/pause the spinner's synthetic platter (refused while it really spins)";
    } else {
        l.transportTip = "Standalone: the host plays this track at 33⅓";
    }
    l.remoteDot = fresh ? green() : withOpacity(red(), 0.6);
    l.remoteTip = fresh ? "Remote feed live (" + d.remoteName + ")" : "no remote / feed stale";
    if (!fresh) {
        l.jitterDot = withOpacity(secondary(), 0.5);
    } else if (d.jitterMs < kJitterGoodMs) {
        l.jitterDot = green();
    } else if (d.jitterMs < kJitterFairMs) {
        l.jitterDot = yellow();
    } else {
        l.jitterDot = red();  // also not a number
    }
    l.jitterText = fresh ? printfText("±%.1f ms", d.jitterMs) : "Channel —";
    l.feedShown = fresh;
    l.maxText = printfText("max %.0f", d.maxGapMs);
    l.maxColor = maxGapColor(d.maxGapMs, withOpacity(secondary(), 0.6));
    l.via = d.via;
    l.viaColor = viaColor(d.via);
    l.wavShown = d.wavOk >= 0;
    l.wavColor = d.wavOk == 1 ? green() : red();
    l.wavTip = d.wavOk == 1 ? "Phone has the audio file (waveform ok)"
                            : "Phone download missing — cosmetic only, position runs off the angle";
    l.timeLine = deckTimeLine(d);
    return l;
}

std::string deckGroupText(const std::optional<std::string>& side, bool shared) {
    if (!side) return "This deck is in no group";
    return std::string("Deck plays in the ") + (*side == "left" ? "left" : "right") + " group · files " +
           (shared ? "shared" : "not shared");
}

}  // namespace plindo::ui
