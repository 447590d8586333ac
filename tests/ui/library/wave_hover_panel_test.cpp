#include "ui/library/wave_hover_panel.h"

#include "link/deck_file_server.h"
#include "platform/scripted_http_server.h"
#include "platform/settings.h"
#include "platform/text.h"
#include "ui/wave_test_audio.h"

#include <QDir>
#include <QTemporaryDir>
#include <QTest>

#include <gtest/gtest.h>

#include <condition_variable>
#include <filesystem>
#include <fstream>
#include <mutex>

namespace plindo::ui {
namespace {

using namespace std::chrono_literals;

std::string metaJson(const std::string& path) {
    return R"({"path":")" + path +
           R"(","cues":[{"t_start":0.5,"color":"#00ff00","label":""}],"loops":[{"t_start":0.2,"t_end":0.4,"label":"","locked":false}],)"
           R"("flips":[{"name":"f","loop":false,"actions":[{"type":"jump","from_s":0.3,"to_s":0.6}]}]})";
}

std::string okReply(const std::string& body) {
    return "HTTP/1.1 200 OK\r\nContent-Type: application/json\r\nContent-Length: " + std::to_string(body.size()) +
           "\r\nConnection: close\r\n\r\n" + body;
}

// Decodes by looking at the file system only: an existing name gives one second of a quiet tone, a missing
// one fails. Records every name; when closed, its gate holds decodes until opened (or cancelled).
struct CountingDecoder {
    std::mutex m;
    std::condition_variable cv;
    std::vector<std::string> names;
    bool gateOpen = true;

    WaveHoverStore::Decoder fn() {
        return [this](const std::string& name, const std::function<bool()>& cancelled) -> motion::DecodeResult {
            std::unique_lock l(m);
            names.push_back(name);
            while (!gateOpen) {
                if (cancelled()) return {nullptr, motion::StemError{"cancelled", 1, "cancelled"}};
                cv.wait_for(l, 2ms);
            }
            if (!std::filesystem::exists(name)) return {nullptr, motion::StemError{"stem", 1, "no readable audio track"}};
            auto s = std::make_shared<motion::StemBuf>();
            s->left.assign(22050, 0.2f);
            s->right.assign(22050, -0.2f);
            s->sampleRate = 22050;
            return {s, std::nullopt};
        };
    }
    std::vector<std::string> taken() {
        std::lock_guard l(m);
        return names;
    }
    void setOpen(bool open) {
        std::lock_guard l(m);
        gateOpen = open;
        cv.notify_all();
    }
};

class WaveHoverPanelTest : public ::testing::Test {
protected:
    WaveHoverPanelTest() {
        settings.setValue("orv.guiBase", "http://127.0.0.1:" + std::to_string(server.port()));
    }
    std::string file(const std::string& name) {
        const std::string p = dir.path().toStdString() + "/" + name;
        std::ofstream(p) << "x";
        return p;
    }
    // The /deck/meta requests that reached the server, by path query.
    size_t metaRequests() { return server.requests().size(); }
    bool waitFor(const std::function<bool()>& done, int ms = 5000) { return QTest::qWaitFor(done, ms); }

    QTemporaryDir dir;
    // "err" paths answer an error status with a readable body, "junk" paths a body that is no metadata.
    testing::ScriptedHttpServer server{[](const std::string& head) {
        if (head.find("junk") != std::string::npos) return okReply("<html>busy</html>");
        std::string reply = okReply(metaJson("/x"));
        if (head.find("err") != std::string::npos) reply.replace(9, 6, "404 NF");
        return reply;
    }};
    platform::MemorySettings settings;
    motion::HostConfig config{settings};
    CountingDecoder decoder;
    WaveHoverStore store{decoder.fn()};
};

TEST_F(WaveHoverPanelTest, ASweepAcrossThreeTracksLoadsOnlyTheLast) {
    const std::string a = file("a.wav"), b = file("b.wav"), c = file("c.wav");
    WaveHoverPanel panel(a, config, -1, nullptr, &store);
    panel.setPath(b);
    panel.setPath(c);
    EXPECT_FALSE(panel.env());
    EXPECT_FALSE(panel.loadFailed());  // busy
    ASSERT_TRUE(waitFor([&] { return bool(panel.env()); }));
    EXPECT_EQ(decoder.taken(), std::vector<std::string>{c});
    EXPECT_EQ(metaRequests(), 1u);
    ASSERT_TRUE(panel.meta());
    EXPECT_EQ(panel.env()->audioPath, c);
    EXPECT_EQ(panel.minimumSizeHint().height(), 0);
}

