#include "motion/decode_audio_file.h"
#include "motion/ffmpeg_log.h"
#include "log_lines.h"

#include <gtest/gtest.h>

extern "C" {
#include <libavutil/log.h>
}

#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <sstream>
#include <thread>
#include <vector>

namespace plindo::motion {
namespace {

namespace fs = std::filesystem;

// What reaches file descriptor 2 while it lives, from any writer (stdio, spdlog, the C libraries).
class StderrCapture {
public:
    StderrCapture() : file_(std::tmpfile()) {
        std::fflush(stderr);
        saved_ = ::dup(2);
        ::dup2(::fileno(file_), 2);
    }
    ~StderrCapture() {
        std::fflush(stderr);
        ::dup2(saved_, 2);
        ::close(saved_);
        std::fclose(file_);
    }
    StderrCapture(const StderrCapture&) = delete;
    StderrCapture& operator=(const StderrCapture&) = delete;

    std::vector<std::string> lines() {
        std::fflush(stderr);
        std::rewind(file_);
        std::vector<std::string> out;
        std::string line;
        for (int c; (c = std::fgetc(file_)) != EOF;) {
            if (c != '\n') {
                line.push_back(static_cast<char>(c));
            } else {
                out.push_back(std::move(line));
                line.clear();
            }
        }
        if (!line.empty()) out.push_back(line);
        return out;
    }

private:
    std::FILE* file_;
    int saved_ = -1;
};

// The decoders' category at debug level while it lives, so that FFmpeg's lines show.
struct DebugLevel {
    DebugLevel() { platform::logger("follow-load").set_level(spdlog::level::debug); }
    ~DebugLevel() { platform::logger("follow-load").set_level(spdlog::level::info); }
};

bool rawFFmpegLine(const std::string& line) { return line.rfind("[", 0) == 0 && line.find(" @ 0x") != std::string::npos; }

struct FFmpegLog : ::testing::Test {
    static inline fs::path dir;
    static void SetUpTestSuite() {
        dir = fs::temp_directory_path() / ("plindo-ffmpeg-log-" + std::to_string(::getpid()));
        fs::create_directories(dir);
        // A minute of FLAC with a hundred bytes overwritten in twenty places, and an MP3 without a frame
        // count, whose reader warns that it guesses the length.
        const std::string flac = (dir / "whole.flac").string(), mp3 = (dir / "noxing.mp3").string();
        const std::string cmd = "ffmpeg -nostdin -loglevel error -y -f lavfi -i 'aevalsrc=0.5*sin(2*PI*(200+40*t)*t):s=44100:d=60' "
                                "-ac 2 -c:a flac '" + flac + "' -c:a libmp3lame -b:a 128k -write_xing 0 '" + mp3 + "'";
        ASSERT_EQ(std::system(cmd.c_str()), 0);
        std::ifstream in(flac, std::ios::binary);
        std::string bytes{std::istreambuf_iterator<char>(in), {}};
        for (int i = 1; i <= 20; ++i) {
            const size_t at = bytes.size() * i / 21;
            for (size_t k = 0; k < 100; ++k) bytes[at + k] = static_cast<char>(k * 37 + i);
        }
        std::ofstream((dir / "damaged.flac").string(), std::ios::binary) << bytes;
    }
    static void TearDownTestSuite() { fs::remove_all(dir); }

    // Decodes the damaged FLAC (both roads) and probes the MP3, as a deck load does.
    static void readDamage() {
        const DecodeResult r = decodeAudioFile((dir / "damaged.flac").string(), 8000);
        ASSERT_TRUE(r);
        EXPECT_GT(r.silentFrames, 0u) << "the damage was found";
        EXPECT_EQ(audioFileSeconds((dir / "noxing.mp3").string()), std::nullopt);
    }
};

TEST_F(FFmpegLog, DamagedFilesPutNoRawDecoderLinesOnStderr) {
    {
        StderrCapture err;
        readDamage();
        for (const std::string& line : err.lines()) EXPECT_FALSE(rawFFmpegLine(line)) << line;
    }
    // At debug level the same lines come through the log, in its format.
    DebugLevel debug;
    testing::LogLines log("follow-load");
    StderrCapture err;
    readDamage();
    EXPECT_GT(log.containing("[flac @ 0x"), 0);
    EXPECT_GT(log.containing("[mp3 @ 0x"), 0);
    int routed = 0;
    for (const std::string& line : err.lines()) {
        EXPECT_FALSE(rawFFmpegLine(line)) << line;
        routed += line.find("[follow-load] debug: [flac @ 0x") != std::string::npos;
    }
    EXPECT_GT(routed, 0);
}

TEST_F(FFmpegLog, LinesFromManyThreadsArriveWholeAndEscaped) {
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
    for (int t = 0; t < kThreads; ++t) {
        for (int i = 0; i < kLines; i += 37) {
            EXPECT_EQ(log.count("thread " + std::to_string(t) + " line " + std::to_string(i) + " \x1b[2J"), 1) << t << " " << i;
        }
    }
    EXPECT_EQ(log.containing("thread "), kThreads * kLines);
    int escaped = 0;
    for (const std::string& line : err.lines()) {
        EXPECT_EQ(line.find('\x1b'), std::string::npos) << "a raw escape reached the terminal";
        escaped += line.find(" \\x1b[2J") != std::string::npos;
    }
    EXPECT_EQ(escaped, kThreads * kLines);
    platform::logger("follow-load").set_level(spdlog::level::info);
    av_log(nullptr, AV_LOG_FATAL, "fatal\n");  // FFmpeg's own failures stay visible at the usual level
    av_log(nullptr, AV_LOG_ERROR, "error\n");
    EXPECT_EQ(log.count("fatal"), 1);
    EXPECT_EQ(log.count("error"), 0);
}

}  // namespace
}  // namespace plindo::motion
