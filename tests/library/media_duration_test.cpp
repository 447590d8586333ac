#include "library/media_duration.h"
#include "library_test_files.h"
#include "motion/decode_audio_file.h"

#include <gtest/gtest.h>

#include <cstdlib>

namespace plindo::library {
namespace {

namespace fs = std::filesystem;

// Streams of three minutes whose reader knows no times after a byte seek (MP3, ADTS): a quiet tone for
// 20 s, then noise, so that a VBR file's first frames are far smaller than its average and a length guessed
// from them is far off.
struct BareStreamLength : ::testing::Test {
    static constexpr double kSeconds = 180;
    static inline testfiles::TempDir* dir = nullptr;

    static void SetUpTestSuite() {
        dir = new testfiles::TempDir;
        // One run of the encoder writes them all; -write_xing 0 leaves out the frame that counts the frames.
        std::string cmd = "ffmpeg -nostdin -loglevel error -y -f lavfi -i "
                          "'aevalsrc=if(lt(t\\,20)\\,0.2*sin(2*PI*440*t)\\,0.3*(2*random(0)-1)):s=44100:d=180' -ac 2";
        for (const auto& [name, options] : {std::pair{"cbr.mp3", "-b:a 192k"}, {"cbr-noxing.mp3", "-b:a 192k -write_xing 0"},
                                            {"vbr.mp3", "-q:a 2"}, {"vbr-noxing.mp3", "-q:a 2 -write_xing 0"}})
            cmd += std::string(" -c:a libmp3lame ") + options + " '" + path(name) + "'";
        cmd += " -c:a aac -ac 1 -ar 22050 '" + path("adts.aac") + "'";  // another stream without times
        ASSERT_EQ(std::system(cmd.c_str()), 0);
    }
    static void TearDownTestSuite() {
        delete dir;
        dir = nullptr;
    }
    static std::string path(const std::string& name) { return (dir->path / name).string(); }
};

TEST_F(BareStreamLength, EveryKindOfMp3AndAnAdtsStreamHoldsItsLength) {
    for (const char* name : {"cbr.mp3", "cbr-noxing.mp3", "vbr.mp3", "vbr-noxing.mp3", "adts.aac"}) {
        EXPECT_NEAR(mediaDurationSec(path(name)).value_or(-1), kSeconds, 0.1) << name;

        // Cut short: what the remaining frames hold, as a decode of them finds.
        const std::string cut = path(std::string("cut-") + name);
        fs::copy_file(path(name), cut);
        fs::resize_file(cut, fs::file_size(cut) * 3 / 5);
        const motion::DecodeResult decoded = motion::decodeAudioFile(cut, 8000);
        ASSERT_TRUE(decoded) << name;
        const double held = static_cast<double>(decoded.stem->left.size()) / 8000;
        ASSERT_LT(held, kSeconds - 30) << name;
        EXPECT_NEAR(mediaDurationSec(cut).value_or(-1), held, 0.2) << "cut " << name;
    }
}

}  // namespace
}  // namespace plindo::library
