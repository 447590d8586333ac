// Tags of multi-gigabyte files cost what the tags cost: the readers fetch the tag regions only.
#include "library/serato_file_meta.h"
#include "library/tag_source.h"
#include "library_test_files.h"

#include <gtest/gtest.h>

#include <sys/resource.h>

#include <chrono>
#include <filesystem>

using namespace plindo::library;
using namespace tagwriter;
namespace fs = std::filesystem;

namespace {

// Writes `head`, leaves a hole up to `tailAt`, then writes `tail`: a sparse file that takes no disk space.
void writeSparse(const fs::path& p, const Buf& head, uint64_t tailAt, const Buf& tail) {
    std::ofstream f(p, std::ios::binary | std::ios::trunc);
    f.write(reinterpret_cast<const char*>(head.data()), std::streamsize(head.size()));
    f.seekp(std::streamoff(tailAt));
    f.write(reinterpret_cast<const char*>(tail.data()), std::streamsize(tail.size()));
}

// Counts what a reader asks for.
struct CountingSource final : TagSource {
    explicit CountingSource(const Buf& b) : inner(b) {}
    int64_t size() const override { return inner.size(); }
    bool readAt(int64_t offset, std::span<uint8_t> out) const override {
        bytesRead += out.size();
        return inner.readAt(offset, out);
    }
    MemoryTagSource inner;
    mutable size_t bytesRead = 0;
};

long maxRssKb() {
    rusage u{};
    return getrusage(RUSAGE_SELF, &u), u.ru_maxrss;
}

}  // namespace

TEST(TagLargeFiles, ReadsOnlyTheTagRegions) {
    const plindo::library::testfiles::TempDir tmp;
    const fs::path& dir = tmp.path;
    constexpr uint64_t kGap = 6ull << 30;  // 6 GiB of audio that is never read
    const Buf id3 = id3Tag(3, textFrame("TIT2", 0, bytes("Far"), 3));

    // WAV: a data chunk of almost 4 GiB, then the tag chunk.
    const uint32_t dataSize = 0xF0000001;  // odd: a pad byte follows
    const Buf wavHead = cat({bytes("RIFF"), le32(0xFFFFFFFF), bytes("WAVE"), chunk("fmt ", Buf(16, 0), true), bytes("data"), le32(dataSize)});
    writeSparse(dir / "big.wav", wavHead, wavHead.size() + uint64_t{dataSize} + 1, chunk("id3 ", id3, true));
    // MP4: a 64-bit mdat of 6 GiB before moov.
    const Buf mp4Head = cat({ftyp(), be32(1), bytes("mdat"), be64(kGap + 16)});
    writeSparse(dir / "big.m4a", mp4Head, ftyp().size() + kGap + 16,
                atom("moov", atom("udta", metaAtom(textItem("\xA9nam", "Far")))));
    // MP3 and FLAC: tags first, then gigabytes of audio.
    writeSparse(dir / "big.mp3", id3, kGap, Buf{0});
    writeSparse(dir / "big.flac", flacFile({flacBlock(4, vorbisComments({"TITLE=Far"}), true)}), kGap, Buf{0});

    const long rssBefore = maxRssKb();
    const auto start = std::chrono::steady_clock::now();
    for (const char* name : {"big.wav", "big.m4a", "big.mp3", "big.flac"}) {
        ASSERT_GT(fs::file_size(dir / name), uint64_t{0xF0000000}) << name;
        const auto m = SeratoFileMeta::read((dir / name).string());
        ASSERT_TRUE(m) << name;
        EXPECT_EQ(m->title, "Far") << name;
    }
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(2));
    EXPECT_LT(maxRssKb() - rssBefore, 64 * 1024);
}

TEST(TagLargeFiles, PicturesAndAudioAreNotRead) {
    constexpr size_t kBig = 1 << 20;
    const Buf picture(kBig, 0x55);
    const Buf markers = markers2Payload(cueEntry(1, 1000, 1, 2, 3, "c"));
    const Buf files[] = {
        id3Tag(4, cat({id3Frame("APIC", Buf{0} + bytes("image/png") + Buf{0, 3, 0} + picture, 4), textFrame("TIT2", 0, bytes("t"), 4),
                       geob(0, bytes("Serato Markers2"), markers, 4)})) + fakeAudio(kBig),
        flacFile({flacBlock(6, picture, false), flacBlock(4, vorbisComments({"TITLE=t", "SERATO_MARKERS_V2=" + tagObject("Serato Markers2", markers)}), true)}) +
            Buf(kBig, 0),
        mp4File(cat({atom("covr", dataAtom(14, picture)), textItem("\xA9nam", "t"),
                     freeform("com.serato.dj", "markersv2", bytes(tagObject("Serato Markers2", markers)))}),
                true, Buf(kBig, 0)),
        riffFile(chunk("data", Buf(kBig, 0), true) + chunk("id3 ", id3Tag(3, textFrame("TIT2", 0, bytes("t"), 3)), true)),
    };
    for (const auto& file : files) {
        CountingSource source(file);
        const auto m = SeratoFileMeta::read(source);
        ASSERT_TRUE(m);
        EXPECT_EQ(m->title, "t");
        EXPECT_LT(source.bytesRead, 16u << 10) << "of " << file.size();
    }
}

TEST(TagLargeFiles, AFileThatShrinksReadsAsMissingRegions) {
    const plindo::library::testfiles::TempDir tmp;
    const fs::path p = tmp.path / "s.mp3";
    writeFile(p, id3Tag(3, textFrame("TIT2", 0, bytes("t"), 3)) + fakeAudio(1 << 20));
    FileTagSource source(p.string());
    ASSERT_TRUE(source.ok());
    fs::resize_file(p, 100);
    uint8_t buf[64];
    EXPECT_FALSE(source.readAt(500000, buf));  // beyond the new end: a missing region, no signal
    const auto m = SeratoFileMeta::read(source);
    EXPECT_EQ(m ? m->title : "", "t");
}
