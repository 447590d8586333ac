// Loading a deck from real files made here: what a deck may hold in memory, tracks cut or damaged on disk,
// a track of this host that goes or changes while it loads, and one that only another host holds.
#include "motion/follow_player.h"
#include "platform/settings.h"

#include "../platform/scripted_http_server.h"

#include <gtest/gtest.h>

#include <unistd.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <mutex>

using namespace plindo::motion;
namespace fs = std::filesystem;

namespace {

struct FollowLoad : ::testing::Test {
    fs::path dir = fs::temp_directory_path() / ("plindo-follow-load-" + std::to_string(::getpid()));
    plindo::platform::MemorySettings settings;
    std::unique_ptr<HostConfig> config;
    FollowPlayer player{AudioOutDevice{AudioOutDevice::nullId, "null", "null", 2}, 0, 128};
    std::mutex m;
    std::condition_variable cv;
    std::vector<std::string> status;
    int ends = 0;                   // loads that installed a track or failed
    std::atomic<int> peerAsks{0};   // every peer fetch hands over a copy of the file the request names
    StemRef installed;

    void SetUp() override {
        fs::create_directories(dir);
        settings.setValue("orv.guiBase", "http://127.0.0.1:1");  // nothing listens: HTTP fails at once
        config = std::make_unique<HostConfig>(settings);
        player.deckNumber = 1;
        player.onStatus = [this](const std::string& s) { note([&] { status.push_back(s); }); };
        player.onLoaded = [this] { note([&] { ++ends, installed = player.table.read(); }); };
        player.onLoadFailed = [this] { note([&] { ++ends; }); };
        player.peerFetch = [this](const std::string&, const std::optional<std::string>&, const std::string& name, double) {
            ++peerAsks;
            FollowPlayer::FetchedFile out;
            const fs::path copy = dir / ("fetched-" + name);
            std::error_code ec;
            fs::copy_file(dir / name, copy, fs::copy_options::overwrite_existing, ec);
            if (ec) out.error = "no file service found (none advertised)";
            else out.path = copy.string();
            return out;
        };
    }
    void TearDown() override { fs::remove_all(dir); }
    void note(const std::function<void()>& f) {
        std::lock_guard l(m);
        f();
        cv.notify_all();
    }
    // Loads `name` from the folder and waits for its outcome; the last status line.
    std::string load(const std::string& name, FollowPlayer::TrackHome home = FollowPlayer::TrackHome::OtherHost,
                     std::optional<std::string> base = std::nullopt) {
        const int before = ends;
        player.load((dir / name).string(), *config, base, std::nullopt, home);
        std::unique_lock l(m);
        EXPECT_TRUE(cv.wait_for(l, std::chrono::seconds(10), [&] { return ends > before; })) << name;
        return status.empty() ? "" : status.back();
    }
    void ffmpeg(const std::string& input, const std::string& out) {
        const std::string cmd = "ffmpeg -nostdin -loglevel error -y -bitexact " + input + " '" + (dir / out).string() + "'";
        ASSERT_EQ(std::system(cmd.c_str()), 0) << cmd;
    }
    std::string read(const std::string& name) {
        std::ifstream in(dir / name, std::ios::binary);
        return {std::istreambuf_iterator<char>(in), {}};
    }
    void write(const std::string& name, const std::string& bytes) { std::ofstream(dir / name, std::ios::binary) << bytes; }
};

TEST_F(FollowLoad, AskedForMoreThanAQuarterOfMemoryNamesTheSizeAndTheLimit) {
    ffmpeg("-f lavfi -i 'sine=frequency=440:duration=1' -ar 48000 -ac 2", "one.wav");  // 384 kB decoded
    player.memoryBytes = 1'000'000;
    EXPECT_EQ(load("one.wav"), "Load failed: track too long: needs 384 kB, at most 250 kB per deck on this machine");
    player.memoryBytes = 1'600'000;
    EXPECT_EQ(load("one.wav"), "Deck ready: one.wav (1 s @ 48 kHz)");

    // Three hours, as a FLAC header tells them, on a machine of 8 GB: refused before decoding.
    ffmpeg("-f lavfi -i 'sine=frequency=440:duration=1' -ar 48000 -ac 2 -c:a flac", "short.flac");
    std::string flac = read("short.flac");
    ASSERT_EQ(flac.substr(0, 4), "fLaC");
    const uint32_t frames = 3 * 3600 * 48000;
    flac[21] = static_cast<char>(flac[21] & 0xF0);  // STREAMINFO's total samples, 36 bits from here
    for (int i = 0; i < 4; ++i) flac[size_t(22 + i)] = static_cast<char>(frames >> (24 - 8 * i));
    write("three-hours.flac", flac);
    player.memoryBytes = 8'000'000'000;
    EXPECT_EQ(load("three-hours.flac"), "Load failed: track too long: needs 4.1 GB, at most 2.0 GB per deck on this machine");
}

struct FollowMemory : ::testing::Test {
    const fs::path root = fs::temp_directory_path() / ("plindo-cgroup-" + std::to_string(::getpid()));
    // A unified hierarchy and an older-layout memory controller, each with groups of its own.
    MemorySources from{(root / "unified").string(), (root / "memory").string(), (root / "self-cgroup").string(), {}};

