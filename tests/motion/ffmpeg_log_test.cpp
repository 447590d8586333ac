#include "motion/decode_audio_file.h"
#include "motion/ffmpeg_log.h"
#include "log_lines.h"

#include <gtest/gtest.h>

extern "C" {
#include <libavutil/log.h>
}

#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>

namespace plindo::motion {
namespace {

namespace fs = std::filesystem;

// The lines that reach file descriptor 2 while it lives, from any writer (stdio, spdlog, C libraries).
class StderrCapture {
public:
    StderrCapture() : file_(std::tmpfile()), saved_(::dup(2)) { ::dup2(::fileno(file_), 2); }
    ~StderrCapture() {
        ::dup2(saved_, 2);
        ::close(saved_);
        std::fclose(file_);
    }
    std::vector<std::string> lines() {
        std::fflush(stderr);
        std::string all(static_cast<size_t>(std::ftell(file_)), '\0');
        std::rewind(file_);
        all.resize(std::fread(all.data(), 1, all.size(), file_));
        std::vector<std::string> out;
        for (std::istringstream in(all); std::getline(in, out.emplace_back());) {}
        return out;
    }

private:
    std::FILE* file_;
    int saved_;
};

// The decoders' category at debug level while it lives, so that FFmpeg's lines show.
struct DebugLevel {
    DebugLevel() { platform::logger("follow-load").set_level(spdlog::level::debug); }
    ~DebugLevel() { platform::logger("follow-load").set_level(spdlog::level::info); }
};

bool rawFFmpegLine(const std::string& line) { return line.rfind("[", 0) == 0 && line.find(" @ 0x") != std::string::npos; }

// A minute of FLAC with a hundred bytes overwritten in twenty places, decoded by both roads, and an MP3
// without a frame count, whose reader warns that it guesses the length.
void makeDamagedFiles(const fs::path& dir) {
    const std::string flac = (dir / "damaged.flac").string(), mp3 = (dir / "noxing.mp3").string();
    const std::string cmd = "ffmpeg -nostdin -loglevel error -y -f lavfi -i 'aevalsrc=0.5*sin(2*PI*(200+40*t)*t):s=44100:d=60' "
                            "-ac 2 -c:a flac '" + flac + "' -c:a libmp3lame -b:a 128k -write_xing 0 '" + mp3 + "'";
    ASSERT_EQ(std::system(cmd.c_str()), 0);
    std::fstream f(flac, std::ios::binary | std::ios::in | std::ios::out);
    const auto size = static_cast<std::streamoff>(fs::file_size(flac));
    for (int i = 1; i <= 20; ++i) f.seekp(size * i / 21).write(std::string(100, static_cast<char>(i * 37)).data(), 100);
}
void readDamagedFiles(const fs::path& dir) {
    const DecodeResult r = decodeAudioFile((dir / "damaged.flac").string(), 8000);
    ASSERT_TRUE(r);
    EXPECT_GT(r.silentFrames, 0u) << "the damage was found";
    EXPECT_EQ(audioFileSeconds((dir / "noxing.mp3").string()), std::nullopt);
}

TEST(FFmpegLog, DamagedFilesPutNoRawDecoderLinesOnStderr) {
    const fs::path dir = fs::temp_directory_path() / ("plindo-ffmpeg-log-" + std::to_string(::getpid()));
    fs::create_directories(dir);
    makeDamagedFiles(dir);
    {
        StderrCapture err;
        readDamagedFiles(dir);
        for (const std::string& line : err.lines()) EXPECT_FALSE(rawFFmpegLine(line)) << line;
    }
    // At debug level the same lines come through the log, in its format.
    DebugLevel debug;
    testing::LogLines log("follow-load");
    StderrCapture err;
    readDamagedFiles(dir);
    EXPECT_GT(log.containing("[flac @ 0x"), 0);
    EXPECT_GT(log.containing("[mp3 @ 0x"), 0);
    int routed = 0;
    for (const std::string& line : err.lines()) {
        EXPECT_FALSE(rawFFmpegLine(line)) << line;
        routed += line.find("[follow-load] debug: [flac @ 0x") != std::string::npos;
    }
    EXPECT_GT(routed, 0);
    fs::remove_all(dir);
}

TEST(FFmpegLog, LinesFromManyThreadsArriveWholeAndEscaped) {
    routeFFmpegLog();
    DebugLevel debug;
    testing::LogLines log("follow-load");
    StderrCapture err;
    constexpr int kThreads = 8, kLines = 200;
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([t] {
            for (int i = 0; i < kLines; ++i) av_log(nullptr, AV_LOG_ERROR, "thread %d line %d \x1b[2J\n", t, i);
        });
    }
    for (auto& th : threads) th.join();
    EXPECT_EQ(log.count("thread 7 line 199 \x1b[2J"), 1);
    EXPECT_EQ(log.containing(" \x1b[2J"), kThreads * kLines) << "every line whole";
    int escaped = 0;
    for (const std::string& line : err.lines()) {
        EXPECT_EQ(line.find('\x1b'), std::string::npos) << "a raw escape reached the terminal";
        escaped += line.find(" \\x1b[2J") != std::string::npos;
    }
    EXPECT_EQ(escaped, kThreads * kLines);
    // At the usual level FFmpeg's fatal messages stay visible, its errors do not.
    platform::logger("follow-load").set_level(spdlog::level::info);
    av_log(nullptr, AV_LOG_FATAL, "fatal\n");
    av_log(nullptr, AV_LOG_ERROR, "error\n");
    EXPECT_EQ(log.count("fatal"), 1);
    EXPECT_EQ(log.count("error"), 0);
}

}  // namespace
}  // namespace plindo::motion
