#pragma once
// Cover art for whoever shows it: a bounded cache keyed by a caller's text (the track path), the artwork
// embedded in a local file, or a GET from a track server's cover address. Concurrent fetches of one key fold
// into one; failed fetches are retried every 3 s up to 20 times; results arrive on the main executor.
// Covers stay encoded (JPEG, PNG, ...): the interface decodes them.
#include "platform/main_executor.h"
#include "platform/serial_queue.h"

#include <cstddef>
#include <cstdint>
#include <functional>
#include <list>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <span>
#include <string>
#include <unordered_map>
#include <vector>

namespace plindo::library {

class CoverStore {
public:
    using Image = std::shared_ptr<const std::vector<uint8_t>>;  // encoded image bytes; null: no image
    using Completion = std::function<void(Image)>;
    using ArtworkReader = std::function<std::optional<std::vector<uint8_t>>(const std::string& path)>;
    // Whether encoded bytes decode as an image; the interface supplies one with its image decoder.
    using ImageCheck = std::function<bool(std::span<const uint8_t> bytes)>;

    static constexpr size_t kCacheLimit = 600;
    static constexpr int kMaxAttempt = 20;         // at most 21 fetches of a key in a row
    static constexpr size_t kMaxBody = 32u << 20;  // larger answers are no cover
    static constexpr double kFetchIdleSec = 30.0;  // a server that stops sending ends the fetch

    struct Options {
        platform::MainExecutor& main;
        ArtworkReader readArtwork;   // empty: the tag readers' embedded picture
        double retryDelaySec = 3.0;  // tests shorten it
        // Judges every body and embedded picture: one that starts like an image but does not decode is no
        // cover (not cached; a fetch counts as failed). Empty: the start of the bytes alone decides.
        ImageCheck decodes = {};
    };

    // The process-wide store, made on first use with that call's executor and image check.
    static CoverStore& shared(platform::MainExecutor& main, ImageCheck decodes = {});

    explicit CoverStore(Options options);
    ~CoverStore();  // pending work is dropped silently
    CoverStore(const CoverStore&) = delete;
    CoverStore& operator=(const CoverStore&) = delete;

    // The cached cover of `key`, or null. Safe from any thread.
    Image cached(const std::string& key) const;

    // Call on the main executor. A cached key answers at once on this thread; otherwise the embedded artwork
    // of `filePath`, else a GET of `url` ("http://host:port/path"), else no image, is delivered on main.
    // With a failing url the completion gets no image once and, if a later retry succeeds, the image. A request
    // while the key's fetch runs, or while it waits to be retried, joins that fetch and its retries.
    void request(const std::string& key, const std::optional<std::string>& url,
                 const std::optional<std::string>& filePath, int attempt, Completion completion);

    // Whether bytes start like a cover in one of the formats the interface decodes.
    static bool looksLikeImage(std::span<const uint8_t> bytes);

    struct Core;  // shared with pending work, so work that outlives the store finds it gone

private:
    std::shared_ptr<Core> core_;
};

}  // namespace plindo::library
