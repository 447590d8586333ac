// The crate's cover state over a scripted cover source.
#include "crate_test_support.h"
#include "ui/library/crate_covers.h"

#include <gtest/gtest.h>

#include <QTest>

#include <condition_variable>
#include <mutex>
#include <thread>

namespace plindo::ui {
namespace {

using test::FakeCoverSource;

struct Covers {
    FakeCoverSource source;
    int changes = 0;
    std::optional<std::string> url = "http://h/cover";
    CrateCovers covers{source, [this](const std::string&) { return url; }, [this] { ++changes; }};

    // Pictures arrive from the decoding thread through the event loop.
    bool settle() { return QTest::qWaitFor([&] { return covers.decoding() == 0; }, test::kSettleMs); }
    bool shows(int index) { return QTest::qWaitFor([&] { return covers.picture(index) != nullptr; }, test::kSettleMs); }
};

TEST(CrateCovers, CachedBytesShowWithoutARequestDecodedOffTheCallingThread) {
    Covers c;
    c.source.cache["/a"] = test::makeCover(10);
    c.covers.setLive({{0, "/a"}});
    EXPECT_TRUE(c.source.requests.empty());
    // setLive returned without decoding: the placeholder shows until the picture is posted back.
    EXPECT_EQ(c.covers.picture(0), nullptr);
    EXPECT_EQ(c.changes, 0);
    ASSERT_TRUE(c.shows(0));
    EXPECT_EQ(c.covers.picture(0)->size(), QSize(300, 300));
    EXPECT_EQ(c.changes, 1);
    // Once decoded, a card coming back for it shows the picture at once.
    c.covers.setLive({});
    c.covers.setLive({{7, "/a"}});
    EXPECT_NE(c.covers.picture(7), nullptr);
    EXPECT_EQ(c.covers.decoding(), 0u);
}

// Decodes held at a gate the test opens. A picture's side is its byte count, so pictures tell their tracks.
struct GatedCovers {
    FakeCoverSource source;
    std::vector<int> shownSides;  // the side of card 0's picture at each change
    std::mutex m;
    std::condition_variable cv;
    bool open = false;
    std::vector<int> decodedSides;
    std::vector<std::thread::id> threads;
    const std::thread::id testThread = std::this_thread::get_id();
    CrateCovers covers{source, {}, [this] { shownSides.push_back(side(0)); },
                       [this](const CoverSource::Bytes& bytes) { return gatedDecode(bytes); }};

    ~GatedCovers() { setOpen(true); }  // before the decoding thread is joined

