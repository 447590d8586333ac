#include "link/deck_file_server.h"
#include "link/peer_track_fetch.h"
#include "motion/follow_player.h"
#include "platform/queue_executor.h"
#include "platform/settings.h"

#include "../platform/scripted_http_server.h"

#include <gtest/gtest.h>

#include <condition_variable>
#include <filesystem>
#include <fstream>
#include <future>

namespace plindo::link {
namespace {

namespace fs = std::filesystem;
using motion::FollowPlayer;
using plindo::testing::ScriptedHttpServer;

std::string slurp(const fs::path& p) {
    std::ifstream f(p, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(f), {});
}

struct TrackLoad : ::testing::Test {
    fs::path root = fs::temp_directory_path() / ("plindo-load-" + std::to_string(::getpid()));
    fs::path tmp = root / "tmp";
    fs::path music = root / "music";
    std::string oldTmp;
    platform::QueueExecutor main{"main-load"};
    platform::MemorySettings settings;
    std::unique_ptr<motion::HostConfig> config;
    std::unique_ptr<DeckFileServer> server;
    std::unique_ptr<FollowPlayer> player;

    std::mutex m;
    std::condition_variable cv;
    std::vector<std::string> status;
    std::vector<std::string> decodedNames;
    int loaded = 0;
    int failed = 0;

