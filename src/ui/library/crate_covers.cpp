#include "ui/library/crate_covers.h"

#include "host/qt_main_executor.h"

#include <QBuffer>
#include <QByteArray>
#include <QImageReader>

#include <algorithm>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <thread>

namespace plindo::ui {

// One thread decoding the newest queued job first. The queue holds only what live cards still want: main
// drops the rest at each change of the cards, so a fling queues no more than the cards on show.
class CrateCovers::Decoder {
public:
    struct Job {
        std::string path;
        CoverSource::Bytes bytes;
        bool answered = false;  // bytes from a request's answer, not the source's cache
    };
    using Done = std::function<void(const std::string& path, Picture p, bool answered)>;  // on the thread

    Decoder(Decode decode, Done done) : decode_(std::move(decode)), done_(std::move(done)) {}
    ~Decoder() {
        {
            std::lock_guard l(m_);
            stopping_ = true;
            queue_.clear();
        }
        cv_.notify_all();
        if (thread_.joinable()) thread_.join();
    }
    Decoder(const Decoder&) = delete;
    Decoder& operator=(const Decoder&) = delete;

    void add(Job job) {
        std::lock_guard l(m_);
        queue_.push_front(std::move(job));
        // The thread starts on first use, so a crate without covers runs none.
        if (!thread_.joinable()) thread_ = std::thread([this] { work(); });
        cv_.notify_one();
    }

    // Removes the queued jobs `unwanted` picks; a running one goes on. Calls `dropped` with each path.
    template <typename Pred, typename Dropped>
    void drop(Pred unwanted, Dropped dropped) {
        std::lock_guard l(m_);
        for (auto it = queue_.begin(); it != queue_.end();) {
            if (!unwanted(it->path)) {
                ++it;
                continue;
            }
            dropped(it->path);
            it = queue_.erase(it);
        }
    }

private:
    void work() {
        std::unique_lock l(m_);
        for (;;) {
            cv_.wait(l, [&] { return stopping_ || !queue_.empty(); });
            if (stopping_) return;
            Job job = std::move(queue_.front());
            queue_.pop_front();
            l.unlock();
            Picture p;
            try {
                p = decode_(job.bytes);
            } catch (...) {
                // A picture too large to hold is a picture that does not decode.
            }
            job.bytes.reset();
            done_(job.path, std::move(p), job.answered);
            l.lock();
        }
    }

