#include "platform/fake_spy_driver.h"
#include "platform/midi_backend.h"
#include "platform/queue_executor.h"
#include "serato/serato_screen_tap.h"
#include "test_util.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <mutex>
#include <thread>
#include <tuple>

namespace plindo::serato {
namespace {

using platform::FakeSpyDriver;
using namespace testing;
using Tap = SeratoScreenTap;

const Bytes kTimeRest{0x10, 0x27, 0x00, 0x00, 0x40, 0x9C, 0x00, 0x00, 0x64, 0x04, 0xD0, 0x07};  // 20 s, vel 2000

// Everything a tap reports, recorded from whichever thread it arrives on.
struct Recorder {
    std::mutex m;
    std::vector<std::string> statuses;
    std::vector<std::tuple<int, double, double>> times;
    std::vector<std::tuple<int, std::string, std::string>> tracks, rows;
    std::vector<std::string> crates;
    std::vector<std::tuple<int, int, int>> cursors;

    template <typename V, typename... A>
    void add(V& v, A&&... a) {
        std::lock_guard l(m);
        v.emplace_back(std::forward<A>(a)...);
    }
    void attach(Tap& tap) {
        tap.onStatus = [this](const std::string& s) { add(statuses, s); };
        tap.onTime = [this](int d, double s, double v) { add(times, d, s, v); };
        tap.onTrack = [this](int d, const std::string& t, const std::string& a) { add(tracks, d, t, a); };
        tap.onLibRow = [this](int r, const std::string& t, const std::string& a) { add(rows, r, t, a); };
        tap.onLibCrate = [this](const std::string& n) { add(crates, n); };
        tap.onLibCursor = [this](int r, int a, int b) { add(cursors, r, a, b); };
    }
    template <typename T>
    size_t count(const std::vector<T>& v) {
        std::lock_guard l(m);
        return v.size();
    }
    bool saw(const std::string& status) {
        std::lock_guard l(m);
        return std::find(statuses.begin(), statuses.end(), status) != statuses.end();
    }
};

struct TapFixture : ::testing::Test {
    std::string ns = freshNamespace();
    platform::FakeClock clock{1000.0};
    Recorder rec;  // before the executor: status lines still queued there reach it while the executor drains
    platform::QueueExecutor main{"test-main"};
    std::vector<Tap::Destination> destinations{{0x100000, "Mixer MIDI 1"}, {0x110000, "Mixer MIDI 2"}};

    void SetUp() override { Tap::spyEnabled = true; }
    void TearDown() override { Tap::spyEnabled = false; }

