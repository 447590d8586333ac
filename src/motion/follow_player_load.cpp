// Loading a track into a deck player: fetch the file (this host's or another host's track server over HTTP,
// else straight from a peer's track server), decode it whole in the background, and install it on the main
// thread unless a newer load or an unload has overtaken this one.
#include "motion/decode_audio_file.h"
#include "motion/follow_player.h"
#include "platform/http_client.h"
#include "platform/log.h"
#include "platform/path_names.h"
#include "platform/temp_files.h"
#include "platform/uuid.h"
#include "platform/url.h"

#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <string_view>
#include <thread>

namespace plindo::motion {

namespace {

// The peer fetch's one time limit.
constexpr double kPeerFetchTimeoutSec = 12.0;
// An HTTP download that receives nothing for this long gives up.
constexpr double kDownloadIdleSec = 60.0;
constexpr double kFallbackDecodeRate = 48000.0;
// Bytes a decoded frame takes: two channels of 32-bit floats.
constexpr double kBytesPerFrame = 2 * sizeof(float);
// Share of the memory this process may use that one deck's decoded track may take: both decks together
// stay under half, and the program, its libraries and the waveform analyses keep the rest.
constexpr double kDeckMemoryShare = 1.0 / 4;
// A decode that ends below this share of the header's length (and a second or more short) read a damaged file.
constexpr double kDamagedShare = 0.9;
constexpr double kDamagedMinGapSec = 1.0;

spdlog::logger& log() { return platform::logger("follow-load"); }

std::string streamRequest(const std::string& path) {
    return "/audio/stream?path=" + platform::percentEncodeQueryValue(path);
}

struct Fetched {
    std::optional<std::string> file;
    std::string error;
};

// Why a track of this host cannot be had from its disk, when it cannot: none while it lies there unchanged.
using OwnFileCheck = std::function<std::optional<std::string>()>;

// This host's own or the given track server over HTTP first; any failure there falls back to the peer fetch,
// whose error is the one the user sees. A track that lay on this disk as the load began and has gone or
// changed since is not asked of other hosts: that is said at once.
Fetched fetchTrackFile(const std::optional<std::string>& url, const std::string& path,
                       const std::optional<std::string>& server, const std::string& fileName,
                       const FollowPlayer::PeerFetch& peerFetch, const OwnFileCheck& ownFileGone) {
    if (url) {
        const std::string file = platform::tempFolder() + "/" + platform::randomUuid() + "-" + platform::safeFileNameTail(fileName);
        if (platform::httpDownloadToFile(*url, file, kDownloadIdleSec).ok) return {file, {}};
    }
    if (ownFileGone) {
        if (auto why = ownFileGone()) return {std::nullopt, *why};
    }
    if (!peerFetch) return {std::nullopt, "no file service found (none advertised)"};
    auto got = peerFetch(streamRequest(path), server, fileName, kPeerFetchTimeoutSec);
    return {std::move(got.path), std::move(got.error)};
}

}  // namespace

struct FollowPlayer::LoadLink {
    std::mutex mutex;  // held while a background load calls into the player, and by the player's release
    FollowPlayer* player = nullptr;
    std::atomic<bool> gone{false};  // the player was released: decodes in flight stop at their next block
};

namespace {

// At most this much of a file under /proc or /sys is read: the files read here are a line or a few.
constexpr std::streamsize kControlFileMax = 64 * 1024;

std::string readControlFile(const std::string& path, std::streamsize max) {
    std::ifstream file(path, std::ios::binary);
    std::string text(static_cast<size_t>(max), '\0');
    file.read(text.data(), max);
    text.resize(static_cast<size_t>(std::max<std::streamsize>(file.gcount(), 0)));
    return text;
}

// A memory limit file: one number of bytes and a line end. "max" (none), anything else, and 0 (no group
// can hold a process with none) set nothing.
std::optional<uint64_t> limitIn(const std::string& path) {
    constexpr std::streamsize kLongest = 32;  // 2^64 has 20 digits
    std::string text = readControlFile(path, kLongest);
    if (text.size() >= static_cast<size_t>(kLongest)) return std::nullopt;
    while (!text.empty() && (text.back() == '\n' || text.back() == ' ')) text.pop_back();
    uint64_t bytes = 0;
    const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), bytes);
    if (ec != std::errc() || end != text.data() + text.size() || bytes == 0) return std::nullopt;
    return bytes;
}

