#include "library/serato_library.h"

#include "library/serato_library_records.h"
#include "platform/log.h"
#include "platform/text.h"

#include <cstdlib>
#include <unordered_set>

namespace plindo::library {

namespace fs = std::filesystem;
namespace rec = serato_records;

namespace {

constexpr std::string_view kCrateExtension = ".crate";

spdlog::logger& log() { return platform::logger("serato-library"); }

// Last path component without its extension ("a/b.mp3" -> "b"; ".x" keeps its dot).
std::string rowName(std::string_view path) {
    while (path.size() > 1 && path.back() == '/') path.remove_suffix(1);
    if (const size_t slash = path.rfind('/'); slash != std::string_view::npos && path.size() > 1)
        path.remove_prefix(slash + 1);
    if (const size_t dot = path.rfind('.'); dot != std::string_view::npos && dot > 0) path = path.substr(0, dot);
    return std::string(path);
}

// A crate name reaches the file system as "<name>.crate" in "Subcrates"; anything that could step out of
// that folder, or cut the name short, is refused.
bool isSafeCrateName(std::string_view name) {
    if (name == "." || name == "..") return false;
    return name.find_first_of(std::string_view("/\\\0", 3)) == std::string_view::npos;
}

std::vector<std::string> listFolder(const fs::path& folder) {
    std::vector<std::string> names;
    std::error_code ec;
    fs::directory_iterator it(folder, ec);
    if (ec) return names;
    for (const fs::directory_iterator end; it != end; it.increment(ec)) {
        if (ec) break;
        names.push_back(it->path().filename().string());
    }
    return names;
}

}  // namespace

SeratoLibrary::SeratoLibrary(fs::path root) : root_(std::move(root)) {}

fs::path SeratoLibrary::defaultRoot() {
    const char* home = std::getenv("HOME");
    return fs::path(home && *home ? home : "/") / "Music" / "_Serato_";
}

SeratoLibrary& SeratoLibrary::shared() {
    static SeratoLibrary* library = new SeratoLibrary();  // lives for the process; lookups may run at exit
    return *library;
}

fs::path SeratoLibrary::databasePath() const { return root_ / "database V2"; }
fs::path SeratoLibrary::subcratesPath() const { return root_ / "Subcrates"; }

std::vector<std::string> SeratoLibrary::crateNames() const {
    std::vector<std::string> names;
    for (std::string& entry : listFolder(subcratesPath())) {
        if (entry.size() < kCrateExtension.size() || !entry.ends_with(kCrateExtension)) continue;
        entry.resize(entry.size() - kCrateExtension.size());
        names.push_back(std::move(entry));
    }
    platform::text::stableSortLocalized(names, [](const std::string& s) -> const std::string& { return s; });
    return names;
}

std::vector<LibTrack> SeratoLibrary::allTracks() const {
    const std::string file = databasePath().string();
    const auto bytes = rec::readFile(file, rec::kMaxDatabaseBytes, log());
    if (!bytes) return {};
    rec::DatabaseRead db = rec::parseDatabase(*bytes);
    if (db.damaged) log().warn("database {} is damaged; keeping the {} tracks read before the damage", file, db.tracks.size());
    std::vector<LibTrack> rows;
    std::unordered_set<std::string> seen;
    for (auto& t : db.tracks) {
        if (t.path.empty() || !seen.insert(t.path).second) continue;
        std::string name = rowName(t.path);
        rows.push_back({std::move(t.path), std::move(name)});
    }
    platform::text::stableSortLocalized(rows, [](const LibTrack& r) -> const std::string& { return r.name; });
    return rows;
}

std::vector<LibTrack> SeratoLibrary::crateTracks(std::string_view crateName) const {
    if (!isSafeCrateName(crateName)) {
        log().warn("refused crate name \"{}\": it could reach outside the crate folder", crateName);
        return {};
    }
    const std::string file = (subcratesPath() / (std::string(crateName) + std::string(kCrateExtension))).string();
    const auto bytes = rec::readFile(file, rec::kMaxListBytes, log());
    if (!bytes) return {};
    rec::CrateRead crate = rec::parseCrate(*bytes);
    if (crate.damaged) log().warn("crate file {} is damaged; keeping the {} tracks read before the damage", file, crate.paths.size());
    std::vector<LibTrack> rows;
    rows.reserve(crate.paths.size());
    for (auto& p : crate.paths) {
        if (p.empty()) continue;
        std::string name = rowName(p);
        rows.push_back({std::move(p), std::move(name)});
    }
    return rows;
}

std::vector<std::string> SeratoLibrary::cratePaths(std::string_view crateName) {
    const std::string name(platform::text::trimSpacesAndTabs(crateName));
    if (name.empty()) return {};
    {
        std::lock_guard lock(mutex_);
        if (crateCache_ && crateCache_->first == name) return crateCache_->second;
    }
    const std::string exact = name + std::string(kCrateExtension);
    const std::string child = "%%" + exact;
    std::optional<std::string> found;
    const std::vector<std::string> entries = listFolder(subcratesPath());
    for (const auto& e : entries)
        if (e == exact) found = e;
    if (!found) {
        for (const auto& e : entries) {
            if (e.ends_with(child)) {
                found = e;
                break;
            }
        }
    }
    std::vector<std::string> paths;
    if (found) {
        for (auto& row : crateTracks(std::string_view(*found).substr(0, found->size() - kCrateExtension.size())))
            paths.push_back(std::move(row.path));
    }
    std::lock_guard lock(mutex_);
    crateCache_.emplace(name, paths);
    return paths;
}

}  // namespace plindo::library
