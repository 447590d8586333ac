#include "host/library_reads.h"

#include "library/library_scan.h"

#include <string_view>

namespace plindo::host::LibraryReads {

namespace fs = std::filesystem;

const char* const kNotLoaded = "Library: not loaded yet";
const char* const kLoading = "Library: loading \u2026";
const char* const kCrateLoading = "Crate loading \u2026";

namespace {
constexpr std::string_view kSep = "%%";
constexpr std::string_view kRoot = "Plindo";
constexpr std::string_view kRootPrefix = "Plindo%%";
constexpr std::string_view kFilesPrefix = "Files%%";
constexpr std::string_view kSeratoPrefix = "Serato%%";
constexpr std::string_view kPlaylistPrefix = "Playlists%%";

std::vector<std::string> splitParts(std::string_view id) {
    std::vector<std::string> parts;
    size_t begin = 0;
    while (true) {
        const size_t at = id.find(kSep, begin);
        parts.emplace_back(id.substr(begin, at == std::string_view::npos ? std::string_view::npos : at - begin));
        if (at == std::string_view::npos) return parts;
        begin = at + kSep.size();
    }
}

// Where a path really leads, as far as it exists; the rest joined on lexically.
fs::path resolved(const fs::path& p) {
    std::error_code ec;
    fs::path r = fs::weakly_canonical(p, ec);
    return ec ? p.lexically_normal() : r;
}

bool inside(const fs::path& child, const fs::path& parent) {
    auto c = child.begin();
    for (auto p = parent.begin(); p != parent.end(); ++p, ++c) {
        if (p->empty()) continue;  // a trailing separator of the parent
        if (c == child.end() || *c != *p) return false;
    }
    return true;
}
}  // namespace

LibraryPass readLibrary(const std::string& folder, const library::SeratoLibrary& serato) {
    LibraryPass pass;
    pass.files = library::listAudioFiles(folder);
    const auto playlists = library::findPlaylists(folder);
    pass.seratoTracks = serato.allTracks().size();
    const auto crates = serato.crateNames();

    std::vector<std::string> names;
    names.reserve(4 + playlists.size() + crates.size());
    names.emplace_back("Plindo");
    names.emplace_back("Plindo%%Files");
    for (const auto& id : playlists) names.push_back("Plindo%%Files%%" + id);
    names.emplace_back("Plindo%%Serato");
    for (const auto& name : crates) names.push_back("Plindo%%Serato%%" + name);
    pass.tree = library::CrateNode::build(names);
    return pass;
}

CrateRoute routeOf(const std::string& key) {
    using K = CrateRoute::Kind;
    std::string_view r = key;
    if (r.starts_with(kRootPrefix)) r.remove_prefix(kRootPrefix.size());
    if (r == kRoot) return {K::root, {}};
    if (r == "Files") return {K::files, {}};
    if (r == "Serato") return {K::serato, {}};
    if (r.starts_with(kSeratoPrefix)) return {K::seratoCrate, std::string(r.substr(kSeratoPrefix.size()))};
    if (r.starts_with(kFilesPrefix)) {
        r.remove_prefix(kFilesPrefix.size());
        if (r.starts_with(kPlaylistPrefix)) return {K::playlist, std::string(r.substr(kPlaylistPrefix.size()))};
        return {K::folder, std::string(r)};
    }
    return {K::none, {}};
}

std::optional<fs::path> folderOfId(const std::string& folder, const std::string& id) {
    if (folder.empty()) return std::nullopt;
    fs::path p = folder;
    for (const auto& part : splitParts(id)) {
        // A part is one folder name: nothing that climbs, stays put or holds a separator or NUL.
        if (part.empty() || part == "." || part == ".." ||
            part.find_first_of(std::string_view("/\0", 2)) != std::string::npos)
            return std::nullopt;
        p /= part;
    }
    if (!inside(resolved(p), resolved(folder))) return std::nullopt;
    return p;
}

std::vector<library::LibTrack> crateTracks(const std::string& key, const std::string& folder,
                                           const library::SeratoLibrary& serato) {
    using K = CrateRoute::Kind;
    const CrateRoute route = routeOf(key);
    switch (route.kind) {
        case K::files: return library::listAudioFiles(folder);
        case K::serato: return serato.allTracks();
        case K::seratoCrate: return serato.crateTracks(route.rest);
        case K::playlist: return library::readM3U(folder, route.rest);
        case K::folder: {
            const auto at = folderOfId(folder, route.rest);
            return at ? library::listAudioFiles(at->string()) : std::vector<library::LibTrack>{};
        }
        case K::root:
        case K::none: break;
    }
    return {};
}

std::vector<std::string> folderCrates(const std::string& folder) { return library::findPlaylists(folder); }

std::vector<library::LibTrack> folderCrateTracks(const std::string& folder, const std::string& id) {
    if (std::string_view(id).starts_with(kPlaylistPrefix)) return library::readM3U(folder, id.substr(kPlaylistPrefix.size()));
    const auto at = folderOfId(folder, id);
    return at ? library::listAudioFiles(at->string()) : std::vector<library::LibTrack>{};
}

std::string libraryStatus(const std::string& folder, size_t files, size_t seratoTracks) {
    std::string s = files == 0 ? "Files empty \u2014 no audio files under " + folder
                               : "Files: " + std::to_string(files) + " tracks";
    if (seratoTracks > 0) s += " \u00b7 Serato: " + std::to_string(seratoTracks) + " tracks";
    return s;
}

std::string crateName(const std::string& key) {
    const auto at = key.rfind(kSep);
    return at == std::string::npos ? key : key.substr(at + kSep.size());
}

std::string crateStatus(const std::string& key, size_t tracks) {
    return "Crate " + crateName(key) + ": " +
           (tracks == 0 ? std::string("empty / not readable") : std::to_string(tracks) + " tracks");
}

}  // namespace plindo::host::LibraryReads
