// Throughput of "/audio/stream" for a 50 MB file over loopback, measured with wrk for a bounded time, next to
// nginx serving the same file from another loopback port in the same run. Both answer with
// "Connection: close", as the track server always does.
#include "link/deck_file_server.h"

#include <benchmark/benchmark.h>

#include <netinet/in.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <regex>
#include <string>
#include <thread>

extern char** environ;

namespace {

namespace fs = std::filesystem;

constexpr size_t kFileBytes = 50u << 20;
constexpr const char* kWrk = "wrk -t2 -c4 -d3s --latency -H 'Connection: close' ";

struct WrkFigures {
    double requestsPerSec = 0;
    double mbPerSec = 0;
    double p50ms = 0;
    double p99ms = 0;
    long requests = 0;
    long errors = 0;
    bool ok = false;
};

double toMs(double v, const std::string& unit) {
    if (unit == "us") return v / 1000.0;
    if (unit == "s") return v * 1000.0;
    return v;
}

WrkFigures runWrk(const std::string& url) {
    WrkFigures f;
    FILE* p = ::popen((std::string(kWrk) + "'" + url + "' 2>&1").c_str(), "r");
    if (!p) return f;
    std::string out;
    char buf[4096];
    while (size_t n = std::fread(buf, 1, sizeof buf, p)) out.append(buf, n);
    ::pclose(p);
    std::smatch m;
    if (std::regex_search(out, m, std::regex(R"(Requests/sec:\s+([0-9.]+))"))) f.requestsPerSec = std::stod(m[1]);
    if (std::regex_search(out, m, std::regex(R"(Transfer/sec:\s+([0-9.]+)([KMG]?)B)"))) {
        const double scale = m[2] == "G" ? 1024.0 : m[2] == "K" ? 1.0 / 1024 : m[2] == "M" ? 1.0 : 1.0 / (1 << 20);
        f.mbPerSec = std::stod(m[1]) * scale;
    }
    if (std::regex_search(out, m, std::regex(R"(50%\s+([0-9.]+)(us|ms|s))"))) f.p50ms = toMs(std::stod(m[1]), m[2]);
    if (std::regex_search(out, m, std::regex(R"(99%\s+([0-9.]+)(us|ms|s))"))) f.p99ms = toMs(std::stod(m[1]), m[2]);
    if (std::regex_search(out, m, std::regex(R"((\d+) requests in)"))) f.requests = std::stol(m[1]);
    if (std::regex_search(out, m, std::regex(R"(Non-2xx or 3xx responses:\s+(\d+))"))) f.errors += std::stol(m[1]);
    if (std::regex_search(out, m, std::regex(R"(Socket errors:.*?read (\d+))"))) f.errors += std::stol(m[1]);
    f.ok = f.requestsPerSec > 0;
    if (!f.ok) std::fprintf(stderr, "wrk said:\n%s\n", out.c_str());
    return f;
}

void report(benchmark::State& state, const WrkFigures& f) {
    state.counters["MB_per_s"] = f.mbPerSec;
    state.counters["req_per_s"] = f.requestsPerSec;
    state.counters["p50_ms"] = f.p50ms;
    state.counters["p99_ms"] = f.p99ms;
    state.counters["requests"] = static_cast<double>(f.requests);
    state.counters["errors"] = static_cast<double>(f.errors);
}

struct Fixture {
    fs::path dir = fs::temp_directory_path() / ("plindo-bench-fs-" + std::to_string(::getpid()));
    fs::path file = dir / "big.wav";
    Fixture() {
        fs::create_directories(dir);
        std::string chunk(1 << 20, '\0');
        for (size_t i = 0; i < chunk.size(); ++i) chunk[i] = static_cast<char>(i * 31 + (i >> 10));
        std::ofstream out(file, std::ios::binary);
        for (size_t i = 0; i < kFileBytes / chunk.size(); ++i) out.write(chunk.data(), static_cast<std::streamsize>(chunk.size()));
    }
    ~Fixture() { fs::remove_all(dir); }
};

Fixture& fixture() {
    static Fixture f;
    return f;
}

double gOurMbPerSec = 0;

int freePort() {
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a);
    socklen_t len = sizeof a;
    ::getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len);
    ::close(fd);
    return ntohs(a.sin_port);
}

void BM_TrackServerAudioStream(benchmark::State& state) {
    auto& fx = fixture();
    plindo::link::DeckFileServer server(nullptr, "bench", nullptr);
    server.start(0);
    const std::string url = "http://127.0.0.1:" + std::to_string(server.boundPort()) + "/audio/stream?path=" + fx.file.string();
    WrkFigures f;
    for (auto _ : state) f = runWrk(url);
    if (!f.ok) state.SkipWithError("wrk gave no figures");
    gOurMbPerSec = f.mbPerSec;
    report(state, f);
}

void BM_NginxSameFile(benchmark::State& state) {
    auto& fx = fixture();
    const int port = freePort();
    const fs::path prefix = fx.dir / "nginx";
    fs::create_directories(prefix / "logs");
    const fs::path conf = prefix / "nginx.conf";
    std::ofstream(conf) << "daemon off;\nmaster_process off;\nworker_processes 1;\nerror_log " << (prefix / "logs/error.log").string()
                        << ";\npid " << (prefix / "nginx.pid").string() << ";\nevents { worker_connections 256; }\n"
                        << "http {\n access_log off;\n sendfile on;\n tcp_nopush on;\n"
                        << " client_body_temp_path " << (prefix / "body").string() << ";\n proxy_temp_path " << (prefix / "proxy").string()
                        << ";\n fastcgi_temp_path " << (prefix / "fcgi").string() << ";\n"
                        << " server {\n  listen 127.0.0.1:" << port << ";\n  root " << fx.dir.string()
                        << ";\n  location / { }\n }\n}\n";
    const std::string confText = conf.string();
    const std::string prefixText = prefix.string() + "/";
    char* argv[] = {const_cast<char*>("nginx"), const_cast<char*>("-c"), const_cast<char*>(confText.c_str()),
                    const_cast<char*>("-p"), const_cast<char*>(prefixText.c_str()), nullptr};
    pid_t pid = 0;
    if (::posix_spawnp(&pid, "nginx", nullptr, nullptr, argv, environ) != 0) {
        state.SkipWithError("nginx could not be started");
        for (auto _ : state) {
        }
        return;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    WrkFigures f;
    for (auto _ : state) f = runWrk("http://127.0.0.1:" + std::to_string(port) + "/big.wav");
    ::kill(pid, SIGTERM);
    ::waitpid(pid, nullptr, 0);
    if (!f.ok) state.SkipWithError("wrk gave no figures from nginx");
    report(state, f);
    if (f.mbPerSec > 0) state.counters["ours_vs_nginx"] = gOurMbPerSec / f.mbPerSec;
}

BENCHMARK(BM_TrackServerAudioStream)->Iterations(1)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_NginxSameFile)->Iterations(1)->Unit(benchmark::kMillisecond);

}  // namespace
