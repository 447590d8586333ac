#include "library/serato_library.h"

#include "library/serato_library_records.h"
#include "platform/log.h"
#include "platform/text.h"

#include <cmath>
#include <unordered_set>

namespace plindo::library {

namespace rec = serato_records;

namespace {

constexpr char kKeySeparator = '\x01';
// Scores of the candidate choice: a length within a second outweighs a key match, which outweighs the crate.
constexpr double kLengthWindowSec = 1.0;
constexpr double kLengthScore = 100.0;
constexpr double kKeyScore = 10.0;
constexpr double kCrateScore = 5.0;

std::string fileStem(std::string_view path) {
    if (const size_t slash = path.rfind('/'); slash != std::string_view::npos) path.remove_prefix(slash + 1);
    if (const size_t dot = path.rfind('.'); dot != std::string_view::npos && dot > 0) path = path.substr(0, dot);
    return std::string(path);
}

// A database track becomes a metadata record only with a path and a title.
std::optional<SeratoLibrary::TrackMeta> readTrackRecord(rec::DatabaseTrack& t) {
    if (t.path.empty() || t.title.empty()) return std::nullopt;
    SeratoLibrary::TrackMeta m;
    m.path = std::move(t.path);
    m.bpm = std::move(t.bpm);
    m.key = std::move(t.key);
    m.len = rec::trimLength(std::move(t.len));
    m.album = std::move(t.album);
    m.lenSec = rec::parseLength(m.len);
    m.title = std::move(t.title);
    m.artist = std::move(t.artist);
    return m;
}

std::optional<std::string> matchIndex(const std::string& t, const std::string& a,
                                      const std::vector<SeratoLibrary::IndexEntry>& list) {
    if (!a.empty()) {
        for (const auto& e : list)
            if (e.foldedTitle == t && e.foldedArtist == a) return e.path;
    }
    for (const auto& e : list)
        if (e.foldedTitle == t) return e.path;
    for (const auto& e : list)
        if (e.foldedFileName.find(t) != std::string::npos) return e.path;
    return std::nullopt;
}

}  // namespace

std::string SeratoLibrary::foldKey(std::string_view s) {
    const std::string folded = platform::text::fold(s);
    return std::string(platform::text::trimWhitespace(folded));
}

std::string SeratoLibrary::titleArtistKey(std::string_view title, std::string_view artist) {
    return foldKey(title) + kKeySeparator + foldKey(artist);
}

std::string SeratoLibrary::titleKey(std::string_view title) { return foldKey(title) + kKeySeparator; }

std::shared_ptr<const std::vector<SeratoLibrary::IndexEntry>> SeratoLibrary::loadIndex() {
    {
        std::lock_guard lock(mutex_);
        if (index_ && !index_->empty()) return index_;
    }
    const std::string file = databasePath().string();
    const auto bytes = rec::readFile(file, rec::kMaxDatabaseBytes, platform::logger("serato-library"));
    if (!bytes) return std::make_shared<const std::vector<IndexEntry>>();
    rec::DatabaseRead db = rec::parseDatabase(*bytes);
    if (db.damaged) platform::logger("serato-library").warn("database {} is damaged; indexing the {} tracks read before the damage", file, db.tracks.size());
    auto list = std::make_shared<std::vector<IndexEntry>>();
    list->reserve(db.tracks.size());
    for (auto& t : db.tracks) {
        if (t.path.empty()) continue;
        IndexEntry e;
        e.foldedTitle = foldKey(t.title);
        e.foldedArtist = foldKey(t.artist);
        e.foldedFileName = foldKey(fileStem(t.path));
        e.path = std::move(t.path);
        e.title = std::move(t.title);
        e.artist = std::move(t.artist);
        list->push_back(std::move(e));
    }
    std::shared_ptr<const std::vector<IndexEntry>> result = std::move(list);
    if (!result->empty()) {
        std::lock_guard lock(mutex_);
        index_ = result;
    }
    return result;
}

std::optional<std::string> SeratoLibrary::findPath(std::string_view title, std::string_view artist) {
    const std::string t = foldKey(title);
    if (t.empty()) return std::nullopt;
    const std::string a = foldKey(artist);
    if (auto r = matchIndex(t, a, *loadIndex())) return r;
    // A miss may mean the database changed: drop what was read and try once more on a fresh read.
    {
        std::lock_guard lock(mutex_);
        index_.reset();
        metaTable_.reset();
    }
    return matchIndex(t, a, *loadIndex());
}

void SeratoLibrary::reloadIndex() {
    const std::string file = databasePath().string();
    const auto bytes = rec::readFile(file, rec::kMaxDatabaseBytes, platform::logger("serato-library"));
    if (!bytes) return;
    rec::DatabaseRead db = rec::parseDatabase(*bytes);
    if (db.damaged) platform::logger("serato-library").warn("database {} is damaged; indexing the {} tracks read before the damage", file, db.tracks.size());
    auto meta = std::make_shared<MetaTable>();
    auto paths = std::make_shared<PathTable>();
    auto candidates = std::make_shared<CandidateTable>();
    for (auto& t : db.tracks) {
        std::optional<TrackMeta> m = readTrackRecord(t);
        if (!m) continue;
        const std::string foldedTitle = foldKey(m->title);
        std::string ka = foldedTitle + kKeySeparator + foldKey(m->artist);
        std::string kt = foldedTitle + kKeySeparator;
        meta->try_emplace(ka, *m);
        meta->try_emplace(kt, *m);
        (*candidates)[ka].push_back(*m);
        if (kt != ka) (*candidates)[kt].push_back(*m);
        PathEntry entry{std::move(ka), std::move(kt), *m, platform::text::nfc(m->path), platform::text::nfd(m->path)};
        (*paths)[m->path] = std::move(entry);
    }
    std::lock_guard lock(mutex_);
    metaTable_ = std::move(meta);
    pathTable_ = std::move(paths);
    candidates_ = std::move(candidates);
}

bool SeratoLibrary::indexLoaded() const {
    std::lock_guard lock(mutex_);
    return metaTable_ != nullptr;
}

std::optional<SeratoLibrary::TrackMeta> SeratoLibrary::lookupMeta(std::string_view title,
                                                                  std::string_view artist) const {
    std::shared_ptr<const MetaTable> table;
    {
        std::lock_guard lock(mutex_);
        table = metaTable_;
    }
    if (!table) return std::nullopt;
    if (auto it = table->find(titleArtistKey(title, artist)); it != table->end()) return it->second;
    if (auto it = table->find(titleKey(title)); it != table->end()) return it->second;
    return std::nullopt;
}

std::optional<SeratoLibrary::TrackMeta> SeratoLibrary::track(std::string_view title, std::string_view artist,
                                                             std::string_view inCrate, int64_t lengthHintMs,
                                                             std::string_view keyHint) {
    std::shared_ptr<const CandidateTable> table;
    {
        std::lock_guard lock(mutex_);
        if (!metaTable_) return std::nullopt;
        table = candidates_;
    }
    const std::vector<TrackMeta>* list = nullptr;
    if (table) {
        if (auto it = table->find(titleArtistKey(title, artist)); it != table->end() && !it->second.empty())
            list = &it->second;
        else if (auto jt = table->find(titleKey(title)); jt != table->end() && !jt->second.empty())
            list = &jt->second;
    }
    if (!list) return lookupMeta(title, artist);
    if (list->size() == 1) return list->front();

    const std::vector<std::string> cratePathList = cratePaths(inCrate);
    const std::unordered_set<std::string> crateSet(cratePathList.begin(), cratePathList.end());
    const std::string foldedKeyHint = keyHint.empty() ? std::string() : foldKey(keyHint);
    const double hintSec = static_cast<double>(lengthHintMs) / 1000.0;
    const TrackMeta* best = nullptr;
    double bestScore = 0;
    for (const TrackMeta& c : *list) {
        double score = 0;
        if (lengthHintMs >= 1 && c.lenSec > 0) {
            const double d = std::fabs(c.lenSec - hintSec);
            if (d <= kLengthWindowSec) score += kLengthScore - d;
        }
        if (!keyHint.empty() && foldKey(c.key) == foldedKeyHint) score += kKeyScore;
        if (!crateSet.empty() && crateSet.contains(c.path)) score += kCrateScore;
        if (!best || score > bestScore) {
            best = &c;
            bestScore = score;
        }
    }
    return *best;
}

std::optional<std::string> SeratoLibrary::matchBrowserRow(std::string_view prefix, std::string_view title,
                                                          std::string_view artist) {
    if (prefix.empty()) return std::nullopt;
    std::shared_ptr<const PathTable> table;
    {
        std::lock_guard lock(mutex_);
        if (!metaTable_) return std::nullopt;
        table = pathTable_;
    }
    if (!table) return std::nullopt;
    const std::string composed = platform::text::nfc(prefix);
    const std::string decomposed = platform::text::nfd(prefix);
    std::vector<const PathEntry*> found;
    for (const auto& [path, entry] : *table) {
        if (path.starts_with(prefix) || entry.composedPath.starts_with(composed) ||
            entry.decomposedPath.starts_with(decomposed))
            found.push_back(&entry);
    }
    if (found.empty()) return std::nullopt;
    if (found.size() == 1) return found.front()->meta.path;
    const std::string t = foldKey(title);
    if (t.empty()) return std::nullopt;
    std::vector<const PathEntry*> kept;
    for (const PathEntry* e : found)
        if (foldKey(e->meta.title) == t) kept.push_back(e);
    if (kept.empty()) return std::nullopt;
    const std::string a = foldKey(artist);
    if (!a.empty()) {
        for (const PathEntry* e : kept)
            if (foldKey(e->meta.artist) == a) return e->meta.path;
    }
    return kept.front()->meta.path;
}

}  // namespace plindo::library
