// The library work of a started host against a large library: one push of the DJ application's browser
// (16 rows completed from a warm 20,000-track index) on main, and the longest stall of the main thread while
// a reload reads that database and a folder of 10,000 files. Both as a share of a 16.7 ms display frame.
#include "host/host_state.h"

#include "host/serato_parts.h"
#include "period_share.h"
#include "platform/log.h"
#include "platform/queue_executor.h"
#include "platform/settings.h"

#include "../../tests/library/library_test_files.h"

#include <benchmark/benchmark.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <filesystem>
#include <memory>
#include <thread>

namespace {

using namespace plindo;
namespace lt = library::testfiles;
using lt::operator+=;
using Clock = std::chrono::steady_clock;

constexpr int kDatabaseTracks = 20000;
constexpr int kFolderFiles = 10000;

class NullSink final : public link::OrvServer::Sink {
public:
    void send(const link::OrvServer::Endpoint&, std::span<const uint8_t>) override {}
};

std::u16string u16(const std::string& s) { return std::u16string(s.begin(), s.end()); }

// One temp folder with the database, its index warm in `library`, and a Files folder of many entries.
struct LargeLibrary {
    lt::TempDir dir;
    std::filesystem::path files = dir.path / "Files";
    library::SeratoLibrary library{dir.path / "_Serato_"};

    LargeLibrary() {
        lt::Bytes b = lt::header();
        for (int i = 0; i < kDatabaseTracks; ++i) {
            const auto n = std::to_string(i);
            b += lt::track({{"pfil", u16("Music/set/track" + n + ".mp3")}, {"tsng", u16("Title " + n)},
                            {"tart", u16("Artist " + std::to_string(i % 97))}, {"tbpm", u"124.00"}, {"tkey", u"8A"},
                            {"tlen", u"05:12.00"}});
        }
        lt::writeFile(dir.path / "_Serato_" / "database V2", b);
        std::filesystem::create_directories(files);
        for (int i = 0; i < kFolderFiles; ++i) lt::writeText(files / ("file" + std::to_string(i) + ".mp3"), "");
        library.reloadIndex();
    }
};

struct Host {
    LargeLibrary& lib;
    platform::MemorySettings settings;
    platform::QueueExecutor main;
    NullSink sink;
    std::unique_ptr<host::HostState> host;
    link::OrvServer::Origin phone{asio::ip::udp::endpoint(asio::ip::make_address_v4("192.168.1.20"), 50000),
                                  asio::ip::make_address_v4("192.168.1.10")};

    explicit Host(LargeLibrary& l) : lib(l) {
        platform::setLogFolder("");
        settings.setValue("orv.oscPort", 47312);
        settings.setValue("orv.devUID.1", "null");
        settings.setValue("orv.devUID.2", "null");
        settings.setValue("orv.libraryFolder", lib.files.string());
        main.invokeSync([&] {
            host = std::make_unique<host::HostState>(host::HostState::Deps{
                .settings = settings,
                .main = main,
                .interfaces = [] { return std::vector<platform::NetInterface>{}; },
                .homeFolder = lib.dir.path.string(),
                .trackServerPort = 0,
                .sink = &sink,
                .seratoLibrary = &lib.library,
                .procRoot = (lib.dir.path / "proc").string(),
                .tempFolder = (lib.dir.path / "tmp").string()});
            host->start();
        });
        const std::vector<link::OSCValue> hello{link::OSCValue::int32(1), link::OSCValue::string("Bench"),
                                                link::OSCValue::int32(0), link::OSCValue::string("remote"),
                                                link::OSCValue::int32(1), link::OSCValue::string("1215"),
                                                link::OSCValue::string("")};
        const auto b = link::OSCMessage::encode("/orv/hello", hello);
        host->server->handleDatagram(b.data(), b.size(), phone, platform::systemClock().now());
        main.drain();
    }
    ~Host() {
        main.invokeSync([&] { host.reset(); });
        main.drain();
    }
};

LargeLibrary& largeLibrary() {
    static LargeLibrary lib;
    return lib;
}

bench::PeriodShares& shares() {
    static bench::PeriodShares s({{"pct_of_16_7ms_frame", "a 16.7 ms display frame", 16.7e6}});
    return s;
}

// One push of 16 track rows to a bridged deck's phone, each row looked up in the warm index.
void BM_PushSeratoBrowser(benchmark::State& state) {
    Host h(largeLibrary());
    h.main.invokeSync([&] {
        h.host->setSeratoDeck(1, true);
        for (int row = 0; row < 16; ++row) {
            const int i = row * 1201;  // spread over the database
            h.host->seratoBrowser[row] = {"Title " + std::to_string(i), "Artist " + std::to_string(i % 97)};
            h.host->seratoRowExtra[row] = {312000, "8A"};
        }
        h.host->seratoRowsSeen = 16;
        h.host->seratoBrowserCrate = "Set";
    });
    Clock::time_point start;
    // The loop runs on main, where the push runs.
    h.main.invokeSync([&] {
        start = Clock::now();
        for (auto _ : state) h.host->pushSeratoBrowser();
    });
    shares().recordSince(state, "pushSeratoBrowser (16 rows, 20000-track index)", start);
}
BENCHMARK(BM_PushSeratoBrowser);

// A reload of the library into both panes. A probe posts to main every 0.2 ms and measures how long each post
// waited: the longest wait is the longest stall of the main thread during the reload.
void BM_ReloadLongestMainStall(benchmark::State& state) {
    Host h(largeLibrary());
    double longestNs = 0;
    for (auto _ : state) {
        std::atomic<bool> done{false};
        std::atomic<int64_t> worstNs{0};
        std::thread probe([&] {
            while (!done.load()) {
                const auto posted = Clock::now();
                h.main.post([&, posted] {
                    const int64_t waited = std::chrono::duration_cast<std::chrono::nanoseconds>(Clock::now() - posted).count();
                    int64_t w = worstNs.load();
                    while (waited > w && !worstNs.compare_exchange_weak(w, waited)) {}
                });
                std::this_thread::sleep_for(std::chrono::microseconds(200));
            }
        });
        h.main.invokeSync([&] { h.host->reloadLibrary(); });
        // The reload is over once pane 1 shows the pass's counts.
        for (bool loaded = false; !loaded;) {
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
            h.main.invokeSync([&] { loaded = h.host->panes()[1].tracks.size() == kFolderFiles; });
        }
        done = true;
        probe.join();
        h.main.drain();
        longestNs = std::max(longestNs, static_cast<double>(worstNs.load()));
        // The next reload starts from empty panes again.
        h.main.invokeSync([&] {
            h.host->writeLibEntryCount(1, 0);
            h.host->selectCrate("Plindo%%Serato%%none", 1, false);
        });
        for (bool cleared = false; !cleared;) {
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
            h.main.invokeSync([&] { cleared = h.host->panes()[1].tracks.empty(); });
        }
    }
    shares().record(state, "longest main stall during reloadLibrary (20000 tracks, 10000 files)", longestNs);
}
BENCHMARK(BM_ReloadLongestMainStall)->Iterations(5)->Unit(benchmark::kMillisecond);

}  // namespace