// Every group on the way from the root down to `group` limits the ones below it: the lowest limit counts.
// Inside a container the root is often the container's own group, so it is read too.
std::optional<uint64_t> lowestLimitOnTheWay(const std::string& root, const std::string& group, const char* fileName) {
    if (group.find("..") != std::string::npos) return std::nullopt;
    std::optional<uint64_t> lowest;
    const auto limitAt = [&](const std::string& dir) {
        const auto bytes = limitIn(root + dir + "/" + fileName);
        if (bytes && (!lowest || *bytes < *lowest)) lowest = bytes;
    };
    limitAt("");
    std::string dir;
    for (size_t at = 0; at < group.size();) {
        const size_t next = std::min(group.find('/', at), group.size());
        if (next > at) {
            dir += "/" + group.substr(at, next - at);
            limitAt(dir);
        }
        at = next + 1;
    }
    return lowest;
}

bool listsMemory(std::string_view controllers) {
    for (size_t at = 0; at <= controllers.size();) {
        const size_t next = std::min(controllers.find(',', at), controllers.size());
        if (controllers.substr(at, next - at) == "memory") return true;
        at = next + 1;
    }
    return false;
}

}  // namespace

std::optional<uint64_t> FollowPlayer::cgroupMemoryMax(const MemorySources& from) {
    // Lines are "id:controllers:path": "0::/path" in the unified hierarchy, "4:memory:/path" (or a comma
    // list holding "memory") for the older layout's memory controller. A hybrid host has both.
    std::optional<std::string> unified, legacy;
    const std::string self = readControlFile(from.selfCgroup, kControlFileMax);
    for (size_t at = 0; at < self.size();) {
        const size_t end = std::min(self.find('\n', at), self.size());
        const std::string_view line(self.data() + at, end - at);
        at = end + 1;
        const size_t first = line.find(':');
        const size_t second = first == std::string_view::npos ? first : line.find(':', first + 1);
        if (second == std::string_view::npos) continue;
        const std::string path(line.substr(second + 1));
        const std::string_view controllers = line.substr(first + 1, second - first - 1);
        if (line.substr(0, first) == "0" && controllers.empty()) {
            if (!unified) unified = path;
        } else if (listsMemory(controllers) && !legacy) {
            legacy = path;
        }
    }
    std::optional<uint64_t> lowest;
    const auto take = [&](std::optional<uint64_t> bytes) {
        if (bytes && (!lowest || *bytes < *lowest)) lowest = bytes;
    };
    if (unified) take(lowestLimitOnTheWay(from.unifiedRoot, *unified, "memory.max"));
    if (legacy) take(lowestLimitOnTheWay(from.legacyRoot, *legacy, "memory.limit_in_bytes"));
    return lowest;
}

uint64_t FollowPlayer::processMemoryBytes(const MemorySources& from) {
    uint64_t physical = 0;
    if (from.physicalBytes) {
        physical = *from.physicalBytes;
    } else {
        const long pages = ::sysconf(_SC_PHYS_PAGES);
        const long pageSize = ::sysconf(_SC_PAGE_SIZE);
        if (pages > 0 && pageSize > 0) physical = static_cast<uint64_t>(pages) * static_cast<uint64_t>(pageSize);
    }
    // The older layout's "no limit" is a number near 2^63: physical memory is lower and counts.
    const auto limit = cgroupMemoryMax(from);
    return limit && (physical == 0 || *limit < physical) ? *limit : physical;
}

namespace {
std::string bytesText(double bytes) {
    char text[64];
    if (bytes >= 1e9)
        std::snprintf(text, sizeof text, "%.1f GB", bytes / 1e9);
    else if (bytes >= 1e6)
        std::snprintf(text, sizeof text, "%.0f MB", bytes / 1e6);
    else
        std::snprintf(text, sizeof text, "%.0f kB", bytes / 1e3);
    return text;
}

// What is known of a file on this host's disk, to tell whether it changed.
struct FileStamp {
    bool exists = false;
    off_t size = 0;
    int64_t mtimeNs = 0;
    bool operator==(const FileStamp&) const = default;
};

FileStamp stampOf(const std::string& path) {
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) return {};
    return {true, st.st_size, static_cast<int64_t>(st.st_mtim.tv_sec) * 1000000000 + st.st_mtim.tv_nsec};
}

