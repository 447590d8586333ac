// The focused track's sidecar metadata over a scripted track server: debounce, cancellation, strict replies,
// what is cached and what is asked again.
#include "../../library/tag_file_writer.h"
#include "crate_test_support.h"
#include "platform/scripted_http_server.h"

#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <fstream>
#include <thread>

namespace plindo::ui {
namespace {

using test::FakeCoverSource;

std::string reply(int status, const std::string& body) {
    return "HTTP/1.1 " + std::to_string(status) + " X\r\nContent-Length: " + std::to_string(body.size()) +
           "\r\n\r\n" + body;
}

// The request's route and path, as "tags /a" or "meta /a".
std::string routeOf(const std::string& head) {
    const bool tags = head.find("GET /tags") == 0;
    const size_t q = head.find("?path=");
    return std::string(tags ? "tags " : "meta ") + head.substr(q + 6, head.find(' ', q) - q - 6);
}

struct Served {
    std::mutex m;
    std::map<std::string, std::string> bodies;  // "tags /a" → reply
    std::atomic<int> delayMs{0};
    testing::ScriptedHttpServer server{[this](const std::string& head) {
        std::this_thread::sleep_for(std::chrono::milliseconds(delayMs.load()));
        std::lock_guard l(m);
        const auto it = bodies.find(routeOf(head));
        return it == bodies.end() ? reply(404, R"({"error":"missing path"})") : it->second;
    }};
    std::vector<std::string> asked() {
        std::vector<std::string> v;
        for (const auto& h : server.requests()) v.push_back(routeOf(h));
        return v;
    }
};

struct Crate {
    FakeCoverSource covers;
    VinylCrateView view{covers};
    explicit Crate(int port, std::vector<library::LibTrack> tracks) {
        const std::string base = "http://127.0.0.1:" + std::to_string(port);
        view.tagsURL = [base](const std::string& p) { return base + "/tags?path=" + p; };
        view.metaURL = [base](const std::string& p) { return base + "/deck/meta?path=" + p; };
        view.inputsChanged();
        test::showAt(view, 1000, 800);
        view.setTracks(std::move(tracks));
    }
    void focus(int i) { view.scrollBy(view.crateLayout().scrollTarget(i, view.model().count()) - view.scrollOffset()); }
    bool waitMeta() {
        return QTest::qWaitFor([&] { return view.model().meta().has_value(); }, test::kSettleMs);
    }
};

TEST(CrateMetadata, ThePartsReplyGivesTheCodeAndTwoFlipEntries) {
    Served s;
    s.bodies["tags /a"] = reply(200, R"({"path":"/a","artist":"Band","title":"Song"})");
    s.bodies["meta /a"] = reply(200, R"({"bpm":124.0,"key":"Am","plays":7,"flips":[{"name":"Intro"},{"slot":2}]})");
    Crate c(s.server.port(), {{"/a", "a"}, {"/b", "b"}});
    ASSERT_TRUE(c.waitMeta());
    const TrackMetaLite& m = *c.view.model().meta();
    EXPECT_EQ(m.artist, "Band");
    EXPECT_EQ(m.title, "Song");
    EXPECT_EQ(m.camelot, "8A");
    EXPECT_EQ(m.plays, 7);
    EXPECT_EQ(c.view.model().count(), 4);
    EXPECT_EQ(c.view.model().items()[2].label(), "FLIP 2");
    EXPECT_EQ(s.asked(), (std::vector<std::string>{"tags /a", "meta /a"}));
    // Cached: focusing it again shows it at once and asks nothing.
    c.focus(3);
    c.focus(0);
    EXPECT_EQ(c.view.model().meta()->title, "Song");
}

TEST(CrateMetadata, ABadMemberEmptiesOnlyItsReply) {
    Served s;
    s.bodies["tags /a"] = reply(200, R"({"artist":"Band","title":"Song"})");
    s.bodies["meta /a"] = reply(200, R"({"bpm":"124","key":"Am","plays":7})");
    s.bodies["tags /b"] = reply(200, R"({"artist":"B"})");
    s.bodies["meta /b"] = reply(200, R"({"camelot":"5a","key":"Cm"})");
    Crate c(s.server.port(), {{"/a", "a"}, {"/b", "b"}});
    ASSERT_TRUE(c.waitMeta());
    TrackMetaLite want;
    want.artist = "Band";
    want.title = "Song";
    EXPECT_EQ(*c.view.model().meta(), want);
    c.focus(1);
    ASSERT_TRUE(QTest::qWaitFor([&] { return c.view.model().cached("/b") != nullptr; }, test::kSettleMs));
    EXPECT_EQ(c.view.model().meta()->camelot, "5a");
    EXPECT_EQ(c.view.model().meta()->key, "Cm");
}

TEST(CrateMetadata, AnErrorStatusWithAReadableBodyStillCounts) {
    Served s;
    s.bodies["tags /a"] = reply(404, R"({"artist":"Band","title":"Song"})");
    s.bodies["meta /a"] = reply(500, R"({"bpm":98.5,"key":"Am"})");
    Crate c(s.server.port(), {{"/a", "a"}, {"/b", "b"}});
    ASSERT_TRUE(QTest::qWaitFor([&] { return c.view.model().cached("/a") != nullptr; }, test::kSettleMs));
    const TrackMetaLite& m = *c.view.model().cached("/a");
    EXPECT_EQ(m.artist, "Band");
    EXPECT_EQ(m.bpm, 98.5);
    EXPECT_EQ(m.camelot, "8A");
}

// An MP3 whose tags name artist, title, key and tempo, with a little audio after them.
std::string taggedTrack(const QTemporaryDir& dir) {
    using namespace tagwriter;
    const Buf tag = id3Tag(3, textFrame("TPE1", 0, bytes("Band"), 3) + textFrame("TIT2", 0, bytes("Song"), 3) +
                                  textFrame("TKEY", 0, bytes("Am"), 3) + textFrame("TBPM", 0, bytes("124"), 3));
    const std::string path = dir.filePath("Band - Song.mp3").toStdString();
    const Buf file = tag + fakeAudio(8192);
    std::ofstream out(path, std::ios::binary);
    out.write(reinterpret_cast<const char*>(file.data()), std::streamsize(file.size()));
    return path;
}

TEST(CrateMetadata, WhenTheServerDoesNotAnswerTheFileItselfIsRead) {
    QTemporaryDir dir;
    const std::string path = taggedTrack(dir);
    int deadPort = 0;
    {
        Served gone;
        deadPort = gone.server.port();
    }
    struct Case {
        const char* what;
        bool withAddress;
    } cases[] = {{"server down", true}, {"no address", false}};
    for (const auto& k : cases) {
        Crate c(deadPort, {{path, "t"}, {"/missing.mp3", "m"}});
        if (!k.withAddress) {
            c.view.tagsURL = nullptr;
            c.view.metaURL = nullptr;
        }
        ASSERT_TRUE(QTest::qWaitFor([&] { return c.view.model().cached(path) != nullptr; }, test::kSettleMs)) << k.what;
        const TrackMetaLite& m = *c.view.model().cached(path);
        EXPECT_EQ(m.artist, "Band") << k.what;
        EXPECT_EQ(m.title, "Song") << k.what;
        EXPECT_EQ(m.key, "Am") << k.what;
        EXPECT_EQ(m.camelot, "8A") << k.what;
        EXPECT_EQ(m.bpm, 124.0) << k.what;
    }
}

TEST(CrateMetadata, FocusHeldUnderTheDebounceAsksNothing) {
    Served s;
    Crate c(s.server.port(), {{"/a", "a"}, {"/b", "b"}, {"/c", "c"}});
    c.focus(1);  // within the 120 ms of /a
    ASSERT_TRUE(QTest::qWaitFor([&] { return c.view.model().cached("/b") != nullptr; }, test::kSettleMs));
    QTest::qWait(50);
    EXPECT_EQ(s.asked(), (std::vector<std::string>{"tags /b", "meta /b"}));
    EXPECT_EQ(c.view.model().cached("/a"), nullptr);
    // An error reply is an answer: it is cached as empty and not asked again.
    EXPECT_EQ(*c.view.model().cached("/b"), TrackMetaLite{});
    c.focus(0);
    c.focus(1);
    QTest::qWait(250);
    EXPECT_EQ(s.asked().size(), 2u);
}

TEST(CrateMetadata, ACancelledLoadWritesNothing) {
    Served s;
    s.delayMs = 400;
    s.bodies["tags /a"] = reply(200, R"({"title":"A"})");
    Crate c(s.server.port(), {{"/a", "a"}, {"/b", "b"}});
    ASSERT_TRUE(QTest::qWaitFor([&] { return !s.asked().empty(); }, test::kSettleMs));  // /a's request is under way
    c.focus(1);
    QTest::qWait(1200);
    EXPECT_EQ(c.view.model().cached("/a"), nullptr);
    EXPECT_EQ(c.view.model().focusedItem()->track.path, "/b");
    EXPECT_NE(c.view.model().meta().value_or(TrackMetaLite{}).title, "A");
}

TEST(CrateMetadata, AServerThatIsDownIsAskedAgainOnTheNextFocus) {
    int deadPort = 0;
    {
        Served gone;
        deadPort = gone.server.port();
    }
    Crate c(deadPort, {{"/a", "a"}, {"/b", "b"}});
    ASSERT_TRUE(c.waitMeta());  // an empty record is shown...
    EXPECT_EQ(c.view.model().cached("/a"), nullptr);  // ...but not kept
    Served s;
    s.bodies["tags /a"] = reply(200, R"({"title":"Up now"})");
    const std::string base = "http://127.0.0.1:" + std::to_string(s.server.port());
    c.view.tagsURL = [base](const std::string& p) { return base + "/tags?path=" + p; };
    c.view.metaURL = [base](const std::string& p) { return base + "/deck/meta?path=" + p; };
    c.focus(1);
    c.focus(0);
    ASSERT_TRUE(QTest::qWaitFor([&] { return c.view.model().cached("/a") != nullptr; }, test::kSettleMs));
    EXPECT_EQ(c.view.model().meta()->title, "Up now");
}

}  // namespace
}  // namespace plindo::ui