    std::unique_ptr<Tap> makeTap(double healthPeriod = 0) {
        auto tap = std::make_unique<Tap>(
            Tap::Options{main, clock, nullptr, [this] { return destinations; }, ns, healthPeriod, 0.15});
        rec.attach(*tap);
        return tap;
    }
};

TEST_F(TapFixture, ReportsTimeTracksAndBrowserFromTheDriver) {
    FakeSpyDriver driver(ns);
    auto tap = makeTap();
    tap->start();
    main.drain();
    ASSERT_EQ(tap->transport(), Tap::Transport::spy);
    EXPECT_TRUE(rec.saw("Serato tap: SPY auf \"Mixer MIDI 1\" (1048576)"));
    ASSERT_TRUE(waitUntil([&] { return !driver.subscriptions().empty(); }));
    const int32_t dest = 0x100000;

    // A time frame split over two deliveries.
    const Bytes time = screenFrame(0x05, 1, kTimeRest);
    driver.deliver(dest, {Bytes(time.begin(), time.begin() + 6)});
    driver.deliver(dest, {Bytes(time.begin() + 6, time.end()), screenFrame(0x05, 5, kTimeRest)});
    ASSERT_TRUE(waitUntil([&] { return rec.count(rec.times) == 2; }));
    EXPECT_EQ(rec.times[0], std::make_tuple(1, 20.0, 2000.0));
    EXPECT_EQ(std::get<0>(rec.times[1]), 5);  // not range-checked
    EXPECT_TRUE(rec.saw("Serato tap: first 0x05 time (deck 2, 20.00 s)"));
    EXPECT_EQ(tap->lastFrameWall(), 1000.0);

    // Title, then the artist 50 ms later: one announcement after the artist.
    const auto title = [](uint8_t deck, const std::string& t) { return screenFrame(0x01, deck, screenField(t, 40)); };
    const auto artist = [](uint8_t deck, const std::string& a) { return screenFrame(0x02, deck, screenField(a, 40)); };
    driver.deliver(dest, {title(0, "Night Moves")});
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    driver.deliver(dest, {artist(0, "Kai")});
    ASSERT_TRUE(waitUntil([&] { return rec.count(rec.tracks) == 1; }));
    EXPECT_EQ(rec.tracks[0], std::make_tuple(0, std::string("Night Moves"), std::string("Kai")));
    EXPECT_TRUE(rec.saw("Serato tap: 0x01 title deck 1: \"Night Moves\""));
    EXPECT_TRUE(rec.saw("Serato tap: 0x02 artist deck 1: \"Kai\""));

    driver.deliver(dest, {title(0, "Night Moves"), artist(0, "Kai")});  // unchanged: nothing
    driver.deliver(dest, {artist(1, "Only Artist")});                   // no title: never announced
    driver.deliver(dest, {title(2, "Deck Three")});                     // no such deck: dropped
    std::this_thread::sleep_for(std::chrono::milliseconds(400));
    main.drain();
    EXPECT_EQ(rec.count(rec.tracks), 1u);
    EXPECT_FALSE(rec.saw("Serato tap: 0x01 title deck 3: \"Deck Three\""));

    driver.deliver(dest, {artist(0, "Kai & Lu")});
    ASSERT_TRUE(waitUntil([&] { return rec.count(rec.tracks) == 2; }));
    tap->resetAnnounced();
    driver.deliver(dest, {artist(0, "Kai & Lu")});
    ASSERT_TRUE(waitUntil([&] { return rec.count(rec.tracks) == 3; }));
    EXPECT_EQ(rec.tracks[2], std::make_tuple(0, std::string("Night Moves"), std::string("Kai & Lu")));

    Bytes row = screenField("Row Title", 256);
    const Bytes rowArtist = screenField("Row Artist", 104);
    row.insert(row.end(), rowArtist.begin(), rowArtist.end());
    driver.deliver(dest, {screenFrame(0x24, 4, row), screenFrame(0x22, 0, screenField("Techno", 20)),
                          screenFrame(0x23, 3, Bytes{0x00, 0x05, 0, 0, 0x00, 0x07}), screenFrame(0x30, 0, Bytes{1})});
    ASSERT_TRUE(waitUntil([&] { return rec.count(rec.cursors) == 1; }));
    EXPECT_EQ(rec.rows, (std::vector<std::tuple<int, std::string, std::string>>{{4, "Row Title", "Row Artist"}}));
    EXPECT_EQ(rec.crates, std::vector<std::string>{"Techno"});
    EXPECT_EQ(rec.cursors[0], std::make_tuple(3, 5, 7));
    tap->stop();
    EXPECT_EQ(tap->transport(), Tap::Transport::none);
}

TEST_F(TapFixture, ReconnectsAfterTheDriverGoesAwayAndComesBack) {
    auto driver = std::make_unique<FakeSpyDriver>(ns);
    auto tap = makeTap();
    tap->start();
    ASSERT_EQ(tap->transport(), Tap::Transport::spy);

    // Connected but nothing delivered yet: never silent.
    clock.advance(100);
    tap->healthTick();
    EXPECT_EQ(tap->transport(), Tap::Transport::spy);

    ASSERT_TRUE(waitUntil([&] { return !driver->subscriptions().empty(); }));
    driver->deliver(0x100000, {screenFrame(0x05, 0, kTimeRest)});
    ASSERT_TRUE(waitUntil([&] { return rec.count(rec.times) == 1; }));
    clock.advance(2.9);
    tap->healthTick();
    EXPECT_EQ(tap->transport(), Tap::Transport::spy);

    driver.reset();  // the driver goes away
    clock.advance(0.2);
    tap->healthTick();
    main.drain();
    EXPECT_EQ(tap->transport(), Tap::Transport::none);
    EXPECT_TRUE(rec.saw("Serato tap: SPY silent — reconnecting"));
    EXPECT_TRUE(rec.saw("Serato tap: SPY greift nicht — naechstes Ziel in 30 s"));
    EXPECT_EQ(tap->spyFails(), 0);  // a missing driver is no failed connect
    EXPECT_EQ(tap->spyCandidate(), 2);

    driver = std::make_unique<FakeSpyDriver>(ns);
    clock.advance(10);
    tap->healthTick();
    EXPECT_EQ(tap->transport(), Tap::Transport::none);  // the retry waits 30 s
    clock.advance(21);
    tap->healthTick();
    ASSERT_EQ(tap->transport(), Tap::Transport::spy);
    ASSERT_TRUE(waitUntil([&] { return !driver->subscriptions().empty(); }));
    EXPECT_EQ(driver->subscriptions()[0].second, 0x100000);  // candidate 2 of 2 wraps to the first
    driver->deliver(0x100000, {screenFrame(0x05, 0, kTimeRest)});
    EXPECT_TRUE(waitUntil([&] { return rec.count(rec.times) == 2; }));
}

TEST_F(TapFixture, StopsTimedRetriesAfterFiveFailedConnects) {
    destinations.push_back({0x120000, "Mixer MIDI 3"});
    FakeSpyDriver driver(ns);
    driver.setListenerIdReply(Bytes{1, 2, 3});
    auto tap = makeTap();
    tap->start();
    for (int i = 0; i < 10; ++i) {
        clock.advance(31);
        tap->healthTick();
    }
    EXPECT_EQ(driver.idRequests(), 5);  // candidates 0, 1, 2, 0, 1
    EXPECT_EQ(tap->spyCandidate(), 5);
    EXPECT_EQ(tap->spyFails(), 5);
    EXPECT_EQ(tap->transport(), Tap::Transport::none);
}

TEST_F(TapFixture, StaysIdleWithoutCandidatesOrWithTheSwitchOff) {
    FakeSpyDriver driver(ns);
    auto empty = destinations;
    destinations.clear();
    auto tap = makeTap();
    tap->start();
    main.drain();
    EXPECT_TRUE(rec.saw("Serato tap: aus — kein echter MIDI-Endpunkt oder kein Spying MIDI Driver"));

    destinations = empty;
    Tap::spyEnabled = false;
    tap->start();
    clock.advance(31);
    tap->healthTick();
    main.drain();
    EXPECT_TRUE(rec.saw("Serato tap: SPY greift nicht — naechstes Ziel in 30 s"));
    EXPECT_EQ(driver.idRequests(), 0);
    EXPECT_EQ(tap->transport(), Tap::Transport::none);
}

TEST_F(TapFixture, HealthTimerRetriesOnItsOwn) {
    FakeSpyDriver driver(ns);
    driver.setListenerIdReply(Bytes{});
    auto tap = makeTap(0.02);
    tap->start();
    EXPECT_EQ(driver.idRequests(), 1);
    clock.advance(31);
    EXPECT_TRUE(waitUntil([&] { return driver.idRequests() == 2; }));
    tap->stop();
    clock.advance(31);
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    EXPECT_EQ(driver.idRequests(), 2);  // no timer after stop
}

// A sequencer listing system, through, card and program ports.
struct ListedMidi final : platform::MidiBackend {
    std::vector<platform::MidiEndpoint> list;
    bool available() const override { return true; }
    std::string status() const override { return {}; }
    std::unique_ptr<platform::MidiSource> createSource(const std::string&, int) override { return nullptr; }
    std::unique_ptr<platform::MidiDestination> createDestination(const std::string&, const std::string&, int,
                                                                 platform::MidiBytesHandler) override {
        return nullptr;
    }
    std::vector<platform::MidiEndpoint> endpoints() const override { return list; }
};

TEST_F(TapFixture, ListsOnlyHardwareDestinations) {
    ListedMidi midi;
    midi.list = {
        {"System", "Timer", 0, 0, true, true},
        {"Midi Through", "Midi Through Port-0", 14, 0, true, true},
        {"Mixer", "Mixer MIDI 1", 20, 0, true, true},
        {"Mixer", "Mixer In", 20, 1, true, false},
        {"Pad", "", 24, 1, false, true},
        {"Plindo MIDI Bridge", "Plindo MIDI Bridge", 130, 0, false, true},
    };
    Tap tap(Tap::Options{main, clock, &midi, {}, ns, 0, 0.15});
    const auto got = tap.realDestinations();
    ASSERT_EQ(got.size(), 2u);
    EXPECT_EQ(got[0].uniqueID, 20 * 65536);
    EXPECT_EQ(got[0].name, "Mixer MIDI 1");
    EXPECT_EQ(got[1].uniqueID, 24 * 65536 + 1);
    EXPECT_EQ(got[1].name, "?");
}

}  // namespace
}  // namespace plindo::serato
