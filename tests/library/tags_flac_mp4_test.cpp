// FLAC Vorbis comments and MP4 items, with the DJ application's objects wrapped in base64 values.
#include "library/mp4_reader.h"
#include "library/serato_file_meta.h"
#include "library/tag_source.h"
#include "tag_file_writer.h"

#include <gtest/gtest.h>

using namespace plindo::library;
using namespace tagwriter;

namespace {

std::optional<SeratoFileMeta> flac(const std::vector<std::string>& comments) {
    return SeratoFileMeta::readBytes(flacFile({flacBlock(4, vorbisComments(comments), true)}));
}

std::optional<SeratoFileMeta> m4a(const Buf& items, bool metaWithVersion = true) {
    return SeratoFileMeta::readBytes(mp4File(items, metaWithVersion, Buf(32, 0)));
}

// The text fields of a record: "artist|title|key|bpm|plays".
std::string fields(const std::optional<SeratoFileMeta>& m) {
    if (!m) return "none";
    const auto num = [](auto v) { return v ? std::to_string(*v) : "-"; };
    return m->artist + "|" + m->title + "|" + m->key + "|" + num(m->bpmField) + "|" + num(m->playcount);
}

}  // namespace

TEST(FlacComments, KeysValuesAndTheDjObjects) {
    const auto m = flac({"artist=Low Key", "TITLE=A=B", "INITIALKEY=8A", "BPM=124.5", "no equals sign",
                         "PLAY_COUNT= 17\n", "SERATO_PLAYCOUNT=99",
                         "SERATO_MARKERS_V2=" + tagObject("Serato Markers2", markers2Payload(cueEntry(1, 2000, 1, 2, 3, "c"))),
                         "SERATO_BEATGRID=" + tagObject("Serato BeatGrid", beatGridPayload({}, 0.1f, 125.0f), 20),
                         "SERATO_OVERVIEW=" + tagObject("Serato Overview", overviewPayload())});
    EXPECT_EQ(fields(m), "Low Key|A=B|8A|124.500000|17");
    ASSERT_TRUE(m);
    EXPECT_EQ(m->cues, (std::vector<SeratoFileMeta::Cue>{{1, 2.0, "#010203", "c"}}));
    EXPECT_EQ(m->gridBpm, 125.0);
    EXPECT_TRUE(m->overview);
    EXPECT_EQ(flac({"KEY=Am", "BPM=inf"})->bpmField, std::nullopt);
    // A beat grid value that is not base64 reaches the grid decoder raw and is rejected there.
    EXPECT_FALSE(flac({"TITLE=t", "SERATO_BEATGRID=@@@@"})->gridBpm);
}

TEST(FlacComments, CountsLengthsAndBlocks) {
    // A count of 5000 reads 4096 comments at most.
    std::vector<std::string> many(4096, "X=1");
    many.push_back("TITLE=too late");
    Buf block = vorbisComments(many);
    const Buf count = le32(5000);
    std::copy(count.begin(), count.end(), block.begin() + 8);
    EXPECT_FALSE(SeratoFileMeta::readBytes(flacFile({flacBlock(4, block, true)})));

    // A zero-length comment ends that block; a later block is still read.
    Buf zero = le32(4) + bytes("test") + le32(2) + le32(0) + le32(8) + bytes("TITLE=no");
    const auto m = SeratoFileMeta::readBytes(flacFile({flacBlock(4, zero, false), flacBlock(1, Buf(10, 0), false),
                                                        flacBlock(4, vorbisComments({"ARTIST=later"}), true)}));
    EXPECT_EQ(fields(m), "later|||-|-");

    // Lengths of 2^32-1 (vendor, comment) never wrap past the block.
    EXPECT_FALSE(SeratoFileMeta::readBytes(flacFile({flacBlock(4, le32(0xFFFFFFFF) + Buf(8, 'x'), true)})));
    const Buf wrap = le32(0) + le32(2) + le32(9) + bytes("TITLE=yes") + le32(0xFFFFFFFF) + bytes("ARTIST=x");
    const auto w = SeratoFileMeta::readBytes(flacFile({flacBlock(4, wrap, true)}));
    EXPECT_EQ(fields(w), "|yes||-|-");
    // A comment count that does not fit ends the whole walk; a block passing the file's end too.
    EXPECT_FALSE(SeratoFileMeta::readBytes(flacFile({flacBlock(4, le32(0) + Buf{1, 0}, false),
                                                     flacBlock(4, vorbisComments({"TITLE=t"}), true)})));
    Buf cut = flacFile({flacBlock(4, vorbisComments({"TITLE=t"}), true)});
    cut.pop_back();
    EXPECT_FALSE(SeratoFileMeta::readBytes(cut));
    // Blocks of zero length without the last flag are walked to the end and no further.
    EXPECT_FALSE(SeratoFileMeta::readBytes(bytes("fLaC") + Buf(1 << 16, 0)));
}