    void SetUp() override {
        fs::remove_all(root);
        fs::create_directories(tmp);
        fs::create_directories(music);
        if (const char* t = std::getenv("TMPDIR")) oldTmp = t;
        ::setenv("TMPDIR", tmp.c_str(), 1);
        const std::string cmd = "ffmpeg -loglevel error -y -f lavfi -i sine=frequency=440:duration=1 -ar 48000 -ac 2 '" +
                                (music / "a.wav").string() + "' </dev/null";
        ASSERT_EQ(std::system(cmd.c_str()), 0);
        fs::copy_file(music / "a.wav", music / "b.wav");
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
        if (oldTmp.empty())
            ::unsetenv("TMPDIR");
        else
            ::setenv("TMPDIR", oldTmp.c_str(), 1);
        fs::remove_all(root);
    }
    void note(const std::function<void()>& f) {
        std::lock_guard l(m);
        f();
        cv.notify_all();
    }
    bool waitFor(const std::function<bool()>& done, double sec = 10) {
        std::unique_lock l(m);
        return cv.wait_for(l, std::chrono::duration<double>(sec), done);
    }
    void onMain(const std::function<void()>& f) { main.invokeSync(f); }
    size_t tmpFiles() { return static_cast<size_t>(std::distance(fs::directory_iterator(tmp), fs::directory_iterator())); }
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
    EXPECT_EQ(tmpFiles(), 0u);
}

TEST_F(TrackLoad, FallsBackToAPeerWhenHttpCannotDeliver) {
    const std::string wav = slurp(music / "a.wav");
    ScriptedHttpServer peer([&](const std::string&) {
        return "HTTP/1.1 200 OK\r\nContent-Length: " + std::to_string(wav.size()) + "\r\n\r\n" + wav;
    });
    auto registry = std::make_shared<platform::FakeServiceRegistry>();
    auto reg = registry->advertise("peer", "_plindo-file._tcp", peer.port(), nullptr);
    player->peerFetch = peerTrackFetch(registry, "me");

    // The own server answers 404 (no such file there); a base that is no URL skips HTTP; a path without an
    // extension is decoded as WAV.
    const struct {
        std::string path;
        std::optional<std::string> base;
    } cases[] = {
        {"/elsewhere/x.wav", std::nullopt},
        {"/elsewhere/y.wav", std::string("http://no host")},
        {"/elsewhere/noext", "http://127.0.0.1:" + std::to_string(server->boundPort())},
    };
    int expected = 0;
    for (const auto& c : cases) {
        onMain([&] { player->load(c.path, *config, c.base, std::string("peer")); });
        ++expected;
        ASSERT_TRUE(waitFor([&] { return loaded == expected; })) << c.path;
    }
    EXPECT_EQ(peer.requests().size(), 3u);
    EXPECT_NE(peer.requests()[2].find("GET /audio/stream?path=%2Felsewhere%2Fnoext HTTP/1.1\r\n"), std::string::npos);
    EXPECT_EQ(failed, 0);
    EXPECT_EQ(tmpFiles(), 0u);
}

TEST_F(TrackLoad, ReportsFailuresOfTheNewestLoadOnly) {
    ScriptedHttpServer junk([](const std::string&) { return std::string("HTTP/1.1 200 OK\r\n\r\nthis is not audio"); });
    auto registry = std::make_shared<platform::FakeServiceRegistry>();
    auto reg = registry->advertise("junk", "_plindo-file._tcp", junk.port(), nullptr);
    player->peerFetch = peerTrackFetch(registry, "me");
    onMain([&] { player->load("/nowhere/z.mp3", *config); });
    ASSERT_TRUE(waitFor([&] { return failed == 1; }));
    onMain([&] { EXPECT_EQ(player->loadedPath, ""); });
    {
        std::lock_guard l(m);
        ASSERT_EQ(status.size(), 2u);
        EXPECT_EQ(status[1].rfind("Load failed: ", 0), 0u) << status[1];
    }
    EXPECT_EQ(tmpFiles(), 0u);

    player->peerFetch = [](const std::string&, const std::optional<std::string>&, const std::string&, double) {
        return FollowPlayer::FetchedFile{std::nullopt, "no file service found (none advertised)"};
    };
    onMain([&] { player->load("/nowhere/z.mp3", *config); });  // a failed path can be tried again
    ASSERT_TRUE(waitFor([&] { return failed == 2; }));
    std::lock_guard l(m);
    EXPECT_EQ(status.back(), "Load failed: no file service found (none advertised)");
}

TEST_F(TrackLoad, DeletesTheDownloadWhenItCannotBeRenamed) {
    const fs::path download = tmp / "fixed-Track";
    fs::create_directories(tmp / "fixed-Track.mp3" / "occupied");
    player->peerFetch = [&](const std::string&, const std::optional<std::string>&, const std::string&, double) {
        std::ofstream(download) << "bytes";
        return FollowPlayer::FetchedFile{download.string(), {}};
    };
    onMain([&] { player->load("/nowhere/Track.mp3", *config, std::string("http://no host")); });
    ASSERT_TRUE(waitFor([&] { return failed == 1; }));
    EXPECT_FALSE(fs::exists(download));
    std::lock_guard l(m);
    EXPECT_EQ(status.back(), "Load failed: " + std::make_error_code(std::errc::is_a_directory).message());
}

TEST_F(TrackLoad, NewerLoadsAndUnloadsOvertakeOlderOnes) {
    // The first load's fetch waits until the test lets it go.
    std::promise<void> release;
    auto gate = release.get_future().share();
    const std::string wav = (music / "b.wav").string();
    player->peerFetch = [&, gate](const std::string& request, const std::optional<std::string>&, const std::string& name, double) {
        if (request.find("slow") != std::string::npos) gate.wait();
        const fs::path copy = tmp / ("copy-" + name);
        fs::copy_file(wav, copy);
        return FollowPlayer::FetchedFile{copy.string(), {}};
    };
    onMain([&] {
        player->load("/peer/slow.wav", *config, std::string("http://no host"));
        player->load("/peer/fast.wav", *config, std::string("http://no host"));
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
    player->peerFetch = [&, gate](const std::string&, const std::optional<std::string>&, const std::string& name, double) {
        gate.wait();
        const fs::path copy = tmp / ("copy2-" + name);
        fs::copy_file(wav, copy);
        return FollowPlayer::FetchedFile{copy.string(), {}};
    };
    onMain([&] {
        player->load("/peer/slow2.wav", *config, std::string("http://no host"));
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
    EXPECT_EQ(tmpFiles(), 0u);
}

}  // namespace
}  // namespace plindo::link
