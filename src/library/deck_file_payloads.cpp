#include "library/deck_file_payloads.h"

#include "library/deck_meta_json.h"
#include "library/embedded_art.h"
#include "library/serato_file_meta.h"

namespace plindo::library {

namespace {

std::vector<link::TrackEntry> entries(const std::vector<LibTrack>& tracks) {
    std::vector<link::TrackEntry> out;
    out.reserve(tracks.size());
    for (const auto& t : tracks) out.push_back({t.path, t.name});
    return out;
}

}  // namespace

link::TrackPayloads deckFilePayloads(SeratoLibrary& library, PeaksCache& peaks) {
    link::TrackPayloads p;
    p.seratoCrateNames = [&library] { return library.crateNames(); };
    p.seratoAllTracks = [&library] { return entries(library.allTracks()); };
    p.seratoCrateTracks = [&library](const std::string& crate) { return entries(library.crateTracks(crate)); };
    p.tagNames = [](const std::string& path) -> std::optional<link::TrackNames> {
        const auto meta = SeratoFileMeta::read(path);
        if (!meta) return std::nullopt;
        return link::TrackNames{meta->artist, meta->title};
    };
    p.embeddedArtwork = [](const std::string& path) -> std::optional<std::string> {
        const auto art = EmbeddedArt::read(path);
        if (!art) return std::nullopt;
        return std::string(art->begin(), art->end());
    };
    p.deckMeta = [](const std::string& path) { return deckMetaJSON(path); };
    p.cachedPeaks = [&peaks](const std::string& path, int columns, double center, double window) {
        return peaks.cachedAnswer(path, columns, center, window);
    };
    p.peaksSeconds = [&peaks](const std::string& path) { return peaks.workSeconds(path); };
    p.peaks = [&peaks](const std::string& path, int columns, double center, double window,
                       const std::function<bool()>& cancelled) {
        return peaks.serve(path, columns, center, window, cancelled);
    };
    return p;
}

}  // namespace plindo::library
