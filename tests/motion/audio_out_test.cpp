#include "motion/audio_out.h"
#include "motion/follow_player.h"
#include "ramp_stem.h"
#include "thread_wakes.h"

#include <gtest/gtest.h>
#include <sndfile.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <thread>
#include <unordered_set>

using namespace plindo::motion;
namespace fs = std::filesystem;

namespace {

using Raw = AudioOutDevice::Raw;

TEST(AudioOutDevice, ListingRulesAndPairLabels) {
    auto source = [] {
        return std::vector<Raw>{
            {0, "ALSA", "HDA Intel: Mic", 0},  // input only
            {1, "ALSA", "USB Interface", 4},
            {2, "ALSA", "", 2},  // nameless
            {3, "JACK Audio Connection Kit", "system", 8},
            {4, "ALSA", "USB Interface", 2},  // a second card of the same name
        };
    };
    const auto list = AudioOutDevice::outputDevices(source);
    ASSERT_EQ(list.size(), 5u);
    EXPECT_EQ(list[0].uid, "null");
    EXPECT_EQ(list[1].uid, "file");
    EXPECT_EQ(list[2], (AudioOutDevice{AudioOutDevice::firstCardId + 1, "ALSA:USB Interface", "USB Interface", 4}));
    EXPECT_EQ(list[3],
              (AudioOutDevice{AudioOutDevice::firstCardId + 3, "JACK Audio Connection Kit:system", "system", 8}));
    EXPECT_EQ(list[4].uid, "ALSA:USB Interface#2");
    EXPECT_EQ(AudioOutDevice::outputDevices(source), list) << "uids are stable from one listing to the next";
    EXPECT_EQ(std::unordered_set<AudioOutDevice>(list.begin(), list.end()).size(), list.size());
    // No PortAudio (or no cards): the built-in devices are still there.
    EXPECT_EQ(AudioOutDevice::outputDevices([] { return std::vector<Raw>{}; }).size(), 2u);
    EXPECT_GE(AudioOutDevice::outputDevices().size(), 2u);

    EXPECT_EQ(channelPairLabel(0), "1\xE2\x80\x93" "2");
    EXPECT_EQ(channelPairLabel(6), "7\xE2\x80\x93" "8");
}

// Counts frames rendered, writing the running frame number into both channels.
struct Counter {
    std::atomic<uint64_t> frames{0};
    AudioOut::Render render() {
        return [this](float* l, float* r, uint32_t n) {
            const uint64_t base = frames.load();
            for (uint32_t i = 0; i < n; ++i) r[i] = -(l[i] = static_cast<float>((base + i) % 10000));
            frames.store(base + n);
        };
    }
};

std::vector<float> readWav(const fs::path& path, SF_INFO& info) {
    info = {};
    SNDFILE* f = sf_open(path.c_str(), SFM_READ, &info);
    if (!f) return {};
    std::vector<float> data(static_cast<size_t>(info.frames * info.channels));
    sf_readf_float(f, data.data(), info.frames);
    sf_close(f);
    return data;
}

fs::path tempWav(const char* stem) { return fs::temp_directory_path() / (stem + std::to_string(::getpid()) + ".wav"); }

TEST(AudioOut, BuiltInDevicesPullRendersAtThePeriodAndTheFileRecordsThem) {
    const auto devices = AudioOutDevice::outputDevices([] { return std::vector<Raw>{}; });
    const fs::path wav = tempWav("plindo-out-");
    for (const AudioOutDevice& dev : devices) {
        AudioOut out(dev, 0);
        out.requestBufferFrames = 128;
        out.setFilePath(wav.string());
        std::vector<std::string> lines;
        out.onStatus = [&](const std::string& l) { lines.push_back(l); };
        Counter c;
        const double wallStart = plindo::platform::mediaNow();
        ASSERT_TRUE(out.start(c.render())) << dev.uid;
        // Paced at the period: it keeps rendering (a device a busy machine paces late catches up), and never
        // gets ahead of the time that passed.
        while (c.frames.load() < 48000 * 3 / 10 && plindo::platform::mediaNow() - wallStart < 60)
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        out.stop();
        const double wall = plindo::platform::mediaNow() - wallStart;
        EXPECT_FALSE(out.running());
        EXPECT_EQ(lines, std::vector<std::string>{"Audio out \xE2\x86\x92 " + dev.name + " (48.0 kHz, out 0.0 ms)"});
        const double seconds = c.frames.load() / 48000.0;
        EXPECT_GE(seconds, 0.3) << dev.uid;
        EXPECT_LE(seconds, wall + 128 / 48000.0) << dev.uid;
        if (dev.uid != "file") continue;
        SF_INFO info;
        const auto data = readWav(wav, info);
        ASSERT_EQ(info.channels, 2);
        EXPECT_EQ(info.samplerate, 48000);
        ASSERT_EQ(static_cast<uint64_t>(info.frames), c.frames.load()) << "every rendered frame is recorded";
        for (sf_count_t i = 0; i < info.frames; ++i) {
            ASSERT_EQ(data[2 * i], static_cast<float>(i % 10000)) << i;
            ASSERT_EQ(data[2 * i + 1], -static_cast<float>(i % 10000)) << i;
        }
    }
    fs::remove(wav);

    std::string line;
    Counter c;
    AudioOut bad(devices[1], 0);
    bad.setFilePath("/nonexistent-dir/x.wav");
    bad.onStatus = [&](const std::string& l) { line = l; };
    EXPECT_FALSE(bad.start(c.render()));
    EXPECT_EQ(line.rfind("Audio out file: start failed: ", 0), 0u) << line;
    EXPECT_FALSE(bad.running());
    AudioOut gone(AudioOutDevice{AudioOutDevice::firstCardId + 999, "ALSA:gone", "gone", 2}, 0);
    gone.onStatus = [&](const std::string& l) { line = l; };
    EXPECT_FALSE(gone.start(c.render()));
    EXPECT_EQ(line.rfind("Audio out gone: set device failed (", 0), 0u) << line;
}

TEST(AudioOut, TheNullDeviceWakesSeldomWhileSilentAndKeepsItsRateAndPeriod) {
    AudioOut out(AudioOutDevice::outputDevices([] { return std::vector<Raw>{}; })[0], 0);
    ASSERT_EQ(out.deviceUID, "null");
    out.requestBufferFrames = 128;
    std::atomic<bool> sound{false};
    std::atomic<uint64_t> frames{0};
    std::atomic<uint32_t> oddCalls{0};
    ASSERT_TRUE(out.start([&](float* l, float* r, uint32_t n) {
        if (n != 128) oddCalls.fetch_add(1);
        std::fill_n(l, n, sound.load() ? 0.5f : 0.0f);
        std::fill_n(r, n, 0.0f);
        frames.fetch_add(n);
    }));
    // Wake-ups and frames pulled over half a second, once the current state has settled.
    auto measure = [&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(400));
        const long w0 = plindo::test_threads::wakesOf("audio.null");
        const uint64_t f0 = frames.load();
        const double t0 = plindo::platform::mediaNow();
        std::this_thread::sleep_for(std::chrono::milliseconds(500));
        const double seconds = plindo::platform::mediaNow() - t0;
        return std::pair{static_cast<double>(plindo::test_threads::wakesOf("audio.null") - w0) / seconds,
                         static_cast<double>(frames.load() - f0) / seconds};
    };
    // 375 periods a second: pulled in batches while silent, one per wake once there is sound.
    const auto [quietWakes, quietRate] = measure();
    EXPECT_LT(quietWakes, 100);
    EXPECT_NEAR(quietRate, 48000, 6000);
    sound = true;
    const auto [soundWakes, soundRate] = measure();
    EXPECT_GT(soundWakes, 150);  // of 375: a thread running late renders without sleeping
    EXPECT_NEAR(soundRate, 48000, 6000);
    out.stop();
    EXPECT_EQ(oddCalls.load(), 0u);
}

