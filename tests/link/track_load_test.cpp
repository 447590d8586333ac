#include "link/deck_file_server.h"
#include "link/peer_track_fetch.h"
#include "motion/follow_player.h"
#include "platform/queue_executor.h"
#include "platform/settings.h"
#include "temp_folder.h"

#include "../platform/scripted_http_server.h"

#include <gtest/gtest.h>

#include <condition_variable>
#include <future>

namespace plindo::link {
namespace {

namespace fs = std::filesystem;
using motion::FollowPlayer;
using plindo::testing::ScriptedHttpServer;

struct TrackLoad : ::testing::Test {
    fs::path music = fs::temp_directory_path() / ("plindo-music-" + std::to_string(::getpid()));
    testing::TempFolder tmp{"plindo-load"};
    // What the callbacks record outlives the executor that runs them.
    std::mutex m;
    std::condition_variable cv;
    std::vector<std::string> status, decodedNames;
    int loaded = 0, failed = 0;
    platform::QueueExecutor main{"main-load"};
    platform::MemorySettings settings;
    std::unique_ptr<motion::HostConfig> config;
    std::unique_ptr<DeckFileServer> server;
    std::unique_ptr<FollowPlayer> player;
    std::shared_ptr<platform::FakeServiceRegistry> registry = std::make_shared<platform::FakeServiceRegistry>();
    std::unique_ptr<platform::ServiceRegistration> advert;
    const std::string noHttp = "http://no host";  // a base that is no URL skips the HTTP attempt


