// "/wave/peaks" answered from the cache: one GET over loopback for a 1,400-column window of a three-minute
// track whose envelope is already analysed, and for the largest answer, the whole track in 20,000 columns.
// A cached answer is made on the server's queue, so this is also how long it holds up other requests.
#include "library/deck_file_payloads.h"
#include "link/deck_file_server.h"

#include <benchmark/benchmark.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <string>

namespace {

namespace fs = std::filesystem;

std::string get(int port, const std::string& target) {
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(static_cast<uint16_t>(port));
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    std::string out;
    if (::connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0) {
        const std::string req = "GET " + target + " HTTP/1.1\r\n\r\n";
        ::send(fd, req.data(), req.size(), MSG_NOSIGNAL);
        char buf[65536];
        while (true) {
            const ssize_t n = ::recv(fd, buf, sizeof buf, 0);
            if (n <= 0) break;
            out.append(buf, static_cast<size_t>(n));
        }
    }
    ::close(fd);
    return out;
}

void peaksCacheHit(benchmark::State& state, const std::string& window) {
    const fs::path dir = fs::temp_directory_path() / ("plindo-bench-peaks-" + std::to_string(::getpid()));
    fs::create_directories(dir);
    const fs::path track = dir / "track.wav";
    const std::string cmd = "ffmpeg -loglevel error -y -f lavfi -i sine=frequency=220:duration=180 -ar 44100 -ac 2 '" +
                            track.string() + "' </dev/null";
    if (std::system(cmd.c_str()) != 0) {
        state.SkipWithError("ffmpeg could not write the track");
        for (auto _ : state) {
        }
        return;
    }
    plindo::link::DeckFileServer server(nullptr, "bench", nullptr);
    server.payloads = plindo::library::deckFilePayloads();
    server.start(0);
    const std::string target = "/wave/peaks?path=" + track.string() + window;
    const std::string first = get(server.boundPort(), target);  // analyses and caches
    if (first.rfind("HTTP/1.1 200 OK", 0) != 0) state.SkipWithError("first answer was not 200");
    size_t bytes = 0;
    for (auto _ : state) {
        const std::string r = get(server.boundPort(), target);
        bytes = r.size();
        benchmark::DoNotOptimize(r.data());
    }
    state.counters["answer_bytes"] = static_cast<double>(bytes);
    server.stop();
    fs::remove_all(dir);
}

void BM_PeaksCacheHit1400Columns(benchmark::State& state) { peaksCacheHit(state, "&center=90&window=30&columns=1400"); }
void BM_PeaksCacheHitWholeTrack20000Columns(benchmark::State& state) { peaksCacheHit(state, "&columns=20000"); }

BENCHMARK(BM_PeaksCacheHit1400Columns)->Unit(benchmark::kMicrosecond)->MinTime(2.0);
BENCHMARK(BM_PeaksCacheHitWholeTrack20000Columns)->Unit(benchmark::kMicrosecond)->MinTime(2.0);

}  // namespace
