#pragma once
// Loads the focused track's sidecar metadata: after a 120 ms pause, "/tags" then "/deck/meta" from the track
// server, one after the other; each from the file itself when it has no address or the server does not answer.
// A new start or a cancel drops everything of the load before it.
#include "ui/kit/http_text.h"
#include "ui/library/track_file_text.h"
#include "ui/library/track_meta_lite.h"

#include <QTimer>

#include <functional>
#include <optional>
#include <string>

namespace plindo::ui {

class TrackMetaLoader {
public:
    static constexpr int kDebounceMs = 120;  // a track that holds the focus for less is never fetched

    using UrlOf = std::function<std::optional<std::string>(const std::string& path)>;
    // `reached` is false when requests went out and neither the server nor the file answered.
    using Done = std::function<void(const std::string& path, const TrackMetaLite& meta, bool reached)>;

    explicit TrackMetaLoader(Done done);

    UrlOf tagsURL;
    UrlOf metaURL;

    void start(const std::string& path);
    void cancel();
    bool running() const { return stage_ != Stage::idle; }

private:
    enum class Stage { idle, waiting, tags, meta };
    void next();
    void readFile(bool tags);
    void take(bool tags, const std::string& body);
    void finish();

    Done done_;
    QTimer debounce_;
    HttpText http_;
    TrackFileText file_;
    Stage stage_ = Stage::idle;
    std::string path_;
    TrackMetaLite meta_;
    int asked_ = 0;
    int answered_ = 0;
};

}  // namespace plindo::ui
