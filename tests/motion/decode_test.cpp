#include "motion/async_wait.h"
#include "motion/decode_audio_file.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <thread>
#include <tuple>

using namespace plindo::motion;
namespace fs = std::filesystem;

namespace {

// The fixtures are made by the ffmpeg command: a 440 Hz tone at half scale, and its compressed copies.
class Decode : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        dir = fs::temp_directory_path() / ("plindo-decode-" + std::to_string(::getpid()));
        fs::create_directories(dir);
        const std::string tone = "-f lavfi -i 'aevalsrc=0.5*sin(2*PI*440*t):s=";
        ffmpeg(tone + "44100:d=2' -ac 2 -c:a pcm_s16le", "tone.wav");
        ffmpeg(tone + "22050:d=1' -c:a pcm_s16le", "mono.wav");
        for (const char* ext : {"mp3", "flac", "m4a"}) ffmpeg("-i '" + path("tone.wav") + "'", std::string("tone.") + ext);
    }
    static void TearDownTestSuite() { fs::remove_all(dir); }

    static void ffmpeg(const std::string& input, const std::string& out) {
        const std::string cmd = "ffmpeg -nostdin -loglevel error -y -bitexact " + input + " '" + path(out) + "'";
        ASSERT_EQ(std::system(cmd.c_str()), 0) << cmd;
    }
    static std::string path(const std::string& name) { return (dir / name).string(); }
    static std::string read(const std::string& name) {
        std::ifstream in(path(name), std::ios::binary);
        return {std::istreambuf_iterator<char>(in), {}};
    }
    static void write(const std::string& name, const std::string& bytes) {
        std::ofstream(path(name), std::ios::binary) << bytes;
    }

    // Frequency from the rising zero crossings of the middle half.
    static double frequency(const std::vector<float>& x, double rate) {
        size_t first = 0, last = 0, count = 0;
        for (size_t i = x.size() / 4 + 1; i < 3 * x.size() / 4; ++i) {
            if (x[i - 1] < 0 && x[i] >= 0) {
                if (!count++) first = i;
                last = i;
            }
        }
        return count > 1 ? (count - 1) * rate / static_cast<double>(last - first) : 0.0;
    }

    static inline fs::path dir;
};

TEST_F(Decode, EveryFormatKeepsLengthAndToneAt48k) {
    for (const char* name : {"tone.wav", "tone.mp3", "tone.flac", "tone.m4a"}) {
        DecodeResult r = decodeAudioFile(path(name), 48000);
        ASSERT_TRUE(r) << name << ": " << (r.error ? r.error->message : "");
        const StemBuf& s = *r.stem;
        EXPECT_EQ(s.sampleRate, 48000);
        EXPECT_EQ(s.left.size(), s.right.size());
        EXPECT_NEAR(s.seconds(), 2.0, 0.06) << name;
        EXPECT_NEAR(frequency(s.left, 48000), 440.0, 1.0) << name;
        EXPECT_NEAR(frequency(s.right, 48000), 440.0, 1.0) << name;
    }
    DecodeResult mono = decodeAudioFile(path("mono.wav"), 48000);
    ASSERT_TRUE(mono);
    EXPECT_NEAR(mono.stem->seconds(), 1.0, 0.01);
    EXPECT_EQ(mono.stem->left, mono.stem->right) << "a mono file plays on both channels";
    EXPECT_GT(*std::max_element(mono.stem->left.begin(), mono.stem->left.end()), 0.3f);
}

TEST_F(Decode, FailuresAreStemErrorsNeverCrashes) {
    DecodeResult missing = decodeAudioFile(path("nope.wav"), 48000);
    ASSERT_TRUE(!missing && missing.error);
    EXPECT_EQ(std::tie(missing.error->domain, missing.error->code, missing.error->message),
              std::tuple("stem", 3, "no readable audio track"));
    write("empty.wav", "");
    write("junk.mp3", std::string(5000, 'x'));
    const std::string flac = read("tone.flac");
    write("cut.flac", flac.substr(0, flac.size() / 3));
    // Metadata blocks only: the header promises two seconds, no audio frame follows.
    size_t audioStart = 4;
    for (bool last = false; !last && audioStart + 4 <= flac.size();) {
        last = (static_cast<uint8_t>(flac[audioStart]) & 0x80) != 0;
        audioStart += 4 + ((static_cast<uint8_t>(flac[audioStart + 1]) << 16) |
                           (static_cast<uint8_t>(flac[audioStart + 2]) << 8) | static_cast<uint8_t>(flac[audioStart + 3]));
    }
    write("header-only.flac", flac.substr(0, audioStart));
    for (const char* name : {"empty.wav", "junk.mp3", "header-only.flac"}) {
        DecodeResult r = decodeAudioFile(path(name), 48000);
        ASSERT_TRUE(!r && r.error) << name;
        EXPECT_EQ(r.error->domain, "stem");
    }
    DecodeResult cut = decodeAudioFile(path("cut.flac"), 48000);
    ASSERT_TRUE(cut) << "a truncated file gives what it holds";
    EXPECT_TRUE(cut.stem->seconds() > 0.1 && cut.stem->seconds() < 1.5) << cut.stem->seconds();
    EXPECT_EQ(decodeAudioFile(path("tone.wav"), 0).error->code, 1);
    DecodeResult stopped = decodeAudioFile(path("tone.wav"), [] { return true; }, 48000);
    ASSERT_TRUE(stopped.error);
    EXPECT_EQ(stopped.error->domain, "cancelled");
}

