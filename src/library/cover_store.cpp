#include "library/cover_store.h"

#include "library/embedded_art.h"
#include "platform/http_client.h"

#include <asio/steady_timer.hpp>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstring>

namespace plindo::library {

struct CoverStore::Core : std::enable_shared_from_this<Core> {
    explicit Core(Options o) : opt(std::move(o)) {
        if (!opt.readArtwork) opt.readArtwork = [](const std::string& path) { return EmbeddedArt::read(path); };
        if (!std::isfinite(opt.retryDelaySec) || opt.retryDelaySec < 0 || opt.retryDelaySec > 3600)
            opt.retryDelaySec = 3.0;
    }

    Options opt;
    std::atomic<bool> closed{false};

    // The cache has a lock of its own: it is read from any thread, and never held with `lock`.
    mutable std::mutex cacheLock;
    std::list<std::pair<std::string, Image>> lru;  // most recent first
    std::unordered_map<std::string, std::list<std::pair<std::string, Image>>::iterator> index;

    std::mutex lock;  // guards inflight, pausing, waiters and silent; held only for their updates
    std::set<std::string> inflight;
    std::set<std::string> pausing;  // keys whose failed fetch waits for its retry
    std::map<std::string, std::vector<Completion>> waiters;
    std::map<std::string, std::vector<Completion>> silent;

    // Last members: destroyed first, so no queued work runs against the state above once it goes.
    platform::SerialQueue art{"cover.art"};
    platform::SerialQueue net{"cover.net"};

    Image cached(const std::string& key) {
        std::lock_guard l(cacheLock);
        auto it = index.find(key);
        if (it == index.end()) return nullptr;
        lru.splice(lru.begin(), lru, it->second);
        return it->second->second;
    }

    void store(const std::string& key, Image img) {
        std::lock_guard l(cacheLock);
        if (auto it = index.find(key); it != index.end()) {
            it->second->second = std::move(img);
            lru.splice(lru.begin(), lru, it->second);
            return;
        }
        lru.emplace_front(key, std::move(img));
        index[key] = lru.begin();
        while (lru.size() > kCacheLimit) {
            index.erase(lru.back().first);
            lru.pop_back();
        }
    }

    void shutdown() {
        closed = true;
        art.context().stop();
        net.context().stop();
        art.stop();
        net.stop();
    }

    // Runs `f` with the core on main, unless the store has gone by then.
    template <typename F>
    void onMain(F f) {
        opt.main.post([weak = weak_from_this(), f = std::move(f)]() mutable {
            if (auto self = weak.lock(); self && !self->closed) f(*self);
        });
    }

    void request(const std::string& key, const std::optional<std::string>& url,
                 const std::optional<std::string>& filePath, int attempt, Completion completion);
    void fetch(const std::string& key, const std::string& url, int attempt, Completion completion);
    void retry(const std::string& key, const std::string& url, int attempt, const Completion& completion);

