// Tags of 1,000 generated MP3, FLAC and M4A files, read by our readers and by TagLib over the same files.
// Each file carries the usual text fields and the DJ application's markers, grid and overview (about 9 KB of
// tags). Three shapes: a small file, the same tags before 1 GiB of (sparse) audio, and a tag grown by
// 256 KiB of other data. Reported per file.
#include "../../tests/library/tag_file_writer.h"
#include "library/serato_file_meta.h"

#include <benchmark/benchmark.h>

#include <cstdlib>
#include <filesystem>
#include <map>
#include <string>
#include <vector>

#ifdef PLINDO_HAVE_TAGLIB
#include <taglib/fileref.h>
#include <taglib/tag.h>
#endif

using namespace tagwriter;
namespace fs = std::filesystem;

namespace {

constexpr int kFiles = 1000;
enum Format { kMp3, kFlac, kM4a };
enum Shape { kSmall, kHugeAudio, kBigTag };
constexpr uint64_t kSmallAudio = 64 << 10;
constexpr uint64_t kHugeAudioBytes = 1ull << 30;
constexpr size_t kExtraTag = 256 << 10;

struct Objects {
    Buf markers, grid, overview;
};

Objects djObjects(int i) {
    std::vector<Buf> cues;
    Buf entries;
    for (int c = 0; c < 8; ++c) entries += cueEntry(uint8_t(c), uint32_t(1000 * (c + i % 7)), 0xCC, 0x44, 0x00, "Cue");
    entries += loopEntry(0, 1000, 9000, false, 0x27, 0xAA, 0xE1, "Loop") + colorEntry(0xFF, 0x99, 0xFF) + bpmLockEntry(false);
    std::vector<std::pair<float, uint32_t>> markers{{0.05f, 64}};
    return {markers2Payload(entries), beatGridPayload(markers, 32.05f, 120.0f + float(i % 10)), overviewPayload(uint8_t(i))};
}

Buf mp3(int i, size_t extra) {
    const auto o = djObjects(i);
    const Buf frames = cat({textFrame("TPE1", 3, bytes("Artist " + std::to_string(i)), 4), textFrame("TIT2", 3, bytes("Title " + std::to_string(i)), 4),
                            textFrame("TKEY", 0, bytes("8A"), 4), textFrame("TBPM", 0, bytes("124"), 4),
                            txxx(0, bytes("SERATO_PLAYCOUNT"), bytes(std::to_string(i)), 4),
                            geob(0, bytes("Serato Overview"), o.overview, 4), geob(0, bytes("Serato Markers2"), o.markers, 4),
                            geob(0, bytes("Serato BeatGrid"), o.grid, 4),
                            extra ? id3Frame("PRIV", bytes("other") + Buf{0} + Buf(extra, 0x55), 4) : Buf{}});
    return id3Tag(4, frames, {}, 1024);
}

Buf flac(int i, size_t extra) {
    const auto o = djObjects(i);
    std::vector<std::string> comments{"ARTIST=Artist " + std::to_string(i), "TITLE=Title " + std::to_string(i), "INITIALKEY=8A", "BPM=124",
                                      "SERATO_PLAYCOUNT=" + std::to_string(i), "SERATO_OVERVIEW=" + tagObject("Serato Overview", o.overview),
                                      "SERATO_MARKERS_V2=" + tagObject("Serato Markers2", o.markers),
                                      "SERATO_BEATGRID=" + tagObject("Serato BeatGrid", o.grid)};
    std::vector<Buf> blocks{flacBlock(4, vorbisComments(comments), false)};
    if (extra) blocks.push_back(flacBlock(6, Buf(extra, 0x55), false));  // a picture block
    blocks.push_back(flacBlock(1, Buf(1024, 0), true));
    return flacFile(blocks);
}

Buf m4aMoov(int i, size_t extra) {
    const auto o = djObjects(i);
    const Buf items = cat({textItem("\xA9" "ART", "Artist " + std::to_string(i)), textItem("\xA9nam", "Title " + std::to_string(i)),
                           atom("tmpo", dataAtom(21, be16(124))), freeform("com.apple.iTunes", "initialkey", bytes("8A")),
                           freeform("com.serato.dj", "playcount", bytes(std::to_string(i))),
                           freeform("com.serato.dj", "overview", bytes(tagObject("Serato Overview", o.overview))),
                           freeform("com.serato.dj", "markersv2", bytes(tagObject("Serato Markers2", o.markers))),
                           freeform("com.serato.dj", "beatgrid", bytes(tagObject("Serato BeatGrid", o.grid))),
                           extra ? atom("covr", dataAtom(13, Buf(extra, 0x55))) : Buf{}});
    return atom("moov", atom("mvhd", Buf(100, 0)) + atom("udta", metaAtom(items)));
}

// Writes head, a hole of `audio` bytes, then tail: the audio costs no disk space and reads as zeros.
void writeWithAudio(const fs::path& p, const Buf& head, uint64_t audio, const Buf& tail) {
    std::ofstream f(p, std::ios::binary | std::ios::trunc);
    f.write(reinterpret_cast<const char*>(head.data()), std::streamsize(head.size()));
    f.seekp(std::streamoff(head.size() + audio));
    f.write(reinterpret_cast<const char*>(tail.data()), std::streamsize(tail.size()));
    if (tail.empty()) f.write("\xFF", 1);
}

// MP4 media data before the movie atom, as encoders write it.
Buf mdatHeader(uint64_t audio) { return be32(1) + bytes("mdat") + be64(audio + 16); }

// The generated files live in one temporary folder, removed when the benchmark exits.
struct Folder {
    fs::path path;
    Folder() {
        char tmpl[] = "/tmp/plindo-bench-tags-XXXXXX";
        if (mkdtemp(tmpl)) path = tmpl;
    }
    ~Folder() {
        std::error_code ec;
        if (!path.empty()) fs::remove_all(path, ec);
    }
};

const std::vector<std::string>& files(Format format, Shape shape) {
    static std::map<std::pair<int, int>, std::vector<std::string>> made;
    static const Folder folder;
    const fs::path& root = folder.path;
    auto& list = made[{format, shape}];
    if (!list.empty()) return list;
    const uint64_t audio = shape == kHugeAudio ? kHugeAudioBytes : kSmallAudio;
    const size_t extra = shape == kBigTag ? kExtraTag : 0;
    static const char* ext[] = {".mp3", ".flac", ".m4a"};
    for (int i = 0; i < kFiles; ++i) {
        const fs::path p = root / ("f" + std::to_string(format) + "_" + std::to_string(shape) + "_" + std::to_string(i) + ext[format]);
        switch (format) {
            case kMp3: writeWithAudio(p, mp3(i, extra), audio, {}); break;
            case kFlac: writeWithAudio(p, flac(i, extra), audio, {}); break;
            case kM4a: writeWithAudio(p, ftyp() + mdatHeader(audio), audio, m4aMoov(i, extra)); break;
        }
        list.push_back(p.string());
    }
    return list;
}

// Seconds per file, printed with an SI prefix ("12.3u" = 12.3 us).
void perFile(benchmark::State& state) {
    state.counters["per_file"] =
        benchmark::Counter(double(state.iterations()) * kFiles, benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
}

void BM_Plindo(benchmark::State& state) {
    const auto& list = files(Format(state.range(0)), Shape(state.range(1)));
    for (auto _ : state) {
        for (const auto& path : list) {
            auto m = plindo::library::SeratoFileMeta::read(path);
            if (!m || m->cues.size() != 8 || !m->overview) state.SkipWithError("tags not read");
            benchmark::DoNotOptimize(m);
        }
    }
    perFile(state);
}

#ifdef PLINDO_HAVE_TAGLIB
void BM_TagLib(benchmark::State& state) {
    const auto& list = files(Format(state.range(0)), Shape(state.range(1)));
    for (auto _ : state) {
        for (const auto& path : list) {
            TagLib::FileRef f(path.c_str(), false);
            if (f.isNull() || !f.tag() || f.tag()->artist().isEmpty()) state.SkipWithError("TagLib read nothing");
            benchmark::DoNotOptimize(f.tag()->title());
        }
    }
    perFile(state);
}
#endif

void shapes(benchmark::internal::Benchmark* b) {
    b->ArgNames({"format", "shape"});
    for (int f : {kMp3, kFlac, kM4a}) {
        for (int s : {kSmall, kHugeAudio, kBigTag}) b->Args({f, s});
    }
    b->Unit(benchmark::kMillisecond);
}

}  // namespace

BENCHMARK(BM_Plindo)->Apply(shapes);
#ifdef PLINDO_HAVE_TAGLIB
BENCHMARK(BM_TagLib)->Apply(shapes);
#endif
