// The DJ application's objects: Markers2 entries, the beat grid, the overview and their dispatch.
#include "library/serato_file_meta.h"
#include "library/serato_markers2.h"
#include "library/serato_payload.h"
#include "tag_file_writer.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>

using namespace plindo::library;
using namespace tagwriter;

namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr double kInf = std::numeric_limits<double>::infinity();

SeratoFileMeta markers(const Buf& entries, bool lineFeeds = true, SeratoFileMeta m = {}) {
    SeratoMarkers2::parseMarkers2(markers2Payload(entries, lineFeeds), m);
    return m;
}

}  // namespace

TEST(SeratoMarkers2, CuesLoopsColourAndLock) {
    const auto m = markers(cat({cueEntry(3, 1500, 0xCC, 0, 0, "Drop"), cueEntry(1, 0, 0, 0x88, 0xFF, ""),
                                loopEntry(0, 1000, 5000, true, 0x27, 0xAA, 0xE1, "Verse"),
                                loopEntry(1, 2000, 3000, false, 1, 2, 3, ""), colorEntry(0xFF, 0x99, 0xFF),
                                bpmLockEntry(true), entry("UNKNOWN", Buf(9, 1)), colorEntry(0x12, 0x34, 0x56)}));
    EXPECT_EQ(m.cues, (std::vector<SeratoFileMeta::Cue>{{1, 0.0, "#0088ff", ""}, {3, 1.5, "#cc0000", "Drop"}}));
    EXPECT_EQ(m.loops, (std::vector<SeratoFileMeta::Loop>{{0, 1.0, 5.0, "#27aae1", "Verse", true}, {1, 2.0, 3.0, "#010203", "", false}}));
    EXPECT_EQ(m.trackColorHex, "#123456");  // a later colour replaces the earlier one
    EXPECT_EQ(m.bpmLock, true);
    // The same without line feeds in the text.
    EXPECT_EQ(markers(cueEntry(2, 10, 1, 2, 3, "x"), false).cues.size(), 1u);
    // Cues from earlier sources are sorted together with later ones.
    const auto two = markers(cueEntry(2, 0, 0, 0, 0, "") + cueEntry(7, 0, 0, 0, 0, ""), true, markers(cueEntry(5, 0, 0, 0, 0, "")));
    ASSERT_EQ(two.cues.size(), 3u);
    EXPECT_EQ((std::vector<int>{two.cues[0].idx, two.cues[1].idx, two.cues[2].idx}), (std::vector<int>{2, 5, 7}));
}

TEST(SeratoMarkers2, EntryLengthRules) {
    // A CUE of exactly 12 bytes is skipped; 13 bytes make a cue with an empty label.
    EXPECT_TRUE(markers(entry("CUE", Buf(12, 0)) + colorEntry(1, 1, 1)).cues.empty());
    EXPECT_EQ(markers(entry("CUE", Buf{0, 5, 0, 0, 0, 10, 0, 1, 2, 3, 0, 0, 0})).cues,
              (std::vector<SeratoFileMeta::Cue>{{5, 0.01, "#010203", ""}}));
    // A LOOP of 17 bytes reads its colour's missing bytes as zero and has no label.
    EXPECT_EQ(markers(entry("LOOP", cat({Buf{0, 2}, be32(0), be32(1000), be32(7), Buf{0, 0}, Buf{0xAB}}))).loops,
              (std::vector<SeratoFileMeta::Loop>{{2, 0.0, 1.0, "#ab0000", "", true}}));
    // ISO 8859-1 labels.
    EXPECT_EQ(markers(cueEntry(0, 0, 0, 0, 0, "Caf\xE9")).cues[0].label, "Caf\xC3\xA9");
    // An entry of length 0 ends the walk: the cue after it is not read.
    EXPECT_TRUE(markers(bytes("COLOR") + Buf{0} + be32(0) + cueEntry(1, 1, 1, 1, 1, "x")).cues.empty());
    // A length of 2^32-1 cannot wrap past the end: the walk ends, keeping what came before.
    EXPECT_EQ(markers(cueEntry(4, 4, 4, 4, 4, "kept") + bytes("CUE") + Buf{0} + be32(0xFFFFFFFF) + Buf(20, 1)).cues.size(), 1u);
    // A decoded body of 6 bytes adds nothing; undecodable text changes nothing.
    SeratoFileMeta m;
    SeratoMarkers2::parseMarkers2(Buf{1, 1} + bytes(base64(Buf{1, 1, 'C', 'U', 'E', 0})) + Buf{0}, m);
    EXPECT_TRUE(m.cues.empty());
    m.trackColorHex = "#000000";
    SeratoMarkers2::parseMarkers2(bytes("\x01\x01!!!!"), m);
    EXPECT_EQ(m.trackColorHex, "#000000");
    SeratoMarkers2::parseMarkers2(Buf{1}, m);
}