    void TearDown() override { fs::remove_all(root); }
    void put(const fs::path& file, const std::string& text) {
        fs::create_directories(file.parent_path());
        std::ofstream(file) << text;
    }
    void self(const std::string& text) { put(from.selfCgroup, text); }
    void unified(const std::string& group, const std::string& text) { put(root / "unified" / group / "memory.max", text); }
    void legacy(const std::string& group, const std::string& text) {
        put(root / "memory" / group / "memory.limit_in_bytes", text);
    }
};

TEST_F(FollowMemory, TheLowestCgroupLimitOnTheWayDownCounts) {
    unified("user.slice", "max\n");
    unified("user.slice/app.scope", "2147483648\n");
    unified("capped.slice", "1000000\n");
    unified("capped.slice/big.scope", "9000000\n");
    unified("odd.slice", "12abc\n");
    legacy(".", "9223372036854771712\n");  // the older layout's "no limit"
    legacy("docker/abc", "1073741824\n");
    legacy("docker/small", "536870912\n");
    legacy("docker", "805306368\n");
    legacy("odd/huge", "99999999999999999999999\n");
    legacy("odd/zero", "0\n");
    constexpr uint64_t none = 9223372036854771712;
    const struct {
        std::string self;
        std::optional<uint64_t> limit;
    } cases[] = {
        {"0::/user.slice/app.scope\n", 2147483648},
        {"0::/capped.slice/big.scope\n", 1000000},  // the parent's limit is lower
        {"0::/user.slice\n", std::nullopt},          // "max": none
        {"0::/odd.slice\n", std::nullopt},           // not a number: none
        {"0::/\n", std::nullopt},                    // the root sets none
        {"0::/user.slice/../capped.slice\n", std::nullopt},
        // The older layout: its root's "no limit" is a limit too, physical memory beats it.
        {"4:memory:/\n", none},
        {"4:memory:/docker/abc\n", 805306368},                                  // the parent's is lower
        {"9:name=systemd:/\n5:cpu,memory,blkio:/docker/small\n", 536870912},   // a comma list holding it
        {"4:memsw:/docker/small\n", std::nullopt},                              // not the memory controller
        {"0::/user.slice/app.scope\n4:memory:/docker/small\n", 536870912},     // hybrid: the lower of both
        {"4:memory:/odd/huge\n", none},
        {"4:memory:/odd/zero\n", none},
        {"4:memory:/docker/../../../etc\n", std::nullopt},
        {"garbage\n::\n:\n4:memory\n\n", std::nullopt},
    };
    for (const auto& c : cases) {
        self(c.self);
        EXPECT_EQ(FollowPlayer::cgroupMemoryMax(from), c.limit) << c.self.substr(0, 80);
    }
    fs::remove(from.selfCgroup);
    EXPECT_EQ(FollowPlayer::cgroupMemoryMax(from), std::nullopt);
    from.selfCgroup = "/dev/zero";  // endless: read only so far
    EXPECT_EQ(FollowPlayer::cgroupMemoryMax(from), std::nullopt);
    EXPECT_GT(FollowPlayer::processMemoryBytes(), 0u);
}

TEST_F(FollowMemory, TheProcessMayUseTheLowerOfPhysicalMemoryAndItsGroupsLimit) {
    constexpr uint64_t GiB = 1ull << 30;
    legacy(".", "9223372036854771712\n");
    legacy("docker/abc", std::to_string(GiB) + "\n");
    self("4:memory:/docker/abc\n");
    from.physicalBytes = 16 * GiB;
    EXPECT_EQ(FollowPlayer::processMemoryBytes(from), GiB);  // held to 1 GiB on a machine of 16
    from.physicalBytes = GiB / 2;
    EXPECT_EQ(FollowPlayer::processMemoryBytes(from), GiB / 2);
    from.physicalBytes = 0;  // unknown: the group's limit
    EXPECT_EQ(FollowPlayer::processMemoryBytes(from), GiB);
    self("4:memory:/\n");  // no limit but the older layout's "none"
    from.physicalBytes = 16 * GiB;
    EXPECT_EQ(FollowPlayer::processMemoryBytes(from), 16 * GiB);
}

TEST_F(FollowLoad, ACutOrDamagedTrackPlaysWhatItHoldsAndSaysSo) {
    // A WAV and an AIFF cut to half their 20 s.
    for (const char* ext : {"wav", "aiff"}) {
        const std::string name = std::string("cut.") + ext;
        ffmpeg("-f lavfi -i 'sine=frequency=440:duration=20' -ar 48000 -ac 2", name);
        fs::resize_file(dir / name, fs::file_size(dir / name) / 2);
        EXPECT_EQ(load(name).rfind("Deck 1: track damaged, 10.0 s of 20 s readable", 0), 0u) << status.back();
        EXPECT_NEAR(installed->seconds(), 10.0, 0.05) << name;
    }
    // A whole one whose writer streamed it, so that its header gives no length, is no damage.
    ffmpeg("-f lavfi -i 'sine=frequency=440:duration=2' -ar 48000 -ac 2", "whole.wav");
    std::string streamed = read("whole.wav");
    streamed.replace(streamed.find("data") + 4, 4, 4, '\xFF');
    write("streamed.wav", streamed);
    EXPECT_EQ(load("streamed.wav"), "Deck ready: streamed.wav (2 s @ 48 kHz)");

    // A FLAC damaged in twenty places: the frames there are lost and stay silent, the others keep their
    // times, and the line says how much is readable.
    ffmpeg("-f lavfi -i 'aevalsrc=0.5*sin(2*PI*(200+40*t)*t):s=44100:d=20' -ac 2 -c:a flac", "damaged.flac");
    std::string flac = read("damaged.flac");
    for (size_t run = 1; run <= 20; ++run)
        for (size_t k = 0; k < 200; ++k) flac[run * flac.size() / 21 + k] = static_cast<char>(k * 37);
    write("damaged.flac", flac);
    EXPECT_EQ(load("damaged.flac").rfind("Deck 1: track damaged, ", 0), 0u) << status.back();
    EXPECT_NE(status.back().find(" s of 20 s readable"), std::string::npos) << status.back();
    EXPECT_NEAR(installed->seconds(), 20.0, 0.01);
}

TEST_F(FollowLoad, ATrackOfThisHostThatGoesOrChangesWhileLoadingSaysSoAtOnce) {
    const auto started = std::chrono::steady_clock::now();
    ffmpeg("-f lavfi -i 'sine=frequency=440:duration=2' -ar 48000 -ac 2", "removed.wav");
    ffmpeg("-f lavfi -i 'sine=frequency=440:duration=2' -ar 48000 -ac 2", "cut.wav");
    // Its own track server finds one gone, and sends the other short while it is cut on disk.
    plindo::testing::ScriptedHttpServer server([&](const std::string& head) {
        if (head.find("removed.wav") != std::string::npos) {
            fs::remove(dir / "removed.wav");
            return std::string("HTTP/1.1 404 Not Found\r\nContent-Length: 0\r\n\r\n");
        }
        fs::resize_file(dir / "cut.wav", 1000);
        return std::string("HTTP/1.1 200 OK\r\nContent-Length: 384044\r\n\r\n") + std::string(1000, '\0');
    });
    const std::string base = "http://127.0.0.1:" + std::to_string(server.port());
    EXPECT_EQ(load("removed.wav", FollowPlayer::TrackHome::ThisHost, base), "Load failed: file not found");
    EXPECT_EQ(load("cut.wav", FollowPlayer::TrackHome::ThisHost, base), "Load failed: file changed while loading");
    EXPECT_EQ(peerAsks, 0) << "other hosts are not asked for a file this host lost";
    EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(5));
}

