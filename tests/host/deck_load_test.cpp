// The deck loader through the controller: a decoded track reaches the deck card on main only, for the load
// still current; the loader never posts to a main that has gone. Fetches are held by the test, so every
// order of finishing is chosen, not raced.
#include "host_rig.h"

#include <gtest/gtest.h>
#include <sndfile.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <thread>

namespace plindo::host {
namespace {

namespace fs = std::filesystem;
using testing::HostRig;

void writeTone(const fs::path& path, int frames) {
    SF_INFO info{};
    info.samplerate = 48000;
    info.channels = 2;
    info.format = SF_FORMAT_WAV | SF_FORMAT_PCM_16;
    SNDFILE* f = sf_open(path.c_str(), SFM_WRITE, &info);
    ASSERT_NE(f, nullptr);
    std::vector<short> buf(static_cast<size_t>(frames) * 2, 1000);
    sf_writef_short(f, buf.data(), frames);
    sf_close(f);
}

// Peer fetches that wait until the test opens them by file name; then they hand over a copy of the file.
struct HeldFetches {
    fs::path from;
    fs::path to;
    std::mutex m;
    std::condition_variable cv;
    std::set<std::string> open;
    int copies = 0;

    void release(const std::string& name) {
        std::lock_guard g(m);
        open.insert(name);
        cv.notify_all();
    }
    motion::FollowPlayer::PeerFetch fetch() {
        return [this](const std::string&, const std::optional<std::string>&, const std::string& name, double) {
            std::unique_lock g(m);
            cv.wait(g, [&] { return open.count(name) > 0; });
            motion::FollowPlayer::FetchedFile out;
            const fs::path copy = to / (std::to_string(++copies) + "-" + name);
            std::error_code ec;
            fs::copy_file(from / name, copy, ec);
            if (ec) out.error = ec.message();
            else out.path = copy.string();
            return out;
        };
    }
};

// Forwards to the rig's main and counts what the loads post there.
struct CountingMain final : platform::MainExecutor {
    explicit CountingMain(platform::MainExecutor& to) : to(to) {}
    void post(std::function<void()> f) override {
        ++posts;
        to.post(std::move(f));
    }
    void invokeSync(const std::function<void()>& f) override { to.invokeSync(f); }
    platform::MainExecutor& to;
    std::atomic<int> posts{0};
};

struct LoadRig : HostRig {
    HeldFetches fetches;
    std::unique_ptr<CountingMain> counting;

