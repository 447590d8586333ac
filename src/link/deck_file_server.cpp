#include "link/deck_file_server.h"

#include "link/dual_stack.h"
#include "link/http_head.h"
#include "link/json_body.h"
#include "platform/log.h"
#include "platform/path_names.h"
#include "platform/text.h"

#include <asio/ip/tcp.hpp>
#include <asio/steady_timer.hpp>
#include <asio/write.hpp>

#include <fcntl.h>
#include <sys/sendfile.h>

#include <csignal>
#include <pthread.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <cerrno>
#include <charconv>
#include <cstdlib>
#include <list>
#include <mutex>
#include <set>

namespace plindo::link {

namespace {

using asio::ip::tcp;

constexpr const char* kJson = "application/json; charset=utf-8";
constexpr const char* kOctets = "application/octet-stream";
constexpr const char* kText = "text/plain";
// One sendfile call moves at most this much; the socket buffer decides how much really goes.
constexpr size_t kSendChunk = size_t{4} << 20;
// After the answer, how long the server waits for the client to close before closing itself.
constexpr double kLingerSec = 2.0;

spdlog::logger& log() { return platform::logger("file-server"); }

std::chrono::steady_clock::duration seconds(double s) {
    return std::chrono::duration_cast<std::chrono::steady_clock::duration>(std::chrono::duration<double>(s));
}

enum class Kind { Missing, Regular, Folder, Other };

// Where a path really leads, every link and "." or ".." taken: the file a check must judge and an open must
// reach. None when it leads nowhere.
std::optional<std::string> realPath(const std::string& path) {
    if (path.empty() || path.find('\0') != std::string::npos) return std::nullopt;
    char* real = ::realpath(path.c_str(), nullptr);
    if (!real) return std::nullopt;
    std::string out(real);
    std::free(real);
    return out;
}

Kind kindOf(const std::string& path) {
    const auto real = realPath(path);
    struct stat st {};
    if (!real || ::lstat(real->c_str(), &st) != 0) return Kind::Missing;
    if (S_ISREG(st.st_mode)) return Kind::Regular;
    if (S_ISDIR(st.st_mode)) return Kind::Folder;
    return Kind::Other;
}

// The path as given, then its NFD and NFC forms where they differ: a name typed on one system may be stored
// in the other form.
std::vector<std::string> unicodeForms(const std::string& path) {
    std::vector<std::string> forms{path};
    if (path.empty() || path.find('\0') != std::string::npos) return forms;
    for (std::string f : {platform::text::nfd(path), platform::text::nfc(path)}) {
        if (std::find(forms.begin(), forms.end(), f) == forms.end()) forms.push_back(std::move(f));
    }
    return forms;
}

bool streamable(const std::string& path) {
    static const std::set<std::string> kExtensions = {"mp3", "flac", "m4a", "aiff", "aif", "wav",
                                                      "aac", "ogg",  "wma", "mp4",  "mov"};
    return kExtensions.count(platform::text::asciiLower(platform::pathExtension(path))) > 0;
}

double decimalOrZero(const std::optional<std::string>& s) {
    if (!s || s->empty()) return 0;
    const char* begin = s->c_str();
    char* end = nullptr;
    const double v = std::strtod(begin, &end);
    if (end != begin + s->size() || !std::isfinite(v)) return 0;
    return v;
}

int columnsOr1400(const std::optional<std::string>& s) {
    if (!s || s->empty()) return 1400;
    std::string_view v = *s;
    if (v.front() == '+') v.remove_prefix(1);
    if (v.empty() || v.front() == '+') return 1400;
    int out = 0;
    const auto [end, ec] = std::from_chars(v.data(), v.data() + v.size(), out);
    if (ec != std::errc() || end != v.data() + v.size()) return 1400;
    return out;
}

// Artist and title from a file name such as "Artist - Title.mp3".
TrackNames namesFromFileName(const std::string& path) {
    const std::string name = platform::pathStem(path);
    for (const std::string_view sep : {std::string_view(" - "), std::string_view(" \u2013 ")}) {
        if (name.find(sep) == std::string::npos) continue;
        const size_t first = name.find(sep);
        TrackNames t{name.substr(0, first), name.substr(first + sep.size())};
        if (t.title.empty()) t.title = name;
        return t;
    }
    return {"", name};
}

std::string contentTypeOfPicture(std::string_view bytes) {
    if (bytes.size() >= 4 && static_cast<unsigned char>(bytes[0]) == 0x89 && bytes[1] == 'P' && bytes[2] == 'N' &&
        bytes[3] == 'G')
        return "image/png";
    return "image/jpg";
}

}  // namespace

std::optional<std::string> DeckFileServer::existingPath(const std::string& path) {
    for (const auto& form : unicodeForms(path)) {
        if (kindOf(form) == Kind::Regular) return form;
    }
    return std::nullopt;
}

namespace {

// A track as the file routes serve it: the asked name and the file it really is both carry an audio
// extension, so a link named "x.mp3" that leads to /etc/passwd or to a folder is no track. The descriptor is
// of the very file judged: the last step of the resolved path may not be swapped for a link in between.
struct OpenTrack {
    int fd = -1;
    off_t size = 0;
};

std::optional<OpenTrack> openTrack(const std::string& path) {
    if (!streamable(path)) return std::nullopt;
    for (const auto& form : unicodeForms(path)) {
        const auto real = realPath(form);
        if (!real || !streamable(*real)) continue;
        // O_NONBLOCK: should the file turn into a FIFO after the check, opening it must not hang the queue.
        const int fd = ::open(real->c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
        if (fd < 0) continue;
        struct stat st {};
        if (::fstat(fd, &st) == 0 && S_ISREG(st.st_mode)) return OpenTrack{fd, st.st_size};
        ::close(fd);
    }
    return std::nullopt;
}

}  // namespace

// One accepted connection: its head buffer while reading, then its answer.
struct Conn : std::enable_shared_from_this<Conn> {
    using Clock = std::chrono::steady_clock;