TEST_F(WaveHoverPanelTest, CachedTracksShowAtOnceAndFetchOnlyWhatIsMissing) {
    const std::string both = file("both.wav"), envOnly = file("env.wav");
    auto env = std::make_shared<const library::PeakEnvelope>(library::PeakEnvelope{});
    store.envCache.put(both, env);
    store.envCache.put(envOnly, env);
    store.metaCache.put(both, std::make_shared<const library::DeckMeta>());

    WaveHoverPanel panel(both, config, -1, nullptr, &store);
    EXPECT_EQ(panel.env(), env);
    EXPECT_TRUE(panel.meta());
    EXPECT_EQ(store.loadsInFlight(), 0u);

    panel.setPath(envOnly);  // the waveform at once, then only the metadata
    EXPECT_EQ(panel.env(), env);
    EXPECT_FALSE(panel.meta());
    ASSERT_TRUE(waitFor([&] { return bool(panel.meta()); }));
    EXPECT_EQ(metaRequests(), 1u);
    EXPECT_EQ(server.requests()[0].find("GET /deck/meta?path="), 0u);
    EXPECT_EQ(panel.selectedFlip(), nullptr);  // -1 draws no flip
    panel.setFlipSel(1);
    EXPECT_EQ(panel.selectedFlip(), nullptr);  // the metadata holds one flip
    panel.setFlipSel(0);
    ASSERT_NE(panel.selectedFlip(), nullptr);
    EXPECT_EQ(panel.selectedFlip()->name, "f");
    EXPECT_TRUE(decoder.taken().empty());
}

TEST_F(WaveHoverPanelTest, ReadsAnAnswersBodyWhateverItsStatusAndCachesNoUnreadableOne) {
    const std::string err = file("err.wav"), junk = file("junk.wav");
    WaveHoverPanel panel(err, config, -1, nullptr, &store);
    ASSERT_TRUE(waitFor([&] { return bool(panel.env()); }));
    EXPECT_TRUE(panel.meta());
    panel.setPath(junk);
    ASSERT_TRUE(waitFor([&] { return bool(panel.env()); }));
    EXPECT_FALSE(panel.meta());  // the waveform without metadata
    EXPECT_FALSE(store.metaCache.contains(junk));
    panel.setPath(err);
    panel.setPath(junk);  // envelope cached, metadata not: asked again
    ASSERT_TRUE(waitFor([&] { return metaRequests() == 3; }));
    EXPECT_EQ(decoder.taken().size(), 2u);
}

TEST_F(WaveHoverPanelTest, WhenTheServerDoesNotAnswerTheMetadataComesFromTheFile) {
    const std::string track = dir.path().toStdString() + "/tone.wav";
    test::writeToneWav(track, 2);
    int deadPort = 0;
    {
        testing::ScriptedHttpServer gone([](const std::string&) { return okReply("{}"); });
        deadPort = gone.port();
    }
    settings.setValue("orv.guiBase", "http://127.0.0.1:" + std::to_string(deadPort));
    WaveHoverPanel panel(track, config, -1, nullptr, &store);
    ASSERT_TRUE(waitFor([&] { return panel.env() && panel.meta(); }));
    EXPECT_NEAR(panel.meta()->durationSec.value_or(0), 2.0, 0.05);
    EXPECT_TRUE(store.metaCache.contains(track));
}

TEST_F(WaveHoverPanelTest, AMissingFileFailsAfterTheBusyIndicatorAndIsTriedAgainOnTheNextVisit) {
    const std::string missing = dir.path().toStdString() + "/gone.wav", other = file("other.wav");
    WaveHoverPanel panel(missing, config, -1, nullptr, &store);
    EXPECT_FALSE(panel.loadFailed());
    EXPECT_EQ(panel.minimumSizeHint().height(), WaveHoverPanel::kMessageHeight);
    ASSERT_TRUE(waitFor([&] { return panel.loadFailed(); }));
    EXPECT_FALSE(panel.env());
    EXPECT_TRUE(panel.meta());  // the metadata loaded; the failure shows all the same
    panel.setPath(other);
    ASSERT_TRUE(waitFor([&] { return bool(panel.env()); }));
    panel.setPath(missing);
    EXPECT_FALSE(panel.loadFailed());
    ASSERT_TRUE(waitFor([&] { return panel.loadFailed(); }));
    EXPECT_EQ(decoder.taken(), (std::vector<std::string>{missing, other, missing}));
}

