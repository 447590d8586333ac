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

TEST_F(Decode, ADamagedFlacKeepsItsTimingAndNeverPlaysNoise) {
    ffmpeg("-f lavfi -i 'aevalsrc=0.5*sin(2*PI*(200+40*t)*t):s=44100:d=20' -ac 2 -c:a flac", "sweep.flac");
    const std::string flac = read("sweep.flac");
    const DecodeResult whole = decodeAudioFile(path("sweep.flac"), 44100);
    ASSERT_TRUE(whole);
    // Overwrites `runs` runs of `length` bytes each at pseudo-random places past the header.
    const auto damage = [&](const std::string& name, int runs, size_t length) {
        std::string bad = flac;
        uint32_t seed = 3;
        for (int i = 0; i < runs; ++i) {
            seed = seed * 1664525u + 1013904223u;
            const size_t at = 200 + seed % (bad.size() - 200 - length);
            for (size_t k = 0; k < length; ++k) bad[at + k] = static_cast<char>((seed >> 16) + k * 77);
        }
        write(name, bad);
        return decodeAudioFile(path(name), 44100);
    };
    // What sounds is the sweep at its own time: lost frames are silent, never noise, never shifted.
    const auto soundsOnlyTheSweep = [&](const DecodeResult& r) {
        size_t sounding = 0, wrong = 0;
        for (size_t i = 0; i < r.stem->left.size() && i < whole.stem->left.size(); i += 31) {
            if (r.stem->left[i] == 0.0f) continue;
            ++sounding;
            wrong += std::fabs(r.stem->left[i] - whole.stem->left[i]) > 1e-4f;
        }
        EXPECT_EQ(wrong, 0u) << "of " << sounding;
    };
    // A few damaged places: the frames there are lost, the track keeps its length and its timing.
    const DecodeResult places = damage("places.flac", 10, flac.size() / 1000);
    ASSERT_TRUE(places);
    EXPECT_NEAR(places.stem->seconds(), 20.0, 0.01);
    EXPECT_GT(places.silentFrames, 0u);
    EXPECT_GT(places.stem->seconds() - static_cast<double>(places.silentFrames) / 44100, 15.0);
    soundsOnlyTheSweep(places);
    // One byte in a hundred, everywhere: no frame passes its checksum, and nothing is played as music.
    std::string spread = flac;
    for (size_t at = 300; at < spread.size(); at += 100) spread[at] = static_cast<char>(spread[at] ^ 0x5A);
    write("spread.flac", spread);
    const DecodeResult noise = decodeAudioFile(path("spread.flac"), 44100);
    if (noise) soundsOnlyTheSweep(noise);
    else EXPECT_EQ(noise.error->message, "decode produced nothing");
    // Files without damage gain no silence, whatever priming their encoder left.
    for (const char* name : {"tone.wav", "tone.mp3", "tone.flac", "tone.m4a"}) {
        const DecodeResult clean = decodeAudioFile(path(name), 48000);
        ASSERT_TRUE(clean) << name;
        EXPECT_EQ(clean.silentFrames, 0u) << name;
    }
}

TEST_F(Decode, TheHeaderOfACutWavOrAiffStillTellsItsLength) {
    ffmpeg("-f lavfi -i 'sine=frequency=440:duration=20' -ar 8000 -ac 2", "twenty.wav");
    ffmpeg("-f lavfi -i 'sine=frequency=440:duration=20' -ar 8000 -ac 2", "twenty.aiff");
    ffmpeg("-f lavfi -i 'sine=frequency=440:duration=20' -ar 8000 -ac 1 -c:a adpcm_ima_wav", "adpcm.wav");
    const std::string wav = read("twenty.wav"), aiff = read("twenty.aiff");
    const size_t data = wav.find("data");
    ASSERT_NE(data, std::string::npos);
    const auto withSize = [&](const char* size) {
        std::string w = wav;
        w.replace(data + 4, 4, size, 4);
        return w;
    };
    // The same WAV as RF64: its sizes of all ones stand for the 64-bit ones in "ds64" (4 seconds' worth).
    std::string rf64 = "RF64" + std::string("\xFF\xFF\xFF\xFF", 4) + "WAVE" + std::string("ds64\x1C\0\0\0", 8) +
                       std::string(8, '\0') + std::string("\x00\xF4\x01\0\0\0\0\0", 8) + std::string(12, '\0') +
                       wav.substr(12, data - 12) + "data" + std::string("\xFF\xFF\xFF\xFF", 4);
    const struct {
        const char* what;
        std::string bytes;
        std::optional<double> seconds;
    } cases[] = {
        {"wav cut to a tenth", wav.substr(0, wav.size() / 10), 20.0},
        {"aiff cut to a tenth", aiff.substr(0, aiff.size() / 10), 20.0},
        {"rf64", rf64, 4.0},
        {"streamed, all ones", withSize("\xFF\xFF\xFF\xFF"), std::nullopt},
        {"streamed, zero", withSize("\0\0\0\0"), std::nullopt},
        {"blocks that are not frames", read("adpcm.wav"), std::nullopt},
        {"cut inside the header", wav.substr(0, data + 2), std::nullopt},
        {"a chunk size past the end", wav.substr(0, 16) + "\xF0\xFF\xFF\xFF" + wav.substr(20), std::nullopt},
        {"flac", read("tone.flac"), std::nullopt},
        {"nothing", "", std::nullopt},
    };
    for (const auto& c : cases) {
        const auto got = pcmHeaderSeconds(std::span(reinterpret_cast<const uint8_t*>(c.bytes.data()), c.bytes.size()));
        ASSERT_EQ(got.has_value(), c.seconds.has_value()) << c.what;
        if (got) EXPECT_NEAR(*got, *c.seconds, 1e-3) << c.what;
    }
    write("cut.wav", wav.substr(0, wav.size() / 2));
    EXPECT_NEAR(pcmFileHeaderSeconds(path("cut.wav")).value_or(0), 20.0, 1e-3);
    EXPECT_NEAR(audioFileSeconds(path("cut.wav")).value_or(0), 10.0, 0.01) << "what the bytes hold";
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

// Three minutes that open with 20 s of a quiet tone and go on in noise: a VBR MP3's first frames are far
// smaller than its average, so a length guessed from them is far too short.
TEST_F(Decode, AnMp3WithoutAFrameCountDecodesWhole) {
    const std::string vbr = " -ac 2 -c:a libmp3lame -q:a 2";
    ffmpeg("-f lavfi -i 'aevalsrc=if(lt(t\\,20)\\,0.2*sin(2*PI*440*t)\\,0.3*(2*random(0)-1)):s=44100:d=180'" + vbr +
               " -write_xing 0 '" + path("vbr-noxing.mp3") + "'" + vbr,
           "vbr.mp3");
    for (const char* name : {"vbr-noxing.mp3", "vbr.mp3"}) {
        const DecodeResult r = decodeAudioFile(path(name), 8000);
        ASSERT_TRUE(r) << name;
        EXPECT_NEAR(r.stem->seconds(), 180, 0.1) << name;
        EXPECT_EQ(measureAudioFile(path(name), nullptr, 8000, 600).frames, r.stem->left.size()) << name;
    }
    // The header length that tells a damaged file: none where it would be a guess; the frame count's also
    // for a copy cut short.
    EXPECT_EQ(audioFileSeconds(path("vbr-noxing.mp3")), std::nullopt);
    const std::string whole = read("vbr.mp3");
    write("vbr-cut.mp3", whole.substr(0, whole.size() / 2));
    EXPECT_NEAR(audioFileSeconds(path("vbr-cut.mp3")).value_or(0), 180, 0.1);
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
