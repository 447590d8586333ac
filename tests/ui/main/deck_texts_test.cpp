// The deck readouts' texts and colours, as pure functions of the deck's record.
#include "ui/kit/colors.h"
#include "ui/main/deck_slider_labels.h"
#include "ui/main/deck_strip_look.h"
#include "ui/main/deck_time_line.h"
#include "ui/main/rack_look.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>

namespace plindo::ui {
namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr double kInf = std::numeric_limits<double>::infinity();

TEST(ClockText, TruncatesToTenthsAndNeverConvertsWildValues) {
    const struct {
        double seconds;
        const char* text;
    } cases[] = {
        {0, "0:00.0"},     {65.37, "1:05.3"}, {3599.99, "59:59.9"}, {3725, "62:05.0"},
        {3600, "60:00.0"}, {-1, "0:-1.0"},    {kNaN, "0:00.0"},     {kInf, "0:00.0"},
        {-kInf, "0:00.0"}, {1e300, "0:00.0"}, {-1e300, "0:00.0"},   {1e9, "16666666:40.0"},
    };
    for (const auto& c : cases) EXPECT_EQ(clockText(c.seconds), c.text) << c.seconds;
}

TEST(DeckTimeLine, ShowsPositionLengthAndTheFreshPhonesWireCounters) {
    host::DeckInfo d;
    d.posSec = 65.37;
    d.durationSec = 200;
    EXPECT_EQ(deckTimeLine(d), "1:05.3 / 3:20.0");
    d.remoteFresh = true;
    d.rate = 1.02;
    d.wireRate = 1.02;
    d.angleAdvN = 118;
    d.frameN = 120;
    d.angNetRev = -0.5;
    d.tsBackN = 0;
    EXPECT_EQ(deckTimeLine(d), "1:05.3 / 3:20.0  +2.0 %  wR+1.02 ang118/120 rev-0.50 tsBk0");

    host::DeckInfo bare;
    for (double pos : {-3.0, kNaN}) {
        bare.posSec = pos;
        EXPECT_EQ(deckTimeLine(bare), "0:00.0");  // no length: the position alone
    }
    bare.posSec = 3600;
    bare.durationSec = kInf;
    EXPECT_EQ(deckTimeLine(bare), "60:00.0 / 0:00.0");
}

TEST(DeckSliderLabels, ReadTheStepRoundedAndClamped) {
    const struct {
        double value;
        const char* wavey;
        const char* size;
    } cases[] = {
        {0, "Wavey 32.0 s", "off · 2.0 cm"},     {-23, "Wavey 0.5 s", "12\" · 1.0 cm"},
        {-12, "Wavey 3.7 s", "big · 2.0 cm"},    {-0.5, "Wavey 26.7 s", "off · 1.5 cm"},
        {-0.4, "Wavey 32.0 s", "off · 2.0 cm"},  {5, "Wavey 32.0 s", "off · 2.0 cm"},
        {-40, "Wavey 0.5 s", "12\" · 1.0 cm"},   {-4, "Wavey 15.5 s", "puck · 1.5 cm"},
        {-17, "Wavey 1.5 s", "7\" · 1.0 cm"},    {kNaN, "Wavey 32.0 s", "off · 2.0 cm"},
        {-kInf, "Wavey 0.5 s", "12\" · 1.0 cm"}, {1e300, "Wavey 32.0 s", "off · 2.0 cm"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(waveyLabel(c.value), c.wavey) << c.value;
        EXPECT_EQ(sizeLabel(c.value), c.size) << c.value;
    }
}

host::DeckInfo freshDeck() {
    host::DeckInfo d;
    d.path = "/music/a.mp3";
    d.remoteFresh = true;
    d.remoteName = "Pixel";
    d.rate = 1;
    d.via = "AWDL";
    return d;
}

TEST(DeckStripLook, TransportFollowsPlayStateModeAndPath) {
    host::DeckInfo d = freshDeck();
    d.seratoPlay = false;
    auto l = deckStripLook(d);
    EXPECT_FALSE(l.playing);  // the application's stopped state wins over rate 1
    EXPECT_EQ(l.transportSymbol, "play.fill");
    EXPECT_EQ(l.transportTint, colors::gray());
    EXPECT_EQ(l.transportTip, "Play/pause the spinner's synthetic platter (refused while it really spins)");

    d.seratoPlay.reset();
    const struct {
        double rate;
        bool playing;
    } rates[] = {{-0.5, true}, {0.1, false}, {-0.1, false}, {0.1001, true}, {kNaN, false}};
    for (const auto& r : rates) {
        d.rate = r.rate;
        EXPECT_EQ(deckStripLook(d).playing, r.playing) << r.rate;
    }
    d.rate = 1;
    EXPECT_EQ(deckStripLook(d).transportSymbol, "pause.fill");
    EXPECT_EQ(deckStripLook(d).transportTint, colors::green());

    host::DeckInfo empty;
    l = deckStripLook(empty);
    EXPECT_FALSE(l.transportEnabled);
    EXPECT_EQ(l.transportTip, "Standalone: the host plays this track at 33⅓");
    empty.path = "serato-midi://deck";
    EXPECT_TRUE(deckStripLook(empty).transportEnabled);
    EXPECT_EQ(deckStripLook(empty).transportTip, "Motor: 33⅓ into Serato (phone rides on top)");
}

TEST(DeckStripLook, FeedHealthColoursAndBadges) {
    host::DeckInfo d = freshDeck();
    const struct {
        double jitter;
        QColor dot;
    } jitters[] = {{1.99, colors::green()}, {2, colors::yellow()}, {7.9, colors::yellow()}, {8, colors::red()},
                   {kNaN, colors::red()}};
    for (const auto& j : jitters) {
        d.jitterMs = j.jitter;
        EXPECT_EQ(deckStripLook(d).jitterDot, j.dot) << j.jitter;
    }
    d.jitterMs = 1.25;
    EXPECT_EQ(deckStripLook(d).jitterText, "±1.2 ms");

    d.maxGapMs = 25;
    EXPECT_NE(deckStripLook(d).maxColor, colors::red());
    EXPECT_EQ(deckStripLook(d).maxText, "max 25");
    d.maxGapMs = 25.1;
    EXPECT_EQ(deckStripLook(d).maxColor, colors::red());

    for (const char* via : {"awdl", "", "WLAN"}) EXPECT_EQ(viaColor(via), colors::orange()) << via;
    EXPECT_EQ(viaColor("AWDL"), colors::green());

    d.wavOk = -1;
    EXPECT_FALSE(deckStripLook(d).wavShown);
    d.wavOk = 0;
    EXPECT_TRUE(deckStripLook(d).wavShown);
    EXPECT_EQ(deckStripLook(d).wavColor, colors::red());
    EXPECT_EQ(deckStripLook(d).wavTip, "Phone download missing — cosmetic only, position runs off the angle");
    d.wavOk = 1;
    EXPECT_EQ(deckStripLook(d).wavColor, colors::green());
    EXPECT_EQ(deckStripLook(d).wavTip, "Phone has the audio file (waveform ok)");
    EXPECT_EQ(deckStripLook(d).remoteTip, "Remote feed live (Pixel)");

    d.remoteFresh = false;
    const auto stale = deckStripLook(d);
    EXPECT_FALSE(stale.feedShown);
    EXPECT_EQ(stale.remoteDot, colors::withOpacity(colors::red(), 0.6));
    EXPECT_EQ(stale.jitterDot, colors::withOpacity(colors::secondary(), 0.5));
    EXPECT_EQ(stale.jitterText, "Channel —");
    EXPECT_EQ(stale.remoteTip, "no remote / feed stale");
}

TEST(DeckStripLook, GroupTextNamesSideAndSharing) {
    EXPECT_EQ(deckGroupText(std::nullopt, true), "This deck is in no group");
    EXPECT_EQ(deckGroupText("left", true), "Deck plays in the left group · files shared");
    EXPECT_EQ(deckGroupText("", false), "Deck plays in the right group · files not shared");
    EXPECT_EQ(deckGroupText("right", false), "Deck plays in the right group · files not shared");
}

TEST(RackLook, PitchRowAndTiming) {
    const struct {
        double rate;
        const char* text;
    } pitches[] = {{1.0, "+0.00 %"}, {0.985, "-1.50 %"}, {1.0025, "+0.25 %"}};
    for (const auto& p : pitches) EXPECT_EQ(pitchText(p.rate), p.text) << p.rate;
    EXPECT_EQ(rackDeckTitle(1), "Deck L");
    EXPECT_EQ(rackDeckTitle(2), "Deck R");

    host::DeckInfo d = freshDeck();
    d.jitterMs = 3.04;
    d.maxGapMs = 25;
    d.standalone = true;
    auto l = rackRowLook(d);
    EXPECT_EQ(l.remote, "Pixel");
    EXPECT_EQ(l.name, "—");
    EXPECT_TRUE(l.standalone);
    EXPECT_EQ(l.channel, "Channel ±3.0 ms");
    EXPECT_EQ(l.maxText, "max 25 ms");
    EXPECT_EQ(l.maxColor, colors::secondary());
    d.maxGapMs = 25.1;
    EXPECT_EQ(rackRowLook(d).maxColor, colors::red());
    d.remoteFresh = false;
    l = rackRowLook(d);
    EXPECT_EQ(l.remote, "no remote / stale");
    EXPECT_EQ(l.channel, "Channel —");
    EXPECT_FALSE(l.feedShown);
    EXPECT_EQ(l.dot, colors::withOpacity(colors::red(), 0.6));
}

}  // namespace
}  // namespace plindo::ui
