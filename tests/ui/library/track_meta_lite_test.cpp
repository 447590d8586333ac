// Strict decoding of the two sidecar replies.
#include "ui/library/track_meta_lite.h"

#include <gtest/gtest.h>

namespace plindo::ui {
namespace {

TEST(TrackMetaLite, DeckMetaReplyOfTheTrackServer) {
    TrackMetaLite m;
    ASSERT_TRUE(readDeckMetaReply(R"({"path":"/m/a.mp3","bpm":124.0,"key":"Am","plays":7,"cues":[],
        "flips":[{"name":"Intro","slot":1},{"slot":2}],"beatgrid":{"x":1}})", m));
    EXPECT_EQ(m.bpm, 124.0);
    EXPECT_EQ(m.key, "Am");
    EXPECT_EQ(m.camelot, "8A");
    EXPECT_EQ(m.plays, 7);
    EXPECT_EQ(m.flipNames, (std::vector<std::string>{"Intro", ""}));
}

TEST(TrackMetaLite, DeckMetaMembers) {
    const struct {
        const char* body;
        bool ok;
        const char* camelot;
    } rows[] = {
        {R"({"camelot":"5a","key":"Cm"})", true, "5a"},  // kept as sent
        {R"({"camelot":"","key":"Cm"})", true, "5A"},
        {R"({"camelot":null,"key":" 8 b "})", true, "8B"},
        {R"({"key":"H"})", true, ""},
        {R"({"bpm":null,"plays":null,"flips":null,"key":null})", true, ""},
        {R"({"bpm":120,"plays":3.0})", true, ""},  // an integral number is an integer
        {R"({"error":"missing path"})", true, ""},
        {R"({"bpm":"124"})", false, ""},
        {R"({"plays":7.5})", false, ""},
        {R"({"plays":1e20})", false, ""},
        {R"({"plays":-1})", true, ""},
        {R"({"key":5})", false, ""},
        {R"({"camelot":true})", false, ""},
        {R"({"flips":{"name":"x"}})", false, ""},
        {R"({"flips":[3]})", false, ""},
        {R"({"flips":[{"name":4}]})", false, ""},
        {R"({"flips":[null]})", false, ""},
        {R"([1,2])", false, ""},
        {R"("text")", false, ""},
        {"", false, ""},
        {"{\"key\":\"Am\"", false, ""},
        {"{\"key\":\"\xff\"}", false, ""},
    };
    for (const auto& r : rows) {
        TrackMetaLite m;
        m.artist = "kept";
        m.key = "before";
        EXPECT_EQ(readDeckMetaReply(r.body, m), r.ok) << r.body;
        EXPECT_EQ(m.artist, "kept") << r.body;
        if (r.ok) EXPECT_EQ(m.camelot, r.camelot) << r.body;
        else EXPECT_EQ(m.key, "before") << r.body;
    }
}

TEST(TrackMetaLite, TagsReply) {
    const struct {
        const char* body;
        bool ok;
        const char* artist;
        const char* title;
    } rows[] = {
        {R"({"path":"/a","artist":"Band","title":"Song"})", true, "Band", "Song"},
        {R"({"title":"Song"})", true, "", "Song"},
        {R"({"artist":null,"title":null})", true, "", ""},
        {R"({"artist":1,"title":"Song"})", false, "x", "y"},
        {R"(null)", false, "x", "y"},
    };
    for (const auto& r : rows) {
        TrackMetaLite m;
        m.artist = "x";
        m.title = "y";
        m.bpm = 1;
        EXPECT_EQ(readTagsReply(r.body, m), r.ok) << r.body;
        EXPECT_EQ(m.artist, r.artist) << r.body;
        EXPECT_EQ(m.title, r.title) << r.body;
        EXPECT_EQ(m.bpm, 1) << r.body;
    }
}

}  // namespace
}  // namespace plindo::ui