    explicit Conn(asio::io_context& io) : socket(io), timer(io) {}
    ~Conn() {
        if (fd >= 0) ::close(fd);
    }

    enum class Phase { Reading, Answering, Closed };

    tcp::socket socket;
    asio::steady_timer timer;
    Phase phase = Phase::Reading;
    std::string buffer;
    std::array<char, http_head::kReadChunk> chunk{};
    std::string out;      // head and in-memory body
    size_t outSent = 0;   // bytes of `out` already written
    int fd = -1;          // a file body, sent after `out`
    off_t offset = 0;     // next file byte to send
    off_t size = 0;
    std::string peer = "?";
    // When the client last moved a byte: sent one of its head, or took one of its answer.
    Clock::time_point lastTaken = Clock::now();
};

struct DeckFileServer::Impl : std::enable_shared_from_this<DeckFileServer::Impl> {
    Impl(DeckFileServer& o, asio::io_context& io, platform::SerialQueue& q, platform::SerialQueue& pq)
        : owner(&o), io(io), queue(q), peaksQueue(pq) {}

    DeckFileServer* owner;  // cleared by the server's destructor, read only on the queue
    asio::io_context& io;
    platform::SerialQueue& queue;
    platform::SerialQueue& peaksQueue;
    platform::ServiceAdvertiser* advertiser = nullptr;
    platform::MainExecutor* main = nullptr;
    std::string serviceName;

    std::mutex mutex;  // guards the listener fields below against start/stop from other threads
    std::shared_ptr<tcp::acceptor> acceptor;
    std::unique_ptr<platform::ServiceRegistration> registration;
    bool running = false;
    int port = 0;

    std::list<std::shared_ptr<Conn>> conns;  // queue only; oldest first

    void status(const std::string& line) {
        if (owner && owner->onStatus) owner->onStatus(line);
    }

    // ---- listener

    void accept(std::shared_ptr<tcp::acceptor> a) {
        auto conn = std::make_shared<Conn>(io);
        std::lock_guard lock(mutex);
        if (a != acceptor) return;
        a->async_accept(conn->socket, [self = shared_from_this(), a, conn](const std::error_code& ec) {
            self->accepted(a, conn, ec);
        });
    }