TEST_F(WaveHoverPanelTest, DecodesAFileStoredDecomposedWhenAskedComposed) {
    const std::string composed = dir.path().toStdString() + "/Caf\xC3\xA9.wav";
    const std::string stored = platform::text::nfd(composed);
    ASSERT_NE(stored, composed);
    std::ofstream(stored) << "x";
    WaveHoverPanel panel(composed, config, -1, nullptr, &store);
    ASSERT_TRUE(waitFor([&] { return bool(panel.env()) || panel.loadFailed(); }));
    ASSERT_TRUE(panel.env());
    EXPECT_EQ(decoder.taken(), std::vector<std::string>{stored});
    EXPECT_EQ(panel.env()->audioPath, composed);
    EXPECT_TRUE(store.envCache.contains(composed));
}

TEST_F(WaveHoverPanelTest, ALateResultFillsTheCachesButNotTheView) {
    const std::string slow = file("slow.wav"), cached = file("cached.wav");
    auto env = std::make_shared<const library::PeakEnvelope>(library::PeakEnvelope{});
    store.envCache.put(cached, env);
    store.metaCache.put(cached, std::make_shared<const library::DeckMeta>());
    decoder.setOpen(false);
    WaveHoverPanel panel(slow, config, -1, nullptr, &store);
    ASSERT_TRUE(waitFor([&] { return !decoder.taken().empty(); }));
    panel.setPath(cached);
    decoder.setOpen(true);
    ASSERT_TRUE(waitFor([&] { return store.envCache.contains(slow); }));
    QTest::qWait(20);
    EXPECT_EQ(panel.env(), env);
    EXPECT_EQ(panel.path(), cached);
    EXPECT_TRUE(store.metaCache.contains(slow));
}

TEST_F(WaveHoverPanelTest, ADeckOfTheDjApplicationStartsNothing) {
    const std::string a = file("a.wav");
    auto env = std::make_shared<const library::PeakEnvelope>(library::PeakEnvelope{});
    store.envCache.put(a, env);
    store.metaCache.put(a, std::make_shared<const library::DeckMeta>());
    WaveHoverPanel panel(a, config, -1, nullptr, &store);
    panel.setPath("serato-midi://deck");
    QTest::qWait(WaveHoverPanel::kDebounceMs + 100);
    EXPECT_EQ(panel.env(), env);  // what was shown stays
    EXPECT_FALSE(panel.loadFailed());
    EXPECT_EQ(metaRequests(), 0u);
    EXPECT_TRUE(decoder.taken().empty());
}

TEST_F(WaveHoverPanelTest, TwoPanelsOnOneTrackDecodeItOnce) {
    const std::string a = file("a.wav");
    decoder.setOpen(false);
    WaveHoverPanel one(a, config, -1, nullptr, &store), two(a, config, -1, nullptr, &store);
    QTest::qWait(WaveHoverPanel::kDebounceMs + 100);
    decoder.setOpen(true);
    ASSERT_TRUE(waitFor([&] { return one.env() && two.env(); }));
    EXPECT_EQ(one.env(), two.env());
    EXPECT_EQ(decoder.taken().size(), 1u);
}

TEST_F(WaveHoverPanelTest, AQueuedBuildWhosePanelLeftNeverDecodes) {
    const std::string a = file("a.wav"), b = file("b.wav"), c = file("c.wav");
    decoder.setOpen(false);
    WaveHoverPanel pa(a, config, -1, nullptr, &store), pb(b, config, -1, nullptr, &store);
    auto pc = std::make_unique<WaveHoverPanel>(c, config, -1, nullptr, &store);
    ASSERT_TRUE(waitFor([&] { return decoder.taken().size() == 2 && store.pool().queued() == 1; }));
    pc.reset();
    EXPECT_EQ(store.pool().queued(), 0);
    decoder.setOpen(true);
    ASSERT_TRUE(waitFor([&] { return pa.env() && pb.env(); }));
    QTest::qWait(50);
    EXPECT_EQ(decoder.taken().size(), 2u);
    EXPECT_FALSE(store.envCache.contains(c));
}