TEST_F(FollowLoad, ATrackThisDiskDoesNotHoldOrItsServerCannotSendIsAskedOfTheOtherHosts) {
    // This host's track server answers 404 for a path it does not hold; the fake peer holds the files of `dir`.
    plindo::testing::ScriptedHttpServer server(
        [](const std::string&) { return std::string("HTTP/1.1 404 Not Found\r\nContent-Length: 0\r\n\r\n"); });
    const std::string base = "http://127.0.0.1:" + std::to_string(server.port());
    ffmpeg("-f lavfi -i 'sine=frequency=440:duration=1' -ar 48000 -ac 2", "peer.wav");
    EXPECT_EQ(load("away/peer.wav", FollowPlayer::TrackHome::ThisHost, base), "Deck ready: peer.wav (1 s @ 48 kHz)");
    EXPECT_EQ(load("away/nowhere.wav", FollowPlayer::TrackHome::ThisHost, base),
              "Load failed: no file service found (none advertised)");

    // Unchanged on disk, a track of this host that its server cannot send is asked of the others too; so is a
    // track of another host, whatever lies on this disk.
    ffmpeg("-f lavfi -i 'sine=frequency=440:duration=1' -ar 48000 -ac 2", "here.wav");
    EXPECT_EQ(load("here.wav", FollowPlayer::TrackHome::ThisHost, base), "Deck ready: here.wav (1 s @ 48 kHz)");
    EXPECT_EQ(load("elsewhere.wav"), "Load failed: no file service found (none advertised)");
    EXPECT_EQ(peerAsks, 4);
}

}  // namespace