    void accepted(const std::shared_ptr<tcp::acceptor>& a, const std::shared_ptr<Conn>& conn, const std::error_code& ec) {
        {
            std::lock_guard lock(mutex);
            if (a != acceptor) return;
        }
        if (ec) {
            if (ec == asio::error::operation_aborted) return;
            if (ec == asio::error::no_descriptors || ec == asio::error::no_buffer_space ||
                ec == asio::error::no_memory || ec == asio::error::connection_aborted) {
                // Short of descriptors or memory: wait a moment instead of spinning or giving up.
                auto t = std::make_shared<asio::steady_timer>(io, std::chrono::milliseconds(100));
                t->async_wait([self = shared_from_this(), a, t](const std::error_code&) { self->accept(a); });
                return;
            }
            status("Track server: error " + ec.message());
            stopListener();
            return;
        }
        admit(conn);
        accept(a);
    }

    void admit(const std::shared_ptr<Conn>& conn) {
        conn->lastTaken = Conn::Clock::now();  // made when the accept was armed, maybe long ago
        std::error_code ec;
        const auto remote = conn->socket.remote_endpoint(ec);
        if (!ec) conn->peer = unmapped(remote.address()).to_string();
        // Stalled clients must not lock everyone else out: a peer at its cap gives up its own stalest
        // connection, a full server its stalest of all, whatever they were doing.
        const auto ofPeer = [&](const auto& c) { return c->peer == conn->peer; };
        if (static_cast<size_t>(std::count_if(conns.begin(), conns.end(), ofPeer)) >= kMaxConnectionsPerPeer) {
            abort(stalest(ofPeer));
        } else if (conns.size() >= kMaxConnections) {
            abort(stalest([](const auto&) { return true; }));
        }
        conns.push_back(conn);
        conn->timer.expires_after(seconds(owner ? owner->headTimeoutSec : kHeadTimeoutSec));
        conn->timer.async_wait([self = shared_from_this(), conn](const std::error_code& e) {
            if (!e && conn->phase == Conn::Phase::Reading) self->abort(conn);
        });
        read(conn);
    }

    // The connection whose client has gone longest without moving a byte; the older one on a tie.
    template <typename Pred>
    std::shared_ptr<Conn> stalest(Pred pred) {
        std::shared_ptr<Conn> out;
        for (const auto& c : conns) {
            if (pred(c) && (!out || c->lastTaken < out->lastTaken)) out = c;
        }
        return out;
    }

    void close(const std::shared_ptr<Conn>& conn) {
        if (!conn || conn->phase == Conn::Phase::Closed) return;
        conn->phase = Conn::Phase::Closed;
        std::error_code ignored;
        conn->timer.cancel();
        conn->socket.close(ignored);
        if (conn->fd >= 0) {
            ::close(conn->fd);
            conn->fd = -1;
        }
        conns.remove(conn);
    }

    // Closes with a reset: what a stalled client never took is dropped at once instead of lingering in the
    // kernel.
    void abort(const std::shared_ptr<Conn>& conn) {
        if (!conn || conn->phase == Conn::Phase::Closed) return;
        std::error_code ignored;
        conn->socket.set_option(asio::socket_base::linger(true, 0), ignored);
        close(conn);
    }

    void stopListener() {
        std::shared_ptr<tcp::acceptor> a;
        std::unique_ptr<platform::ServiceRegistration> reg;
        {
            std::lock_guard lock(mutex);
            a = std::move(acceptor);
            reg = std::move(registration);
            running = false;
            port = 0;
            if (a) {
                std::error_code ignored;
                a->close(ignored);
            }
        }
        auto self = shared_from_this();
        auto dropAll = [self] {
            while (!self->conns.empty()) self->close(self->conns.front());
        };
        if (queue.isCurrent())
            dropAll();
        else
            queue.post(dropAll);
    }

    // ---- request head

