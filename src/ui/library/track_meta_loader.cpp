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
    stage_ = Stage::idle;
}

void TrackMetaLoader::next() {
    // Each reply is read on its own: a missing address, no answer or an unreadable body leaves its fields
    // empty and the load goes on.
    while (stage_ == Stage::waiting || stage_ == Stage::tags) {
        const bool tags = stage_ == Stage::waiting;
        stage_ = tags ? Stage::tags : Stage::meta;
        const UrlOf& urlOf = tags ? tagsURL : metaURL;
        const auto url = urlOf ? urlOf(path_) : std::nullopt;
        if (!url) continue;
        ++asked_;
        http_.get(*url, [this, tags](const HttpText::Reply& reply) {
            if (reply.status > 0) ++answered_;
            if (reply.ok) {
                if (tags) readTagsReply(reply.body, meta_);
                else readDeckMetaReply(reply.body, meta_);
            }
            if (tags) next();
            else finish();
        });
        return;
    }
    finish();
}

void TrackMetaLoader::finish() {
    stage_ = Stage::idle;
    const std::string path = path_;
    const TrackMetaLite meta = meta_;
    const bool reached = asked_ == 0 || answered_ > 0;
    if (done_) done_(path, meta, reached);
}

}  // namespace plindo::ui