    LoadRig() {
        // Nothing listens there: every load falls back to the held peer fetch at once.
        settings.setValue("orv.guiBase", "http://127.0.0.1:1");
        fetches.from = temp.dir / "music";
        fetches.to = temp.dir / "fetched";
        fs::create_directories(fetches.from);
        fs::create_directories(fetches.to);
        writeTone(fetches.from / "short.wav", 24000);  // 0.5 s
        writeTone(fetches.from / "long.wav", 72000);   // 1.5 s
        started();
        counting = std::make_unique<CountingMain>(main);
        for (auto& p : host->players) {
            p->peerFetch = fetches.fetch();
            p->loadMain = counting.get();
        }
    }
    ~LoadRig() {
        for (const char* n : {"short.wav", "long.wav"}) fetches.release(n);
        destroy();
    }
    std::string track(const char* name) { return (fetches.from / name).string(); }
    double duration(int deck) {
        double d = -1;
        onMain([&] { d = host->deck(deck).durationSec; });
        return d;
    }
    bool waitUntil(const std::function<bool()>& done) {
        for (int i = 0; i < 10000; ++i) {
            if (done()) return true;
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
        }
        return false;
    }
};

TEST(DeckLoad, TwoDecksFinishingTogetherReachTheirCardsOnMainOnly) {
    LoadRig rig;
    rig.onMain([&] {
        rig.host->loadDeck(1, rig.track("short.wav"));
        rig.host->loadDeck(2, rig.track("long.wav"));
    });
    const int before = rig.counting->posts.load();
    // Main is busy while both decodes end: nothing of either may reach the cards meanwhile.
    std::mutex held;
    std::unique_lock hold(held);
    rig.main.post([&] { std::lock_guard g(held); });
    rig.fetches.release("short.wav");
    rig.fetches.release("long.wav");
    ASSERT_TRUE(rig.waitUntil([&] { return rig.counting->posts.load() >= before + 2; }));
    const auto card = rig.host->decks();  // main is held: nothing else touches them now
    EXPECT_EQ(card[0].durationSec, 0.0);
    EXPECT_EQ(card[1].durationSec, 0.0);
    hold.unlock();
    ASSERT_TRUE(rig.waitUntil([&] { return rig.duration(1) > 0 && rig.duration(2) > 0; }));
    EXPECT_NEAR(rig.duration(1), 0.5, 0.01);
    EXPECT_NEAR(rig.duration(2), 1.5, 0.01);
}

TEST(DeckLoad, ALoadReplacedMidDecodeNeverShowsOnTheNewTrack) {
    LoadRig rig;
    rig.onMain([&] { rig.host->loadDeck(1, rig.track("long.wav")); });
    rig.onMain([&] { rig.host->loadDeck(1, rig.track("short.wav")); });
    const int before = rig.counting->posts.load();
    rig.fetches.release("short.wav");
    ASSERT_TRUE(rig.waitUntil([&] { return rig.duration(1) > 0; }));
    rig.fetches.release("long.wav");  // the replaced load decodes last
    ASSERT_TRUE(rig.waitUntil([&] { return rig.counting->posts.load() >= before + 2; }));
    rig.main.drain();
    EXPECT_NEAR(rig.duration(1), 0.5, 0.01);
    ASSERT_TRUE(rig.waitUntil([&] {
        bool env = false;
        rig.onMain([&] { env = rig.host->deckEnv(1) != nullptr; });
        return env;
    }));
    rig.onMain([&] { EXPECT_NEAR(rig.host->players[0]->table.read()->seconds(), 0.5, 0.01); });
}

TEST(DeckLoad, ATrackOnlyAnotherHostHoldsLoadsThroughThePeerFetch) {
    LoadRig rig;
    // The phone names a path of another host's disk: this host has nothing there, the peer has the file.
    const std::string away = (rig.temp.dir / "away" / "short.wav").string();
    rig.fetches.release("short.wav");
    rig.onMain([&] { rig.host->loadDeck(1, away); });
    ASSERT_TRUE(rig.waitUntil([&] { return rig.duration(1) > 0; }));
    EXPECT_NEAR(rig.duration(1), 0.5, 0.01);
    std::lock_guard g(rig.fetches.m);
    EXPECT_EQ(rig.fetches.copies, 1);
}

// An executor that stays in memory but counts as gone once the test says so: any post after that is one a
// real program would have sent to freed memory.
struct MortalMain final : platform::MainExecutor {
    void post(std::function<void()>) override {
        if (gone) ++postsAfterGone;
    }
    void invokeSync(const std::function<void()>& f) override { f(); }
    std::atomic<bool> gone{false};
    std::atomic<int> postsAfterGone{0};
};

TEST(DeckLoad, ALoadOutlivingItsPlayerAndMainPostsNothing) {
    link::testing::TempFolder temp{"plindo-gone"};
    writeTone(temp.dir / "a.wav", 4800);
    platform::MemorySettings settings;
    settings.setValue("orv.guiBase", "http://127.0.0.1:1");
    const motion::HostConfig config(settings);
    // A fetch that delivers the file, and one that fails: both ends post to main in a live program.
    for (const bool delivers : {true, false}) {
        MortalMain main;
        HeldFetches fetches;
        fetches.from = temp.dir;
        fetches.to = temp.dir;
        auto token = std::make_shared<int>(0);
        std::weak_ptr<int> threadDone = token;
        auto player = std::make_unique<motion::FollowPlayer>(
            motion::AudioOutDevice{motion::AudioOutDevice::nullId, "null", "null", 2}, 0, 128);
        player->loadMain = &main;
        player->peerFetch = [inner = fetches.fetch(), token = std::move(token), delivers](
                                const std::string& r, const std::optional<std::string>& s, const std::string& n, double t) {
            if (!delivers) {
                auto got = inner(r, s, n, t);
                if (got.path) fs::remove(*got.path);
                return motion::FollowPlayer::FetchedFile{std::nullopt, "gone"};
            }
            return inner(r, s, n, t);
        };
        player->load((temp.dir / "a.wav").string(), config);
        player.reset();  // the program quits while the load runs
        main.gone = true;
        fetches.release("a.wav");
        // The load's thread lets go of its fetch (and so of the token) as it ends.
        for (int i = 0; i < 10000 && !threadDone.expired(); ++i) std::this_thread::sleep_for(std::chrono::milliseconds(2));
        ASSERT_TRUE(threadDone.expired());
        EXPECT_EQ(main.postsAfterGone.load(), 0) << (delivers ? "decoded" : "failed");
    }
}

}  // namespace
}  // namespace plindo::host