    void read(const std::shared_ptr<Conn>& conn) {
        conn->socket.async_read_some(asio::buffer(conn->chunk), [self = shared_from_this(), conn](const std::error_code& ec, size_t n) {
            if (conn->phase != Conn::Phase::Reading) return;
            if (ec || n == 0) return self->close(conn);  // error, or the peer ended before the terminator
            conn->lastTaken = Conn::Clock::now();
            conn->buffer.append(conn->chunk.data(), n);
            const auto scan = http_head::scan(conn->buffer);
            if (scan.state == http_head::Scan::Overflow) return self->close(conn);
            if (scan.state == http_head::Scan::NeedMore) return self->read(conn);
            conn->timer.cancel();
            conn->phase = Conn::Phase::Answering;
            const std::string head = http_head::headText(std::string_view(conn->buffer).substr(0, scan.headLength));
            conn->buffer.clear();
            conn->buffer.shrink_to_fit();
            self->route(conn, head);
        });
    }

    // ---- answers

    void respond(const std::shared_ptr<Conn>& conn, const std::string& status, std::string body, const std::string& type) {
        if (!queue.isCurrent()) {
            queue.post([self = shared_from_this(), conn, status, body = std::move(body), type]() mutable {
                self->respond(conn, status, std::move(body), type);
            });
            return;
        }
        if (conn->phase == Conn::Phase::Closed) return;
        log().info("resp {} {} B {}", status, body.size(), type);
        conn->out = http_head::responseHead(status, body.size(), type) + body;
        send(conn);
    }

    void respondFile(const std::shared_ptr<Conn>& conn, int fd, off_t size) {
        log().info("resp 200 OK {} B {}", size, kOctets);
        conn->fd = fd;
        conn->size = size;
        conn->out = http_head::responseHead("200 OK", static_cast<size_t>(size), kOctets);
        send(conn);
    }

    // Closes the connection once its client has taken nothing for the idle limit. Progress only moves
    // `lastTaken`; the timer re-arms itself from it.
    void armIdle(const std::shared_ptr<Conn>& conn) {
        const auto limit = seconds(owner ? owner->idleSec : kIdleSec);
        conn->timer.expires_at(conn->lastTaken + limit);
        conn->timer.async_wait([self = shared_from_this(), conn, limit](const std::error_code& e) {
            if (e || conn->phase == Conn::Phase::Closed) return;
            if (Conn::Clock::now() - conn->lastTaken >= limit) return self->abort(conn);
            self->armIdle(conn);
        });
    }

    void send(const std::shared_ptr<Conn>& conn) {
        conn->lastTaken = Conn::Clock::now();
        armIdle(conn);
        writeOut(conn);
    }

    void writeOut(const std::shared_ptr<Conn>& conn) {
        const auto rest = asio::buffer(conn->out) + conn->outSent;
        conn->socket.async_write_some(rest, [self = shared_from_this(), conn](const std::error_code& ec, size_t n) {
            if (conn->phase == Conn::Phase::Closed) return;
            if (ec) return self->close(conn);
            if (n > 0) conn->lastTaken = Conn::Clock::now();
            conn->outSent += n;
            if (conn->outSent < conn->out.size()) return self->writeOut(conn);
            conn->out.clear();
            conn->out.shrink_to_fit();
            if (conn->fd >= 0) return self->sendFile(conn);
            self->finish(conn);
        });
    }

    // Streams the file from disk: the kernel copies it to the socket chunk by chunk.
    void sendFile(const std::shared_ptr<Conn>& conn) {
        std::error_code ec;
        conn->socket.native_non_blocking(true, ec);
        while (conn->offset < conn->size) {
            const size_t want = static_cast<size_t>(std::min<off_t>(conn->size - conn->offset, static_cast<off_t>(kSendChunk)));
            const ssize_t n = ::sendfile(conn->socket.native_handle(), conn->fd, &conn->offset, want);
            if (n > 0) {
                conn->lastTaken = Conn::Clock::now();
                continue;
            }
            if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
                conn->socket.async_wait(tcp::socket::wait_write, [self = shared_from_this(), conn](const std::error_code& e) {
                    if (conn->phase == Conn::Phase::Closed) return;
                    if (e) return self->close(conn);
                    self->sendFile(conn);
                });
                return;
            }
            if (n < 0 && errno == EINTR) continue;
            // The file shrank under us or the peer went away: the client sees a short body.
            return close(conn);
        }
        ::close(conn->fd);
        conn->fd = -1;
        finish(conn);
    }