// The player, if it still exists. The main-thread steps run where the player is released too, so they use it
// without holding the lock (and its callbacks may start another load).
FollowPlayer* playerOf(FollowPlayer::LoadLink& link) {
    std::lock_guard lock(link.mutex);
    return link.player;
}
}  // namespace

FollowPlayer::LoadAnchor::LoadAnchor() : link(std::make_shared<LoadLink>()) {}

void FollowPlayer::postCollect() {
    if (!loadMain) return;  // the next install, unload or the owner's call collects
    {
        std::lock_guard g(retireLock_);
        if (collectPosted_ || retired_.empty()) return;
        collectPosted_ = true;
    }
    auto link = loadAnchor_.link;
    {
        std::lock_guard lock(link->mutex);
        link->player = this;
    }
    loadMain->post([link] {
        FollowPlayer* p = playerOf(*link);
        if (!p) return;
        {
            std::lock_guard g(p->retireLock_);
            p->collectPosted_ = false;
        }
        p->collectRetired();
        // The callback in flight takes microseconds; if it still runs, look again on a later turn.
        if (p->retiredCount() > 0) {
            std::this_thread::yield();
            p->postCollect();
        }
    });
}

FollowPlayer::LoadAnchor::~LoadAnchor() {
    link->gone = true;
    std::lock_guard lock(link->mutex);
    link->player = nullptr;
}

void FollowPlayer::unload() {
    if (loadedPath.empty() && !table.read()) return;
    loadedPath.clear();
    ++loadGen;
    retire(table.replace(nullptr));
    anchor.cell.update([](AnchorCell::Snap& s) { s.valid = false; });
}

