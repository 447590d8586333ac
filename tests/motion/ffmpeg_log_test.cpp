#include "motion/decode_audio_file.h"
#include "motion/ffmpeg_log.h"
#include "log_lines.h"
#include "stderr_of.h"

#include <gtest/gtest.h>

extern "C" {
#include <libavutil/log.h>
}

#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <thread>

namespace plindo::motion {
namespace {

namespace fs = std::filesystem;
using testing::stderrOf;

// The decoders' category at debug level while it lives, so that FFmpeg's lines show.
struct DebugLevel {
    DebugLevel() { platform::logger("follow-load").set_level(spdlog::level::debug); }
    ~DebugLevel() { platform::logger("follow-load").set_level(spdlog::level::info); }
};

// Lines that FFmpeg wrote itself ("[flac @ 0x…] …"), and how often `text` stands in `all`.
int rawFFmpegLines(const std::string& all) {
    std::istringstream in(all);
    int n = 0;
    for (std::string line; std::getline(in, line);) n += line.rfind("[", 0) == 0 && line.find(" @ 0x") != std::string::npos;
    return n;
}
int occurrences(const std::string& all, const std::string& text) {
    int n = 0;
    for (size_t at = all.find(text); at != std::string::npos; at = all.find(text, at + 1)) ++n;
    return n;
}

// A minute of FLAC with a hundred bytes overwritten in twenty places, decoded by both roads, and an MP3
// without a frame count, whose reader warns that it guesses the length: what FFmpeg says of them reaches
// stderr only through the log, at debug level.
TEST(FFmpegLog, DamagedFilesPutNoRawDecoderLinesOnStderr) {
    const fs::path dir = fs::temp_directory_path() / ("plindo-ffmpeg-log-" + std::to_string(::getpid()));
    fs::create_directories(dir);
    const std::string flac = (dir / "damaged.flac").string(), mp3 = (dir / "noxing.mp3").string();
    const std::string cmd = "ffmpeg -nostdin -loglevel error -y -f lavfi -i 'aevalsrc=0.5*sin(2*PI*(200+40*t)*t):s=44100:d=60' "
                            "-ac 2 -c:a flac '" + flac + "' -c:a libmp3lame -b:a 128k -write_xing 0 '" + mp3 + "'";
    ASSERT_EQ(std::system(cmd.c_str()), 0);
    {
        std::fstream f(flac, std::ios::binary | std::ios::in | std::ios::out);
        const auto size = static_cast<std::streamoff>(fs::file_size(flac));
        for (int i = 1; i <= 20; ++i) f.seekp(size * i / 21).write(std::string(100, static_cast<char>(i * 37)).data(), 100);
    }
    const auto read = [&] {
        EXPECT_GT(decodeAudioFile(flac, 8000).silentFrames, 0u) << "the damage was found";
        EXPECT_EQ(audioFileSeconds(mp3), std::nullopt);
    };
    const std::string quiet = stderrOf(read);
    EXPECT_EQ(rawFFmpegLines(quiet), 0) << quiet;
    DebugLevel debug;
    testing::LogLines log("follow-load");
    const std::string said = stderrOf(read);
    EXPECT_EQ(rawFFmpegLines(said), 0) << said;
    EXPECT_GT(occurrences(said, "[follow-load] debug: [flac @ 0x"), 0);
    EXPECT_GT(log.containing("[mp3 @ 0x"), 0);
    fs::remove_all(dir);
}

// FFmpeg logs from several threads at once: every line arrives whole, a control character shows escaped, and
// at the usual level only its fatal messages show.
TEST(FFmpegLog, LinesFromManyThreadsArriveWholeAndEscaped) {
    routeFFmpegLog();
    DebugLevel debug;
    testing::LogLines log("follow-load");
    constexpr int kThreads = 8, kLines = 200;
    const std::string said = stderrOf([] {
        std::vector<std::jthread> threads;
        for (int t = 0; t < kThreads; ++t) {
            threads.emplace_back([t] {
                for (int i = 0; i < kLines; ++i) av_log(nullptr, AV_LOG_ERROR, "thread %d line %d \x1b[2J\n", t, i);
            });
        }
    });
    EXPECT_EQ(log.count("thread 7 line 199 \x1b[2J"), 1);
    EXPECT_EQ(log.containing(" \x1b[2J"), kThreads * kLines) << "every line whole";
    EXPECT_EQ(said.find('\x1b'), std::string::npos) << "a raw escape reached the terminal";
    EXPECT_EQ(occurrences(said, " \\x1b[2J"), kThreads * kLines);
    platform::logger("follow-load").set_level(spdlog::level::info);
    av_log(nullptr, AV_LOG_FATAL, "fatal\n");
    av_log(nullptr, AV_LOG_ERROR, "error\n");
    EXPECT_EQ(log.count("fatal"), 1);
    EXPECT_EQ(log.count("error"), 0);
}

}  // namespace
}  // namespace plindo::motion