    // The answer is out: end our side, let the client read it and close, then close.
    void finish(const std::shared_ptr<Conn>& conn) {
        std::error_code ignored;
        conn->socket.shutdown(tcp::socket::shutdown_send, ignored);
        conn->timer.expires_after(seconds(kLingerSec));
        conn->timer.async_wait([self = shared_from_this(), conn](const std::error_code& e) {
            if (!e) self->close(conn);
        });
        drain(conn);
    }

    void drain(const std::shared_ptr<Conn>& conn) {
        conn->socket.async_read_some(asio::buffer(conn->chunk), [self = shared_from_this(), conn](const std::error_code& ec, size_t) {
            if (conn->phase == Conn::Phase::Closed) return;
            if (ec) return self->close(conn);
            self->drain(conn);
        });
    }

    void respondJson(const std::shared_ptr<Conn>& conn, const std::string& status, const nlohmann::json& j) {
        respond(conn, status, json_body::encode(j).value_or(std::string()), kJson);
    }

    void respondFileNotFound(const std::shared_ptr<Conn>& conn, const std::string& label, const std::optional<std::string>& path) {
        const std::string shown = path ? *path : "<no path param>";
        log().error("404 {} path={}", label, shown);
        status("Track server 404 (" + label + "): " + shown);
        respondJson(conn, "404 Not Found", {{"error", "file not found"}, {"path", shown}});
    }

    // ---- routes

    void route(const std::shared_ptr<Conn>& conn, const std::string& head) {
        log().info("req {} {}", conn->peer, http_head::logTarget(head));
        const auto req = http_head::parse(head);
        if (!req) return respond(conn, "400 Bad Request", {}, kOctets);
        const std::string& p = req->path;
        const std::string& q = req->rawQuery;
        if (p == "/ctl") return control(conn, q);
        if (p == "/deck_build") return respond(conn, "200 OK", "orv", kText);
        if (p == "/deck/stem" || p == "/audio/stream") return file(conn, q);
        if (p == "/library/crates") return crates(conn);
        if (p == "/library/tracks") return tracks(conn, q);
        if (p == "/tags") return tags(conn, q);
        if (p == "/cover_art") return coverArt(conn, q);
        if (p == "/deck/meta") return meta(conn, q);
        if (p == "/wave/peaks") return peaks(conn, q);
        respondJson(conn, "404 Not Found", {{"error", "no route"}});
    }

    void control(const std::shared_ptr<Conn>& conn, const std::string& q) {
        const auto params = http_head::queryItems(q);
        const auto cmdIt = params.find("cmd");
        const std::string cmd = cmdIt == params.end() ? "state" : cmdIt->second;
        nlohmann::json answer = {{"error", "no handler"}};
        auto handler = owner ? owner->onControl : nullptr;
        if (handler && main) main->invokeSync([&] { answer = handler(cmd, params); });
        respondJson(conn, "200 OK", answer);
    }

    void file(const std::shared_ptr<Conn>& conn, const std::string& q) {
        const auto path = http_head::queryValue("path", q);
        const auto track = path ? openTrack(*path) : std::nullopt;
        if (!track) return respondFileNotFound(conn, "stem", path);
        respondFile(conn, track->fd, track->size);
    }

    void crates(const std::shared_ptr<Conn>& conn) {
        std::vector<std::string> serato;
        if (owner && owner->payloads.seratoCrateNames) serato = owner->payloads.seratoCrateNames();
        std::vector<std::string> folder;
        if (owner && owner->onFolderCrates) folder = owner->onFolderCrates();
        const bool seratoRunning = owner && owner->onSeratoRunning ? owner->onSeratoRunning() : false;
        respondJson(conn, "200 OK",
                    {{"ready", true},
                     {"crates", serato},
                     {"seratoCrates", serato},
                     {"folderCrates", folder},
                     {"hasSerato", !serato.empty()},
                     {"seratoRunning", seratoRunning}});
    }

