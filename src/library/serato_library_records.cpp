#include "library/serato_library_records.h"

#include "platform/text.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <charconv>
#include <cmath>

namespace plindo::library::serato_records {

namespace {

constexpr size_t kHeader = 8;

std::string_view tagOf(const uint8_t* p) {
    for (int i = 0; i < 4; ++i)
        if (p[i] >= 0x80) return {};
    return {reinterpret_cast<const char*>(p), 4};
}

uint32_t be32(const uint8_t* p) {
    return (uint32_t(p[0]) << 24) | (uint32_t(p[1]) << 16) | (uint32_t(p[2]) << 8) | uint32_t(p[3]);
}

}  // namespace

bool walkRecords(Bytes range, const std::function<void(std::string_view, Bytes)>& action) {
    size_t at = 0;
    while (range.size() - at >= kHeader) {
        const uint8_t* h = range.data() + at;
        const size_t length = be32(h + 4);
        const size_t payloadStart = at + kHeader;
        if (length > range.size() - payloadStart) return false;
        action(tagOf(h), range.subspan(payloadStart, length));
        at = payloadStart + length;
    }
    return at == range.size();
}

std::string decodeText(Bytes payload) {
    std::optional<std::string> s = platform::text::fromUtf16BE(payload.data(), payload.size() & ~size_t(1));
    if (!s) return {};
    std::erase(*s, '\0');
    return std::move(*s);
}

std::string normalizePath(std::string path) {
    if (path.empty() || path[0] == '/' || (path.size() >= 2 && path[1] == ':')) return path;
    return "/" + path;
}

std::string trimLength(std::string len) {
    if (const size_t dot = len.find('.'); dot != std::string::npos) len.resize(dot);
    if (len.size() >= 5 && len[0] == '0') len.erase(0, 1);
    return len;
}

double parseLength(std::string_view len) {
    double value = 0;
    size_t start = 0;
    while (start <= len.size()) {
        size_t end = len.find(':', start);
        if (end == std::string_view::npos) end = len.size();
        const std::string_view piece = len.substr(start, end - start);
        if (!piece.empty()) {
            double v = 0;
            const auto [ptr, ec] = std::from_chars(piece.data(), piece.data() + piece.size(), v);
            // A piece counts only when the whole of it is a finite decimal number.
            if (ec == std::errc() && ptr == piece.data() + piece.size() && std::isfinite(v)) value = value * 60 + v;
        }
        start = end + 1;
    }
    return std::isfinite(value) ? value : 0.0;
}

DatabaseRead parseDatabase(Bytes file) {
    DatabaseRead out;
    out.damaged = !walkRecords(file, [&](std::string_view tag, Bytes payload) {
        if (tag != "otrk") return;
        DatabaseTrack t;
        const bool whole = walkRecords(payload, [&](std::string_view inner, Bytes p) {
            if (inner == "pfil") t.path = normalizePath(decodeText(p));
            else if (inner == "tsng") t.title = decodeText(p);
            else if (inner == "tart") t.artist = decodeText(p);
            else if (inner == "tbpm") t.bpm = decodeText(p);
            else if (inner == "tkey") t.key = decodeText(p);
            else if (inner == "tlen") t.len = decodeText(p);
            else if (inner == "talb") t.album = decodeText(p);
        });
        if (!whole) out.damaged = true;
        out.tracks.push_back(std::move(t));
    }) || out.damaged;
    return out;
}

CrateRead parseCrate(Bytes file) {
    CrateRead out;
    out.damaged = !walkRecords(file, [&](std::string_view tag, Bytes payload) {
        if (tag != "otrk") return;
        const bool whole = walkRecords(payload, [&](std::string_view inner, Bytes p) {
            if (inner == "ptrk") out.paths.push_back(normalizePath(decodeText(p)));
        });
        if (!whole) out.damaged = true;
    }) || out.damaged;
    return out;
}

std::optional<std::vector<uint8_t>> readFile(const std::string& path, size_t maxBytes, spdlog::logger& log) {
    // Non-blocking, so that a FIFO named like a library file cannot hold the open until a writer comes.
    const int fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) return std::nullopt;
    struct Closer {
        int fd;
        ~Closer() { ::close(fd); }
    } closer{fd};
    struct stat st {};
    if (::fstat(fd, &st) != 0) return std::nullopt;
    if (!S_ISREG(st.st_mode)) {
        log.warn("{} is not a regular file; not read", path);
        return std::nullopt;
    }
    if (static_cast<uint64_t>(st.st_size) > maxBytes) {
        log.warn("{} holds {} bytes, more than the {} read at most; not read", path, st.st_size, maxBytes);
        return std::nullopt;
    }
    std::vector<uint8_t> bytes;
    bytes.reserve(static_cast<size_t>(st.st_size));
    uint8_t buf[1 << 16];
    for (;;) {
        const ssize_t got = ::read(fd, buf, sizeof buf);
        if (got < 0 && errno == EINTR) continue;
        if (got < 0) return std::nullopt;
        if (got == 0) break;
        // The file may grow while it is read.
        if (static_cast<size_t>(got) > maxBytes - bytes.size()) {
            log.warn("{} grew past the {} bytes read at most; not read", path, maxBytes);
            return std::nullopt;
        }
        bytes.insert(bytes.end(), buf, buf + got);
    }
    return bytes;
}

}  // namespace plindo::library::serato_records