TEST_F(WaveHoverPanelTest, EnvelopesStayUnderTheByteBoundAndAnEvictedTrackLoadsAgain) {
    // A four-minute track at 250 columns a second.
    library::PeakEnvelope big;
    big.columns = 60000;
    for (auto* v : {&big.bass, &big.mid, &big.treble, &big.peak}) v->assign(60000, 0.1);
    big.peakL = big.peakR = big.peak;
    big.rgbL = big.rgbR = std::vector<double>(180000, 0.1);
    const size_t each = envelopeBytes(big);
    EXPECT_NEAR(double(each), 60000 * 12 * 8, 60000 * 8);  // about 24 KB a second of audio
    store.envCache.setCapacity(20 * each);
    for (int i = 0; i < 100; ++i) {
        store.envCache.put("/t" + std::to_string(i), std::make_shared<const library::PeakEnvelope>(big));
        EXPECT_LE(store.envCache.cost(), store.envCache.capacity());
    }
    EXPECT_EQ(store.envCache.size(), 20u);
    EXPECT_TRUE(store.envCache.contains("/t99"));
    const std::string first = file("t0.wav");
    store.envCache.put(first, std::make_shared<const library::PeakEnvelope>(big));
    for (int i = 100; i < 120; ++i) store.envCache.put("/t" + std::to_string(i), std::make_shared<const library::PeakEnvelope>(big));
    EXPECT_FALSE(store.envCache.contains(first));
    WaveHoverPanel panel(first, config, -1, nullptr, &store);
    ASSERT_TRUE(waitFor([&] { return bool(panel.env()); }));
    EXPECT_EQ(decoder.taken(), std::vector<std::string>{first});

    for (int i = 0; i < 2100; ++i) store.metaCache.put("/m" + std::to_string(i), std::make_shared<const library::DeckMeta>());
    EXPECT_EQ(store.metaCache.size(), WaveHoverStore::kMetaCount);
}

TEST(WaveHoverPanelServer, FetchesTheMetadataOfAFileWithReservedCharactersInItsName) {
    QTemporaryDir dir;
    const std::string path = dir.path().toStdString() + "/A+B & C #1 %20 \xC3\xA9.wav";
    std::ofstream(path) << "x";
    link::DeckFileServer server(nullptr, "waves", nullptr);
    server.start(0);
    ASSERT_TRUE(server.running());
    platform::MemorySettings settings;
    settings.setValue("orv.guiBase", "http://127.0.0.1:" + std::to_string(server.boundPort()));
    motion::HostConfig config(settings);
    CountingDecoder decoder;
    WaveHoverStore store(decoder.fn());
    WaveHoverPanel panel(path, config, -1, nullptr, &store);
    ASSERT_TRUE(QTest::qWaitFor([&] { return bool(panel.meta()); }, 5000));
    EXPECT_EQ(panel.meta()->path, path);
    server.stop();
}

}  // namespace
}  // namespace plindo::ui

namespace plindo::ui {
namespace {

TEST(WaveHoverPanelScreenshot, ShowsARealDecodedToneTiltedWithCuesLoopsAndAFlip) {
    QTemporaryDir dir;
    const std::string path = dir.path().toStdString() + "/tone.wav";
    test::writeToneWav(path, 30);
    const std::string meta =
        R"({"path":"x","cues":[{"t_start":4,"color":"#ff8000","label":""},{"t_start":21,"color":"#30c0ff","label":""}],)"
        R"("loops":[{"t_start":8,"t_end":11,"label":"","locked":false}],)"
        R"("flips":[{"name":"f","loop":false,"actions":[{"type":"jump","from_s":12,"to_s":3},{"type":"jump","from_s":14,"to_s":20}]}]})";
    testing::ScriptedHttpServer server([&](const std::string&) { return okReply(meta); });
    platform::MemorySettings settings;
    settings.setValue("orv.guiBase", "http://127.0.0.1:" + std::to_string(server.port()));
    motion::HostConfig config(settings);
    WaveHoverStore store;  // the real decoder

    QWidget frame;
    frame.setAutoFillBackground(true);
    QPalette pal;
    pal.setColor(QPalette::Window, QColor(20, 20, 22));
    frame.setPalette(pal);
    frame.resize(900, 480);
    WaveHoverPanel whole(path, config, -1, &frame, &store), flipped(path, config, 0, &frame, &store);
    whole.setGeometry(0, 0, 900, 240);
    flipped.setGeometry(0, 240, 900, 240);
    frame.show();
    ASSERT_TRUE(QTest::qWaitFor([&] { return whole.env() && whole.meta() && flipped.env(); }, 60000));
    ASSERT_NE(flipped.selectedFlip(), nullptr);
    EXPECT_EQ(whole.env()->audioPath, path);
    EXPECT_NEAR(whole.env()->durationSec, 30, 0.05);
    const QImage shot = frame.grab().toImage();
    shot.save(qEnvironmentVariable("PLINDO_SCREENSHOT_DIR") + "/wave_hover_panel.png");
    // The tilted waveform leaves the top of the panel empty and fills the middle of its lower half.
    EXPECT_EQ(shot.pixelColor(450, 5), QColor(20, 20, 22));
    EXPECT_NE(shot.pixelColor(450, 200), QColor(20, 20, 22));
}

}  // namespace
}  // namespace plindo::ui
