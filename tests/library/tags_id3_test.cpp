// ID3v2 tags at the start of MP3 files and inside AIFF and WAV chunks, and the file entry's choice of
// reader.
#include "library/id3v2_reader.h"
#include "library/serato_file_meta.h"
#include "tag_file_writer.h"

#include <gtest/gtest.h>

using namespace plindo::library;
using namespace tagwriter;

namespace {

std::optional<SeratoFileMeta> readMp3(const Buf& tag) { return SeratoFileMeta::readBytes(tag + fakeAudio(64)); }

SeratoFileMeta parse(const Buf& tag) {
    SeratoFileMeta m;
    Id3v2Reader::parseID3(tag, 0, m);
    return m;
}

}  // namespace

TEST(Id3Tags, SizesFollowTheMajorVersion) {
    // Size bytes 00 00 01 01: 257 as a plain number (v3), 129 as a synchsafe one (v4), where the next frame
    // header is then read inside the title's bytes.
    const Buf frames = bytes("TIT2") + Buf{0, 0, 1, 1, 0, 0} + Buf{0} + Buf(256, 'a');
    const auto v3 = parse(id3Tag(3, frames + textFrame("TPE1", 0, bytes("A"), 3)));
    const auto v4 = parse(id3Tag(4, frames + textFrame("TPE1", 0, bytes("A"), 4)));
    EXPECT_EQ(v3.title + "|" + v3.artist, std::string(256, 'a') + "|A");
    EXPECT_EQ(v4.title + "|" + v4.artist, std::string(128, 'a') + "|");
    // Extended headers: v3 with a 4-byte size that does not count itself, v4 with a synchsafe one that does;
    // one running past the tag leaves nothing to read.
    EXPECT_EQ(parse(id3Tag(3, textFrame("TIT2", 0, bytes("T3"), 3), be32(6) + Buf(6, 0))).title, "T3");
    EXPECT_EQ(parse(id3Tag(4, textFrame("TIT2", 0, bytes("T4"), 4), synchsafe(10) + Buf(6, 0))).title, "T4");
    EXPECT_EQ(parse(id3Tag(3, textFrame("TIT2", 0, bytes("T"), 3), be32(0xFFFFFFFF))).title, "");
}

TEST(Id3Tags, TextEncodingsAndByteOrderMarks) {
    const struct {
        uint8_t encoding;
        Buf text;
        std::string want;
    } cases[] = {
        {0, Buf{'C', 'a', 'f', 0xE9}, "Caf\xC3\xA9"},
        {0, bytes("Trailing") + Buf{0, 0}, "Trailing"},
        {1, Buf{0xFF, 0xFE} + utf16("Le", false) + Buf{0, 0}, "Le"},
        {1, Buf{0xFE, 0xFF} + utf16("Be", true), "Be"},
        // A little-endian text ending in an ASCII letter keeps that letter's high zero byte.
        {1, Buf{0xFF, 0xFE} + utf16("A", false), "A"},
        {1, utf16("NoBom", true), "NoBom"},
        {2, utf16("Big", true) + Buf{0, 0}, "Big"},
        {3, bytes("K\xC3\xA4se") + Buf{0}, "K\xC3\xA4se"},
        {3, Buf{0xEF, 0xBB, 0xBF} + bytes("Bom8"), "Bom8"},
        {3, Buf{0xC3, 0x28}, ""},  // invalid UTF-8
        {9, Buf{0xE9}, "\xC3\xA9"},  // unknown encodings read as ISO 8859-1
    };
    for (const auto& c : cases) {
        for (int version : {3, 4}) {
            EXPECT_EQ(parse(id3Tag(version, textFrame("TIT2", c.encoding, c.text, version))).title, c.want)
                << int(c.encoding) << " v" << version;
        }
    }
    // The key and artist frames read the same way; a later frame of one ID replaces the earlier one.
    const auto m = parse(id3Tag(3, textFrame("TKEY", 0, bytes("8A"), 3) + textFrame("TPE1", 0, bytes("X"), 3) +
                                       textFrame("TPE1", 3, bytes("Y"), 3)));
    EXPECT_EQ(m.key, "8A");
    EXPECT_EQ(m.artist, "Y");
}

TEST(Id3Tags, BpmAndPlayCount) {
    const auto bpm = [](std::string_view text) {
        return parse(id3Tag(3, textFrame("TBPM", 0, bytes("100"), 3) + textFrame("TBPM", 0, bytes(text), 3))).bpmField;
    };
    EXPECT_EQ(bpm("127.97"), 127.97);
    EXPECT_EQ(bpm("nan"), std::nullopt);  // a failing later frame clears the earlier value

    // The play count comes from the first user text whose description names one.
    const auto count = [](const Buf& frames) { return parse(id3Tag(4, frames)).playcount; };
    EXPECT_EQ(count(txxx(0, bytes("Play Count"), bytes(" 42 times"), 4)), 42);
    EXPECT_EQ(count(txxx(0, bytes("PCNT_serato"), bytes("7"), 4)), 7);
    EXPECT_EQ(count(txxx(1, Buf{0xFF, 0xFE} + utf16("PLAYCOUNT", false), Buf{0xFF, 0xFE} + utf16("12", false), 4)), 12);
    EXPECT_EQ(count(txxx(2, utf16("playcount", true), utf16("13", true), 4)), 13);
    // First wins, even over a later valid one.
    EXPECT_EQ(count(txxx(0, bytes("playcount"), bytes("3"), 4) + txxx(0, bytes("playcount"), bytes("9"), 4)), 3);
    EXPECT_EQ(count(txxx(0, bytes("playcount"), bytes("none"), 4) + txxx(0, bytes("playcount"), bytes("9"), 4)), 9);
    EXPECT_EQ(count(txxx(0, bytes("other"), bytes("3"), 4)), std::nullopt);
    EXPECT_EQ(count(id3Frame("TXXX", Buf{0} + bytes("playcount"), 4)), std::nullopt);  // no terminator
}

