// The library folder scan over a generated tree of 10,000 audio files in 200 folders, and the reads of a
// generated 20,000-track database.
#include "../../tests/library/library_test_files.h"
#include "library/library_scan.h"
#include "library/serato_library.h"

#include <benchmark/benchmark.h>

#include <string>

using namespace plindo::library;
using namespace plindo::library::testfiles;

namespace {

std::u16string u16(const std::string& s) { return std::u16string(s.begin(), s.end()); }

struct Fixture {
    TempDir dir;
    std::string tree = (dir.path / "Music").string();
    SeratoLibrary lib{dir.path / "_Serato_"};
    Fixture() {
        for (int f = 0; f < 200; ++f) {
            const auto folder = dir.path / "Music" / ("Genre " + std::to_string(f % 10)) / ("Folder " + std::to_string(f));
            std::string m3u;
            for (int i = 0; i < 50; ++i) {
                const std::string name = "Track " + std::to_string(i) + (i % 3 ? ".mp3" : ".flac");
                writeText(folder / name, "");
                m3u += name + "\n";
            }
            writeText(folder / ("list " + std::to_string(f) + ".m3u8"), m3u);
        }
        Bytes db = header();
        for (int i = 0; i < 20000; ++i) {
            const std::string n = std::to_string(i);
            const Bytes t = track({{"pfil", u16("Users/dj/Music/Artist " + std::to_string(i % 500) + "/Title " + n + ".mp3")},
                                   {"tsng", u16("Title " + n)},
                                   {"tart", u16("Artist " + std::to_string(i % 500))},
                                   {"tbpm", u"124.00"},
                                   {"tkey", u"Am"},
                                   {"tlen", u"04:31.73"},
                                   {"talb", u16("Album " + std::to_string(i % 900))}});
            db.insert(db.end(), t.begin(), t.end());
        }
        writeFile(dir.path / "_Serato_" / "database V2", db);
    }
};

Fixture& fixture() {
    static Fixture f;
    return f;
}

void ScanFindPlaylists10k(benchmark::State& state) {
    Fixture& f = fixture();
    for (auto _ : state) benchmark::DoNotOptimize(findPlaylists(f.tree).size());
}
BENCHMARK(ScanFindPlaylists10k)->Unit(benchmark::kMillisecond);

void ScanReadM3UDeepest(benchmark::State& state) {
    Fixture& f = fixture();
    for (auto _ : state) benchmark::DoNotOptimize(readM3U(f.tree, "list 199").size());
}
BENCHMARK(ScanReadM3UDeepest)->Unit(benchmark::kMillisecond);

void DatabaseAllTracks20k(benchmark::State& state) {
    Fixture& f = fixture();
    for (auto _ : state) benchmark::DoNotOptimize(f.lib.allTracks().size());
}
BENCHMARK(DatabaseAllTracks20k)->Unit(benchmark::kMillisecond);

void DatabaseReloadIndex20k(benchmark::State& state) {
    Fixture& f = fixture();
    for (auto _ : state) f.lib.reloadIndex();
}
BENCHMARK(DatabaseReloadIndex20k)->Unit(benchmark::kMillisecond);

void DatabaseFindPathByFileName20k(benchmark::State& state) {
    Fixture& f = fixture();
    f.lib.loadIndex();
    for (auto _ : state) benchmark::DoNotOptimize(f.lib.findPath("title 19999", "nobody"));
}
BENCHMARK(DatabaseFindPathByFileName20k)->Unit(benchmark::kMillisecond);

void DatabaseTrackLookup20k(benchmark::State& state) {
    Fixture& f = fixture();
    f.lib.reloadIndex();
    for (auto _ : state) benchmark::DoNotOptimize(f.lib.track("Title 1234", "Artist 234", "", 271000, "Am"));
}
BENCHMARK(DatabaseTrackLookup20k)->Unit(benchmark::kMicrosecond);

}  // namespace
