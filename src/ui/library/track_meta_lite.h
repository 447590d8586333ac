#pragma once
// The light metadata the crate shows for its focused track, read from the track server's "/tags" and
// "/deck/meta" replies. Decoding is strict: a member of the wrong type makes the whole reply unreadable;
// null counts as absent; unknown members are ignored.
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace plindo::ui {

struct TrackMetaLite {
    std::string artist;
    std::string title;
    std::optional<double> bpm;
    std::string key;      // as sent
    std::string camelot;  // as sent, else derived from `key`
    std::optional<int> plays;
    std::vector<std::string> flipNames;  // one per flip in reply order; a flip without a name gives ""

    bool operator==(const TrackMetaLite&) const = default;
};

// Fill `meta` from a reply body and return true; false (and `meta` untouched) when the body is not a JSON
// object of the expected shape.
bool readTagsReply(std::string_view body, TrackMetaLite& meta);
bool readDeckMetaReply(std::string_view body, TrackMetaLite& meta);

}  // namespace plindo::ui