    std::vector<TrackEntry> libraryTracks(const std::string& q) {
        const std::string src = http_head::queryValue("src", q).value_or("serato");
        std::string crate = http_head::queryValue("crate", q).value_or("");
        auto all = [this] {
            return owner && owner->payloads.seratoAllTracks ? owner->payloads.seratoAllTracks() : std::vector<TrackEntry>{};
        };
        if (crate.empty()) return all();
        if (crate.rfind("Plindo%%", 0) == 0) crate = crate.substr(8);
        if (crate == "Plindo" || crate.empty()) return all();
        if (src == "folder")
            return owner && owner->onFolderCrateTracks ? owner->onFolderCrateTracks(crate) : std::vector<TrackEntry>{};
        return owner && owner->payloads.seratoCrateTracks ? owner->payloads.seratoCrateTracks(crate) : std::vector<TrackEntry>{};
    }

    void tracks(const std::shared_ptr<Conn>& conn, const std::string& q) {
        const auto list = libraryTracks(q);
        nlohmann::json arr = nlohmann::json::array();
        for (const auto& t : list) arr.push_back({{"path", t.path}, {"name", t.name}});
        respondJson(conn, "200 OK", {{"ready", true}, {"count", list.size()}, {"tracks", std::move(arr)}});
    }

    void tags(const std::shared_ptr<Conn>& conn, const std::string& q) {
        const auto path = http_head::queryValue("path", q);
        if (!path) return respondJson(conn, "400 Bad Request", {{"error", "missing path"}});
        std::optional<TrackNames> names;
        // Only regular files are read: a FIFO or a device would hang or flood the tag reader.
        if (kindOf(*path) == Kind::Regular && owner && owner->payloads.tagNames) names = owner->payloads.tagNames(*path);
        TrackNames t = names.value_or(TrackNames{});
        if (t.artist.empty() && t.title.empty()) t = namesFromFileName(*path);
        respondJson(conn, "200 OK", {{"path", *path}, {"artist", t.artist}, {"title", t.title}});
    }

    void coverArt(const std::shared_ptr<Conn>& conn, const std::string& q) {
        const auto path = http_head::queryValue("path", q);
        const Kind kind = path ? kindOf(*path) : Kind::Missing;
        if (kind == Kind::Missing || kind == Kind::Other) return respond(conn, "404 Not Found", "no path / not file", kText);
        std::optional<std::string> art;
        if (kind == Kind::Regular && owner && owner->payloads.embeddedArtwork) art = owner->payloads.embeddedArtwork(*path);
        if (!art || art->empty()) return respond(conn, "404 Not Found", "no embedded art", kText);
        const std::string type = contentTypeOfPicture(*art);
        respond(conn, "200 OK", std::move(*art), type);
    }

    void meta(const std::shared_ptr<Conn>& conn, const std::string& q) {
        const auto path = http_head::queryValue("path", q);
        if (!path) return respondJson(conn, "400 Bad Request", {{"error", "missing path"}});
        const auto resolved = existingPath(*path);
        if (!resolved) return respondFileNotFound(conn, "meta", path);
        nlohmann::json doc;
        if (owner && owner->payloads.deckMeta) {
            doc = owner->payloads.deckMeta(*resolved);
        } else {
            doc = {{"path", *resolved}, {"api_version", "0004"}, {"cues", nlohmann::json::array()},
                   {"loops", nlohmann::json::array()}, {"flips", nlohmann::json::array()}};
        }
        // A document the encoder refuses (a number that is not finite) goes out empty, still "200 OK".
        respond(conn, "200 OK", json_body::encode(doc).value_or(std::string()), kJson);
    }

