#include "library/deck_meta.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>

using namespace plindo::library;

namespace {
std::string with(const std::string& members) {
    return R"({"path":"/m/a.mp3","cues":[],"loops":[],"flips":[])" + (members.empty() ? "" : "," + members) + "}";
}
}  // namespace

TEST(DeckMeta, FullDocumentAsTheTrackServerWritesIt) {
    const std::string doc = R"({
      "path":"/m/a.mp3","api_version":"0004","duration_sec":245.5,"bpm":124,"bpm_lock":true,
      "track_color":"#ff8800","key":"Am","plays":12,"serato_overview":"AAEC",
      "beatgrid":{"first_anchor_sec":0.12,"bpm":124.0,"terminal_sec":null,"markers":[[0.12,4],[60.5,8]]},
      "cues":[{"idx":3,"t_start":12.3456,"color":"#cc0000","label":"Drop"},{"t_start":12.3456,"label":""}],
      "loops":[{"idx":0,"t_start":30,"t_end":28,"label":"L","locked":false,"color":null}],
      "flips":[{"slot":2,"name":"Edit","loop":true,"actions":[
          {"type":"jump","from_s":10,"to_s":20},{"type":"censor","trigger_s":5,"reverse_target_s":4,"speed":2},
          {"type":"unknown"}]},
        {"name":"Bare","loop":false}]})";
    const auto m = DeckMeta::decode(doc);
    ASSERT_TRUE(m);
    EXPECT_EQ(m->apiVersion, "0004");
    EXPECT_EQ(m->bpmLock, true);
    EXPECT_FALSE(m->camelot || m->albumArt);
    ASSERT_TRUE(m->beatgrid);
    EXPECT_FALSE(m->beatgrid->terminalSec);
    EXPECT_EQ(m->beatgrid->markers, (std::vector<std::vector<double>>{{0.12, 4}, {60.5, 8}}));
    ASSERT_EQ(m->cues.size(), 2u);
    EXPECT_EQ(m->cues[0].id(), 3);
    EXPECT_EQ(m->cues[1].id(), 12345);
    EXPECT_EQ(m->loops[0].tEnd, 28);  // values are not checked
    EXPECT_FALSE(m->loops[0].color);
    ASSERT_EQ(m->flips.size(), 2u);
    EXPECT_EQ(m->flips[0].id(), 2);
    ASSERT_TRUE(m->flips[0].actions);
    EXPECT_EQ(m->flips[0].actions->at(1).triggerS, 5);
    EXPECT_FALSE(m->flips[0].actions->at(2).fromS || m->flips[0].actions->at(2).triggerS);
    EXPECT_FALSE(m->flips[1].actions);
    EXPECT_EQ(m->flips[1].id(), (DeckMeta::Flip{std::nullopt, "Bare", true, std::nullopt}.id()));

    // Members the model does not read change nothing.
    std::string plain = doc;
    plain.erase(plain.find(R"("plays":12,)"), 11);
    plain.erase(plain.find(R"("serato_overview":"AAEC",)"), 25);
    EXPECT_EQ(DeckMeta::decode(plain), m);
}

TEST(DeckMeta, MissingRequiredKeysAndWrongTypesFail) {
    const std::string bad[] = {
        R"({"path":"/m/a.mp3","cues":[],"loops":[]})",
        R"({"cues":[],"loops":[],"flips":[]})",
        R"({"path":null,"cues":[],"loops":[],"flips":[]})",
        with(R"("bpm":"120")"),
        with(R"("bpm_lock":1)"),
        with(R"("beatgrid":[])"),
        with(R"("beatgrid":{"markers":[[1,"x"]]})"),
        R"({"path":"p","cues":[{"label":"x"}],"loops":[],"flips":[]})",
        R"({"path":"p","cues":[{"t_start":1}],"loops":[],"flips":[]})",
        R"({"path":"p","cues":[{"idx":1.5,"t_start":1,"label":""}],"loops":[],"flips":[]})",
        R"({"path":"p","cues":[],"loops":[{"t_start":1,"t_end":2,"label":""}],"flips":[]})",
        R"({"path":"p","cues":[],"loops":[],"flips":[{"name":"x","loop":false,"actions":[{"from_s":1}]}]})",
        R"({"path":"p","cues":[],"loops":[],"flips":[{"slot":"1","name":"x","loop":false}]})",
        R"({"path":"p","cues":{},"loops":[],"flips":[]})",
        "[]",
        "not json",
    };
    for (const auto& b : bad) EXPECT_FALSE(DeckMeta::decode(b)) << b;
    DeckMeta minimal;
    minimal.path = "/m/a.mp3";
    EXPECT_EQ(DeckMeta::decode(with("")), minimal);
    EXPECT_EQ(DeckMeta::decode(with(R"("bpm":null)")), minimal);
    EXPECT_TRUE(DeckMeta::decode(R"({"path":"p","cues":[{"idx":2.0,"t_start":1,"label":""}],"loops":[],"flips":[]})"));
}

TEST(DeckMeta, IdentitiesFromExtremeTimesAreClamped) {
    using L = std::numeric_limits<int64_t>;
    struct Case {
        double t;
        int64_t id;
    } cases[] = {
        {12.3456, 12345}, {-1.9999, -1999}, {1e300, L::max()}, {-1e300, L::min()},
        {std::numeric_limits<double>::infinity(), L::max()}, {std::nan(""), 0},
    };
    for (const auto& c : cases) {
        EXPECT_EQ((DeckMeta::Cue{std::nullopt, c.t, std::nullopt, ""}.id()), c.id) << c.t;
        EXPECT_EQ((DeckMeta::Loop{std::nullopt, c.t, 0, std::nullopt, "", false}.id()), c.id) << c.t;
    }
    // Times too large for the identity still read.
    const auto m = DeckMeta::decode(R"({"path":"p","cues":[{"t_start":1e300,"label":""}],"loops":[],"flips":[]})");
    ASSERT_TRUE(m);
    EXPECT_EQ(m->cues[0].id(), L::max());
}
