#include "ui/main/rack_look.h"

#include "ui/kit/colors.h"
#include "ui/kit/printf_text.h"
#include "ui/main/deck_strip_look.h"
#include "ui/main/deck_time_line.h"

namespace plindo::ui {

std::string rackDeckTitle(int deck) { return deck == 1 ? "Deck L" : "Deck R"; }

std::string pitchText(double rate) { return printfText("%+.2f %%", (rate - 1) * 100); }

RackRowLook rackRowLook(const host::DeckInfo& d) {
    using namespace colors;
    RackRowLook l;
    const bool fresh = d.remoteFresh;
    l.dot = fresh ? green() : withOpacity(red(), 0.6);
    l.remote = fresh ? d.remoteName : "no remote / stale";
    l.standalone = d.standalone;
    l.name = d.name.empty() ? "—" : d.name;
    l.timeLine = deckTimeLine(d);
    l.channel = fresh ? printfText("Channel ±%.1f ms", d.jitterMs) : "Channel —";
    l.feedShown = fresh;
    l.maxText = printfText("max %.0f ms", d.maxGapMs);
    l.maxColor = maxGapColor(d.maxGapMs, secondary());
    l.via = d.via;
    l.viaColor = viaColor(d.via);
    return l;
}

}  // namespace plindo::ui