    void peaks(const std::shared_ptr<Conn>& conn, const std::string& q) {
        const auto path = http_head::queryValue("path", q);
        if (!path) return respondJson(conn, "400 Bad Request", {{"error", "missing path"}});
        const auto resolved = existingPath(*path);
        if (!resolved) return respondFileNotFound(conn, "peaks", path);
        const double center = decimalOrZero(http_head::queryValue("center", q));
        const double window = decimalOrZero(http_head::queryValue("window", q));
        const int columns = columnsOr1400(http_head::queryValue("columns", q));
        auto work = owner ? owner->payloads.peaks : nullptr;
        std::weak_ptr<Impl> weak = shared_from_this();
        peaksQueue.post([weak, conn, work, p = *resolved, columns, center, window] {
            auto self = weak.lock();
            if (!self) return;
            PeaksAnswer a = work ? work(p, columns, center, window)
                                 : PeaksAnswer{"500 Internal Server Error",
                                               json_body::encode({{"error", "decode failed"}, {"path", p}}).value_or("")};
            self->respond(conn, a.status, std::move(a.body), kJson);
        });
    }
};

DeckFileServer::DeckFileServer(platform::ServiceAdvertiser* advertiser, std::string serviceName,
                               platform::MainExecutor* main)
    : queue_(std::make_unique<platform::SerialQueue>("orv.filesrv")),
      peaksQueue_(std::make_unique<platform::SerialQueue>("plindo.peaks")) {
    impl_ = std::make_shared<Impl>(*this, queue_->context(), *queue_, *peaksQueue_);
    // sendfile has no MSG_NOSIGNAL: a phone that hangs up mid-download would raise SIGPIPE and end the
    // process. Blocked on the server's own thread, the write fails with EPIPE instead.
    queue_->sync([] {
        sigset_t pipe;
        sigemptyset(&pipe);
        sigaddset(&pipe, SIGPIPE);
        pthread_sigmask(SIG_BLOCK, &pipe, nullptr);
    });
    impl_->advertiser = advertiser;
    impl_->serviceName = std::move(serviceName);
    impl_->main = main;
}

DeckFileServer::~DeckFileServer() {
    stop();
    peaksQueue_->stop();  // peaks work still queued answers first
    queue_->sync([this] { impl_->owner = nullptr; });
    queue_->stop();
}

void DeckFileServer::start(int port) {
    std::shared_ptr<asio::ip::tcp::acceptor> a;
    {
        std::lock_guard lock(impl_->mutex);
        if (impl_->running) return;
        a = std::make_shared<asio::ip::tcp::acceptor>(impl_->io);
        std::error_code ec;
        if (port < 0 || port > 65535) ec = asio::error::invalid_argument;
        if (!ec)
            ec = openDualStack<asio::ip::tcp>(*a, static_cast<unsigned short>(port), [](auto& s, std::error_code& e) {
                s.set_option(asio::socket_base::reuse_address(true), e);
            });
        if (!ec) a->listen(asio::socket_base::max_listen_connections, ec);
        if (ec) {
            std::error_code ignored;
            a->close(ignored);
            // Outside the lock: the status callback may call back into the server.
            a.reset();
        } else {
            impl_->acceptor = a;
            impl_->running = true;
            impl_->port = a->local_endpoint().port();
        }
    }
    if (!a) {
        if (onStatus)
            onStatus("Track server: :" + std::to_string(port) +
                     " in use \u2014 companion media server is serving (ok, host steps back)");
        return;
    }
    const int bound = boundPort();
    if (impl_->advertiser) {
        auto reg = impl_->advertiser->advertise(impl_->serviceName, kServiceType, bound, onStatus);
        std::lock_guard lock(impl_->mutex);
        if (impl_->acceptor == a) impl_->registration = std::move(reg);
    }
    auto impl = impl_;
    queue_->post([impl, a, bound] {
        impl->status("Track server: :" + std::to_string(bound) + " /deck/stem (files served directly from the host)");
        impl->accept(a);
    });
}

void DeckFileServer::stop() { impl_->stopListener(); }

bool DeckFileServer::running() const {
    std::lock_guard lock(impl_->mutex);
    return impl_->running;
}

int DeckFileServer::boundPort() const {
    std::lock_guard lock(impl_->mutex);
    return impl_->port;
}

}  // namespace plindo::link
