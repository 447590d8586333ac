#include "library/library_scan.h"

#include "library/serato_library_records.h"
#include "platform/log.h"
#include "platform/path_names.h"
#include "platform/text.h"

#include <algorithm>
#include <array>
#include <filesystem>
#include <functional>
#include <set>

namespace plindo::library {

namespace fs = std::filesystem;

namespace {

constexpr std::string_view kSeparator = "%%";
constexpr std::string_view kPlaylistPrefix = "Playlists%%";

bool isPlaylistExtension(std::string_view extension) {
    const std::string e = platform::text::asciiLower(extension);
    return e == "m3u" || e == "m3u8";
}

bool isHidden(const std::string& fileName) { return !fileName.empty() && fileName[0] == '.'; }

struct Entry {
    std::string name;
    fs::path path;
    bool descend;  // a real folder, not a link to one
};

// The visible entries of one folder sorted by name (so walks are repeatable); empty when unreadable.
std::vector<Entry> visibleEntries(const fs::path& folder) {
    std::vector<Entry> out;
    std::error_code ec;
    fs::directory_iterator it(folder, fs::directory_options::skip_permission_denied, ec);
    if (ec) return out;
    for (const fs::directory_iterator end; it != end; it.increment(ec)) {
        if (ec) break;
        std::string name = it->path().filename().string();
        if (isHidden(name)) continue;
        std::error_code kindEc;
        const bool link = it->is_symlink(kindEc);
        const bool dir = !link && it->is_directory(kindEc);
        out.push_back({std::move(name), it->path(), dir});
    }
    std::sort(out.begin(), out.end(), [](const Entry& a, const Entry& b) { return a.name < b.name; });
    return out;
}

// Depth-first walk below root; visit(entry, folder parts relative to root) returns false to stop.
void walk(const fs::path& root, const std::function<bool(const Entry&, const std::vector<std::string>&)>& visit) {
    std::vector<std::string> parts;
    std::function<bool(const fs::path&)> rec = [&](const fs::path& folder) {
        for (const Entry& e : visibleEntries(folder)) {
            if (!visit(e, parts)) return false;
            if (e.descend) {
                parts.push_back(e.name);
                const bool go = rec(e.path);
                parts.pop_back();
                if (!go) return false;
            }
        }
        return true;
    };
    rec(root);
}

fs::path standardized(const std::string& folder) {
    fs::path p = fs::path(folder).lexically_normal();
    if (p.has_relative_path() && !p.has_filename()) p = p.parent_path();  // "a/b/" -> "a/b"
    return p;
}

std::string joinParts(const std::vector<std::string>& parts, size_t count) {
    std::string out;
    for (size_t i = 0; i < count; ++i) {
        if (i) out += kSeparator;
        out += parts[i];
    }
    return out;
}

void sortCanonical(std::vector<std::string>& v) {
    std::vector<std::pair<std::string, std::string>> keyed;
    keyed.reserve(v.size());
    for (auto& s : v) keyed.emplace_back(platform::text::nfc(s), std::move(s));
    std::stable_sort(keyed.begin(), keyed.end(), [](const auto& a, const auto& b) { return a.first < b.first; });
    for (size_t i = 0; i < v.size(); ++i) v[i] = std::move(keyed[i].second);
}

}  // namespace

bool isAudioExtension(std::string_view extension) {
    static const std::set<std::string, std::less<>> kAudio = {"mp3", "m4a", "aac", "flac", "wav", "aiff", "aif", "ogg"};
    return kAudio.contains(platform::text::asciiLower(extension));
}

std::vector<LibTrack> listAudioFiles(const std::string& folder) {
    std::vector<LibTrack> rows;
    for (const Entry& e : visibleEntries(folder)) {
        if (!isAudioExtension(platform::pathExtension(e.name))) continue;
        rows.push_back({e.path.string(), platform::pathStem(e.name)});
    }
    platform::text::stableSortLocalized(rows, [](const LibTrack& r) -> const std::string& { return r.name; });
    return rows;
}

std::vector<std::string> findPlaylists(const std::string& libraryFolder) {
    std::set<std::string> folders;
    std::set<std::string> playlists;
    walk(standardized(libraryFolder), [&](const Entry& e, const std::vector<std::string>& parts) {
        const std::string ext = platform::pathExtension(e.name);
        if (isAudioExtension(ext)) {
            for (size_t n = 1; n <= parts.size(); ++n) folders.insert(joinParts(parts, n));
        } else if (isPlaylistExtension(ext)) {
            playlists.insert(std::string(kPlaylistPrefix) + platform::pathStem(e.name));
        }
        return true;
    });
    std::vector<std::string> folderList(folders.begin(), folders.end());
    std::vector<std::string> playlistList(playlists.begin(), playlists.end());
    sortCanonical(folderList);
    sortCanonical(playlistList);
    folderList.insert(folderList.end(), playlistList.begin(), playlistList.end());
    return folderList;
}

std::vector<LibTrack> readM3U(const std::string& libraryFolder, std::string_view name) {
    fs::path playlist;
    walk(standardized(libraryFolder), [&](const Entry& e, const std::vector<std::string>&) {
        if (isPlaylistExtension(platform::pathExtension(e.name)) && platform::pathStem(e.name) == name) {
            playlist = e.path;
            return false;
        }
        return true;
    });
    if (playlist.empty()) return {};
    const auto bytes = serato_records::readFile(playlist.string(), serato_records::kMaxListBytes, platform::logger("library-scan"));
    if (!bytes) return {};
    std::vector<LibTrack> rows;
    for (const fs::path& p : m3uEntries(*bytes, playlist.parent_path())) {
        std::error_code ec;
        const auto st = fs::status(p, ec);
        if (ec || !fs::exists(st) || fs::is_directory(st)) continue;
        rows.push_back({p.string(), platform::pathStem(p.filename().string())});
    }
    return rows;
}

std::vector<fs::path> m3uEntries(std::span<const uint8_t> bytes, const fs::path& folder) {
    std::string_view raw(reinterpret_cast<const char*>(bytes.data()), bytes.size());
    std::string text;
    if (platform::text::isValidUtf8(raw)) {
        if (raw.starts_with("\xEF\xBB\xBF")) raw.remove_prefix(3);  // editors often save M3U8 with a BOM
        text = std::string(raw);
    } else {
        text = platform::text::fromLatin1(raw);
    }
    std::vector<fs::path> out;
    for (std::string_view line : platform::text::splitLines(text)) {
        line = platform::text::trimSpacesAndTabs(line);
        if (line.empty() || line.front() == '#') continue;
        fs::path p = line.front() == '/' ? fs::path(line).lexically_normal() : (folder / line).lexically_normal();
        if (isAudioExtension(platform::pathExtension(p.filename().string()))) out.push_back(std::move(p));
    }
    return out;
}

}  // namespace plindo::library