void FollowPlayer::load(const std::string& path, const HostConfig& config, const std::optional<std::string>& base,
                        const std::optional<std::string>& server, TrackHome home) {
    if (path.empty() || path == loadedPath) return;
    loadedPath = path;
    const int gen = ++loadGen;
    retire(table.replace(nullptr));
    anchor.cell.update([](AnchorCell::Snap& s) { s.valid = false; });

    std::optional<std::string> url;
    if (base) {
        const std::string candidate = *base + "/audio/stream";
        if (platform::parseHttpUrl(candidate)) url = candidate + "?path=" + platform::percentEncodeQueryValue(path);
    } else {
        url = config.audioStreamURL(path);
    }
    const std::string fileName = platform::lastPathComponent(path);
    std::string ext = platform::pathExtension(fileName);
    if (ext.empty()) ext = "wav";
    if (onStatus) onStatus("Deck loading " + fileName + " \u2026");
    log().info("load start: {} base={} server={}", fileName, base.value_or("nil"), server.value_or("nil"));
    const double rate = out && out->sampleRate > 0 ? out->sampleRate : kFallbackDecodeRate;
    const std::optional<uint64_t> memory = memoryBytes;
    const std::string deckName = deckNumber > 0 ? "Deck " + std::to_string(deckNumber) : std::string("Deck");

    auto link = loadAnchor_.link;
    {
        std::lock_guard lock(link->mutex);
        link->player = this;
    }
    // The load outlives neither side: a result goes to main only while the player (and so the owner that
    // keeps `loadMain` alive) still exists, and the player's release waits for a post under way.
    platform::MainExecutor* main = loadMain;
    auto onMain = [main, link](std::function<void()> f) {
        if (!main) return f();
        std::lock_guard lock(link->mutex);
        if (link->player) main->post(std::move(f));
    };

    std::thread([link, onMain, url, path, server, fileName, ext, rate, gen, memory, deckName, home, fetch = peerFetch] {
        auto fail = [&](const std::string& error) {
            if (link->gone) return;  // the player was released: nobody is left to tell
            const std::string message = "Load failed: " + error;
            onMain([link, gen, message] {
                FollowPlayer* p = playerOf(*link);
                if (!p || p->loadGen != gen) return;
                p->loadedPath.clear();
                log().error("{}", message);
                if (p->onStatus) p->onStatus(message);
                if (p->onLoadFailed) p->onLoadFailed();
            });
        };

        // Only a track that lies on this disk as its load starts can go or change under it; a path that is
        // not here is another host's and is asked of the others like any such track.
        OwnFileCheck ownFileGone;
        const FileStamp before = home == TrackHome::ThisHost ? stampOf(path) : FileStamp{};
        if (before.exists) {
            ownFileGone = [path, before]() -> std::optional<std::string> {
                const FileStamp now = stampOf(path);
                if (!now.exists) return "file not found";
                if (now != before) return "file changed while loading";
                return std::nullopt;
            };
        }
        const Fetched fetched = fetchTrackFile(url, path, server, fileName, fetch, ownFileGone);
        if (!fetched.file) return fail(fetched.error);

        // Give the file the track's extension: the decoder goes by it.
        namespace fs = std::filesystem;
        fs::path target = fs::path(*fetched.file).replace_extension(ext);
        if (target != fs::path(*fetched.file)) {
            std::error_code ec;
            fs::remove(target, ec);
            std::error_code renameError;
            fs::rename(*fetched.file, target, renameError);
            if (renameError) {
                fs::remove(*fetched.file, ec);  // never leave the download behind
                return fail(renameError.message());
            }
        }
        // A track too large to hold is refused before decoding where its header tells the length, and
        // stopped where it does not.
        const double processBytes = static_cast<double>(memory ? *memory : processMemoryBytes());
        const double deckBytes = processBytes > 0 ? processBytes * kDeckMemoryShare : HUGE_VAL;
        const double limitSec = deckBytes / (rate * kBytesPerFrame);
        const std::string room = ", at most " + bytesText(deckBytes) + " per deck on this machine";
        const std::optional<double> headerSec = audioFileSeconds(target.string());
        std::optional<double> promisedSec = pcmFileHeaderSeconds(target.string());
        if (!promisedSec) promisedSec = headerSec;
        std::error_code ignored;
        if (headerSec && *headerSec > limitSec) {
            fs::remove(target, ignored);
            return fail("track too long: needs " + bytesText(*headerSec * rate * kBytesPerFrame) + room);
        }
        DecodeResult decoded = decodeAudioFile(target.string(), [&link] { return link->gone.load(); }, rate, limitSec);
        fs::remove(target, ignored);
        if (link->gone) return;
        if (!decoded) {
            if (decoded.error && decoded.error->domain == "cancelled") return;  // nobody is left to tell
            if (decoded.error && decoded.error->tooLong()) return fail("track too long: needs more than " + bytesText(deckBytes) + room);
            return fail(decoded.error ? decoded.error->message : "decoding failed");
        }
        const double seconds = static_cast<double>(decoded.stem->left.size()) / rate;
        // Silence standing in for frames that could not be read is not readable audio.
        const double readable = static_cast<double>(decoded.stem->left.size() - std::min(decoded.silentFrames, decoded.stem->left.size())) / rate;
        std::optional<std::string> damaged;
        if (promisedSec && readable < kDamagedShare * *promisedSec && *promisedSec - readable >= kDamagedMinGapSec) {
            char line[160];
            std::snprintf(line, sizeof line, ": track damaged, %.1f s of %.0f s readable", readable, *promisedSec);
            damaged = deckName + line;
        }

        // Every decode is told, also one a newer load has overtaken, on main like the install.
        onMain([link, gen, stem = decoded.stem, fileName, rate, seconds, damaged] {
            FollowPlayer* p = playerOf(*link);
            if (!p) return;
            if (p->onDecoded) p->onDecoded(stem, fileName);
            if (p->loadGen != gen) return;
            p->install(stem, gen);
            log().info("load ok: {} {} s", fileName, static_cast<long>(seconds));
            if (damaged) {
                log().warn("{}: {}", fileName, *damaged);
                if (p->onStatus) p->onStatus(*damaged);
            } else if (p->onStatus) {
                char line[512];
                std::snprintf(line, sizeof line, "Deck ready: %s (%.0f s @ %.0f kHz)", fileName.c_str(), seconds, rate / 1000.0);
                p->onStatus(line);
            }
            if (p->onLoaded) p->onLoaded();
        });
    }).detach();
}

}  // namespace plindo::motion
