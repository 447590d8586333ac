// Whole-file decoding of a 3-minute track (WAV, FLAC, MP3 made by the ffmpeg command) to 48 kHz stereo
// float, in seconds of audio per second ("audio_sec_per_sec"), beside the ffmpeg command decoding the same
// file to f32 (goal: at least 0.9 of its speed).
#include "motion/decode_audio_file.h"

#include <benchmark/benchmark.h>

#include <cstdlib>
#include <filesystem>
#include <string>
#include <unistd.h>

using namespace plindo::motion;
namespace fs = std::filesystem;

namespace {
constexpr double kTrackSec = 180;
const char* const kFormats[] = {"wav", "flac", "mp3"};

const fs::path& folder() {
    static const fs::path dir = [] {
        fs::path d = fs::temp_directory_path() / ("plindo-bench-decode-" + std::to_string(::getpid()));
        fs::create_directories(d);
        for (const char* ext : kFormats) {
            const std::string cmd =
                "ffmpeg -nostdin -loglevel error -y -f lavfi -i anoisesrc=d=180:c=pink:r=44100:a=0.3 -ac 2 '" +
                (d / (std::string("track.") + ext)).string() + "'";
            if (std::system(cmd.c_str()) != 0) std::abort();
        }
        std::atexit([] { fs::remove_all(fs::temp_directory_path() / ("plindo-bench-decode-" + std::to_string(::getpid()))); });
        return d;
    }();
    return dir;
}

std::string file(int i) { return (folder() / (std::string("track.") + kFormats[i])).string(); }

void audioRate(benchmark::State& state) {
    state.counters["audio_sec_per_sec"] = benchmark::Counter(kTrackSec, benchmark::Counter::kIsIterationInvariantRate);
}

void BM_DecodeAudioFile(benchmark::State& state) {
    const std::string path = file(static_cast<int>(state.range(0)));
    state.SetLabel(kFormats[state.range(0)]);
    for (auto _ : state) {
        DecodeResult r = decodeAudioFile(path, 48000);
        if (!r) state.SkipWithError("decode failed");
        benchmark::DoNotOptimize(r.stem.get());
    }
    audioRate(state);
}

void BM_FfmpegCommand(benchmark::State& state) {
    const std::string path = file(static_cast<int>(state.range(0)));
    state.SetLabel(kFormats[state.range(0)]);
    const std::string cmd =
        "ffmpeg -nostdin -loglevel error -i '" + path + "' -f f32le -ar 48000 -ac 2 -y /dev/null";
    for (auto _ : state) {
        if (std::system(cmd.c_str()) != 0) state.SkipWithError("ffmpeg failed");
    }
    audioRate(state);
}

BENCHMARK(BM_DecodeAudioFile)->DenseRange(0, 2)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_FfmpegCommand)->DenseRange(0, 2)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace
