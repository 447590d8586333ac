// What a deck card shows of the real controller: the phone's platter angle and position, a group load on a
// bridged deck fetched from the host that serves it, and the screen tap's late track names.
#include "host_rig.h"

#include "../platform/scripted_http_server.h"

#include <QBuffer>
#include <QImage>

#include <gtest/gtest.h>
#include <sndfile.h>

#include <chrono>
#include <fstream>
#include <sstream>
#include <thread>

namespace plindo::host {
namespace {

namespace fs = std::filesystem;
using link::testing::D;
using link::testing::I;
using link::testing::S;
using testing::HostRig;

struct CardRig : HostRig {
    link::OrvServer::Origin phone1 = link::testing::phone(1);

    CardRig() {
        settings.setValue("orv.guiBase", "http://127.0.0.1:1");  // nothing listens: this host serves nothing
        started();
    }
    void recv(std::string_view address, std::vector<link::OSCValue> args) {
        const auto bytes = link::OSCMessage::encode(address, args);
        host->server->handleDatagram(bytes.data(), bytes.size(), phone1, mediaNow());
    }
    double mediaNow() { return host->mediaNow(); }
    bool waitUntil(const std::function<bool()>& done) {
        for (int i = 0; i < 10000; ++i) {
            bool ok = false;
            onMain([&] { ok = done(); });
            if (ok) return true;
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
        }
        return false;
    }
};

TEST(DeckCard, APhoneFrameTurnsTheSpindleAndFillsTheWireFields) {
    CardRig rig;
    rig.recv("/orv/hello", {I(1), S("Phone"), I(0), S("remote"), I(1), S("1215"), S("")});
    rig.main.drain();
    const double now = rig.mediaNow();
    // deck, path, position, rate, then (angle, timestamp) samples.
    rig.recv("/orv/frame", {I(1), S(""), D(42.5), D(1.0), D(-1.0), D(now - 0.01), D(-1.25), D(now)});
    rig.onMain([&] { rig.host->uiTick(); });
    EXPECT_EQ(rig.host->remoteLastAngle(1), -1.25);
    EXPECT_EQ(rig.host->remoteLastAngle(2), 0.0);
    EXPECT_EQ(rig.host->deck(1).lastFrameAngle, -1.25);
    EXPECT_EQ(rig.host->deck(1).wirePos, 42.5);
    nlohmann::json state;
    rig.onMain([&] { state = rig.host->onControl("state", {}, true); });
    EXPECT_EQ(state["decks"][0]["lastFrameAngle"], -1.25) << state.dump();
    EXPECT_EQ(state["decks"][0]["wirePos"], 42.5);
}

TEST(DeckCard, AGroupLoadOnABridgedDeckComesFromTheServingHost) {
    // The other host serves a 0.25 s track at its track server's stream route.
    const fs::path music = fs::temp_directory_path() / ("plindo-group-load-" + std::to_string(::getpid()));
    fs::create_directories(music);
    {
        SF_INFO info{};
        info.samplerate = 48000;
        info.channels = 2;
        info.format = SF_FORMAT_WAV | SF_FORMAT_PCM_16;
        SNDFILE* f = sf_open((music / "t.wav").c_str(), SFM_WRITE, &info);
        ASSERT_NE(f, nullptr);
        std::vector<short> buf(12000 * 2, 500);
        sf_writef_short(f, buf.data(), 12000);
        sf_close(f);
    }
    std::stringstream wav;
    wav << std::ifstream(music / "t.wav", std::ios::binary).rdbuf();
    const std::string body = wav.str();
    std::atomic<int> asked{0};
    plindo::testing::ScriptedHttpServer peer([&](const std::string& head) {
        if (head.find("GET /audio/stream?path=") == 0) ++asked;
        return "HTTP/1.1 200 OK\r\nContent-Length: " + std::to_string(body.size()) + "\r\n\r\n" + body;
    });

    CardRig rig;
    auto& h = *rig.host;
    // The deck record is read on main: the load's reports reach it there while this thread waits.
    bool bridged = false;
    rig.onMain([&] { h.setSeratoDeck(1, true); });
    rig.onMain([&] { bridged = h.isSeratoDeck(1); });
    ASSERT_TRUE(bridged);
    rig.onMain([&] {
        h.sendGroupLoad("left", "/peer/music/t.wav", "Other Host", 10, "127.0.0.1:" + std::to_string(peer.port()),
                        true, false);
    });
    rig.onMain([&] {
        EXPECT_FALSE(h.isSeratoDeck(1));
        EXPECT_EQ(h.deck(1).path, "/peer/music/t.wav");
    });
    std::string status;
    ASSERT_TRUE(rig.waitUntil([&] {
        status = h.statusLine();
        return h.players[0]->table.read() != nullptr || h.players[0]->loadedPath.empty();
    })) << status;
    rig.onMain([&] {
        ASSERT_NE(h.players[0]->table.read(), nullptr) << h.statusLine();
        EXPECT_NEAR(h.players[0]->table.read()->seconds(), 0.25, 0.01);
    });
    EXPECT_GE(asked.load(), 1);
    fs::remove_all(music);
}

TEST(DeckCard, AScreenTapTrackLandingAfterTheControllerWentDoesNothing) {
    HostRig rig;
    rig.started();
    const auto onTrack = rig.host->seratoTap->onTrack;
    ASSERT_TRUE(onTrack);
    // The tap posted the names to main; the controller goes before main gets to them.
    rig.onMain([&] { rig.host.reset(); });
    rig.onMain([&] { onTrack(0, "Title", "Artist"); });
    EXPECT_EQ(rig.host, nullptr);
}

std::string pngBytes() {
    QImage img(8, 8, QImage::Format_RGB32);
    img.fill(Qt::red);
    QByteArray bytes;
    QBuffer buffer(&bytes);
    buffer.open(QIODevice::WriteOnly);
    img.save(&buffer, "PNG");
    return bytes.toStdString();
}

// This host's own track server stands in: it has a cover for "a.mp3" only, and no audio.
struct CoverRig : HostRig {
    std::string png = pngBytes();
    plindo::testing::ScriptedHttpServer server{[this](const std::string& head) -> std::string {
        if (head.starts_with("GET /cover_art") && head.find("a.mp3") != std::string::npos) {
            return "HTTP/1.1 200 OK\r\nContent-Type: image/png\r\nContent-Length: " + std::to_string(png.size()) +
                   "\r\n\r\n" + png;
        }
        return "HTTP/1.1 404 Not Found\r\nContent-Length: 0\r\n\r\n";
    }};
    std::mutex held;
    std::unique_lock<std::mutex> queueHold{held, std::defer_lock};