    void SetUp() override {
        fs::create_directories(music);
        const std::string cmd = "ffmpeg -loglevel error -y -f lavfi -i sine=frequency=440:duration=1 -ar 48000 -ac 2 '" +
                                (music / "a.wav").string() + "' </dev/null";
        ASSERT_EQ(std::system(cmd.c_str()), 0);
        server = std::make_unique<DeckFileServer>(nullptr, "me", &main);
        server->start(0);
        settings.setValue("orv.guiBase", "http://127.0.0.1:" + std::to_string(server->boundPort()));
        config = std::make_unique<motion::HostConfig>(settings);
        player = std::make_unique<FollowPlayer>(motion::AudioOutDevice{motion::AudioOutDevice::nullId, "null", "null", 2}, 0, 128);
        player->loadMain = &main;
        player->onStatus = [this](const std::string& s) { note([&] { status.push_back(s); }); };
        player->onLoaded = [this] { note([&] { ++loaded; }); };
        player->onLoadFailed = [this] { note([&] { ++failed; }); };
        player->onDecoded = [this](motion::StemRef, const std::string& name) { note([&] { decodedNames.push_back(name); }); };
    }
    void TearDown() override {
        main.invokeSync([&] { player.reset(); });
        server.reset();
        fs::remove_all(music);
    }
    void note(const std::function<void()>& f) {
        std::lock_guard l(m);
        f();
        cv.notify_all();
    }
    bool waitFor(const std::function<bool()>& done) {
        std::unique_lock l(m);
        return cv.wait_for(l, std::chrono::seconds(10), done);
    }
    void onMain(const std::function<void()>& f) { main.invokeSync(f); }
    void usePeer(ScriptedHttpServer& peer) {
        advert = registry->advertise("peer", "_plindo-file._tcp", peer.port(), nullptr);
        player->peerFetch = peerTrackFetch(registry, "me");
    }
};

TEST_F(TrackLoad, LoadsFromItsOwnServerAndLeavesNoFileBehind) {
    const std::string path = (music / "a.wav").string();
    onMain([&] { player->load(path, *config); });
    ASSERT_TRUE(waitFor([&] { return loaded == 1; }));
    onMain([&] {
        ASSERT_NE(player->table.read(), nullptr);
        EXPECT_EQ(player->table.read()->frames(), 48000u);
        EXPECT_EQ(player->loadGenCell.value(), player->loadGen);
        EXPECT_EQ(player->loadedPath, path);
        const int gen = player->loadGen;
        player->load(path, *config);  // the same path: nothing happens
        player->load("", *config);
        EXPECT_EQ(player->loadGen, gen);
    });
    std::lock_guard l(m);
    EXPECT_EQ(status, (std::vector<std::string>{"Deck loading a.wav \u2026", "Deck ready: a.wav (1 s @ 48 kHz)"}));
    EXPECT_EQ(decodedNames, std::vector<std::string>{"a.wav"});
    EXPECT_EQ(tmp.files(), 0u);
}

TEST_F(TrackLoad, FallsBackToAPeerWhenHttpCannotDeliver) {
    const std::string wav = testing::slurp(music / "a.wav");
    ScriptedHttpServer peer([&](const std::string&) {
        return "HTTP/1.1 200 OK\r\nContent-Length: " + std::to_string(wav.size()) + "\r\n\r\n" + wav;
    });
    usePeer(peer);
    // The own server answers 404 (no such file there); a base that is no URL skips HTTP; a path without an
    // extension is decoded as WAV.
    const std::pair<std::string, std::optional<std::string>> cases[] = {
        {"/elsewhere/x.wav", std::nullopt},
        {"/elsewhere/y.wav", noHttp},
        {"/elsewhere/noext", "http://127.0.0.1:" + std::to_string(server->boundPort())},
    };
    int expected = 0;
    for (const auto& c : cases) {
        onMain([&] { player->load(c.first, *config, c.second, std::string("peer")); });
        ++expected;
        ASSERT_TRUE(waitFor([&] { return loaded == expected; })) << c.first;
    }
    EXPECT_EQ(peer.requests().size(), 3u);
    EXPECT_NE(peer.requests()[2].find("GET /audio/stream?path=%2Felsewhere%2Fnoext HTTP/1.1\r\n"), std::string::npos);
    EXPECT_EQ(failed, 0);
    EXPECT_EQ(tmp.files(), 0u);
}

TEST_F(TrackLoad, ReportsFailuresAndDeletesDownloadsItCannotUse) {
    ScriptedHttpServer junk([](const std::string&) { return std::string("HTTP/1.1 200 OK\r\n\r\nthis is not audio"); });
    usePeer(junk);
    onMain([&] { player->load("/nowhere/z.mp3", *config); });
    ASSERT_TRUE(waitFor([&] { return failed == 1; }));
    onMain([&] { EXPECT_EQ(player->loadedPath, ""); });
    {
        std::lock_guard l(m);
        ASSERT_EQ(status.size(), 2u);
        EXPECT_EQ(status[1].rfind("Load failed: ", 0), 0u) << status[1];
    }
    EXPECT_EQ(tmp.files(), 0u);

    player->peerFetch = [](const std::string&, const std::optional<std::string>&, const std::string&, double) {
        return FollowPlayer::FetchedFile{std::nullopt, "no file service found (none advertised)"};
    };
    onMain([&] { player->load("/nowhere/z.mp3", *config); });  // a failed path can be tried again
    ASSERT_TRUE(waitFor([&] { return failed == 2; }));
    {
        std::lock_guard l(m);
        EXPECT_EQ(status.back(), "Load failed: no file service found (none advertised)");
    }

    // A download that cannot be renamed to its extension is deleted.
    const fs::path download = tmp.dir / "fixed-Track";
    fs::create_directories(tmp.dir / "fixed-Track.mp3" / "occupied");
    player->peerFetch = [&](const std::string&, const std::optional<std::string>&, const std::string&, double) {
        testing::writeFile(download, "bytes");
        return FollowPlayer::FetchedFile{download.string(), {}};
    };
    onMain([&] { player->load("/nowhere/Track.mp3", *config, noHttp); });
    ASSERT_TRUE(waitFor([&] { return failed == 3; }));
    EXPECT_FALSE(fs::exists(download));
    std::lock_guard l(m);
    EXPECT_EQ(status.back(), "Load failed: " + std::make_error_code(std::errc::is_a_directory).message());
}

TEST_F(TrackLoad, NewerLoadsAndUnloadsOvertakeOlderOnes) {
    // A fetch for a "slow" path waits until the test opens the gate.
    std::promise<void> release;
    std::shared_future<void> gate = release.get_future().share();
    player->peerFetch = [&](const std::string& request, const std::optional<std::string>&, const std::string& name, double) {
        if (request.find("slow") != std::string::npos) gate.wait();
        const fs::path copy = tmp.dir / ("copy-" + name);
        fs::copy_file(music / "a.wav", copy);
        return FollowPlayer::FetchedFile{copy.string(), {}};
    };
    onMain([&] {
        player->load("/peer/slow.wav", *config, noHttp);
        player->load("/peer/fast.wav", *config, noHttp);
    });
    ASSERT_TRUE(waitFor([&] { return loaded == 1; }));
    release.set_value();
    ASSERT_TRUE(waitFor([&] { return decodedNames.size() == 2; }));
    main.drain();
    {
        std::lock_guard l(m);
        EXPECT_EQ(loaded, 1);
        EXPECT_EQ(std::count_if(status.begin(), status.end(), [](const auto& s) { return s.rfind("Deck ready", 0) == 0; }), 1);
        EXPECT_EQ(status.back(), "Deck ready: fast.wav (1 s @ 48 kHz)");
    }
    onMain([&] { EXPECT_EQ(player->loadedPath, "/peer/fast.wav"); });

    // Unload during a load: the track that finishes later is not installed.
    std::promise<void> release2;
    gate = release2.get_future().share();
    onMain([&] {
        player->load("/peer/slow2.wav", *config, noHttp);
        player->unload();
        EXPECT_EQ(player->table.read(), nullptr);
        const int gen = player->loadGen;
        player->unload();  // already empty: nothing changes
        EXPECT_EQ(player->loadGen, gen);
    });
    release2.set_value();
    ASSERT_TRUE(waitFor([&] { return decodedNames.size() == 3; }));
    main.drain();
    onMain([&] {
        EXPECT_EQ(player->table.read(), nullptr);
        EXPECT_EQ(player->loadedPath, "");
    });
    EXPECT_EQ(loaded, 1);
    EXPECT_EQ(failed, 0);
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    EXPECT_EQ(tmp.files(), 0u);
}

TEST_F(TrackLoad, RefusesATrackTooLongToHoldAndNamesADamagedOne) {
    // Too large: refused from the header's length before anything is decoded; the deck gets no track.
    player->memoryBytes = 768'000;  // a quarter is half of the second's 384 kB
    player->deckNumber = 2;
    onMain([&] { player->load((music / "a.wav").string(), *config); });
    ASSERT_TRUE(waitFor([&] { return failed == 1; }));
    {
        std::lock_guard l(m);
        EXPECT_EQ(status.back(), "Load failed: track too long: needs 384 kB, at most 192 kB per deck on this machine");
        EXPECT_TRUE(decodedNames.empty());
    }
    onMain([&] { EXPECT_EQ(player->table.read(), nullptr); });
    EXPECT_GT(FollowPlayer::processMemoryBytes(), 0u);

    // Damaged: a FLAC cut to a sliver of its 20 s still loads what it holds, and says so.
    player->memoryBytes.reset();
    const fs::path flac = music / "cut.flac";
    const std::string cmd = "ffmpeg -loglevel error -y -f lavfi -i sine=frequency=440:duration=20 -ar 8000 '" +
                            flac.string() + "' </dev/null";
    ASSERT_EQ(std::system(cmd.c_str()), 0);
    fs::resize_file(flac, fs::file_size(flac) / 10);
    onMain([&] { player->load(flac.string(), *config); });
    ASSERT_TRUE(waitFor([&] { return loaded == 1; }));
    std::lock_guard l(m);
    EXPECT_EQ(status.back().rfind("Deck 2: track damaged, ", 0), 0u) << status.back();
    EXPECT_NE(status.back().find(" s of 20 s readable"), std::string::npos) << status.back();
}

}  // namespace
}  // namespace plindo::link
