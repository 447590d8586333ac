// The crate's cover state over a scripted cover source.
#include "crate_test_support.h"
#include "ui/library/crate_covers.h"

#include <gtest/gtest.h>

namespace plindo::ui {
namespace {

using test::FakeCoverSource;

struct Covers {
    FakeCoverSource source;
    int changes = 0;
    std::optional<std::string> url = "http://h/cover";
    CrateCovers covers{source, [this](const std::string&) { return url; }, [this] { ++changes; }};
};

TEST(CrateCovers, CachedBytesShowAtOnceWithoutARequest) {
    Covers c;
    c.source.cache["/a"] = test::makeCover(10);
    c.covers.setLive({{0, "/a"}});
    EXPECT_TRUE(c.source.requests.empty());
    ASSERT_NE(c.covers.picture(0), nullptr);
    EXPECT_EQ(c.covers.picture(0)->size(), QSize(300, 300));
}

TEST(CrateCovers, RequestAsksTheStoreForFileArtAndTheServerAddress) {
    Covers c;
    c.url.reset();  // a builder that gives no address still asks: the file's own art may answer
    c.covers.setLive({{3, "/a"}});
    ASSERT_EQ(c.source.requests.size(), 1u);
    const auto& r = c.source.requests[0];
    EXPECT_EQ(r.key, "/a");
    EXPECT_EQ(r.url, std::nullopt);
    EXPECT_EQ(r.filePath, "/a");
    EXPECT_EQ(r.attempt, 0);
    EXPECT_EQ(c.covers.picture(3), nullptr);  // the placeholder meanwhile
    r.done(nullptr);
    EXPECT_EQ(c.covers.picture(3), nullptr);
    r.done(test::makeCover(20));  // a retry brings the picture later
    EXPECT_NE(c.covers.picture(3), nullptr);
    EXPECT_EQ(c.changes, 2);
}

TEST(CrateCovers, OnePathIsAskedOnceAndALateAnswerIsDropped) {
    Covers c;
    c.covers.setLive({{0, "/a"}, {1, "/a"}});  // a file listed twice
    c.covers.setLive({{0, "/a"}, {1, "/a"}});  // the same cards again
    ASSERT_EQ(c.source.requests.size(), 1u);
    auto answerA = c.source.requests[0].done;
    // Card 1 moves on to another track before the answer comes.
    c.covers.setLive({{0, "/a"}, {1, "/b"}});
    ASSERT_EQ(c.source.requests.size(), 2u);
    answerA(test::makeCover(30));
    EXPECT_NE(c.covers.picture(0), nullptr);
    EXPECT_EQ(c.covers.picture(1), nullptr);  // not the old track's picture
    // Both cards gone: a late answer changes nothing and is not even decoded.
    c.covers.setLive({});
    c.changes = 0;
    c.source.requests[1].done(test::makeCover(40));
    EXPECT_EQ(c.changes, 0);
    EXPECT_EQ(c.covers.liveCount(), 0u);
    // A decoded picture comes back without the source.
    c.covers.setLive({{5, "/a"}});
    EXPECT_NE(c.covers.picture(5), nullptr);
    EXPECT_EQ(c.source.requests.size(), 2u);
}

TEST(CrateCovers, ATrackWithoutACoverIsNotAskedAgainWhenItsCardComesBack) {
    Covers c;
    c.covers.setLive({{0, "/none"}, {1, "/junk"}});
    ASSERT_EQ(c.source.requests.size(), 2u);
    c.source.requests[0].done(nullptr);
    c.source.requests[1].done(std::make_shared<const std::vector<uint8_t>>(3, uint8_t(7)));  // no picture in it
    for (int round = 0; round < 3; ++round) {
        c.covers.setLive({});  // the cars leave the screen...
        c.covers.setLive({{round + 2, "/none"}, {round + 3, "/junk"}});  // ...and come back
        EXPECT_EQ(c.covers.picture(round + 2), nullptr);
    }
    EXPECT_EQ(c.source.requests.size(), 2u);
    // A retry that brings a picture after all shows it, and the track counts as having one again.
    c.source.requests[0].done(test::makeCover(50));
    EXPECT_NE(c.covers.picture(4), nullptr);
    c.covers.setLive({});
    c.covers.setLive({{9, "/none"}});
    EXPECT_NE(c.covers.picture(9), nullptr);
    EXPECT_EQ(c.covers.noCoverCount(), 1u);
}

TEST(CrateCovers, DecodedPicturesAreBoundedInSizeAndCount) {
    Covers c;
    const auto big = test::makeCover(50, 1200);
    const auto p = CrateCovers::decode(big);
    ASSERT_NE(p, nullptr);
    EXPECT_EQ(p->size(), QSize(600, 600));
    EXPECT_EQ(CrateCovers::decode(nullptr), nullptr);
    const auto junk = std::make_shared<const std::vector<uint8_t>>(std::vector<uint8_t>{0x89, 'P', 'N', 'G', 0, 1});
    EXPECT_EQ(CrateCovers::decode(junk), nullptr);
    for (int i = 0; i < 100; ++i) {
        c.source.cache["/t" + std::to_string(i)] = big;
        c.covers.setLive({{i, "/t" + std::to_string(i)}});
    }
    EXPECT_EQ(c.covers.decodedCount(), CrateCovers::kDecodedLimit);
    EXPECT_EQ(c.covers.liveCount(), 1u);
}

}  // namespace
}  // namespace plindo::ui