TEST(Mp4Items, TextTempoAndFreeformItems) {
    const Buf items = cat({textItem("\xA9nam", "Name"), textItem("\xA9" "ART", "Artist"),
                           atom("tmpo", dataAtom(21, be16(0x0080))), atom("covr", dataAtom(13, Buf(5000, 0xFF))),
                           freeform("com.apple.iTunes", "initialkey", bytes("11B")),
                           freeform("com.apple.iTunes", "initialkey", bytes("2A")),
                           freeform("com.serato.dj", "PlayCount", bytes("8\n")),
                           freeform("com.serato.dj", "markersv2", bytes(tagObject("Serato Markers2", markers2Payload(colorEntry(9, 8, 7))))),
                           freeform("com.serato.dj", "beatgrid", bytes(tagObject("Serato BeatGrid", beatGridPayload({{0, 4}}, 2, 120))))});
    const auto m = m4a(items);
    EXPECT_EQ(fields(m), "Artist|Name|11B|128.000000|8");  // the first key stays
    ASSERT_TRUE(m);
    EXPECT_EQ(m->trackColorHex, "#090807");
    EXPECT_EQ(m->gridBpm, 120.0);

    // Items too short for their value change nothing.
    const auto s = m4a(cat({textItem("\xA9nam", "T"), atom("\xA9" "ART", dataAtom(1, {})), atom("tmpo", dataAtom(21, Buf{1})),
                            freeform("com.apple.iTunes", "initialkey", {})}));
    EXPECT_EQ(fields(s), "|T||-|-");

    // Play counts under the DJ application's mean only, by name.
    const auto play = [](std::string_view mean, std::string_view name) {
        return m4a(textItem("\xA9nam", "t") + freeform(mean, name, bytes("5")))->playcount;
    };
    EXPECT_EQ(play("com.serato.dj", "SeratoPlayCount"), 5);
    EXPECT_EQ(play("com.apple.iTunes", "playcount"), std::nullopt);
    EXPECT_EQ(play("com.serato.dj\xC3\xA9", "playcount"), std::nullopt);
}

TEST(Mp4Items, AtomSizesSixtyFourBitZeroAndWrapping) {
    // 64-bit sizes on the way down and on items.
    const Buf ilst = atom64("ilst", atom64("\xA9nam", dataAtom(1, bytes("Wide"))));
    const Buf meta = atom64("meta", be32(0) + ilst);
    const Buf file = cat({ftyp(), atom64("mdat", Buf(40, 0)), atom64("moov", atom("udta", meta))});
    EXPECT_EQ(fields(SeratoFileMeta::readBytes(file)), "|Wide||-|-");

    // Size 0 runs to the end of the parent (here the file).
    EXPECT_EQ(fields(SeratoFileMeta::readBytes(ftyp() + atomToEnd("moov", atom("udta", atom("meta", be32(0) + atom("ilst", textItem("\xA9nam", "Z"))))))),
              "|Z||-|-");

    // "meta" without its version and flags hides "ilst".
    EXPECT_FALSE(m4a(textItem("\xA9nam", "T"), false));

    // Sizes that would wrap 64-bit offsets, sizes below the header, and zero-length atoms end the walk.
    for (const Buf& bad : {cat({ftyp(), be32(1), bytes("mdat"), be64(UINT64_MAX), atom("moov", {})}),
                           cat({ftyp(), be32(1), bytes("mdat"), be64(UINT64_MAX - 7), atom("moov", {})}),
                           cat({ftyp(), be32(1), bytes("moov"), be64(12), Buf(8, 0)}),
                           cat({ftyp(), be32(4), bytes("free"), atom("moov", {})}),
                           cat({ftyp(), atom("moov", be32(0) + bytes("udta") + be32(0x7FFFFFFF) + bytes("meta"))})}) {
        EXPECT_FALSE(SeratoFileMeta::readBytes(bad));
    }
    MemoryTagSource empty(Buf{});
    EXPECT_FALSE(Mp4Reader::atomHeader(empty, 0, INT64_MAX));
    const Buf one = be32(1) + bytes("abcd") + be64(16);
    EXPECT_TRUE(Mp4Reader::atomHeader(TagBytes(one), 0, 16));
    EXPECT_FALSE(Mp4Reader::atomHeader(TagBytes(one), 0, 15));
    EXPECT_FALSE(Mp4Reader::atomHeader(TagBytes(one), -8, 16));
}
