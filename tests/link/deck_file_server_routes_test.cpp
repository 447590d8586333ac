#include "link/deck_file_server.h"
#include "platform/queue_executor.h"
#include "platform/url.h"
#include "raw_http.h"
#include "temp_folder.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <sys/stat.h>

#include <cmath>
#include <condition_variable>
#include <future>
#include <map>
#include <mutex>
#include <atomic>
#include <thread>

namespace plindo::link {
namespace {

using namespace testing;
namespace fs = std::filesystem;
using nlohmann::json;

// The query that names a file.
std::string q(const fs::path& p) { return "?path=" + platform::percentEncodeQueryValue(p.string()); }

std::string headerOf(const Reply& r, const std::string& name) {
    const size_t at = r.bytes.find("\r\n" + name + ": ");
    if (at == std::string::npos) return {};
    const size_t start = at + name.size() + 4;
    return r.bytes.substr(start, r.bytes.find("\r\n", start) - start);
}

struct DeckFileServerRoutes : ::testing::Test {
    TempFolder tmp{"plindo-routes"};
    fs::path dir = tmp.dir;
    std::mutex m;  // what the status callback records outlives the executor and the server
    std::string last;
    platform::QueueExecutor main{"main-test"};
    DeckFileServer server{nullptr, "me", &main};

