// The track server's routes: the route table, the file and library answers, and the entry checks of the
// payload routes.
#include "link/deck_file_server_impl.h"
#include "link/json_body.h"
#include "platform/path_names.h"
#include "platform/text.h"
#include "platform/url.h"

#include <fcntl.h>
#include <sys/stat.h>

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstdlib>
#include <limits>
#include <set>
#include <tuple>

namespace plindo::link {

namespace {

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
// in the other form. Bytes that are no UTF-8 have no normal forms (ICU would make them name other files). A
// path in the listed form of such bytes names them too.
std::vector<std::string> unicodeForms(const std::string& path) {
    std::vector<std::string> forms{path};
    if (path.empty() || path.find('\0') != std::string::npos) return forms;
    if (!platform::text::isValidUtf8(path)) return forms;
    for (std::string f : {platform::text::nfd(path), platform::text::nfc(path)}) {
        if (std::find(forms.begin(), forms.end(), f) == forms.end()) forms.push_back(std::move(f));
    }
    if (auto bytes = platform::nameFromListing(path)) forms.push_back(std::move(*bytes));
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

// The one judgement of every route that reads a track by path: the form of the path (as given, NFD or NFC)
// that carries an audio extension and leads, through any links, to a regular file that carries one too.
std::optional<std::string> trackPath(const std::string& path) {
    if (!streamable(path)) return std::nullopt;
    for (const auto& form : unicodeForms(path)) {
        const auto real = realPath(form);
        if (real && streamable(*real) && kindOf(*real) == Kind::Regular) return form;
    }
    return std::nullopt;
}

std::vector<std::string> listed(const std::vector<std::string>& names) {
    std::vector<std::string> out;
    out.reserve(names.size());
    for (const auto& n : names) out.push_back(platform::listedName(n));
    return out;
}

}  // namespace

std::optional<std::string> DeckFileServer::existingPath(const std::string& path) {
    for (const auto& form : unicodeForms(path)) {
        if (kindOf(form) == Kind::Regular) return form;
    }
    return std::nullopt;
}

std::string DeckFileServer::namedPath(const std::string& path) {
    if (kindOf(path) != Kind::Missing) return path;
    auto bytes = platform::nameFromListing(path);
    return bytes && kindOf(*bytes) != Kind::Missing ? std::move(*bytes) : path;
}

void DeckFileServer::Impl::route(const ConnPtr& conn, const std::string& head) {
    log().info("req {} {}", conn->peer, http_head::logTarget(head));
    const auto req = http_head::parse(head);
    // A target with a malformed escape is never routed: decoded some other way it could name another file.
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

void DeckFileServer::Impl::closeControl() {
    std::vector<std::weak_ptr<ControlCall>> calls;
    {
        std::lock_guard lock(controlMutex);
        controlClosed = true;
        calls.swap(controlCalls);
    }
    for (auto& w : calls) {
        if (auto c = w.lock(); c && settle(*c, false)) {
            if (auto conn = c->conn.lock()) respondJson(conn, "200 OK", {{"error", "busy"}});
        }
    }
}

void DeckFileServer::Impl::openControl() {
    std::lock_guard lock(controlMutex);
    controlClosed = false;
}

bool DeckFileServer::Impl::settle(ControlCall& call, bool byMain) {
    std::lock_guard g(call.m);
    if (call.done || call.abandoned) return false;
    (byMain ? call.done : call.abandoned) = true;
    return true;
}

void DeckFileServer::Impl::control(const ConnPtr& conn, const std::string& q) {
    const auto params = http_head::queryItems(q);
    const auto cmdIt = params.find("cmd");
    const std::string cmd = cmdIt == params.end() ? "state" : cmdIt->second;
    auto handler = owner ? owner->onControl : nullptr;
    if (!handler || !main) return respondJson(conn, "200 OK", {{"error", "no handler"}});
    auto call = std::make_shared<ControlCall>();
    call->conn = conn;
    {
        std::lock_guard lock(controlMutex);
        if (controlClosed) return respondJson(conn, "200 OK", {{"error", "busy"}});
        std::erase_if(controlCalls, [](const auto& w) { return w.expired(); });
        controlCalls.push_back(call);
    }
    std::weak_ptr<Impl> weak = shared_from_this();
    main->post([gate = gate, weak, call, handler, cmd, params, loopback = conn->loopback] {
        {
            std::lock_guard g(call->m);
            if (call->abandoned) return;
        }
        // The answer may come later (a library read lands on main first). Server and connection are taken up
        // only on the server's queue: the connection's last owner must let it go while the queue lives.
        handler(cmd, params, loopback, [gate, weak, call](nlohmann::json answer) {
            gate->post([weak, call, answer = std::move(answer)] {
                auto self = weak.lock();
                if (!self || !settle(*call, true)) return;
                if (auto conn = call->conn.lock()) self->respondJson(conn, "200 OK", answer);
            });
        });
    });
    // The connection's own timer: idle while the answer is awaited, re-armed once it is sent.
    const double wait = owner ? owner->controlWaitSec : kControlWaitSec;
    conn->timer.expires_after(
        std::chrono::duration_cast<std::chrono::steady_clock::duration>(std::chrono::duration<double>(wait)));
    conn->timer.async_wait([self = shared_from_this(), call](const std::error_code& ec) {
        if (ec || !settle(*call, false)) return;
        if (auto conn = call->conn.lock()) self->respondJson(conn, "200 OK", {{"error", "busy"}});
    });
}

void DeckFileServer::Impl::file(const ConnPtr& conn, const std::string& q) {
    const auto path = http_head::queryValue("path", q);
    const auto track = path ? openTrack(*path) : std::nullopt;
    if (!track) return respondFileNotFound(conn, "stem", path);
    respondFile(conn, track->fd, track->size);
}

void DeckFileServer::Impl::crates(const ConnPtr& conn) {
    std::vector<std::string> serato;
    if (owner && owner->payloads.seratoCrateNames) serato = owner->payloads.seratoCrateNames();
    std::vector<std::string> folder;
    if (owner && owner->onFolderCrates) folder = owner->onFolderCrates();
    const bool seratoRunning = owner && owner->onSeratoRunning ? owner->onSeratoRunning() : false;
    respondJson(conn, "200 OK",
                {{"ready", true},
                 {"crates", serato},
                 {"seratoCrates", serato},
                 {"folderCrates", listed(folder)},
                 {"hasSerato", !serato.empty()},
                 {"seratoRunning", seratoRunning}});
}

std::vector<TrackEntry> DeckFileServer::Impl::libraryTracks(const std::string& q) {
    const std::string src = http_head::queryValue("src", q).value_or("serato");
    std::string crate = http_head::queryValue("crate", q).value_or("");
    auto all = [this] {
        return owner && owner->payloads.seratoAllTracks ? owner->payloads.seratoAllTracks() : std::vector<TrackEntry>{};
    };
    if (crate.empty()) return all();
    if (crate.rfind("Plindo%%", 0) == 0) crate = crate.substr(8);
    if (crate == "Plindo" || crate.empty()) return all();
    if (src == "folder") {
        if (!owner || !owner->onFolderCrateTracks) return {};
        auto list = owner->onFolderCrateTracks(crate);
        // A folder whose name is no UTF-8 comes back in its listed form.
        if (const auto bytes = platform::nameFromListing(crate); list.empty() && bytes) list = owner->onFolderCrateTracks(*bytes);
        return list;
    }
    return owner && owner->payloads.seratoCrateTracks ? owner->payloads.seratoCrateTracks(crate) : std::vector<TrackEntry>{};
}

void DeckFileServer::Impl::tracks(const ConnPtr& conn, const std::string& q) {
    const auto list = libraryTracks(q);
    nlohmann::json arr = nlohmann::json::array();
    // The name is for display only (the encoder repairs it); the path must lead back to the file.
    for (const auto& t : list) arr.push_back({{"path", platform::listedName(t.path)}, {"name", t.name}});
    respondJson(conn, "200 OK", {{"ready", true}, {"count", list.size()}, {"tracks", std::move(arr)}});
}

void DeckFileServer::Impl::tags(const ConnPtr& conn, const std::string& q) {
    const auto path = http_head::queryValue("path", q);
    if (!path) return respondJson(conn, "400 Bad Request", {{"error", "missing path"}});
    std::optional<TrackNames> names;
    // Only tracks are read: a FIFO or a device would hang or flood the tag reader, and any other file is
    // none of a phone's business.
    const auto track = trackPath(*path);
    if (track && owner && owner->payloads.tagNames) names = owner->payloads.tagNames(*track);
    TrackNames t = names.value_or(TrackNames{});
    if (t.artist.empty() && t.title.empty()) t = namesFromFileName(namedPath(*path));
    respondJson(conn, "200 OK", {{"path", platform::listedName(*path)}, {"artist", t.artist}, {"title", t.title}});
}

void DeckFileServer::Impl::coverArt(const ConnPtr& conn, const std::string& q) {
    const auto asked = http_head::queryValue("path", q);
    const auto path = asked ? std::optional(namedPath(*asked)) : std::nullopt;
    const Kind kind = path ? kindOf(*path) : Kind::Missing;
    if (kind == Kind::Missing || kind == Kind::Other) return respond(conn, "404 Not Found", "no path / not file", kText);
    std::optional<std::string> art;
    const auto track = kind == Kind::Regular ? trackPath(*path) : std::nullopt;
    if (kind == Kind::Regular && !track) return respond(conn, "404 Not Found", "no path / not file", kText);
    if (track && owner && owner->payloads.embeddedArtwork) art = owner->payloads.embeddedArtwork(*track);
    if (!art || art->empty()) return respond(conn, "404 Not Found", "no embedded art", kText);
    const std::string type = contentTypeOfPicture(*art);
    respond(conn, "200 OK", std::move(*art), type);
}

void DeckFileServer::Impl::meta(const ConnPtr& conn, const std::string& q) {
    const auto path = http_head::queryValue("path", q);
    if (!path) return respondJson(conn, "400 Bad Request", {{"error", "missing path"}});
    const auto resolved = trackPath(*path);
    if (!resolved) return respondFileNotFound(conn, "meta", path);
    nlohmann::json doc;
    if (owner && owner->payloads.deckMeta) {
        doc = owner->payloads.deckMeta(*resolved);
    } else {
        doc = {{"path", *resolved}, {"api_version", "0004"}, {"cues", nlohmann::json::array()},
               {"loops", nlohmann::json::array()}, {"flips", nlohmann::json::array()}};
    }
    if (doc.is_object()) doc["path"] = platform::listedName(*resolved);
    // A document the encoder refuses (a number that is not finite) goes out empty, still "200 OK".
    respond(conn, "200 OK", json_body::encode(doc).value_or(std::string()), kJson);
}

void DeckFileServer::Impl::peaks(const ConnPtr& conn, const std::string& q) {
    const auto path = http_head::queryValue("path", q);
    if (!path) return respondJson(conn, "400 Bad Request", {{"error", "missing path"}});
    const auto resolved = trackPath(*path);
    if (!resolved) return respondFileNotFound(conn, "peaks", path);
    PeaksWaiter waiter{conn, columnsOr1400(http_head::queryValue("columns", q)),
                       decimalOrZero(http_head::queryValue("center", q)),
                       decimalOrZero(http_head::queryValue("window", q))};
    // A zoom or scroll over a track already analysed is answered at once: it takes no place and waits for no
    // analysis.
    if (owner && owner->payloads.cachedPeaks) {
        if (auto a = owner->payloads.cachedPeaks(*resolved, waiter.columns, waiter.center, waiter.window))
            return respond(conn, a->status, std::move(a->body), kJson);
    }
    std::optional<double> cost;
    if (owner && owner->payloads.peaksSeconds) cost = owner->payloads.peaksSeconds(*resolved);
    const double seconds = cost && *cost >= 0 ? *cost : std::numeric_limits<double>::infinity();
    bool admitted = true;
    std::vector<PeaksWaiter> refused;
    std::vector<size_t> lanes;
    {
        std::lock_guard lock(peaksMutex);
        // Paths whose every waiter hung up leave at once (running work stops by itself), so that abandoned
        // work never keeps honest requests out.
        std::erase_if(peaksJobs, [](const auto& job) {
            return !job.second.running && std::all_of(job.second.waiters.begin(), job.second.waiters.end(),
                                                      [](const PeaksWaiter& x) { return x.conn->gone.load(); });
        });
        if (auto it = peaksJobs.find(*resolved); it != peaksJobs.end()) {
            it->second.waiters.push_back(std::move(waiter));
        } else if ((admitted = admitPeaks(*resolved, conn->peer, seconds, refused))) {
            peaksJobs[*resolved].waiters.push_back(std::move(waiter));
            lanes = wakeLanes(seconds);
        }
    }
    for (const auto& w : refused) {
        log().warn("peaks busy: {} gives its place up to a shorter track", w.conn->peer);
        respondJson(w.conn, "503 Service Unavailable", {{"error", "busy"}});
    }
    if (!admitted) {
        log().warn("peaks busy: {} tracks waited for, or {} of them by {}", kMaxPeaksPaths, kMaxPeaksPathsPerPeer, conn->peer);
        return respondJson(conn, "503 Service Unavailable", {{"error", "busy"}});
    }
    // A client that hangs up while it waits is noticed at once, so that its work can be dropped.
    drain(conn);
    std::weak_ptr<Impl> weak = shared_from_this();
    for (size_t lane : lanes) {
        peaksLanes[lane]->post([weak, lane] {
            if (auto self = weak.lock()) self->runLane(lane);
        });
    }
}

bool DeckFileServer::Impl::admitPeaks(const std::string& path, const std::string& peer, double seconds,
                                      std::vector<PeaksWaiter>& refused) {
    std::map<std::string, size_t> held;
    for (const auto& [p, job] : peaksJobs) ++held[job.owner];
    const size_t mine = held[peer];
    const bool atCap = mine >= kMaxPeaksPathsPerPeer;
    if (atCap || peaksJobs.size() >= kMaxPeaksPaths) {
        // The place of the longest waiting track longer than this one: among the client's own when it is at
        // its cap, else among those of clients holding more places than this one would.
        auto victim = peaksJobs.end();
        for (auto it = peaksJobs.begin(); it != peaksJobs.end(); ++it) {
            const PeaksJob& job = it->second;
            const bool mayGive = atCap ? job.owner == peer : held[job.owner] > mine + 1;
            if (job.running || !mayGive || !(job.seconds > seconds)) continue;
            if (victim == peaksJobs.end() || job.seconds > victim->second.seconds) victim = it;
        }
        if (victim == peaksJobs.end()) return false;
        refused = std::move(victim->second.waiters);
        peaksJobs.erase(victim);
    }
    PeaksJob& job = peaksJobs[path];
    job.owner = peer;
    job.seconds = seconds;
    job.arrival = ++peaksArrivals;
    return true;
}

std::vector<size_t> DeckFileServer::Impl::wakeLanes(double seconds) {
    std::vector<size_t> out;
    for (size_t lane = 0; lane < laneAwake.size(); ++lane) {
        if (laneAwake[lane] || (lane == 1 && !(seconds <= kQuickPeaksSec))) continue;
        laneAwake[lane] = true;
        out.push_back(lane);
    }
    return out;
}

void DeckFileServer::Impl::runLane(size_t lane) {
    for (;;) {
        std::string path;
        {
            std::lock_guard lock(peaksMutex);
            auto next = peaksJobs.end();
            for (auto it = peaksJobs.begin(); it != peaksJobs.end() && !peaksStopping; ++it) {
                const PeaksJob& job = it->second;
                if (job.running || (lane == 1 && !(job.seconds <= kQuickPeaksSec))) continue;
                if (next == peaksJobs.end() || std::tie(job.seconds, job.arrival) < std::tie(next->second.seconds, next->second.arrival))
                    next = it;
            }
            if (next == peaksJobs.end()) {
                laneAwake[lane] = false;
                return;
            }
            next->second.running = true;
            path = next->first;
        }
        runPeaks(path);
    }
}

void DeckFileServer::Impl::runPeaks(const std::string& path) {
    auto work = owner ? owner->payloads.peaks : nullptr;
    for (;;) {
        PeaksWaiter w;
        {
            std::lock_guard lock(peaksMutex);
            auto it = peaksJobs.find(path);
            if (it == peaksJobs.end()) return;
            auto& waiters = it->second.waiters;
            std::erase_if(waiters, [](const PeaksWaiter& x) { return x.conn->gone.load(); });
            if (waiters.empty() || peaksStopping) {
                peaksJobs.erase(it);
                return;
            }
            w = std::move(waiters.front());
            waiters.erase(waiters.begin());
        }
        // Later waiters of the same path find the envelope cached and are answered quickly.
        const auto cancelled = [this, &w, &path] {
            if (!w.conn->gone.load()) return peaksStoppingNow();
            std::lock_guard lock(peaksMutex);
            if (peaksStopping) return true;
            auto it = peaksJobs.find(path);
            return it == peaksJobs.end() || std::all_of(it->second.waiters.begin(), it->second.waiters.end(),
                                                        [](const PeaksWaiter& x) { return x.conn->gone.load(); });
        };
        PeaksAnswer a = work ? work(path, w.columns, w.center, w.window, cancelled)
                             : PeaksAnswer{"500 Internal Server Error",
                                           json_body::encode({{"error", "decode failed"}, {"path", path}}).value_or("")};
        if (!w.conn->gone.load()) respond(w.conn, a.status, std::move(a.body), kJson);
    }
}

bool DeckFileServer::Impl::peaksStoppingNow() {
    std::lock_guard lock(peaksMutex);
    return peaksStopping;
}

void DeckFileServer::Impl::stopPeaks() {
    std::lock_guard lock(peaksMutex);
    peaksStopping = true;
}

}  // namespace plindo::link
