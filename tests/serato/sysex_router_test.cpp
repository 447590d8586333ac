#include "serato/sysex_router.h"

#include "test_util.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace plindo::serato {
namespace {

using B = std::vector<uint8_t>;
using K = SysexRouter::Route::Kind;
using testing::framedText;
using testing::platterFrame;
using testing::rane;
using testing::waveFrame;

B timeMessage(uint8_t deck, uint8_t kind, uint32_t value) {
    B m{0xF0, 0x00, 0x20, 0x7F, deck, kind, 0x08};
    for (int shift = 24; shift >= 0; shift -= 4) m.push_back((value >> shift) & 0x0F);
    m.push_back(0xF7);
    return m;
}

SysexRouter::Context at(double now, bool capture = false) { return {now, 1, 1, capture}; }

TEST(SysexRouter, TimesAreReportedOnChangeAndLoggedOncePerSecond) {
    SysexRouter r;
    auto out = r.route(timeMessage(2, 4, 61500), at(10.0));
    EXPECT_EQ(out.kind, K::time);
    EXPECT_EQ(out.deck, 2);
    EXPECT_DOUBLE_EQ(out.seconds, 61.5);
    EXPECT_EQ(out.logs, std::vector<std::string>{"serato time d2 61500 ms"});
    EXPECT_EQ(r.route(timeMessage(2, 4, 61500), at(10.1)).kind, K::none);
    out = r.route(timeMessage(2, 4, 61600), at(10.2));
    EXPECT_EQ(out.kind, K::time);
    EXPECT_TRUE(out.logs.empty());  // within the second

    out = r.route(timeMessage(1, 3, 240000), at(11.0));
    EXPECT_EQ(out.kind, K::none);
    EXPECT_EQ(out.logs, std::vector<std::string>{"serato length d1 240000 ms"});
    EXPECT_TRUE(r.route(timeMessage(1, 3, 240000), at(11.1)).logs.empty());
    EXPECT_EQ(r.route(timeMessage(1, 7, 5), at(11.2)).kind, K::none);  // other kinds stop here
}

TEST(SysexRouter, PlatterRecordsDropRepeatsAndLogTheirRate) {
    SysexRouter r;
    auto out = r.route(platterFrame(1, 100), at(50.0));
    ASSERT_EQ(out.kind, K::platter);
    EXPECT_EQ(out.platter->deck, 1);
    ASSERT_EQ(out.logs.size(), 1u);  // first line, with an interval of 1 s
    EXPECT_EQ(out.logs[0], "serato pos d2 clock 100 pos 0 ms ang 0/1024 tempo 0.000 rate 1.0 Hz");
    EXPECT_EQ(r.route(platterFrame(1, 100), at(50.1)).kind, K::none);
    for (uint32_t c = 101; c < 110; ++c) EXPECT_TRUE(r.route(platterFrame(1, c), at(50.5)).logs.empty());
    out = r.route(platterFrame(1, 110), at(52.0));
    ASSERT_EQ(out.logs.size(), 1u);
    EXPECT_NE(out.logs[0].find("rate 5.0 Hz"), std::string::npos) << out.logs[0];  // 10 records in 2 s

    // Deck index above 1, or a device byte other than 0: another frame.
    EXPECT_EQ(r.route(platterFrame(2, 1), at(53.0)).kind, K::otherFrame);
    B p(15, 0);
    EXPECT_EQ(r.route(rane(1, 5, p), at(53.0)).kind, K::otherFrame);
    EXPECT_EQ(r.route(rane(0, 5, B(14, 0)), at(53.0)).kind, K::otherFrame);
}

TEST(SysexRouter, ScreenWavesAreKeptPerOffsetAndReportedWhenChanged) {
    SysexRouter r;
    auto out = r.route(waveFrame(0, 4000, 5), at(1.0));
    ASSERT_EQ(out.kind, K::screenWave);
    EXPECT_EQ(out.wave->offsetMs, 4000u);
    EXPECT_EQ(out.logs, std::vector<std::string>{"serato screenwave d1 1 Rahmen, zuletzt 4000 ms, 1/2160 belegt"});
    EXPECT_EQ(r.route(waveFrame(0, 4000, 5), at(1.1)).kind, K::none);
    EXPECT_EQ(r.route(waveFrame(0, 4000, 6), at(1.2)).kind, K::screenWave);
    EXPECT_EQ(r.route(waveFrame(1, 4000, 6, 7), at(1.3)).kind, K::screenWave);  // any device byte
    EXPECT_EQ(r.route(waveFrame(2, 4000, 6), at(1.4)).kind, K::otherFrame);
    B bad(100, 0);
    EXPECT_EQ(r.route(rane(1, 9, bad), at(1.5)).kind, K::otherFrame);

    // Hostile offsets cannot grow the store without end; the neighbourhood of the newest stays.
    for (uint32_t i = 0; i < 3000; ++i) r.route(waveFrame(0, i * 125, 1), at(2.0));
    EXPECT_EQ(r.screenWave[0].size(), SysexRouter::kMaxScreenWaves);
    EXPECT_TRUE(r.screenWave[0].contains(2999 * 125));
    EXPECT_FALSE(r.screenWave[0].contains(0));
    EXPECT_EQ(r.route(waveFrame(0, 2998 * 125, 1), at(2.0)).kind, K::none);
}

TEST(SysexRouter, CaptureTakesRaneFramesButNotPlatterTimeOrSongInfo) {
    SysexRouter r;
    const B library = rane(1, 0x22, B(20, 3));
    auto out = r.route(library, at(1.0, true));
    EXPECT_EQ(out.kind, K::otherFrame);
    EXPECT_TRUE(out.capture);
    EXPECT_FALSE(r.route(library, at(1.0, false)).capture);
    EXPECT_FALSE(r.route(platterFrame(0, 5), at(1.0, true)).capture);
    EXPECT_TRUE(r.route(waveFrame(0, 0, 1), at(1.0, true)).capture);
    EXPECT_FALSE(r.route(timeMessage(1, 4, 9), at(1.0, true)).capture);
    // A frame with the Rane header but broken inside is still captured and passed on.
    out = r.route(B{0xF0, 0x00, 0x00, 0x17, 0x01, 0x02, 0x03, 0xF7}, at(1.0, true));
    EXPECT_EQ(out.kind, K::otherFrame);
    EXPECT_TRUE(out.capture);
    EXPECT_FALSE(r.route(SeratoReturn::songInfoMessage(7, "/a.mp3"), at(1.0, true)).capture);
}

TEST(SysexRouter, SongInfoBecomesPathOrTextAndUnknownSysexIsLoggedTwelveTimes) {
    SysexRouter r;
    const SysexRouter::Context ctx{5.0, 2, 1, false};
    auto out = r.route(testing::kSongInfoMarker, ctx);
    EXPECT_EQ(out.kind, K::none);
    ASSERT_EQ(out.logs.size(), 1u);
    EXPECT_EQ(out.logs[0], "sysex 10 B [F0 00 40 03 12 04 00 00 50 F7] '..@.....P.'");
    out = r.route(framedText("Title"), ctx);
    EXPECT_EQ(std::tuple(out.kind, out.deck, out.slot, out.text), std::tuple(K::text, 2, 0, std::string("Title")));
    EXPECT_EQ(out.logs.back(), "song info d2 slot 0: Title");
    out = r.route(framedText("/music/a.mp3"), ctx);
    EXPECT_EQ(std::tuple(out.kind, out.deck, out.text), std::tuple(K::path, 2, std::string("/music/a.mp3")));

    // The single-message form goes to the deck of the last song change.
    out = r.route(SeratoReturn::songInfoMessage(1, "Artist"), SysexRouter::Context{9.0, 2, 1, false});
    EXPECT_EQ(std::tuple(out.kind, out.deck, out.slot), std::tuple(K::text, 1, 1));

    for (int i = 0; i < 20; ++i) r.route(framedText("noise"), at(20.0 + i));
    EXPECT_EQ(r.sysexLogged, SysexRouter::kMaxLoggedUnknown);
    out = r.route(framedText("/late/path.mp3"), at(100.0));
    EXPECT_EQ(out.kind, K::path);  // no longer logged, still assembled
    ASSERT_EQ(out.logs.size(), 1u);
    EXPECT_EQ(out.logs[0].rfind("song info", 0), 0u);
}

}  // namespace
}  // namespace plindo::serato