TEST(SeratoMarkers2, FlipsAndTheirActions) {
    const auto m = markers(cat({flipEntry(0, "Intro edit", true, {jumpAction(10.0, 2.5), censorAction(1, 2, -1)}),
                                flipEntry(1, "Cut", false, {jumpAction(1, 2), Buf{0} + be32(40) + Buf(8, 0)}),  // 2nd truncated
                                flipEntry(2, "Short", false, {Buf{0} + be32(8) + f64(1.0), Buf{7} + be32(0)}),
                                flipEntry(3, "\xFF\xFE", false, {}, 0)}));
    using A = SeratoFileMeta::FlipAction;
    const A unknown{"unknown", {}, {}, {}, {}, {}};
    EXPECT_EQ(m.flips, (std::vector<SeratoFileMeta::Flip>{
                           {0, "Intro edit", true, {{"jump", 10.0, 2.5, {}, {}, {}}, {"censor", {}, {}, 1.0, 2.0, -1.0}}},
                           {1, "Cut", false, {{"jump", 1.0, 2.0, {}, {}, {}}}},
                           {2, "Short", false, {unknown, unknown}},  // too short for a jump; an unknown type
                           {3, "", false, {}}}));                    // a name that is not UTF-8

    // A count of 2^32-1 ends with the entry's bytes.
    const auto many = markers(flipEntry(4, "Many", false, {jumpAction(1, 2)}, 0xFFFFFFFF));
    EXPECT_EQ(many.flips.size() == 1 ? many.flips[0].actions.size() : 0, 1u);
    // A flip name without its zero byte skips the flip.
    EXPECT_TRUE(markers(entry("FLIP", Buf{0, 1, 0, 'a', 'b', 'c'})).flips.empty());
    // Values that are not finite are absent.
    const auto nf = markers(flipEntry(0, "f", false, {jumpAction(kNaN, 3.0), censorAction(kInf, -kInf, kNaN)}));
    ASSERT_EQ(nf.flips.size(), 1u);
    EXPECT_EQ(nf.flips[0].actions, (std::vector<SeratoFileMeta::FlipAction>{{"jump", {}, 3.0, {}, {}, {}}, {"censor", {}, {}, {}, {}, {}}}));
}

TEST(SeratoBeatGrid, MarkersTerminalAndLimits) {
    using SeratoPayload::parseBeatGrid;
    const auto two = parseBeatGrid(beatGridPayload({{0.5f, 16}, {8.5f, 32}}, 24.5f, 120.0f));
    ASSERT_TRUE(two);
    EXPECT_EQ(two->bpm, 120.0);
    EXPECT_EQ(two->markers, (std::vector<SeratoFileMeta::GridMarker>{{0.5, 16}, {8.5, 32}}));
    EXPECT_EQ(two->terminalT, 24.5);

    EXPECT_TRUE(parseBeatGrid(beatGridPayload({}, 0, 300.0f)));
    for (float bpm : {300.5f, 0.0f, std::numeric_limits<float>::quiet_NaN(), std::numeric_limits<float>::infinity()})
        EXPECT_FALSE(parseBeatGrid(beatGridPayload({}, 0, bpm))) << bpm;

    // A count claiming more markers than the bytes hold, 0, 2^32-1 or over 10000.
    for (uint32_t n : {3u, 0u, 10001u, 0xFFFFFFFFu}) {
        Buf p = beatGridPayload({}, 1, 120);
        const Buf c = be32(n);
        std::copy(c.begin(), c.end(), p.begin() + 2);
        EXPECT_FALSE(parseBeatGrid(p)) << n;
    }
    std::vector<std::pair<float, uint32_t>> many(9999, {1.0f, 1});
    EXPECT_TRUE(parseBeatGrid(beatGridPayload(many, 2, 120)));
    many.push_back({1.0f, 1});
    EXPECT_FALSE(parseBeatGrid(beatGridPayload(many, 2, 120)));
    EXPECT_FALSE(parseBeatGrid(Buf(13, 1)));

    // Non-finite positions count as absent.
    const auto nonFinite = parseBeatGrid(beatGridPayload({{-std::numeric_limits<float>::infinity(), 4}, {1.0f, 4}},
                                                         std::numeric_limits<float>::quiet_NaN(), 120));
    ASSERT_TRUE(nonFinite);
    EXPECT_EQ(nonFinite->markers, (std::vector<SeratoFileMeta::GridMarker>{{1.0, 4}}));
    EXPECT_EQ(nonFinite->terminalT, std::nullopt);
}