// The device's own time, one block further on each time the player asks, as a sound card's clock moves with
// the frames it takes; a platter turning at rate 1 from 2 s places the anchor at each tick. The recording then
// does not depend on how late a busy machine paces the device.
class PlayedClock final : public plindo::platform::Clock {
public:
    static constexpr double kStart = 1000.0, kBlockSec = 128 / 48000.0;
    AnchorCell* anchor = nullptr;
    double now() const override {
        const double t = kStart + kBlockSec * static_cast<double>(blocks_.fetch_add(1));
        if (anchor) anchor->cell.write({2.0 + (t - kStart), t, 1.0, true});
        return t;
    }
    double played() const { return kBlockSec * static_cast<double>(blocks_.load()); }

private:
    mutable std::atomic<uint64_t> blocks_{0};
};

TEST(AudioOut, PlayerOnTheFileDeviceRecordsTheTrackFollowingTheAnchor) {
    const fs::path wav = tempWav("plindo-deck-");
    PlayedClock clock;
    double wallStart = 0, wallEnd = 0;
    {
        FollowPlayer p(AudioOutDevice{AudioOutDevice::fileId, "file", "file", 2}, 0, 128, clock);
        p.out->setFilePath(wav.string());
        p.install(test::rampStem(10), 1);
        clock.anchor = &p.anchor;
        plindo::platform::MemorySettings settings;
        settings.setValue("orv.stillGate", 0.02);
        wallStart = plindo::platform::mediaNow();
        p.start(HostConfig(settings));
        ASSERT_TRUE(p.out->running());
        EXPECT_EQ(p.stillGate.value(), 0.02) << "start takes the settings";
        while (clock.played() < 0.5 && plindo::platform::mediaNow() - wallStart < 60)
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    wallEnd = plindo::platform::mediaNow();
    SF_INFO info;
    const auto data = readWav(wav, info);
    fs::remove(wav);
    ASSERT_GT(info.frames, 48000 / 4);
    EXPECT_EQ(info.frames % 128, 0) << "whole blocks";
    // The device is paced: it never gets ahead of the time that passed.
    EXPECT_LE(info.frames, (wallEnd - wallStart) * 48000 + 128);
    // After the snap to 2 s and the fade-in, each frame is the track one frame further on.
    const sf_count_t a = info.frames - 4800, b = info.frames - 1;
    EXPECT_NEAR(data[2 * b] - data[2 * a], static_cast<float>(b - a), 0.02 * (b - a));
    // The anchor moved with the device's time, so the last position is 2 s on by what was recorded.
    EXPECT_NEAR(data[2 * b] / 48000.0, 2.0 + info.frames / 48000.0, 0.05);
}

}  // namespace