TEST_F(Decode, HostileLengthInTheHeaderDoesNotSizeTheBuffers) {
    std::string flac = read("tone.flac");  // a header claiming 2^36 - 1 frames over two seconds
    ASSERT_EQ(flac.substr(0, 4), "fLaC");
    flac[21] = static_cast<char>(flac[21] | 0x0F);
    flac.replace(22, 4, 4, '\xFF');
    write("liar.flac", flac);
    std::string wav = read("tone.wav");  // a data chunk claiming 4 GB
    const size_t data = wav.find("data");
    ASSERT_NE(data, std::string::npos);
    wav.replace(data + 4, 4, 4, '\xF0');
    write("liar.wav", wav);
    const double rate = 8000;
    for (const char* name : {"liar.flac", "liar.wav"}) {
        DecodeResult r = decodeAudioFile(path(name), rate);
        ASSERT_TRUE(r) << name;
        EXPECT_NEAR(r.stem->seconds(), 2.0, 0.06) << name;
        EXPECT_LE(r.stem->left.capacity(), static_cast<size_t>(3600 * rate + 4096)) << name;
    }
}

TEST_F(Decode, AFlippedBitLosesAtMostTheDamagedFrame) {
    // Twenty seconds of a sweep, so that every frame differs; one bit flipped at a tenth, half and nine tenths.
    ffmpeg("-f lavfi -i 'aevalsrc=0.5*sin(2*PI*(200+40*t)*t):s=44100:d=20' -ac 2 -c:a flac", "long.flac");
    const std::string flac = read("long.flac");
    for (const double at : {0.1, 0.5, 0.9}) {
        for (const int bit : {0, 3, 7}) {
            std::string bad = flac;
            const size_t pos = static_cast<size_t>(static_cast<double>(flac.size()) * at);
            bad[pos] = static_cast<char>(bad[pos] ^ (1 << bit));
            const std::string name = "flip" + std::to_string(pos) + "-" + std::to_string(bit) + ".flac";
            write(name, bad);
            DecodeResult r = decodeAudioFile(path(name), 22050);
            ASSERT_TRUE(r) << name;
            EXPECT_GT(r.stem->seconds(), 19.5) << name;
            EXPECT_LT(r.stem->seconds(), 20.1) << name;
        }
    }
}

TEST_F(Decode, ALimitEndsTheDecodeOfALongerFile) {
    for (const char* name : {"tone.wav", "tone.flac", "tone.m4a"}) {
        DecodeResult over = decodeAudioFile(path(name), nullptr, 8000, 1.5);
        ASSERT_TRUE(over.error) << name;
        EXPECT_EQ(std::tie(over.error->code, over.error->message), std::tuple(7, "longer than the limit")) << name;
        EXPECT_TRUE(decodeAudioFile(path(name), nullptr, 8000, 2.5)) << name;
    }
}

TEST_F(Decode, StreamingHandsOverWhatTheWholeDecodeKeeps) {
    std::string flipped = read("tone.flac");
    flipped[flipped.size() / 2] = static_cast<char>(flipped[flipped.size() / 2] ^ 0x10);
    write("flipped.flac", flipped);
    const struct {
        const char* name;
        DecodeRoad road;
    } cases[] = {{"tone.wav", DecodeRoad::Sndfile}, {"tone.m4a", DecodeRoad::FFmpeg}, {"flipped.flac", DecodeRoad::FFmpeg}};
    for (const auto& c : cases) {
        const DecodeResult whole = decodeAudioFile(path(c.name), 22050);
        ASSERT_TRUE(whole) << c.name;
        const StreamResult measured = measureAudioFile(path(c.name), nullptr, 22050, 60);
        EXPECT_FALSE(measured.error) << c.name;
        EXPECT_EQ(measured.road, c.road) << c.name;
        EXPECT_EQ(measured.frames, whole.stem->left.size()) << c.name;
        std::vector<float> left, right;
        const StreamResult streamed = streamAudioFile(path(c.name), nullptr, 22050, 60, measured.road,
                                                      [&](std::span<const float> l, std::span<const float> r) {
                                                          left.insert(left.end(), l.begin(), l.end());
                                                          right.insert(right.end(), r.begin(), r.end());
                                                      });
        EXPECT_FALSE(streamed.error) << c.name;
        EXPECT_EQ(streamed.frames, left.size()) << c.name;
        EXPECT_EQ(left, whole.stem->left) << c.name;
        EXPECT_EQ(right, whole.stem->right) << c.name;
    }
    EXPECT_EQ(measureAudioFile(path("tone.wav"), nullptr, 22050, 1).error->code, 7);
    EXPECT_EQ(streamAudioFile(path("nope.wav"), nullptr, 22050, 60, DecodeRoad::Sndfile, {}).error->code, 3);
}

TEST(AsyncWait, ReturnsTheValueOrGivesUpWithoutWaitingForTheOperation) {
    EXPECT_EQ(AsyncWait::wait(1.0, [] { return 42; }), 42);
    auto finished = std::make_shared<std::atomic<bool>>(false);
    const auto t0 = std::chrono::steady_clock::now();
    auto r = AsyncWait::wait(0.05, [finished] {
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
        finished->store(true);
        return std::string("late");
    });
    EXPECT_FALSE(r);
    EXPECT_LT(std::chrono::steady_clock::now() - t0, std::chrono::milliseconds(250));
    EXPECT_FALSE(finished->load());
    for (int i = 0; i < 100 && !finished->load(); ++i) std::this_thread::sleep_for(std::chrono::milliseconds(10));
    EXPECT_TRUE(finished->load()) << "the operation runs on to its end";
}

}  // namespace