TEST(SeratoPayloadDispatch, ByExactDescription) {
    SeratoFileMeta m;
    SeratoPayload::applySeratoPayload("Serato BeatGrid", beatGridPayload({{0, 4}}, 2, 120), m);
    SeratoPayload::applySeratoPayload("Serato BeatGrid", beatGridPayload({}, 2, 301), m);  // rejected: grid kept
    EXPECT_EQ(m.gridBpm, 120.0);
    EXPECT_EQ(m.gridMarkers, (std::vector<SeratoFileMeta::GridMarker>{{0, 4}}));

    SeratoPayload::applySeratoPayload("Serato Overview", overviewPayload(9, 3998), m);
    EXPECT_EQ(m.overview, std::vector<uint8_t>(3840, 9));
    // An invalid overview clears a valid earlier one.
    SeratoPayload::applySeratoPayload("Serato Overview", overviewPayload(9, 3839), m);
    EXPECT_FALSE(m.overview);
    SeratoPayload::applySeratoPayload("Serato Overview", Buf{1, 4} + Buf(3840, 0), m);
    EXPECT_FALSE(m.overview);

    SeratoPayload::applySeratoPayload("Serato Markers2", markers2Payload(colorEntry(1, 2, 3)), m);
    EXPECT_EQ(m.trackColorHex, "#010203");
    const SeratoFileMeta before = m;
    SeratoPayload::applySeratoPayload("Serato Markers", markers2Payload(colorEntry(9, 9, 9)), m);
    SeratoPayload::applySeratoPayload("serato markers2", markers2Payload(colorEntry(9, 9, 9)), m);
    EXPECT_EQ(m, before);
}

TEST(SeratoTagObject, UnwrapsBase64ObjectsAndFallsBack) {
    using SeratoPayload::decodeTagObject;
    const Buf grid = beatGridPayload({}, 1, 100);
    const auto o = decodeTagObject(bytes(tagObject("Serato BeatGrid", grid)), "fallback");
    EXPECT_EQ(std::pair(o.description, o.payload), std::pair(std::string("Serato BeatGrid"), grid));
    // Spaces and zero bytes around the value.
    EXPECT_EQ(decodeTagObject(bytes(" " + tagObject("D", Buf{1, 2, 3}, 10) + " ") + Buf{0}, "x").payload, (Buf{1, 2, 3}));

    // Not base64: the raw value under the fallback.
    const auto rawValue = decodeTagObject(bytes("@@@"), "Serato BeatGrid");
    EXPECT_EQ(std::pair(rawValue.description, rawValue.payload), std::pair(std::string("Serato BeatGrid"), bytes("@@@")));
    // Base64 of something else: the decoded bytes under the fallback.
    const auto other = decodeTagObject(bytes(base64(bytes("hello!"))), "F");
    EXPECT_EQ(std::pair(other.description, other.payload), std::pair(std::string("F"), bytes("hello!")));
    // No zero after the description: empty payload; an empty description takes the fallback.
    EXPECT_TRUE(decodeTagObject(bytes(base64(raw("application/octet-stream\0\0abc"))), "F").payload.empty());
    EXPECT_EQ(decodeTagObject(bytes(base64(raw("application/octet-stream\0\0\xC3\xA9\0p"))), "F").description, "F");
}
