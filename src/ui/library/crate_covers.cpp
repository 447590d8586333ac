#include "ui/library/crate_covers.h"

#include <QBuffer>
#include <QByteArray>
#include <QImageReader>

namespace plindo::ui {

CrateCovers::CrateCovers(CoverSource& source, UrlOf coverURL, std::function<void()> changed)
    : source_(source), coverURL_(std::move(coverURL)), changed_(std::move(changed)) {}

CrateCovers::~CrateCovers() { *alive_ = false; }

void CrateCovers::setLive(const std::map<int, std::string>& cards) {
    for (auto it = live_.begin(); it != live_.end();)
        it = cards.count(it->first) ? std::next(it) : live_.erase(it);
    for (const auto& [index, path] : cards) {
        Card& c = live_[index];
        c.path = path;
        // A card shown again for the same track keeps its picture and does not ask again.
        if (c.loadingFor != path) load(c);
    }
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
    if (const auto bytes = source_.cached(card.path)) {
        card.picture = decode(bytes);
        remember(card.path, card.picture);
        return;
    }
    card.picture = nullptr;
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
    Picture p = bytes ? decode(bytes) : nullptr;
    if (p) remember(path, p);
    else rememberNoCover(path);
    for (auto& [i, c] : live_)
        if (c.loadingFor == path) c.picture = p;
    if (changed_) changed_();
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