    bool isImage(std::span<const uint8_t> bytes) const {
        return looksLikeImage(bytes) && (!opt.decodes || opt.decodes(bytes));
    }
    void finish(const std::string& key, const std::string& url, int attempt, const Completion& completion, Image img);
};

void CoverStore::Core::request(const std::string& key, const std::optional<std::string>& url,
                               const std::optional<std::string>& filePath, int attempt, Completion completion) {
    if (!completion || closed) return;
    attempt = std::clamp(attempt, 0, kMaxAttempt);
    if (Image img = cached(key)) {
        completion(std::move(img));
        return;
    }
    if (filePath) {
        art.post([weak = weak_from_this(), key, url, path = *filePath, completion = std::move(completion)] {
            auto self = weak.lock();
            if (!self || self->closed) return;
            auto bytes = self->opt.readArtwork(path);
            if (bytes && self->isImage(*bytes)) {
                Image img = std::make_shared<const std::vector<uint8_t>>(std::move(*bytes));
                self->store(key, img);
                self->onMain([completion, img](Core&) { completion(img); });
            } else {
                self->onMain([key, url, completion](Core& c) { c.request(key, url, std::nullopt, 0, completion); });
            }
        });
        return;
    }
    if (url) {
        {
            std::lock_guard l(lock);
            if (inflight.count(key) || pausing.count(key)) {
                waiters[key].push_back(std::move(completion));
                return;
            }
            inflight.insert(key);
        }
        fetch(key, *url, attempt, std::move(completion));
        return;
    }
    onMain([completion](Core&) { completion(nullptr); });
}

void CoverStore::Core::fetch(const std::string& key, const std::string& url, int attempt, Completion completion) {
    net.post([weak = weak_from_this(), key, url, attempt, completion = std::move(completion)] {
        auto self = weak.lock();
        if (!self || self->closed) return;
        const auto parsed = platform::parseHttpUrl(url);
        if (!parsed) {
            self->finish(key, url, attempt, completion, nullptr);
            return;
        }
        platform::HttpGet::Request req;
        req.host = parsed->host;
        req.port = parsed->port;
        req.target = parsed->target;
        req.idleTimeoutSec = kFetchIdleSec;
        auto body = std::make_shared<std::vector<uint8_t>>();
        auto status = std::make_shared<int>(0);
        platform::HttpGet::Handlers h;
        h.onHead = [status](const platform::HttpResponseHead& head) {
            *status = head.status;
            return head.status == 200;  // any other answer is no cover; its body is not worth reading
        };
        h.onBody = [body](std::string_view chunk) {
            if (chunk.size() > kMaxBody - body->size()) return false;
            body->insert(body->end(), chunk.begin(), chunk.end());
            return true;
        };
        h.onDone = [weak, key, url, attempt, completion, body, status](const platform::HttpGet::Result& r) {
            auto self = weak.lock();
            if (!self || self->closed) return;
            Image img;
            if (r.outcome == platform::HttpGet::Outcome::Complete && *status == 200 && self->isImage(*body))
                img = std::make_shared<const std::vector<uint8_t>>(std::move(*body));
            self->finish(key, url, attempt, completion, std::move(img));
        };
        platform::HttpGet::start(self->net.context(), std::move(req), std::move(h));
    });
}

void CoverStore::Core::finish(const std::string& key, const std::string& url, int attempt, const Completion& completion,
                              Image img) {
    if (img) store(key, img);
    std::vector<Completion> w, s;
    {
        // One critical section: the waiters taken are exactly those that joined this fetch.
        std::lock_guard l(lock);
        inflight.erase(key);
        if (auto it = waiters.find(key); it != waiters.end()) {
            w = std::move(it->second);
            waiters.erase(it);
        }
        if (img) {
            if (auto it = silent.find(key); it != silent.end()) {
                s = std::move(it->second);
                silent.erase(it);
            }
        } else if (attempt >= kMaxAttempt) {
            silent.erase(key);
        } else {
            if (!w.empty()) {
                auto& keep = silent[key];
                keep.insert(keep.end(), w.begin(), w.end());
            }
            pausing.insert(key);
        }
    }
    onMain([completion, w = std::move(w), s = std::move(s), img, attempt](Core&) {
        if (attempt == 0 || img) completion(img);
        for (const auto& cb : w) cb(img);
        for (const auto& cb : s) cb(img);
    });
    if (img || attempt >= kMaxAttempt) return;

    auto timer = std::make_shared<asio::steady_timer>(net.context());
    timer->expires_after(std::chrono::duration_cast<std::chrono::steady_clock::duration>(
        std::chrono::duration<double>(opt.retryDelaySec)));
    timer->async_wait([timer, weak = weak_from_this(), key, url, attempt, completion](const asio::error_code& ec) {
        if (ec) return;
        if (auto self = weak.lock(); self && !self->closed)
            self->onMain([key, url, attempt, completion](Core& c) { c.retry(key, url, attempt + 1, completion); });
    });
}

void CoverStore::Core::retry(const std::string& key, const std::string& url, int attempt, const Completion& completion) {
    if (closed) return;
    {
        std::lock_guard l(lock);
        pausing.erase(key);
        inflight.insert(key);
    }
    // Found meanwhile (embedded artwork of the same key): the chain ends with it.
    if (Image img = cached(key)) return finish(key, url, attempt, completion, std::move(img));
    fetch(key, url, attempt, completion);
}

CoverStore& CoverStore::shared(platform::MainExecutor& main, ImageCheck decodes) {
    static CoverStore* store = new CoverStore(Options{main, {}, 3.0, std::move(decodes)});  // lives for the process
    return *store;
}

CoverStore::CoverStore(Options options) : core_(std::make_shared<Core>(std::move(options))) {}

CoverStore::~CoverStore() { core_->shutdown(); }

CoverStore::Image CoverStore::cached(const std::string& key) const { return core_->cached(key); }

void CoverStore::request(const std::string& key, const std::optional<std::string>& url,
                         const std::optional<std::string>& filePath, int attempt, Completion completion) {
    core_->request(key, url, filePath, attempt, std::move(completion));
}

bool CoverStore::looksLikeImage(std::span<const uint8_t> b) {
    const auto starts = [&b](std::initializer_list<uint8_t> sig, size_t at = 0) {
        return b.size() >= at + sig.size() && std::equal(sig.begin(), sig.end(), b.begin() + at);
    };
    return starts({0xFF, 0xD8, 0xFF}) ||                             // JPEG
           starts({0x89, 'P', 'N', 'G', 0x0D, 0x0A, 0x1A, 0x0A}) ||  // PNG
           starts({'G', 'I', 'F', '8', '7', 'a'}) || starts({'G', 'I', 'F', '8', '9', 'a'}) ||
           (starts({'B', 'M'}) && b.size() >= 26) ||  // BMP with its headers
           (starts({'R', 'I', 'F', 'F'}) && starts({'W', 'E', 'B', 'P'}, 8)) || starts({'I', 'I', 0x2A, 0x00}) ||
           starts({'M', 'M', 0x00, 0x2A});  // TIFF
}

}  // namespace plindo::library