    void SetUp() override {
        server.onStatus = [this](const std::string& s) {
            std::lock_guard l(m);
            last = s;
        };
    }
    void restart() {
        server.stop();
        server.start(0);
    }
    Reply ask(const std::string& target, double limit = 5.0) { return roundTrip(server.boundPort(), getRequest(target), limit); }
    json askJson(const std::string& target) { return json::parse(bodyOf(ask(target))); }
    std::string lastLine() {
        std::lock_guard l(m);
        return last;
    }
};

TEST_F(DeckFileServerRoutes, ServesAudioFilesByExtensionAndNothingElse) {
    writeFile(dir / "Song.FLAC", "flacbytes");
    writeFile(dir / "notes.txt", "text");
    writeFile(dir / "a+b.mp3", "plus");
    ::mkfifo((dir / "pipe.mp3").c_str(), 0600);
    fs::create_symlink("/dev/zero", dir / "x.mp3");
    fs::create_directories(dir / "folder.wav");
    server.start(0);

    const Reply ok = ask("/audio/stream" + q(dir / "Song.FLAC"));
    EXPECT_EQ(statusLineOf(ok), "HTTP/1.1 200 OK");
    EXPECT_EQ(headerOf(ok, "Content-Type"), "application/octet-stream");
    EXPECT_EQ(bodyOf(ok), "flacbytes");
    EXPECT_EQ(bodyOf(ask("/deck/stem" + q(dir / "Song.FLAC"))), "flacbytes");
    EXPECT_EQ(bodyOf(ask("/deck/stem" + q(dir / "a+b.mp3"))), "plus");

    const struct {
        std::string query;
        std::string shown;
    } missing[] = {
        {"", "<no path param>"},
        {q(dir / "notes.txt"), (dir / "notes.txt").string()},
        {"?path=" + (dir / "a+b.mp3").string(), (dir / "a b.mp3").string()},  // "+" not escaped is a blank
        {q(dir / "pipe.mp3"), (dir / "pipe.mp3").string()},
        {q(dir / "x.mp3"), (dir / "x.mp3").string()},
        {q(dir / "folder.wav"), (dir / "folder.wav").string()},
        {q(dir / "Song.FLAC") + "%00.mp3", (dir / "Song.FLAC").string() + std::string(1, '\0') + ".mp3"},
    };
    for (const auto& c : missing) {
        const Reply r = ask("/deck/stem" + c.query, 3);
        EXPECT_EQ(statusLineOf(r), "HTTP/1.1 404 Not Found") << c.query;
        EXPECT_EQ(headerOf(r, "Content-Type"), "application/json; charset=utf-8");
        EXPECT_EQ(json::parse(bodyOf(r)), (json{{"error", "file not found"}, {"path", c.shown}})) << c.query;
        EXPECT_EQ(lastLine(), "Track server 404 (stem): " + c.shown);
    }
}

TEST_F(DeckFileServerRoutes, ServesLinksOnlyWhenTheyLeadToATrack) {
    writeFile(dir / "real.flac", "track");
    writeFile(dir / "real.txt", "text");
    fs::create_directories(dir / "crate");
    fs::create_symlink(dir / "real.flac", dir / "link.mp3");
    fs::create_symlink("real.flac", dir / "relative.wav");
    fs::create_symlink(dir / "link.mp3", dir / "chain.aiff");
    fs::create_symlink("/etc/passwd", dir / "evil.mp3");
    fs::create_symlink(dir / "crate", dir / "folder.mp3");
    fs::create_symlink(dir / "real.txt", dir / "text.mp3");
    fs::create_symlink(dir / "real.flac", dir / "track.txt");
    fs::create_symlink(dir / "gone.flac", dir / "dangling.mp3");
    fs::create_symlink(dir / "loop.mp3", dir / "loop.mp3");
    server.start(0);

    const struct {
        const char* name;
        const char* body;  // null: the file-not-found answer
    } cases[] = {
        {"link.mp3", "track"},     {"relative.wav", "track"}, {"chain.aiff", "track"},
        {"evil.mp3", nullptr},     {"folder.mp3", nullptr},   {"text.mp3", nullptr},
        {"track.txt", nullptr},    {"dangling.mp3", nullptr}, {"loop.mp3", nullptr},
    };
    for (const auto& c : cases) {
        for (const char* route : {"/deck/stem", "/audio/stream"}) {
            const Reply r = ask(route + q(dir / c.name), 3);
            EXPECT_EQ(statusLineOf(r), c.body ? "HTTP/1.1 200 OK" : "HTTP/1.1 404 Not Found") << c.name;
            if (c.body) EXPECT_EQ(bodyOf(r), c.body) << c.name;
            else EXPECT_EQ(json::parse(bodyOf(r))["path"], (dir / c.name).string()) << c.name;
        }
    }
    EXPECT_EQ(DeckFileServer::existingPath((dir / "link.mp3").string()), (dir / "link.mp3").string());
    EXPECT_EQ(DeckFileServer::existingPath((dir / "folder.mp3").string()), std::nullopt);
}

TEST_F(DeckFileServerRoutes, StreamsLargeFilesWithoutReadingThemWhole) {
    // A sparse 4 GiB file: reading it whole would take seconds and gigabytes before the first byte.
    const fs::path big = dir / "big.wav";
    writeSparse(big, uint64_t{4} << 30);
    std::string pattern;
    for (int i = 0; i < 3 << 20; ++i) pattern.push_back(static_cast<char>(i * 7 + (i >> 9)));
    writeFile(dir / "mid.mp3", pattern);
    server.start(0);

    const int fd = connectLoopback(server.boundPort());
    sendAll(fd, getRequest("/audio/stream" + q(big)));
    const auto t0 = std::chrono::steady_clock::now();
    const Reply head = readAll(fd, 5, 1 << 20);
    ::close(fd);
    EXPECT_LT(std::chrono::steady_clock::now() - t0, std::chrono::seconds(3));
    EXPECT_EQ(headerOf(head, "Content-Length"), "4294967296");
    EXPECT_GE(head.bytes.size(), size_t{1} << 20);
    EXPECT_TRUE(bodyOf(ask("/audio/stream" + q(dir / "mid.mp3"))) == pattern);
}

TEST_F(DeckFileServerRoutes, FindsFilesInTheOtherUnicodeForm) {
    const std::string composed = (dir / "Caf\u00e9.mp3").string();
    const std::string decomposed = (dir / "Cafe\u0301.mp3").string();
    writeFile(composed, "nfc");
    server.start(0);
    EXPECT_EQ(bodyOf(ask("/deck/stem" + q(decomposed))), "nfc");
    EXPECT_EQ(DeckFileServer::existingPath(decomposed), composed);
    EXPECT_EQ(askJson("/deck/meta" + q(decomposed))["path"], composed);
    EXPECT_EQ(bodyOf(ask("/cover_art" + q(decomposed))), "no path / not file");  // the exact path only
}

TEST_F(DeckFileServerRoutes, ListsCratesAndTheirTracksBySource) {
    server.start(0);
    EXPECT_EQ(askJson("/library/crates"), (json{{"ready", true}, {"crates", json::array()}, {"seratoCrates", json::array()},
                                                {"folderCrates", json::array()}, {"hasSerato", false}, {"seratoRunning", false}}));
    std::vector<std::string> asked;
    server.payloads.seratoCrateNames = [] { return std::vector<std::string>{"A", "A%%B"}; };
    server.onFolderCrates = [] { return std::vector<std::string>{"Downloads"}; };
    server.onSeratoRunning = [] { return true; };
    server.payloads.seratoAllTracks = [] { return std::vector<TrackEntry>{{"/m/all.mp3", "all"}}; };
    server.payloads.seratoCrateTracks = [&](const std::string& c) {
        asked.push_back("serato:" + c);
        return std::vector<TrackEntry>{{"/m/" + c + ".mp3", c}};
    };
    server.onFolderCrateTracks = [&](const std::string& c) {
        asked.push_back("folder:" + c);
        return std::vector<TrackEntry>{{"/f/" + c + ".wav", c}};
    };
    restart();
    const json j = askJson("/library/crates");
    EXPECT_EQ(j["crates"], (json{"A", "A%%B"}));
    EXPECT_EQ(j["seratoCrates"], j["crates"]);
    EXPECT_EQ(j["folderCrates"], json{"Downloads"});
    EXPECT_EQ(j["hasSerato"], true);
    EXPECT_EQ(j["seratoRunning"], true);

    const std::pair<std::string, std::string> cases[] = {
        {"", "/m/all.mp3"},
        {"?crate=&src=folder", "/m/all.mp3"},
        {"?crate=Plindo&src=folder", "/m/all.mp3"},
        {"?crate=Plindo%25%25&src=folder", "/m/all.mp3"},
        {"?crate=Plindo%25%25House", "/m/House.mp3"},
        {"?crate=House", "/m/House.mp3"},
        {"?crate=Mix&src=folder", "/f/Mix.wav"},
        {"?crate=Mix&src=Folder", "/m/Mix.mp3"},
    };
    for (const auto& [query, firstPath] : cases) {
        const json t = askJson("/library/tracks" + query);
        EXPECT_EQ(t["ready"], true);
        EXPECT_EQ(t["count"], 1);
        EXPECT_EQ(t["tracks"][0]["path"], firstPath) << query;
    }
    EXPECT_EQ(asked, (std::vector<std::string>{"serato:House", "serato:House", "folder:Mix", "serato:Mix"}));
}

// Linux names are bytes. A name that is no UTF-8 reaches the file system as sent, and listings give it in a
// form that JSON can carry and that names the same bytes when sent back.
TEST_F(DeckFileServerRoutes, NamesThatAreNotUtf8AreServedAndListedSoThatTheyComeBack) {
    std::string cut;  // a long name cut at 255 bytes inside a character, its extension kept
    for (int i = 0; i < 125; ++i) cut += "\xC3\xA9";
    const struct {
        std::string name, listed, shown;  // on disk, in a listing, the display name
    } names[] = {
        {"bad\xFF\xFE.mp3", "bad%FF%FE.mp3", "bad\uFFFD\uFFFD"},
        {"over\xC0\xAF.flac", "over%C0%AF.flac", "over\uFFFD\uFFFD"},
        {"sur\xED\xA0\x80 100%.wav", "sur%ED%A0%80 100%25.wav", "sur\uFFFD\uFFFD\uFFFD 100%"},
        {cut + "\xC3.mp3", cut + "%C3.mp3", cut + "\uFFFD"},
    };
    std::vector<TrackEntry> entries;
    for (const auto& n : names) {
        writeFile(dir / n.name, "bytes of " + n.name);
        entries.push_back({(dir / n.name).string(), n.name.substr(0, n.name.rfind('.'))});
    }
    writeFile(dir / "50%FF.mp3", "literal");  // UTF-8 that merely looks like a listed name
    entries.push_back({(dir / "50%FF.mp3").string(), "50%FF"});
    server.onFolderCrates = [&] { return std::vector<std::string>{"Odd\xFF"}; };
    server.onFolderCrateTracks = [&](const std::string& c) { return c == "Odd\xFF" ? entries : std::vector<TrackEntry>{}; };
    std::mutex pm;
    std::vector<std::string> peaksPaths;
    server.payloads.peaks = [&](const std::string& p, int, double, double, const auto&) {
        std::lock_guard l(pm);
        peaksPaths.push_back(p);
        return PeaksAnswer{"200 OK", "{}"};
    };
    server.start(0);

    EXPECT_EQ(askJson("/library/crates")["folderCrates"], json{"Odd%FF"});
    const json t = askJson("/library/tracks?src=folder&crate=Odd%25FF");
    ASSERT_EQ(t["count"], 5);
    for (size_t i = 0; i < std::size(names); ++i) {
        const auto& n = names[i];
        const std::string raw = (dir / n.name).string(), listed = dir.string() + "/" + n.listed;
        EXPECT_EQ(t["tracks"][i]["path"], listed);
        EXPECT_EQ(t["tracks"][i]["name"], n.shown);
        // The bytes themselves, percent-encoded, and the listed form, as a phone sends it back.
        for (const std::string& asked : {raw, listed}) {
            EXPECT_EQ(bodyOf(ask("/deck/stem" + q(asked))), "bytes of " + n.name) << listed;
            EXPECT_EQ(askJson("/deck/meta" + q(asked))["path"], listed);
            EXPECT_EQ(statusLineOf(ask("/wave/peaks" + q(asked))), "HTTP/1.1 200 OK") << listed;
            EXPECT_EQ(askJson("/tags" + q(asked)), (json{{"path", listed}, {"artist", ""}, {"title", n.shown}}));
            EXPECT_EQ(bodyOf(ask("/cover_art" + q(asked))), "no embedded art") << listed;
        }
        std::lock_guard l(pm);
        EXPECT_EQ(peaksPaths, (std::vector<std::string>{raw, raw})) << listed;
        peaksPaths.clear();
    }
    EXPECT_EQ(t["tracks"][4]["path"], (dir / "50%FF.mp3").string());
    EXPECT_EQ(bodyOf(ask("/deck/stem" + q(dir / "50%FF.mp3"))), "literal");
    EXPECT_EQ(askJson("/deck/stem" + q(dir / "gone\xFF.mp3"))["path"], dir.string() + "/gone%FF.mp3");
}

TEST_F(DeckFileServerRoutes, ControlRunsOnTheMainExecutor) {
    server.start(0);
    EXPECT_EQ(askJson("/ctl?cmd=play"), (json{{"error", "no handler"}}));

    std::string cmd;
    std::map<std::string, std::string> params;
    bool onMain = false;
    server.onControl = [&](const std::string& c, const std::map<std::string, std::string>& p, bool,
                           DeckFileServer::ControlReply reply) {
        cmd = c;
        params = p;
        onMain = main.queue().isCurrent();
        reply(json{{"ok", true}, {"gain", c == "nan" ? NAN : 0.5}});
    };
    restart();
    EXPECT_EQ(askJson("/ctl"), (json{{"ok", true}, {"gain", 0.5}}));
    EXPECT_EQ(cmd, "state");
    EXPECT_TRUE(params.empty());
    EXPECT_TRUE(onMain);
    askJson("/ctl?cmd=play&slot=2&slot=1&x=a+b&flag");
    EXPECT_EQ(cmd, "play");
    EXPECT_EQ(params, (std::map<std::string, std::string>{{"cmd", "play"}, {"slot", "1"}, {"x", "a+b"}, {"flag", ""}}));
    // A number the encoder cannot write leaves the body empty, still with "200 OK".
    const Reply r = ask("/ctl?cmd=nan");
    EXPECT_EQ(statusLineOf(r), "HTTP/1.1 200 OK");
    EXPECT_EQ(bodyOf(r), "");
}

// A server may go the moment its client has the answer, while main still finishes the call that gave it: the
// connection must never outlive the server's queue there (seen as a timer freed after its io context).
TEST_F(DeckFileServerRoutes, AServerGoingAsMainAnswersLeavesNoConnectionBehind) {
    // Busy threads preempt main inside the answer, where the old code still held the connection.
    std::atomic<bool> spin{true};
    std::vector<std::thread> load;
    for (unsigned i = 0; i < 2 * std::max(2u, std::thread::hardware_concurrency()); ++i)
        load.emplace_back([&] { while (spin.load(std::memory_order_relaxed)) {} });
    struct Stop {
        std::atomic<bool>& spin;
        std::vector<std::thread>& load;
        ~Stop() {
            spin = false;
            for (auto& t : load) t.join();
        }
    } stop{spin, load};
    for (int i = 0; i < 300; ++i) {
        auto s = std::make_unique<DeckFileServer>(nullptr, "me", &main);
        s->onControl = [](const std::string&, const std::map<std::string, std::string>&, bool,
                          DeckFileServer::ControlReply reply) { reply(json{{"ok", true}}); };
        s->start(0);
        ASSERT_EQ(bodyOf(roundTrip(s->boundPort(), getRequest("/ctl"))), R"({"ok":true})");
        s.reset();
    }
}

TEST_F(DeckFileServerRoutes, ControlRequestsWaitingForMainHoldUpNoOtherRequest) {
    server.onControl = [](const std::string&, const std::map<std::string, std::string>&, bool,
                          DeckFileServer::ControlReply reply) { reply(json{{"ok", true}}); };
    server.controlWaitSec = 3.0;
    server.start(0);
    std::promise<void> release;
    main.post([f = release.get_future().share()] { f.wait(); });
    std::vector<int> waiting;
    for (int i = 0; i < 8; ++i) {
        waiting.push_back(connectLoopback(server.boundPort()));
        sendAll(waiting.back(), getRequest("/ctl?cmd=state"));
    }
    const auto t0 = std::chrono::steady_clock::now();
    EXPECT_EQ(bodyOf(ask("/deck_build")), "orv");
    EXPECT_LT(std::chrono::steady_clock::now() - t0, std::chrono::milliseconds(1500));
    release.set_value();
    for (int fd : waiting) {
        EXPECT_EQ(bodyOf(readAll(fd, 5.0)), R"({"ok":true})");
        ::close(fd);
    }
}

TEST_F(DeckFileServerRoutes, AnswersTagsFromTheFileOrItsNameWithoutReadingAFifo) {
    writeFile(dir / "tagged.mp3", "x");
    writeFile(dir / "title-only.mp3", "x");
    ::mkfifo((dir / "Pipe - Dream.mp3").c_str(), 0600);
    server.payloads.tagNames = [](const std::string& p) -> std::optional<TrackNames> {
        if (p.find("tagged") != std::string::npos) return TrackNames{"Art", "Tit"};
        if (p.find("title-only") != std::string::npos) return TrackNames{"", "Only"};
        if (p.find("Pipe") != std::string::npos) ADD_FAILURE() << "read a FIFO";
        return std::nullopt;
    };
    server.start(0);
    const std::tuple<std::string, std::string, std::string> cases[] = {
        {(dir / "tagged.mp3").string(), "Art", "Tit"},
        {(dir / "title-only.mp3").string(), "", "Only"},
        {"/nowhere/Artist - Title.mp3", "Artist", "Title"},
        {"/nowhere/Artist \u2013 Title.flac", "Artist", "Title"},
        {"/nowhere/A - B - C.wav", "A", "B - C"},
        {"/nowhere/Artist - .mp3", "Artist", "Artist - "},
        {"/nowhere/Track.mp3", "", "Track"},
        {"/nowhere/A \u2013 B - C", "A \u2013 B", "C"},
        {(dir / "Pipe - Dream.mp3").string(), "Pipe", "Dream"},
    };
    for (const auto& [path, artist, title] : cases)
        EXPECT_EQ(askJson("/tags" + q(path)), (json{{"path", path}, {"artist", artist}, {"title", title}})) << path;
    const Reply r = ask("/tags");
    EXPECT_EQ(statusLineOf(r), "HTTP/1.1 400 Bad Request");
    EXPECT_EQ(bodyOf(r), R"({"error":"missing path"})");
}

TEST_F(DeckFileServerRoutes, AnswersCoverArtWithItsTypeFromTheFirstBytes) {
    for (const char* name : {"png.mp3", "jpg.mp3", "none.mp3"}) writeFile(dir / name, "x");
    fs::create_directories(dir / "folder");
    ::mkfifo((dir / "pipe.mp3").c_str(), 0600);
    server.payloads.embeddedArtwork = [](const std::string& p) -> std::optional<std::string> {
        if (p.find("png") != std::string::npos) return std::string("\x89PNG\r\n", 6);
        if (p.find("jpg") != std::string::npos) return std::string("\xFF\xD8\xFF", 3);
        if (p.find("pipe") != std::string::npos) ADD_FAILURE() << "read a FIFO";
        return std::string();
    };
    server.start(0);
    const std::string none = "no path / not file";
    const std::tuple<std::string, std::string, std::string, std::string> cases[] = {
        {q(dir / "png.mp3"), "200 OK", "image/png", std::string("\x89PNG\r\n", 6)},
        {q(dir / "jpg.mp3"), "200 OK", "image/jpg", "\xFF\xD8\xFF"},
        {q(dir / "none.mp3"), "404 Not Found", "text/plain", "no embedded art"},
        {q(dir / "folder"), "404 Not Found", "text/plain", "no embedded art"},
        {q(dir / "pipe.mp3"), "404 Not Found", "text/plain", none},
        {"?path=/dev/zero", "404 Not Found", "text/plain", none},
        {q(dir / "gone.mp3"), "404 Not Found", "text/plain", none},
        {"", "404 Not Found", "text/plain", none},
    };
    for (const auto& [query, status, type, body] : cases) {
        const Reply r = ask("/cover_art" + query);
        EXPECT_EQ(statusLineOf(r), "HTTP/1.1 " + status) << query;
        EXPECT_EQ(headerOf(r, "Content-Type"), type) << query;
        EXPECT_EQ(bodyOf(r), body) << query;
    }
}

TEST_F(DeckFileServerRoutes, MetaAnswersTheDocumentOrNothingItCannotEncode) {
    writeFile(dir / "a.mp3", "x");
    writeFile(dir / "nan.mp3", "x");
    server.start(0);
    EXPECT_EQ(askJson("/deck/meta" + q(dir / "a.mp3")),
              (json{{"path", (dir / "a.mp3").string()}, {"api_version", "0004"}, {"cues", json::array()},
                    {"loops", json::array()}, {"flips", json::array()}}));
    EXPECT_EQ(bodyOf(ask("/deck/meta")), R"({"error":"missing path"})");
    EXPECT_EQ(askJson("/deck/meta?path=/dev/zero")["error"], "file not found");
    EXPECT_EQ(lastLine(), "Track server 404 (meta): /dev/zero");

    server.payloads.deckMeta = [](const std::string& p) {
        return json{{"path", p}, {"bpm", p.find("nan") != std::string::npos ? INFINITY : 120.0}};
    };
    restart();
    EXPECT_EQ(askJson("/deck/meta" + q(dir / "a.mp3"))["bpm"], 120.0);
    const Reply r = ask("/deck/meta" + q(dir / "nan.mp3"));
    EXPECT_EQ(statusLineOf(r), "HTTP/1.1 200 OK");
    EXPECT_EQ(bodyOf(r), "");
}

TEST_F(DeckFileServerRoutes, PeaksReadTheirNumbersAndAnswerFromTheirQueue) {
    writeFile(dir / "t.wav", "x");
    std::mutex pm;
    std::tuple<std::string, int, double, double> call;
    server.payloads.peaks = [&](const std::string& p, int columns, double center, double window, const auto&) {
        std::lock_guard l(pm);
        call = {p, columns, center, window};
        return PeaksAnswer{"200 OK", "{}"};
    };
    server.start(0);
    const std::tuple<std::string, int, double, double> cases[] = {
        {"", 1400, 0, 0},
        {"&columns=abc&center=x&window=nan", 1400, 0, 0},
        {"&columns=&center=1e400", 1400, 0, 0},
        {"&columns=-3&center=12.5&window=30", -3, 12.5, 30},
        {"&columns=%2B50000&window=-1", 50000, 0, -1},
    };
    for (const auto& [query, columns, center, window] : cases) {
        EXPECT_EQ(statusLineOf(ask("/wave/peaks" + q(dir / "t.wav") + query)), "HTTP/1.1 200 OK");
        std::lock_guard l(pm);
        EXPECT_EQ(call, std::make_tuple((dir / "t.wav").string(), columns, center, window)) << query;
    }
    EXPECT_EQ(bodyOf(ask("/wave/peaks")), R"({"error":"missing path"})");
    EXPECT_EQ(askJson("/wave/peaks?path=/dev/zero")["error"], "file not found");
    EXPECT_EQ(lastLine(), "Track server 404 (peaks): /dev/zero");
}

TEST_F(DeckFileServerRoutes, EveryPathRouteJudgesAPathAsTheFileRoutesDo) {
    writeFile(dir / "secret.txt", "root:x:0:0");
    writeFile(dir / "a.mp3", "x");
    fs::create_symlink(dir / "secret.txt", dir / "evil.mp3");
    server.payloads.tagNames = [](const std::string& p) -> std::optional<TrackNames> {
        if (p.find("evil") != std::string::npos || p.find("secret") != std::string::npos) ADD_FAILURE() << "read " << p;
        return TrackNames{"Art", "Tit"};
    };
    server.payloads.embeddedArtwork = [](const std::string& p) -> std::optional<std::string> {
        if (p.find("evil") != std::string::npos || p.find("secret") != std::string::npos) ADD_FAILURE() << "read " << p;
        return std::string("\xFF\xD8\xFF", 3);
    };
    server.payloads.peaks = [](const std::string&, int, double, double, const auto&) { return PeaksAnswer{"200 OK", "{}"}; };
    server.start(0);
    for (const fs::path& p : {dir / "evil.mp3", dir / "secret.txt"}) {
        EXPECT_EQ(statusLineOf(ask("/deck/stem" + q(p))), "HTTP/1.1 404 Not Found") << p;
        EXPECT_EQ(statusLineOf(ask("/deck/meta" + q(p))), "HTTP/1.1 404 Not Found") << p;
        EXPECT_EQ(statusLineOf(ask("/wave/peaks" + q(p))), "HTTP/1.1 404 Not Found") << p;
        EXPECT_EQ(bodyOf(ask("/cover_art" + q(p))), "no path / not file") << p;
        EXPECT_EQ(askJson("/tags" + q(p))["artist"], "") << p;  // named from the file name, not read
    }
    EXPECT_EQ(statusLineOf(ask("/deck/meta?path=/etc/passwd")), "HTTP/1.1 404 Not Found");
    EXPECT_EQ(statusLineOf(ask("/deck/meta" + q(dir / "a.mp3"))), "HTTP/1.1 200 OK");
    EXPECT_EQ(statusLineOf(ask("/wave/peaks" + q(dir / "a.mp3"))), "HTTP/1.1 200 OK");
    EXPECT_EQ(askJson("/tags" + q(dir / "a.mp3"))["artist"], "Art");
    EXPECT_EQ(statusLineOf(ask("/cover_art" + q(dir / "a.mp3"))), "HTTP/1.1 200 OK");
}

TEST_F(DeckFileServerRoutes, PeaksWorkIsBoundedAndDroppedWhenEveryWaiterLeft) {
    // The work for "hold.wav" waits for the test; while it does, the queue fills.
    std::mutex pm;
    std::condition_variable pcv;
    bool open = false, holding = false, sawCancel = false;
    std::vector<std::string> calls;
    server.payloads.peaks = [&](const std::string& p, int, double, double, const std::function<bool()>& cancelled) {
        std::unique_lock l(pm);
        calls.push_back(fs::path(p).filename().string());
        if (p.find("hold") != std::string::npos) {
            holding = true;
            pcv.notify_all();
            while (!open) {
                l.unlock();
                const bool c = cancelled();
                l.lock();
                if (c) {
                    sawCancel = true;
                    pcv.notify_all();
                    break;
                }
                pcv.wait_for(l, std::chrono::milliseconds(5));
            }
        }
        return PeaksAnswer{"200 OK", "{}"};
    };
    server.start(0);
    auto request = [&](const std::string& name) {
        writeFile(dir / name, "x");
        const int fd = connectLoopback(server.boundPort());
        sendAll(fd, getRequest("/wave/peaks" + q(dir / name)));
        return fd;
    };
    const int held = request("hold.wav");
    {
        std::unique_lock l(pm);
        ASSERT_TRUE(pcv.wait_for(l, std::chrono::seconds(5), [&] { return holding; }));
    }
    // Seven more tracks wait (one of them twice); the next track is refused at once.
    std::vector<int> waiting;
    for (int i = 0; i < 7; ++i) waiting.push_back(request("w" + std::to_string(i) + ".wav"));
    waiting.push_back(request("w0.wav"));
    const int refused = request("over.wav");
    const Reply busy = readAll(refused, 2.0);
    EXPECT_EQ(statusLineOf(busy), "HTTP/1.1 503 Service Unavailable");
    EXPECT_EQ(bodyOf(busy), R"({"error":"busy"})");
    ::close(refused);

    // The waiters hang up: their tracks no longer count against the bound, and their work is never done.
    for (int fd : waiting) ::close(fd);
    const int next = request("next.wav");
    EXPECT_EQ(readAll(next, 0.5).bytes, "");  // waits for its turn, not refused
    // The last waiter of the running work hangs up: it is told to stop.
    ::close(held);
    {
        std::unique_lock l(pm);
        ASSERT_TRUE(pcv.wait_for(l, std::chrono::seconds(5), [&] { return sawCancel; }));
    }
    EXPECT_EQ(statusLineOf(readAll(next, 5.0)), "HTTP/1.1 200 OK");
    ::close(next);
    std::lock_guard l(pm);
    EXPECT_EQ(calls, (std::vector<std::string>{"hold.wav", "next.wav"}));
}

// Each client address holds at most two of the eight places; a shorter track takes the place of a longer one
// still waiting; a short track is answered while a long analysis runs, and the rest go shortest first.
TEST_F(DeckFileServerRoutes, PeaksGiveEachClientItsShareAndShortTracksGoFirst) {
    const std::map<std::string, double> seconds = {{"hold", 3600}, {"a2", 5400}, {"a3", 6000}, {"b1", 4000},
                                                   {"b2", 7000},   {"c1", 4500}, {"c2", 8000}, {"d1", 5000},
                                                   {"d2", 9000},   {"f1", 10000}, {"short", 20}, {"short2", 30}};
    server.payloads.peaksSeconds = [&](const std::string& p) -> std::optional<double> {
        return seconds.at(fs::path(p).stem().string());
    };
    std::mutex pm;
    std::condition_variable pcv;
    bool open = false, holding = false;
    std::vector<std::string> calls;
    server.payloads.peaks = [&](const std::string& p, int, double, double, const std::function<bool()>&) {
        std::unique_lock l(pm);
        calls.push_back(fs::path(p).stem().string());
        holding = holding || calls.back() == "hold";
        pcv.notify_all();
        if (calls.back() == "hold") pcv.wait(l, [&] { return open; });
        return PeaksAnswer{"200 OK", "{}"};
    };
    server.start(0);
    std::map<std::string, int> fds;
    const auto request = [&](const std::string& name, const std::string& from) {
        writeFile(dir / (name + ".wav"), "x");
        fds[name] = connectTo("127.0.0.1", server.boundPort(), from);
        sendAll(fds[name], getRequest("/wave/peaks" + q(dir / (name + ".wav"))));
        ASSERT_EQ(bodyOf(ask("/deck_build")), "orv");  // taken in before what comes next
    };
    const auto answer = [&](const std::string& name) { return statusLineOf(readAll(fds[name], 5.0)); };
    const std::string busy = "HTTP/1.1 503 Service Unavailable", ok = "HTTP/1.1 200 OK";

    request("hold", "127.0.0.2");
    {
        std::unique_lock l(pm);
        ASSERT_TRUE(pcv.wait_for(l, std::chrono::seconds(5), [&] { return holding; }));
    }
    request("a2", "127.0.0.2");
    request("a3", "127.0.0.2");  // its client holds two places, both tracks shorter
    EXPECT_EQ(answer("a3"), busy);
    for (const char* name : {"b1", "b2"}) request(name, "127.0.0.3");
    for (const char* name : {"c1", "c2"}) request(name, "127.0.0.4");
    for (const char* name : {"d1", "d2"}) request(name, "127.0.0.5");
    request("f1", "127.0.0.6");  // a full server, and no waiting track longer
    EXPECT_EQ(answer("f1"), busy);

    // A short track from a client without a place takes that of the longest waiting track of a client
    // holding two, and is answered beside the long analysis.
    request("short", "127.0.0.7");
    EXPECT_EQ(answer("d2"), busy);
    EXPECT_EQ(answer("short"), ok);
    // A client at its share gives up its own longest waiting track for a shorter one.
    request("short2", "127.0.0.2");
    EXPECT_EQ(answer("a2"), busy);
    EXPECT_EQ(answer("short2"), ok);
    {
        std::lock_guard l(pm);
        open = true;
        pcv.notify_all();
    }
    for (const char* name : {"hold", "b1", "b2", "c1", "c2", "d1"}) EXPECT_EQ(answer(name), ok) << name;
    for (const auto& [name, fd] : fds) ::close(fd);
    std::lock_guard l(pm);
    EXPECT_EQ(calls, (std::vector<std::string>{"hold", "short", "short2", "b1", "c1", "d1", "b2", "c2"}));
}

}  // namespace
}  // namespace plindo::link
