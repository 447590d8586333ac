#pragma once
// The decoded covers of the cards on show: one state per live card (the focused card and the train, keyed
// by entry index), fed from a cover source and a small cache of decoded pictures. A card whose track changed
// while its request ran drops the late answer. A track found to have no cover is remembered, so a card that
// comes back for it shows the placeholder without asking again (until a later answer brings a picture).
// Encoded bytes are decoded on a thread of its own, never on main: a card shows the placeholder until its
// picture is posted back, and a queued decode whose cards moved on is dropped before it starts.
#include "platform/main_executor.h"
#include "ui/library/cover_source.h"

#include <QImage>

#include <functional>
#include <list>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <unordered_map>
#include <unordered_set>
#include <vector>

namespace plindo::ui {

class CrateCovers {
public:
    static constexpr int kMaxSide = 600;       // decoded pictures are no larger on their longer side
    static constexpr size_t kDecodedLimit = 64;  // decoded pictures kept beyond the live cards
    static constexpr size_t kNoCoverLimit = 4096;  // tracks remembered without a cover; then forgotten at once

    using Picture = std::shared_ptr<const QImage>;
    using UrlOf = std::function<std::optional<std::string>(const std::string& path)>;
    // Runs on the decoding thread.
    using Decode = std::function<Picture(const CoverSource::Bytes& bytes)>;

    // `decoder` defaults to `decode(bytes)`; `main` to the Qt main thread. `changed` runs on main when a
    // live card's picture changed after `setLive` returned.
    CrateCovers(CoverSource& source, UrlOf coverURL, std::function<void()> changed, Decode decoder = {},
                platform::MainExecutor* main = nullptr);
    ~CrateCovers();
    CrateCovers(const CrateCovers&) = delete;
    CrateCovers& operator=(const CrateCovers&) = delete;

    void setCoverURL(UrlOf coverURL) { coverURL_ = std::move(coverURL); }

    // Keeps state for exactly these cards (entry index → track path), loading what is new or changed.
    void setLive(const std::map<int, std::string>& cards);
    // The picture of a live card; null while there is none (the placeholder shows).
    Picture picture(int index) const;

    size_t liveCount() const { return live_.size(); }
    size_t decodedCount() const { return decoded_.size(); }
    size_t noCoverCount() const { return noCover_.size(); }
    size_t decoding() const { return decoding_.size(); }  // tracks whose decode is queued or running

    // Encoded bytes to a picture of at most `maxSide` on its longer side; null when they do not decode.
    static Picture decode(const CoverSource::Bytes& bytes, int maxSide = kMaxSide);

private:
    struct Card {
        std::string path;
        std::string loadingFor;
        Picture picture;
    };
    class Decoder;
    void load(Card& card);
    void answer(const std::string& path, const CoverSource::Bytes& bytes);
    void startDecode(const std::string& path, CoverSource::Bytes bytes, bool answered);
    void decoded(const std::string& path, Picture p, bool answered);
    void dropUnwantedDecodes();
    void show(const std::string& path, const Picture& p);
    Picture decodedHit(const std::string& path);
    void remember(const std::string& path, Picture p);
    void rememberNoCover(const std::string& path);

    CoverSource& source_;
    UrlOf coverURL_;
    std::function<void()> changed_;
    std::map<int, Card> live_;
    std::set<std::string> asked_;  // requests under way, so one path is asked once
    std::unordered_set<std::string> noCover_;  // answered without a picture
    std::list<std::pair<std::string, Picture>> decoded_;  // most recent first
    std::unordered_map<std::string, std::list<std::pair<std::string, Picture>>::iterator> decodedIndex_;
    std::unordered_set<std::string> decoding_;  // one decode per track, queued or running
    std::shared_ptr<bool> alive_ = std::make_shared<bool>(true);
    std::unique_ptr<platform::MainExecutor> ownMain_;
    std::unique_ptr<Decoder> decoder_;  // after ownMain_: its thread is joined before the executor goes
};

}  // namespace plindo::ui