TEST(Id3Tags, GeobCarriesTheDjObjects) {
    const Buf overview = overviewPayload(3);
    for (int version : {3, 4}) {
        // Narrow and wide descriptions: little-endian, and big-endian behind a byte order mark.
        for (const auto& [enc, description] : {std::pair<uint8_t, Buf>{0, bytes("Serato Overview")}, {3, bytes("Serato Overview")},
                                               {1, utf16("Serato Overview", false)},
                                               {1, Buf{0xFE, 0xFF} + utf16("Serato Overview", true)}})
            EXPECT_TRUE(parse(id3Tag(version, geob(enc, description, overview, version, enc == 1 ? Buf{} : bytes("f.bin")))).overview)
                << version << " " << int(enc);
    }
    // Empty object, or a description with no terminator: skipped.
    EXPECT_FALSE(parse(id3Tag(3, geob(0, bytes("Serato Overview"), {}, 3))).overview);
    EXPECT_FALSE(parse(id3Tag(3, id3Frame("GEOB", Buf{0} + bytes("mime") + Buf{0, 0} + bytes("Serato Overview"), 3))).overview);
    EXPECT_FALSE(parse(id3Tag(3, geob(0, bytes("serato overview"), overview, 3))).overview);
}

TEST(Id3Tags, WalkStopsQuietlyAtFillAndBadFrames) {
    const Buf title = textFrame("TIT2", 0, bytes("T"), 3);
    // Zero fill after the last frame.
    EXPECT_EQ(parse(id3Tag(3, title, {}, 100)).title, "T");
    // A frame of size 0, or one that passes the tag's end, ends the tag: the frames after it are not read.
    EXPECT_EQ(parse(id3Tag(3, bytes("TPE1") + Buf(6, 0) + title)).title, "");
    EXPECT_EQ(parse(id3Tag(3, bytes("TPE1") + be32(0xFFFFFFFF) + Buf{0, 0} + title)).title, "");
    // A version-2 tag is walked with the version-3 layout: its three-character frames mean nothing.
    EXPECT_EQ(parse(id3Tag(2, bytes("TT2") + Buf{0, 0, 3, 0} + bytes("AB") + Buf(20, 0))).title, "");
    // A tag size claiming more than the file holds is clipped to the file.
    Buf cut = id3Tag(3, title + textFrame("TPE1", 0, bytes("Artist"), 3));
    cut.resize(cut.size() - 3);
    EXPECT_EQ(parse(cut).title + "|" + parse(cut).artist, "T|");
}

TEST(TagFileEntry, MagicSizeAndEmptyRecordRules) {
    // 16 bytes are too few even for a valid tag; a title of size 1 is empty, and so is the record.
    const Buf tag = id3Tag(3, textFrame("TIT2", 0, bytes("T"), 3));
    EXPECT_FALSE(SeratoFileMeta::readBytes(Buf(tag.begin(), tag.begin() + 16)));
    EXPECT_FALSE(SeratoFileMeta::readBytes(id3Tag(3, textFrame("TIT2", 0, {}, 3))));

    // A play count alone does not make a record; a title brings the count along.
    const Buf count = txxx(0, bytes("playcount"), bytes("4"), 3);
    EXPECT_FALSE(readMp3(id3Tag(3, count)));
    EXPECT_EQ(readMp3(id3Tag(3, count + textFrame("TIT2", 0, bytes("T"), 3))).value_or(SeratoFileMeta{}).playcount, 4);
    EXPECT_FALSE(readMp3(id3Tag(3, geob(0, bytes("Serato Overview"), overviewPayload(), 3))));

    // MP4 only by "ftyp" at offset 4; unknown magic gives nothing.
    Buf mp4 = tagwriter::mp4File(textItem("\xA9nam", "T"));
    EXPECT_TRUE(SeratoFileMeta::readBytes(mp4));
    EXPECT_FALSE(SeratoFileMeta::readBytes(Buf(mp4.begin() + 4, mp4.end())));
    EXPECT_FALSE(SeratoFileMeta::readBytes(Buf(64, 'x')));
    EXPECT_FALSE(SeratoFileMeta::read("/nonexistent/file.mp3") || SeratoFileMeta::read("/tmp"));
}

TEST(ChunkedFiles, WavAndAiffCarryId3Chunks) {
    const Buf tag = id3Tag(4, textFrame("TIT2", 3, bytes("In a chunk"), 4));
    for (const char* id : {"id3 ", "ID3 ", "Id3 "}) {
        // An odd-sized chunk first: a pad byte follows it.
        const auto wav = SeratoFileMeta::readBytes(riffFile(chunk("junk", Buf(7, 1), true) + chunk(id, tag, true)));
        const auto aiff = SeratoFileMeta::readBytes(aiffFile(chunk("junk", Buf(7, 1), false) + chunk(id, tag, false)));
        EXPECT_EQ(wav ? wav->title : "", "In a chunk") << id;
        EXPECT_EQ(aiff ? aiff->title : "", "In a chunk") << id;
    }
    // Big-endian sizes in a RIFF file (huge little-endian ones), a zero-size chunk, or one as large as the file
    // end the walk.
    for (const Buf& chunks : {chunk("fmt ", Buf(16, 0), false) + chunk("id3 ", tag, false), bytes("junk") + le32(0) + chunk("id3 ", tag, true),
                              bytes("junk") + le32(0xFFFFFFFF) + chunk("id3 ", tag, true)})
        EXPECT_FALSE(SeratoFileMeta::readBytes(riffFile(chunks)));
}
