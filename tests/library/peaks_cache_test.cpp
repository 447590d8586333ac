#include "library/deck_file_payloads.h"
#include "library/peaks_cache.h"
#include "library_test_files.h"
#include "link/deck_file_server.h"
#include "link/raw_http.h"
#include "motion/decode_audio_file.h"
#include "platform/url.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <atomic>
#include <cmath>
#include <condition_variable>
#include <fstream>
#include <mutex>
#include <thread>

namespace plindo::library {
namespace {

namespace fs = std::filesystem;
using nlohmann::json;

struct PeaksCacheTest : ::testing::Test {
    testfiles::TempDir dir;
    platform::FakeClock clock;
    std::vector<std::string> decoded;
    PeaksCache cache{clock, [this](const std::string& p, double rate) -> motion::StemRef {
                         decoded.push_back(fs::path(p).filename().string());
                         EXPECT_EQ(rate, 44100.0);
                         if (p.find("bad") != std::string::npos) return nullptr;
                         auto s = std::make_shared<motion::StemBuf>();
                         s->sampleRate = 44100;
                         for (int i = 0; i < 44100 * 4; ++i) s->left.push_back(0.5f * std::sin(0.05f * float(i)));
                         s->right = s->left;
                         return s;
                     }};

    std::string file(const std::string& name, const std::string& bytes = "x") {
        testfiles::writeText(dir.path / name, bytes);
        return (dir.path / name).string();
    }
};

TEST_F(PeaksCacheTest, DecodesEachTrackOnceWhileItIsCached) {
    const std::string a = file("Track.mp3");
    const auto first = cache.serve(a, 1400, 1, -1);
    ASSERT_EQ(first.status, "200 OK");
    const json j = json::parse(first.body);
    EXPECT_EQ(j["columns"], 1400);
    EXPECT_EQ(j["audio_path"], "Track.mp3");  // the name only, not where it lives
    EXPECT_EQ(json::parse(cache.serve(a, 3, 0, 0).body)["columns"], 8);
    EXPECT_EQ(decoded.size(), 1u);

    // A replaced file keeps being served from the cache.
    file("Track.mp3", "changed");
    EXPECT_EQ(cache.serve(a, 100, 0, 0).status, "200 OK");
    EXPECT_EQ(decoded.size(), 1u);

    std::vector<std::string> paths;
    for (int i = 0; i < 6; ++i) paths.push_back(file("t" + std::to_string(i) + ".wav"));
    for (const auto& p : paths) cache.serve(p, 100, 0, 0);  // seven tracks analysed: the first is pushed out
    EXPECT_EQ(decoded.size(), 7u);
    cache.serve(paths[5], 100, 0, 0);
    EXPECT_EQ(decoded.size(), 7u);
    cache.serve(a, 100, 0, 0);
    EXPECT_EQ(decoded.size(), 8u);
    cache.serve(paths[0], 100, 0, 0);  // pushed out by the re-analysis of the first
    EXPECT_EQ(decoded.size(), 9u);
}

TEST_F(PeaksCacheTest, RemembersFailuresForAMinuteUnlessTheFileChanges) {
    const std::string bad = file("bad.mp3", "1234");
    const auto r = cache.serve(bad, 100, 0, 0);
    EXPECT_EQ(r.status, "500 Internal Server Error");
    EXPECT_EQ(json::parse(r.body), (json{{"error", "decode failed"}, {"path", bad}}));
    clock.advance(59);
    EXPECT_EQ(cache.serve(bad, 100, 0, 0).status, "500 Internal Server Error");
    EXPECT_EQ(decoded.size(), 1u);
    clock.advance(1.5);
    cache.serve(bad, 100, 0, 0);
    EXPECT_EQ(decoded.size(), 2u);
    file("bad.mp3", "123456");  // another size: decoded at once
    cache.serve(bad, 100, 0, 0);
    EXPECT_EQ(decoded.size(), 3u);

    // The 33rd failing file empties the memory: every one of them is decoded again.
    for (int i = 0; i < 32; ++i) cache.serve(file("bad" + std::to_string(i) + ".mp3"), 100, 0, 0);
    const size_t before = decoded.size();
    cache.serve(bad, 100, 0, 0);
    cache.serve((dir.path / "bad0.mp3").string(), 100, 0, 0);
    EXPECT_EQ(decoded.size(), before + 2);
}

// Peaks stream their analysis and hold nothing of the signal: a track of any length gets its waveform. A
// low rate keeps three hours cheap to decode.
TEST(PeaksCacheLimits, ATrackOfThreeHoursGetsItsPeaks) {
    testfiles::TempDir dir;
    testfiles::silentWav(dir.path / "three-hours.wav", 3 * 3600, 200, 1);
    PeaksCache cache(platform::systemClock(), {}, PeaksCache::kStreamFromSec, 200);
    const auto answer = cache.serve((dir.path / "three-hours.wav").string(), 1400, 0, 0);
    ASSERT_EQ(answer.status, "200 OK") << answer.body;
    const json j = json::parse(answer.body);
    EXPECT_NEAR(j["duration_sec"].get<double>(), 3 * 3600, 0.01);
    EXPECT_EQ(j["columns"], 1400);
    EXPECT_EQ(cache.workSeconds((dir.path / "three-hours.wav").string()), 0.0) << "cached: answered at once";
    testfiles::silentWav(dir.path / "other.wav", 20);
    EXPECT_NEAR(cache.workSeconds((dir.path / "other.wav").string()).value_or(-1), 20, 0.01) << "by its header";
}

TEST(PeaksCacheLimits, ALongTrackIsAnalysedAsItIsDecodedToTheSameEnvelope) {
    testfiles::TempDir dir;
    const fs::path wav = dir.path / "long.wav", flac = dir.path / "long.flac";
    for (const auto& p : {wav, flac}) {
        const std::string cmd = "ffmpeg -nostdin -loglevel error -y -f lavfi -i 'aevalsrc=0.5*sin(2*PI*(200+40*t)*t):s=44100:d=3' "
                                "-ac 2 '" + p.string() + "'";
        ASSERT_EQ(std::system(cmd.c_str()), 0);
    }
    std::vector<std::string> wholeDecodes;
    const PeaksCache::Decoder decode = [&](const std::string& p, double rate) {
        wholeDecodes.push_back(p);
        return motion::decodeAudioFile(p, rate).stem;
    };
    PeaksCache whole(platform::systemClock(), decode), streaming(platform::systemClock(), decode, 1.0);
    for (const auto& p : {wav, flac}) {
        const auto a = whole.serve(p.string(), 1400, 0, 0), b = streaming.serve(p.string(), 1400, 0, 0);
        ASSERT_EQ(a.status, "200 OK");
        EXPECT_EQ(b.status, "200 OK");
        EXPECT_EQ(a.body, b.body) << p;
    }
    EXPECT_EQ(wholeDecodes, (std::vector<std::string>{wav.string(), flac.string()})) << "the 3 s tracks streamed";
}

// The track server's two peaks lanes serve different tracks at once, while its queue asks what they cost.
TEST(PeaksCacheLimits, TwoLanesServeDifferentTracksAtOnce) {
    testfiles::TempDir dir;
    std::vector<std::string> paths;
    for (int i = 0; i < 8; ++i) testfiles::silentWav(paths.emplace_back((dir.path / (std::to_string(i) + ".wav")).string()), 2);
    PeaksCache cache;
    std::atomic<int> served{0};
    std::mutex refusedMutex;
    std::string refused;  // what a failed answer said, to tell why
    const auto lane = [&](size_t first) {
        for (size_t i = first; i < paths.size(); i += 2) {
            const auto answer = cache.serve(paths[i], 100, 0, 0);
            if (answer.status == "200 OK") {
                ++served;
            } else {
                std::lock_guard lock(refusedMutex);
                refused += paths[i] + ": " + answer.status + " " + answer.body + "\n";
            }
        }
    };
    std::thread a(lane, 0), b(lane, 1);
    for (int round = 0; round < 20; ++round)
        for (const auto& p : paths) (void)cache.workSeconds(p);
    a.join();
    b.join();
    EXPECT_EQ(served.load(), 8) << refused;
    EXPECT_EQ(std::count_if(paths.begin(), paths.end(), [&](const auto& p) { return cache.workSeconds(p) == 0.0; }),
              static_cast<long>(PeaksCache::kMaxEnvelopes));
}

// A client whose two places both run long analyses still gets the peaks of a track it had analysed before:
// at once, and the very answer the analysis gave; and a track that failed a moment ago fails again at once.
TEST(PeaksCacheRoute, ACachedTrackIsAnsweredWhileTheClientsPlacesRunLongAnalyses) {
    namespace lt = link::testing;
    testfiles::TempDir dir;
    const fs::path cached = dir.path / "cached.flac";
    const std::string cmd = "ffmpeg -nostdin -loglevel error -y -f lavfi -i 'sine=frequency=220:duration=180' -ar 8000 "
                            "-ac 1 '" + cached.string() + "'";
    ASSERT_EQ(std::system(cmd.c_str()), 0);
    testfiles::silentWav(dir.path / "long-9min.wav", 9 * 60, 8000, 1);
    testfiles::silentWav(dir.path / "long-7min.wav", 7 * 60, 8000, 1);
    const fs::path broken = dir.path / "broken.flac";
    std::ofstream(broken) << std::string(4096, 'x');

    // The analyses of the long tracks last until the test opens the gate.
    std::mutex m;
    std::condition_variable cv;
    bool open = false;
    int inside = 0;
    const auto release = [&] {
        std::lock_guard l(m);
        open = true;
        cv.notify_all();
    };
    PeaksCache cache(platform::systemClock(), [&](const std::string& p, double rate) -> motion::StemRef {
        if (p.find("long") == std::string::npos) return motion::decodeAudioFile(p, rate).stem;
        std::unique_lock l(m);
        ++inside;
        cv.notify_all();
        cv.wait_for(l, std::chrono::seconds(20), [&] { return open; });
        auto s = std::make_shared<motion::StemBuf>();
        s->sampleRate = rate;
        s->left.assign(static_cast<size_t>(rate), 0.0f);
        s->right = s->left;
        return s;
    }, 3 * 3600.0, 8000);
    SeratoLibrary library(dir.path / "no-library");
    link::DeckFileServer server(nullptr, "peaks", nullptr);
    server.payloads = deckFilePayloads(library, cache);
    server.start(0);
    const std::shared_ptr<void> opened(nullptr, [&](void*) { release(); });  // before the server waits for its lanes

    const auto send = [&](const fs::path& p) {
        const int fd = lt::connectTo("127.0.0.1", server.boundPort(), "127.0.0.2");
        lt::sendAll(fd, lt::getRequest("/wave/peaks?path=" + platform::percentEncodeQueryValue(p.string()) +
                                       "&center=90&window=30&columns=1400"));
        return fd;
    };
    const auto answer = [](int fd) {
        const auto r = lt::readAll(fd, 5.0);
        ::close(fd);
        return r;
    };
    const auto analysed = answer(send(cached));
    ASSERT_EQ(lt::statusLineOf(analysed), "HTTP/1.1 200 OK") << analysed.bytes.substr(0, 300);
    const auto failed = answer(send(broken));
    ASSERT_EQ(lt::statusLineOf(failed), "HTTP/1.1 500 Internal Server Error") << failed.bytes.substr(0, 300);
    const int first = send(dir.path / "long-9min.wav"), second = send(dir.path / "long-7min.wav");
    {
        std::unique_lock l(m);
        ASSERT_TRUE(cv.wait_for(l, std::chrono::seconds(5), [&] { return inside == 2; }));
    }
    const auto fromCache = answer(send(cached));  // the gate is still closed
    EXPECT_EQ(lt::statusLineOf(fromCache), "HTTP/1.1 200 OK");
    EXPECT_TRUE(lt::bodyOf(fromCache) == lt::bodyOf(analysed)) << "not the analysed answer";
    const auto failedAgain = answer(send(broken));
    EXPECT_EQ(lt::statusLineOf(failedAgain), "HTTP/1.1 500 Internal Server Error");
    EXPECT_EQ(lt::bodyOf(failedAgain), lt::bodyOf(failed));
    release();
    EXPECT_EQ(lt::statusLineOf(answer(first)), "HTTP/1.1 200 OK");
    EXPECT_EQ(lt::statusLineOf(answer(second)), "HTTP/1.1 200 OK");
}

}  // namespace
}  // namespace plindo::library
