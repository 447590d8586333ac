#include "ui/library/track_meta_loader.h"

namespace plindo::ui {

TrackMetaLoader::TrackMetaLoader(Done done) : done_(std::move(done)) {
    debounce_.setSingleShot(true);
    debounce_.setInterval(kDebounceMs);
    QObject::connect(&debounce_, &QTimer::timeout, [this] { next(); });
}

void TrackMetaLoader::start(const std::string& path) {
    cancel();
    path_ = path;
    meta_ = {};
    asked_ = answered_ = 0;
    stage_ = Stage::waiting;
    debounce_.start();
}

void TrackMetaLoader::cancel() {
    debounce_.stop();
    http_.cancel();
    file_.cancel();
    stage_ = Stage::idle;
}

void TrackMetaLoader::take(bool tags, const std::string& body) {
    if (tags) readTagsReply(body, meta_);
    else readDeckMetaReply(body, meta_);
}

void TrackMetaLoader::next() {
    // Each reply is read on its own: an unreadable body leaves its fields empty and the load goes on. Without
    // an address, or when the server does not answer, the file itself is read.
    if (stage_ != Stage::waiting && stage_ != Stage::tags) return finish();
    const bool tags = stage_ == Stage::waiting;
    stage_ = tags ? Stage::tags : Stage::meta;
    const UrlOf& urlOf = tags ? tagsURL : metaURL;
    const auto url = urlOf ? urlOf(path_) : std::nullopt;
    if (!url) return readFile(tags);
    ++asked_;
    http_.get(*url, [this, tags](const HttpText::Reply& reply) {
        if (reply.status <= 0) return readFile(tags);
        ++answered_;
        take(tags, reply.body);  // whatever the status: a body that reads as the document counts
        next();
    });
}

void TrackMetaLoader::readFile(bool tags) {
    using Route = TrackFileText::Route;
    file_.read(tags ? Route::tags : Route::deckMeta, path_, [this, tags](const std::optional<std::string>& text) {
        if (text) {
            ++answered_;
            take(tags, *text);
        }
        next();
    });
}

void TrackMetaLoader::finish() {
    stage_ = Stage::idle;
    const std::string path = path_;
    const TrackMetaLite meta = meta_;
    const bool reached = asked_ == 0 || answered_ > 0;
    if (done_) done_(path, meta, reached);
}

}  // namespace plindo::ui