    Decode decode_;
    Done done_;
    std::mutex m_;
    std::condition_variable cv_;
    std::deque<Job> queue_;  // newest first
    bool stopping_ = false;
    std::thread thread_;
};

CrateCovers::CrateCovers(CoverSource& source, UrlOf coverURL, std::function<void()> changed, Decode decoder,
                         platform::MainExecutor* main)
    : source_(source), coverURL_(std::move(coverURL)), changed_(std::move(changed)) {
    if (!main) {
        ownMain_ = std::make_unique<host::QtMainExecutor>();
        main = ownMain_.get();
    }
    if (!decoder) decoder = [](const CoverSource::Bytes& bytes) { return decode(bytes); };
    decoder_ = std::make_unique<Decoder>(
        std::move(decoder), [this, main, alive = std::weak_ptr<bool>(alive_)](const std::string& path, Picture p,
                                                                            bool answered) {
            main->post([this, alive, path, p = std::move(p), answered] {
                if (alive.expired()) return;
                decoded(path, p, answered);
            });
        });
}

CrateCovers::~CrateCovers() {
    *alive_ = false;
    decoder_.reset();  // waits for a running decode; its result is posted to nobody
}

void CrateCovers::setLive(const std::map<int, std::string>& cards) {
    for (auto it = live_.begin(); it != live_.end();)
        it = cards.count(it->first) ? std::next(it) : live_.erase(it);
    for (const auto& [index, path] : cards) {
        Card& c = live_[index];
        c.path = path;
        // A card shown again for the same track keeps its picture and does not ask again.
        if (c.loadingFor != path) load(c);
    }
    dropUnwantedDecodes();
}

CrateCovers::Picture CrateCovers::picture(int index) const {
    const auto it = live_.find(index);
    return it == live_.end() ? nullptr : it->second.picture;
}

void CrateCovers::load(Card& card) {
    card.loadingFor = card.path;
    if (Picture p = decodedHit(card.path)) {
        card.picture = std::move(p);
        return;
    }
    card.picture = nullptr;
    if (decoding_.count(card.path)) return;  // its picture is on the way
    if (auto bytes = source_.cached(card.path)) {
        startDecode(card.path, std::move(bytes), false);
        return;
    }
    if (noCover_.count(card.path)) return;
    if (!asked_.insert(card.path).second) return;
    const std::string path = card.path;
    std::weak_ptr<bool> alive = alive_;
    // The store reads the file's own artwork first, so covers show while the track server is stopped.
    source_.request(path, coverURL_ ? coverURL_(path) : std::nullopt, path, 0,
                    [this, alive, path](const CoverSource::Bytes& bytes) {
                        if (alive.expired()) return;
                        answer(path, bytes);
                    });
}

void CrateCovers::answer(const std::string& path, const CoverSource::Bytes& bytes) {
    asked_.erase(path);
    bool wanted = false;
    for (const auto& [i, c] : live_) wanted = wanted || c.loadingFor == path;
    if (bytes) noCover_.erase(path);  // a retry brought something: the next show asks for it
    if (!wanted) {
        if (!bytes) rememberNoCover(path);
        return;  // the cards moved on: a late answer is dropped
    }
    if (bytes) {
        if (!decoding_.count(path)) startDecode(path, bytes, true);
        return;
    }
    rememberNoCover(path);
    show(path, nullptr);
}

void CrateCovers::startDecode(const std::string& path, CoverSource::Bytes bytes, bool answered) {
    decoding_.insert(path);
    decoder_->add({path, std::move(bytes), answered});
}

void CrateCovers::decoded(const std::string& path, Picture p, bool answered) {
    decoding_.erase(path);
    // Kept even when the cards moved on: the work is done, and a card coming back shows it at once.
    if (p) remember(path, p);
    else if (answered) rememberNoCover(path);
    show(path, p);
}

void CrateCovers::show(const std::string& path, const Picture& p) {
    bool shown = false;
    for (auto& [i, c] : live_) {
        if (c.loadingFor != path) continue;
        c.picture = p;
        shown = true;
    }
    if (shown && changed_) changed_();
}

void CrateCovers::dropUnwantedDecodes() {
    if (decoding_.empty()) return;
    const auto unwanted = [this](const std::string& path) {
        return std::none_of(live_.begin(), live_.end(),
                            [&](const auto& card) { return card.second.loadingFor == path; });
    };
    decoder_->drop(unwanted, [this](const std::string& path) { decoding_.erase(path); });
}

void CrateCovers::rememberNoCover(const std::string& path) {
    if (noCover_.size() >= kNoCoverLimit) noCover_.clear();
    noCover_.insert(path);
}

CrateCovers::Picture CrateCovers::decodedHit(const std::string& path) {
    const auto it = decodedIndex_.find(path);
    if (it == decodedIndex_.end()) return nullptr;
    decoded_.splice(decoded_.begin(), decoded_, it->second);
    return it->second->second;
}

void CrateCovers::remember(const std::string& path, Picture p) {
    if (!p) return;
    if (const auto it = decodedIndex_.find(path); it != decodedIndex_.end()) {
        decoded_.erase(it->second);
        decodedIndex_.erase(it);
    }
    decoded_.emplace_front(path, std::move(p));
    decodedIndex_[path] = decoded_.begin();
    while (decoded_.size() > kDecodedLimit) {
        decodedIndex_.erase(decoded_.back().first);
        decoded_.pop_back();
    }
}

CrateCovers::Picture CrateCovers::decode(const CoverSource::Bytes& bytes, int maxSide) {
    if (!bytes || bytes->empty()) return nullptr;
    const QByteArray data = QByteArray::fromRawData(reinterpret_cast<const char*>(bytes->data()),
                                                    static_cast<qsizetype>(bytes->size()));
    QBuffer buffer;
    buffer.setData(data);
    buffer.open(QIODevice::ReadOnly);
    QImageReader reader(&buffer);
    reader.setAutoTransform(true);
    const QSize size = reader.size();
    if (size.isValid() && std::max(size.width(), size.height()) > maxSide)
        reader.setScaledSize(size.scaled(maxSide, maxSide, Qt::KeepAspectRatio));
    QImage image = reader.read();
    if (image.isNull()) return nullptr;
    if (std::max(image.width(), image.height()) > maxSide)
        image = image.scaled(maxSide, maxSide, Qt::KeepAspectRatio, Qt::SmoothTransformation);
    // Pictures without transparency stay opaque, so the crate knows they hide what lies behind them.
    return std::make_shared<const QImage>(image.convertToFormat(
        image.hasAlphaChannel() ? QImage::Format_ARGB32_Premultiplied : QImage::Format_RGB32));
}

}  // namespace plindo::ui
