// One process, the whole library road: the control endpoint reloads both panes and picks a crate, the track
// server lists the folder crates and refuses a crate outside the folder, and the DJ application's browser
// frames on the MIDI input reach a bridged deck's phone completed from its database.
#include "library_rig.h"
#include "link/raw_http.h"
#include "platform/url.h"

#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include <thread>

namespace plindo::host {
namespace {

namespace lib = serato::RaneLibraryDecoder;
using nlohmann::json;
using testing::LibraryRig;

std::vector<uint8_t> cat(std::initializer_list<std::vector<uint8_t>> parts) {
    std::vector<uint8_t> out;
    for (const auto& p : parts) out.insert(out.end(), p.begin(), p.end());
    return out;
}

TEST(LibraryEndToEnd, ControlRoutesAndBrowserFramesInOneProcess) {
    LibraryRig rig;
    for (const char* f : {"a.wav", "b.wav", "c.wav"}) rig.audio(f);
    rig.audio("Set/d.wav");
    rig.playlist("warm.m3u", "b.wav\nSet/d.wav\n");
    rig.database({{u"m/one.mp3", u"One", u"Ann", u"120.00", u"1A", u"03:00.00"},
                  {u"m/two.mp3", u"Two", u"Ben", u"122.00", u"2A", u"04:00.00"},
                  {u"m/three.mp3", u"Three", u"Cy", u"124.00", u"3A", u"05:00.00"},
                  {u"m/four.mp3", u"Four", u"Di", u"126.00", u"4A", u"06:00.00"}});
    rig.crate("Warm", {u"m/one.mp3", u"m/two.mp3"});
    rig.crate("Peak", {u"m/three.mp3", u"m/four.mp3"});
    auto& host = rig.started();
    const int port = host.fileServer->boundPort();
    ASSERT_GT(port, 0);
    const auto get = [&](const std::string& target) {
        const auto reply = link::testing::roundTrip(port, link::testing::getRequest(target));
        return json::parse(link::testing::bodyOf(reply), nullptr, false);
    };

    auto answer = get("/ctl?cmd=library&reload=1");
    ASSERT_TRUE(answer.contains("panes")) << answer.dump();
    for (int p = 0; p < 2; ++p) EXPECT_EQ(answer["panes"][p]["status"], "Files: 3 tracks \u00b7 Serato: 4 tracks");
    EXPECT_EQ(answer["folder"], rig.files.string());

    answer = get("/ctl?cmd=crate&pane=0&key=Plindo%25%25Files%25%25Set");
    EXPECT_EQ(answer["status"], "Crate Set: 1 tracks");
    answer = get("/ctl?cmd=crate&pane=1&key=Plindo%25%25Serato%25%25Peak");
    EXPECT_EQ(answer["status"], "Crate Peak: 2 tracks");
    EXPECT_EQ(get("/ctl?cmd=crate&pane=2&key=x")["error"], "pane out of range");
    // A pane or reload that is no number counts as not given: the active pane, and no reload.
    answer = get("/ctl?cmd=crate&pane=abc&key=Plindo%25%25Serato%25%25Warm");
    EXPECT_EQ(answer["pane"], 1);
    EXPECT_EQ(answer["status"], "Crate Warm: 2 tracks");
    answer = get("/ctl?cmd=library&reload=abc");
    ASSERT_TRUE(answer.contains("panes")) << answer.dump();
    EXPECT_EQ(answer["panes"][1]["status"], "Crate Warm: 2 tracks");

    answer = get("/library/crates");
    EXPECT_EQ(answer["folderCrates"], json::array({"Set", "Playlists%%warm"}));
    // The crates of the library this controller was given, not of the user's own.
    EXPECT_EQ(answer["seratoCrates"], json::array({"Peak", "Warm"}));
    EXPECT_EQ(answer["hasSerato"], true);
    EXPECT_EQ(get("/library/tracks?src=folder&crate=Playlists%25%25warm")["count"], 2);
    EXPECT_EQ(get("/library/tracks?src=folder&crate=Set")["count"], 1);
    EXPECT_EQ(get("/library/tracks?src=folder&crate=..%25%25..")["count"], 0);

    // Deck 1 is bridged with its phone bound; the DJ application draws its browser on the MIDI input.
    rig.bindPhone(1);
    host.seratoOut->setActive(1, true);
    rig.settle();
    rig.sink.take();
    const auto row = [](int i, const char* title, const char* artist) {
        return lib::packFrame(0x24, cat({{static_cast<uint8_t>(i)}, lib::utf16Field(title, 256), lib::utf16Field(artist, 104)}));
    };
    const std::vector<std::vector<uint8_t>> frames{
        lib::packFrame(0x22, cat({{0}, lib::utf16Field("Peak", 128)})),
        row(0, "Three", "Cy"),
        row(1, "Four", "Di"),
        lib::packFrame(0x23, std::vector<uint8_t>{1, 0, 0, 0, 0, 0, 0, 0}),
    };
    for (const auto& f : frames) ASSERT_TRUE(rig.midi.inject(serato::SeratoMIDIIn::kDestinationPort, f));
    rig.settle();
    auto sent = rig.sentTo("/orv/serbrowser");
    EXPECT_TRUE(sent.empty());  // the push waits for the burst to end
    rig.advance(0.015);         // the push, and the library's index warming behind it
    sent = rig.sentTo("/orv/serbrowser");
    ASSERT_EQ(sent.size(), 1u);
    rig.advance(0.015);  // the index is warm: the rows come again, completed
    sent = rig.sentTo("/orv/serbrowser");
    ASSERT_EQ(sent.size(), 1u);
    const auto& m = sent[0];
    EXPECT_EQ(m.args[1].s, "Peak");
    EXPECT_EQ(m.args[2].i, 1);
    const std::vector<std::string> first(
        {m.args[3].s, m.args[4].s, m.args[5].s, m.args[6].s, m.args[7].s, m.args[8].s});
    EXPECT_EQ(first, (std::vector<std::string>{"Three", "Cy", "124.00", "3A", "5:00", "/m/three.mp3"}));
    EXPECT_EQ(m.args[9 + 5].s, "/m/four.mp3");

    answer = get("/ctl?cmd=browser");
    EXPECT_EQ(answer["crate"], "Peak");
    EXPECT_EQ(answer["cursor"], 1);
    EXPECT_EQ(answer["rows"][0]["path"], "/m/three.mp3");
    EXPECT_EQ(answer["rows"][1]["title"], "Four");
}

// A file whose name is no UTF-8 is listed so that it comes back, and the load of its listed path plays that
// very file: the deck's player fetches it through this host's track server by its bytes.
TEST(LibraryEndToEnd, ATrackNamedInBytesThatAreNotUtf8IsListedAndLoaded) {
    LibraryRig rig;
    const auto folder = rig.files / "Odd";
    const std::string raw = (folder / "bad\xFF\xFE.wav").string();
    library::testfiles::silentWav(raw, 0.5);
    auto& host = rig.started();
    const int port = host.fileServer->boundPort();
    const auto get = [&](const std::string& target) {
        return json::parse(link::testing::bodyOf(link::testing::roundTrip(port, link::testing::getRequest(target))), nullptr, false);
    };

    const std::string listed = folder.string() + "/bad%FF%FE.wav";
    EXPECT_EQ(get("/library/tracks?src=folder&crate=Odd")["tracks"][0]["path"], listed);
    EXPECT_EQ(get("/ctl?cmd=load&deck=1&path=" + platform::percentEncodeQueryValue(listed))["path"], listed);
    double seconds = 0;
    for (int i = 0; i < 300 && seconds <= 0; ++i) {
        std::string path;
        rig.onMain([&] {
            path = host.deck(1).path;
            seconds = host.deck(1).durationSec;
        });
        ASSERT_EQ(path, raw);
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    EXPECT_NEAR(seconds, 0.5, 0.01) << "the track was fetched and decoded";
    EXPECT_EQ(get("/ctl?cmd=state")["decks"][0]["path"], listed) << "the state report names it so it comes back";
}

}  // namespace
}  // namespace plindo::host
