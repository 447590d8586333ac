#include "ui/kit/http_text.h"

#include "platform/http_client.h"
#include "ui/kit/kit_queue.h"

#include <QCoreApplication>
#include <QMetaObject>

namespace plindo::ui {

struct HttpText::State {
    Done done;                                 // main thread only; cleared on cancel or answer
    std::shared_ptr<platform::HttpGet> get;    // kit queue only
    bool stopped = false;                      // kit queue only
    std::string body;                          // kit queue only
    int status = 0;                            // kit queue only
};

namespace {

void answer(const std::shared_ptr<HttpText::State>& state, HttpText::Reply reply) {
    QMetaObject::invokeMethod(
        QCoreApplication::instance(),
        [state, reply = std::move(reply)] {
            if (!state->done) return;  // cancelled
            auto done = std::move(state->done);
            state->done = nullptr;
            done(reply);
        },
        Qt::QueuedConnection);
}

void start(const std::shared_ptr<HttpText::State>& state, const std::string& url) {
    if (state->stopped) return;
    const auto parsed = platform::parseHttpUrl(url);
    if (!parsed) {
        answer(state, {.error = "bad address: " + url});
        return;
    }
    platform::HttpGet::Request req;
    req.host = parsed->host;
    req.port = parsed->port;
    req.target = parsed->target;
    req.idleTimeoutSec = HttpText::kIdleTimeoutSec;
    platform::HttpGet::Handlers h;
    h.onHead = [state](const platform::HttpResponseHead& head) {
        state->status = head.status;
        return !head.contentLength || *head.contentLength <= int64_t(HttpText::kMaxBytes);
    };
    h.onBody = [state](std::string_view chunk) {
        if (chunk.size() > HttpText::kMaxBytes - state->body.size()) {
            state->body.clear();
            state->status = -1;  // marks the overflow for onDone
            return false;
        }
        state->body.append(chunk);
        return true;
    };
    h.onDone = [state](const platform::HttpGet::Result& r) {
        state->get.reset();
        if (state->stopped) return;
        HttpText::Reply reply;
        reply.status = std::max(0, state->status);
        const bool tooLong = state->status == -1 ||
                             (r.head && r.head->contentLength && *r.head->contentLength > int64_t(HttpText::kMaxBytes));
        if (tooLong) {
            reply.error = "answer larger than 1 MB";
        } else if (r.outcome != platform::HttpGet::Outcome::Complete) {
            reply.error = r.error.empty() ? "no complete answer" : r.error;
        } else if (state->status != 200) {
            reply.error = "status " + std::to_string(state->status);
            reply.body = std::move(state->body);  // some readers take any answer's body
        } else {
            reply.ok = true;
            reply.body = std::move(state->body);
        }
        state->body.clear();
        answer(state, std::move(reply));
    };
    state->get = platform::HttpGet::start(kitQueue().context(), std::move(req), std::move(h));
}

}  // namespace

HttpText::~HttpText() { cancel(); }

void HttpText::get(const std::string& url, Done done) {
    cancel();
    state_ = std::make_shared<State>();
    state_->done = std::move(done);
    kitQueue().post([state = state_, url] { start(state, url); });
}

void HttpText::cancel() {
    if (!state_) return;
    state_->done = nullptr;
    kitQueue().post([state = state_] {
        state->stopped = true;
        if (auto g = std::move(state->get)) g->cancel();
    });
    state_.reset();
}

bool HttpText::busy() const { return state_ && state_->done; }

}  // namespace plindo::ui