    CoverRig() {
        settings.setValue("orv.guiBase", "http://127.0.0.1:" + std::to_string(server.port()));
        started();
    }
    ~CoverRig() {
        if (queueHold.owns_lock()) queueHold.unlock();
    }
    size_t coverRequests() {  // of the cover that exists
        size_t n = 0;
        for (const auto& r : server.requests()) n += r.starts_with("GET /cover_art") && r.find("a.mp3") != std::string::npos;
        return n;
    }
    bool hasCover(int deck) {
        bool on = false;
        onMain([&] { on = !host->deck(deck).cover.isNull(); });
        return on;
    }
    // The library queue (where covers decode) waits until released.
    void holdQueue() {
        queueHold.lock();
        host->libraryQueue().post([this] { std::lock_guard g(held); });
    }
    void releaseQueue() {
        queueHold.unlock();
        host->libraryQueue().sync([] {});
        main.drain();
    }
    bool waitForCover(int deck) {
        for (int i = 0; i < 5000; ++i) {
            if (hasCover(deck)) return true;
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
        }
        return false;
    }
};

TEST(DeckCover, CachedShownWithoutRequestStaleDroppedBridgedMatchedByShippedTrack) {
    CoverRig rig;
    auto& h = *rig.host;
    // Decks outside 1 and 2 and an empty path ask for nothing.
    rig.onMain([&] {
        h.loadDeckCover(0, "/m/a.mp3");
        h.loadDeckCover(3, "/m/a.mp3");
        h.loadDeckCover(1, "");
    });
    EXPECT_EQ(rig.coverRequests(), 0u);
    EXPECT_FALSE(rig.hasCover(1));

    rig.onMain([&] { h.loadDeck(1, "/m/a.mp3"); });
    ASSERT_TRUE(rig.waitForCover(1));
    EXPECT_EQ(rig.coverRequests(), 1u);

    // The cached cover: no second request, and decoded off main (the card waits for the library queue).
    rig.holdQueue();
    rig.onMain([&] { h.loadDeck(2, "/m/a.mp3"); });
    EXPECT_FALSE(rig.hasCover(2));
    rig.releaseQueue();
    EXPECT_TRUE(rig.hasCover(2));
    EXPECT_EQ(rig.coverRequests(), 1u);

    // A cover that lands after the deck moved to another track is not shown.
    rig.holdQueue();
    rig.onMain([&] {
        h.loadDeckCover(1, "/m/a.mp3");
        h.loadDeck(1, "/m/b.mp3");
    });
    rig.releaseQueue();
    EXPECT_FALSE(rig.hasCover(1));

    // A bridged deck shows "serato-midi://deck": its cover is matched through the track it shipped.
    rig.onMain([&] {
        h.setSeratoDeck(1, true);
        h.applySeratoBridge(1, "/m/a.mp3", "a.mp3");
    });
    ASSERT_TRUE(rig.waitForCover(1));
    EXPECT_EQ(h.deck(1).path, "serato-midi://deck");
    EXPECT_EQ(rig.coverRequests(), 1u);
}

}  // namespace
}  // namespace plindo::host
