// Resident memory of the headless host: idle, with two 5-minute tracks loaded on its decks, and after both
// decks unloaded. The peer figure is the decoded audio itself (two channels of 32-bit floats at the decks'
// rate): loaded should stay within it plus 60 MB, unloaded within 10 MB of idle.
#include "host/host_state.h"
#include "platform/log.h"
#include "platform/queue_executor.h"
#include "platform/settings.h"

#include <benchmark/benchmark.h>
#include <sndfile.h>
#include <unistd.h>

#include <chrono>
#include <cmath>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <numbers>
#include <string>
#include <thread>
#include <vector>

namespace {

using namespace plindo;
namespace fs = std::filesystem;

constexpr int kFileRate = 44100;
constexpr int kTrackSec = 300;

double rssMb() {
    std::ifstream status("/proc/self/status");
    for (std::string line; std::getline(status, line);)
        if (line.rfind("VmRSS:", 0) == 0) return std::stod(line.substr(6)) / 1024.0;
    return -1;
}

// A 5-minute 16-bit stereo WAV of two tones, written in blocks.
void writeTrack(const std::string& path, double hz) {
    SF_INFO info{};
    info.samplerate = kFileRate;
    info.channels = 2;
    info.format = SF_FORMAT_WAV | SF_FORMAT_PCM_16;
    SNDFILE* f = sf_open(path.c_str(), SFM_WRITE, &info);
    if (!f) return;
    std::vector<float> block(2 * 4096);
    for (int64_t at = 0; at < int64_t{kFileRate} * kTrackSec; at += 4096) {
        for (int i = 0; i < 4096; ++i) {
            const double t = static_cast<double>(at + i) / kFileRate;
            block[2 * i] = static_cast<float>(0.4 * std::sin(2 * std::numbers::pi * hz * t));
            block[2 * i + 1] = static_cast<float>(0.4 * std::sin(2 * std::numbers::pi * hz * 1.5 * t));
        }
        sf_writef_float(f, block.data(), 4096);
    }
    sf_close(f);
}

// Runs `main`'s posted work and sleeps until `done` holds or `seconds` passed.
template <typename F>
bool settle(platform::QueueExecutor& main, F done, double seconds) {
    const auto end = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
    while (std::chrono::steady_clock::now() < end) {
        main.drain();
        if (done()) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return done();
}

void BM_HostMemoryIdleLoadedUnloaded(benchmark::State& state) {
    const fs::path dir = fs::temp_directory_path() / ("plindo-memory-" + std::to_string(::getpid()));
    fs::create_directories(dir);
    const std::string tracks[2] = {(dir / "one.wav").string(), (dir / "two.wav").string()};
    writeTrack(tracks[0], 220);
    writeTrack(tracks[1], 330);

    platform::setLogFolder("");
    platform::MemorySettings settings;
    settings.setValue("orv.oscPort", 0);
    settings.setValue("orv.devUID.1", "null");
    settings.setValue("orv.devUID.2", "null");
    platform::QueueExecutor main;
    double idle = 0, loaded = 0, unloaded = 0, decoded = 0;
    bool ok = true;
    for (auto _ : state) {
        host::HostState host({.settings = settings,
                              .main = main,
                              .interfaces = [] { return std::vector<platform::NetInterface>{}; },
                              .trackServerPort = 0});
        main.invokeSync([&] { host.start(); });
        if (host.players.size() != 2 || !host.fileServer) {
            state.SkipWithError("the host did not start its decks");
            break;
        }
        settings.setValue("orv.guiBase", "http://127.0.0.1:" + std::to_string(host.fileServer->boundPort()));
        std::this_thread::sleep_for(std::chrono::milliseconds(500));
        idle = rssMb();

        main.invokeSync([&] {
            host.loadDeck(1, tracks[0]);
            host.loadDeck(2, tracks[1]);
        });
        ok = settle(main, [&] { return host.players[0]->table.read() && host.players[1]->table.read(); }, 120);
        std::this_thread::sleep_for(std::chrono::milliseconds(500));
        main.drain();
        loaded = rssMb();
        for (const auto& p : host.players)
            if (auto stem = p->table.read())
                decoded += static_cast<double>((stem->left.capacity() + stem->right.capacity()) * sizeof(float)) / (1024.0 * 1024.0);

        main.invokeSync([&] {
            for (auto& p : host.players) p->unload();
        });
        settle(main, [&] { return host.players[0]->retiredCount() == 0 && host.players[1]->retiredCount() == 0; }, 5);
        std::this_thread::sleep_for(std::chrono::milliseconds(500));
        main.drain();
        unloaded = rssMb();
    }
    std::error_code ec;
    fs::remove_all(dir, ec);
    if (!ok) state.SkipWithError("the tracks did not load");

    state.counters["idle_mb"] = idle;
    state.counters["loaded_mb"] = loaded;
    state.counters["unloaded_mb"] = unloaded;
    state.counters["decoded_mb"] = decoded;
    std::printf("host RSS: idle %.1f MB, two 5-min tracks loaded %.1f MB (+%.1f MB over idle for %.1f MB of decoded "
                "audio; goal <= decoded + 60 MB), both unloaded %.1f MB (%+.1f MB from idle; goal within 10 MB)\n",
                idle, loaded, loaded - idle, decoded, unloaded, unloaded - idle);
}
BENCHMARK(BM_HostMemoryIdleLoadedUnloaded)->Iterations(1)->Unit(benchmark::kSecond);

}  // namespace
