#include "library/embedded_art.h"
#include "library/tag_source.h"
#include "library_test_files.h"

#include <gtest/gtest.h>

#include <sys/stat.h>

namespace plindo::library {
namespace {

using namespace tagwriter;

const Buf kPng = cat({Buf{0x89}, bytes("PNG\r\n"), Buf{0x1A, 0x0A, 1, 2, 3}});
const Buf kJpeg = {0xFF, 0xD8, 0xFF, 0xE0, 9, 9};

Buf apic(uint8_t encoding, const Buf& description, const Buf& picture, int version = 3) {
    return id3Frame("APIC", cat({Buf{encoding}, bytes("image/png"), Buf{0}, Buf{3}, description, terminator(encoding), picture}),
                    version);
}

Buf flacPicture(const Buf& picture) {
    return cat({be32(3), be32(9), bytes("image/png"), be32(4), bytes("desc"), be32(1), be32(1), be32(24), be32(0),
                be32(uint32_t(picture.size())), picture});
}

Buf cut(Buf b, size_t n) {
    b.resize(b.size() - n);
    return b;
}

std::optional<std::vector<uint8_t>> artOf(const Buf& file) { return EmbeddedArt::read(MemoryTagSource(file)); }

TEST(EmbeddedArt, FindsTheFirstPictureOfEachContainer) {
    const struct {
        const char* what;
        Buf file;
        std::optional<Buf> art;
    } cases[] = {
        {"id3v2.3 latin-1", id3Tag(3, apic(0, bytes("cover"), kPng) + apic(0, {}, kJpeg)) + fakeAudio(800), kPng},
        {"id3v2.4 utf-16 description", id3Tag(4, textFrame("TIT2", 3, bytes("t"), 4) + apic(1, utf16("\xFF\xFE" "d", false), kJpeg, 4)), kJpeg},
        {"id3 empty picture", id3Tag(3, apic(0, {}, {}) + apic(0, {}, kPng)), std::nullopt},
        {"id3 no picture", id3Tag(3, textFrame("TIT2", 3, bytes("t"), 3)), std::nullopt},
        {"id3 truncated frame", id3Tag(3, id3Frame("APIC", cat({Buf{0}, bytes("image/png")}), 3)), std::nullopt},
        {"wav id3 chunk", riffFile(chunk("fmt ", Buf(16, 0), true) + chunk("id3 ", id3Tag(3, apic(0, {}, kJpeg)), true)), kJpeg},
        {"aiff ID3 chunk", aiffFile(chunk("ID3 ", id3Tag(3, apic(3, bytes("x"), kPng)), false)), kPng},
        {"flac picture", flacFile({flacBlock(4, vorbisComments({"TITLE=t"}), false), flacBlock(6, flacPicture(kPng), false),
                                   flacBlock(6, flacPicture(kJpeg), true)}),
         kPng},
        {"flac picture length past the block", flacFile({flacBlock(6, cut(flacPicture(kPng), 3), true)}), std::nullopt},
        {"mp4 covr", mp4File(textItem("\xA9nam", "t") + atom("covr", dataAtom(14, kPng) + dataAtom(13, kJpeg))), kPng},
        {"mp4 empty covr data", mp4File(atom("covr", dataAtom(13, {}))), std::nullopt},
        {"mp4 without covr", mp4File(textItem("\xA9nam", "t")), std::nullopt},
        {"unknown container", bytes("OggS") + Buf(100, 0), std::nullopt},
        {"empty file", Buf{}, std::nullopt},
    };
    for (const auto& c : cases) EXPECT_EQ(artOf(c.file), c.art) << c.what;
}

TEST(EmbeddedArt, ReadsRegularFilesOnly) {
    const testfiles::TempDir dir;
    writeFile(dir.path / "a.mp3", id3Tag(3, apic(0, {}, kJpeg)) + fakeAudio(500));
    ::mkfifo((dir.path / "pipe.mp3").c_str(), 0600);
    EXPECT_EQ(EmbeddedArt::read((dir.path / "a.mp3").string()), kJpeg);
    // A pipe would block, a device never ends, a folder is no file.
    for (const auto& p : {dir.path / "pipe.mp3", std::filesystem::path("/dev/zero"), dir.path})
        EXPECT_EQ(EmbeddedArt::read(p.string()), std::nullopt) << p;
}

}  // namespace
}  // namespace plindo::library
