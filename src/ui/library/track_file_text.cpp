#include "ui/library/track_file_text.h"

#include "library/deck_meta_json.h"
#include "library/serato_file_meta.h"
#include "link/deck_file_server.h"
#include "link/json_body.h"
#include "platform/serial_queue.h"

#include <QCoreApplication>
#include <QMetaObject>

#include <atomic>

namespace plindo::ui {

namespace {

// Apart from the network queue, so a slow file never holds up a reply from the server.
platform::SerialQueue& fileQueue() {
    static platform::SerialQueue queue("plindo.ui.files");
    return queue;
}

}  // namespace

std::optional<std::string> localTagsText(const std::string& path) {
    const auto file = link::DeckFileServer::existingPath(path);
    if (!file) return std::nullopt;
    const auto meta = library::SeratoFileMeta::read(*file);
    nlohmann::json doc = {{"path", path}, {"artist", meta ? meta->artist : ""}, {"title", meta ? meta->title : ""}};
    return link::json_body::encode(doc);
}

std::optional<std::string> localDeckMetaText(const std::string& path) {
    const auto file = link::DeckFileServer::existingPath(path);
    if (!file) return std::nullopt;
    return link::json_body::encode(library::deckMetaJSON(*file));
}

struct TrackFileText::State {
    Done done;                          // main thread only; cleared on cancel or answer
    std::atomic<bool> cancelled{false};  // read on the file queue, so a cancelled read is skipped
};

TrackFileText::~TrackFileText() { cancel(); }

void TrackFileText::read(Route route, const std::string& path, Done done) {
    cancel();
    state_ = std::make_shared<State>();
    state_->done = std::move(done);
    fileQueue().post([state = state_, route, path] {
        if (state->cancelled) return;
        std::optional<std::string> text = route == Route::tags ? localTagsText(path) : localDeckMetaText(path);
        QMetaObject::invokeMethod(
            QCoreApplication::instance(),
            [state, text = std::move(text)] {
                if (!state->done) return;  // cancelled
                auto done = std::move(state->done);
                state->done = nullptr;
                done(text);
            },
            Qt::QueuedConnection);
    });
}

void TrackFileText::cancel() {
    if (!state_) return;
    state_->done = nullptr;
    state_->cancelled = true;
    state_.reset();
}

bool TrackFileText::busy() const { return state_ && state_->done; }

}  // namespace plindo::ui
