#pragma once
// What the track server serves but does not make itself: library lists, tag names, artwork, the metadata
// document and waveform peaks come from the track data subsystem, which the host plugs in here. Every
// function may be left empty; the server then answers as if the library had nothing.
#include <nlohmann/json.hpp>

#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace plindo::link {

struct TrackEntry {
    std::string path;  // absolute file path
    std::string name;  // the text shown for the track
};

struct TrackNames {
    std::string artist;
    std::string title;
};

struct PeaksAnswer {
    std::string status;  // "200 OK" or "500 Internal Server Error"
    std::string body;    // JSON
};

struct TrackPayloads {
    std::function<std::vector<std::string>()> seratoCrateNames;
    std::function<std::vector<TrackEntry>()> seratoAllTracks;
    std::function<std::vector<TrackEntry>(const std::string& crate)> seratoCrateTracks;
    // Artist and title from the file's tags; none when the file has no readable tags.
    std::function<std::optional<TrackNames>(const std::string& path)> tagNames;
    // The bytes of the first embedded picture; none or empty when there is none.
    std::function<std::optional<std::string>(const std::string& path)> embeddedArtwork;
    // The "/deck/meta" document of a regular file.
    std::function<nlohmann::json(const std::string& path)> deckMeta;
    // The "/wave/peaks" answer when it takes no work (the track's envelope is at hand), none otherwise. Runs
    // on the server's queue, before any place is taken: it must never wait for an analysis.
    std::function<std::optional<PeaksAnswer>(const std::string& path, int columns, double center, double window)>
        cachedPeaks;
    // What a "/wave/peaks" answer costs, in seconds of track: 0 when it is ready at once, none when unknown.
    // Puts the peaks work in order (shorter tracks first); runs on the server's queue.
    std::function<std::optional<double>(const std::string& path)> peaksSeconds;
    // The "/wave/peaks" answer; runs on a peaks lane, one request per track at a time. `cancelled` turns true
    // once nobody waits for the answer any more: long work may stop then and answer anything.
    std::function<PeaksAnswer(const std::string& path, int columns, double center, double window,
                              const std::function<bool()>& cancelled)>
        peaks;
};

}  // namespace plindo::link