    static CoverSource::Bytes bytesOf(int n) {
        return std::make_shared<const std::vector<uint8_t>>(size_t(n), uint8_t(1));
    }
    int side(int index) const {
        const auto p = covers.picture(index);
        return p ? p->width() : 0;
    }
    CrateCovers::Picture gatedDecode(const CoverSource::Bytes& bytes) {
        std::unique_lock l(m);
        decodedSides.push_back(int(bytes->size()));
        threads.push_back(std::this_thread::get_id());
        cv.notify_all();
        // A decode on the test's own thread is recorded, not held: only that thread opens the gate.
        if (std::this_thread::get_id() != testThread) cv.wait(l, [&] { return open; });
        return std::make_shared<const QImage>(int(bytes->size()), int(bytes->size()), QImage::Format_RGB32);
    }
    bool started(size_t n) {
        std::unique_lock l(m);
        return cv.wait_for(l, std::chrono::milliseconds(test::kSettleMs), [&] { return decodedSides.size() >= n; });
    }
    void setOpen(bool o) {
        std::lock_guard l(m);
        open = o;
        cv.notify_all();
    }
    bool settle() { return QTest::qWaitFor([&] { return covers.decoding() == 0; }, test::kSettleMs); }
};

TEST(CrateCovers, ACardThatMovedOnDuringItsDecodeNeverShowsTheStalePicture) {
    GatedCovers c;
    c.source.cache = {{"/a", c.bytesOf(10)}, {"/b", c.bytesOf(20)}, {"/c", c.bytesOf(30)}};
    c.covers.setLive({{0, "/a"}});
    ASSERT_TRUE(c.started(1));
    c.covers.setLive({{0, "/b"}});  // the card shows another track while /a decodes
    c.setOpen(true);
    ASSERT_TRUE(QTest::qWaitFor([&] { return c.side(0) == 20; }, test::kSettleMs));
    ASSERT_TRUE(c.settle());
    EXPECT_EQ(c.shownSides, std::vector<int>{20});  // /a's picture never showed, not even for a frame
    EXPECT_EQ(c.decodedSides, (std::vector<int>{10, 20}));
    for (const auto& id : c.threads) EXPECT_NE(id, c.testThread);
    // A card that left the screen during its decode gets nothing; the picture is kept for its return.
    c.setOpen(false);
    c.covers.setLive({{0, "/c"}});
    ASSERT_TRUE(c.started(3));
    c.covers.setLive({});
    c.setOpen(true);
    ASSERT_TRUE(c.settle());
    EXPECT_EQ(c.shownSides.size(), 1u);
    for (const auto& [path, side] : {std::pair{"/a", 10}, std::pair{"/c", 30}}) {
        c.covers.setLive({{4, path}});
        EXPECT_EQ(c.side(4), side) << path;
    }
    EXPECT_EQ(c.decodedSides.size(), 3u);
}

TEST(CrateCovers, AFlingOverManyCachedCoversDecodesOnlyWhatIsStillWanted) {
    constexpr int kTracks = 500, kCards = 15;
    GatedCovers c;
    for (int i = 0; i < kTracks; ++i) c.source.cache["/t" + std::to_string(i)] = c.bytesOf(1 + i % 50);
    const auto cardsFrom = [](int first) {
        std::map<int, std::string> cards;
        for (int i = first; i < first + kCards; ++i) cards[i] = "/t" + std::to_string(i);
        return cards;
    };
    c.covers.setLive(cardsFrom(0));
    ASSERT_TRUE(c.started(1));  // one decode runs and holds the thread while the crate flies past
    size_t mostDecoding = 0;
    for (int first = 1; first <= kTracks - kCards; ++first) {
        c.covers.setLive(cardsFrom(first));
        mostDecoding = std::max(mostDecoding, c.covers.decoding());
    }
    EXPECT_LE(mostDecoding, size_t(kCards + 1));
    c.setOpen(true);
    ASSERT_TRUE(c.settle());
    EXPECT_EQ(c.decodedSides.size(), size_t(kCards + 1));  // the one running, then the cards where it stopped
    for (int i = kTracks - kCards; i < kTracks; ++i) EXPECT_EQ(c.side(i), 1 + i % 50) << i;
    EXPECT_TRUE(c.source.requests.empty());
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
    EXPECT_EQ(c.changes, 1);
    r.done(test::makeCover(20));  // a retry brings the picture later, decoded off the calling thread
    EXPECT_EQ(c.covers.picture(3), nullptr);
    ASSERT_TRUE(c.shows(3));
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
    ASSERT_TRUE(c.shows(0));
    EXPECT_EQ(c.covers.picture(1), nullptr);  // not the old track's picture
    // Both cards gone: a late answer changes nothing and is not even decoded.
    c.covers.setLive({});
    c.changes = 0;
    c.source.requests[1].done(test::makeCover(40));
    EXPECT_EQ(c.covers.decoding(), 0u);
    QCoreApplication::processEvents();
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
    ASSERT_TRUE(c.settle());
    for (int round = 0; round < 3; ++round) {
        c.covers.setLive({});  // the cars leave the screen...
        c.covers.setLive({{round + 2, "/none"}, {round + 3, "/junk"}});  // ...and come back
        EXPECT_EQ(c.covers.picture(round + 2), nullptr);
    }
    EXPECT_EQ(c.source.requests.size(), 2u);
    // A retry that brings a picture after all shows it, and the track counts as having one again.
    c.source.requests[0].done(test::makeCover(50));
    ASSERT_TRUE(c.shows(4));
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
        ASSERT_TRUE(c.shows(i));
    }
    EXPECT_EQ(c.covers.decodedCount(), CrateCovers::kDecodedLimit);
    EXPECT_EQ(c.covers.liveCount(), 1u);
}

}  // namespace
}  // namespace plindo::ui
