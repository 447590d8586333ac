#include "ui/library/wave_hover_store.h"

#include "host/qt_main_executor.h"
#include "platform/text.h"
#include "ui/kit/http_text.h"
#include "ui/library/track_file_text.h"

#include <QCoreApplication>

#include <filesystem>

namespace plindo::ui {

class WaveHoverStore::Load {
public:
    std::string path;
    std::function<void()> done;
    bool abandoned = false;
    HttpText http;
    TrackFileText file;
    WaveBuildPool::Ticket ticket;
};

size_t envelopeBytes(const library::PeakEnvelope& e) {
    const auto doubles = [](const std::vector<double>& v) { return v.capacity() * sizeof(double); };
    const auto maybe = [&](const std::optional<std::vector<double>>& v) { return v ? doubles(*v) : 0; };
    size_t n = sizeof e + e.audioPath.capacity() + doubles(e.windowSec) + doubles(e.bass) + doubles(e.mid) +
               doubles(e.treble) + doubles(e.peak) + maybe(e.peakL) + maybe(e.peakR) + maybe(e.rgbL) + maybe(e.rgbR);
    n += e.beats.capacity() * sizeof(library::PeakEnvelope::Beat);
    for (const auto& c : e.cues) n += sizeof c + c.colorRGB.capacity() * sizeof(int) + c.label.capacity();
    return n;
}

WaveHoverStore::WaveHoverStore(Decoder decode, platform::MainExecutor* main, QObject* parent) : QObject(parent) {
    if (!decode) {
        decode = [](const std::string& name, const std::function<bool()>& cancelled) {
            return motion::decodeAudioFile(name, cancelled, kSampleRate);
        };
    }
    if (!main) {
        ownMain_ = std::make_unique<host::QtMainExecutor>();
        main = ownMain_.get();
    }
    pool_ = std::make_unique<WaveBuildPool>(
        *main,
        [decode](const std::string& path, const std::function<bool()>& cancelled) {
            return buildEnvelope(path, cancelled, decode);
        },
        [this](const std::string& path, const Env& env) {
            if (env) envCache.put(path, env);
        });
}

WaveHoverStore::~WaveHoverStore() { shutdown(); }

WaveHoverStore& WaveHoverStore::shared() {
    static WaveHoverStore* store = [] {
        auto* s = new WaveHoverStore({}, nullptr, QCoreApplication::instance());
        QObject::connect(QCoreApplication::instance(), &QCoreApplication::aboutToQuit, s, [s] { s->shutdown(); });
        return s;
    }();
    return *store;
}

WaveHoverStore::Env WaveHoverStore::buildEnvelope(const std::string& path, const std::function<bool()>& cancelled,
                                                  const Decoder& decode) {
    // The library may list a name in another Unicode form than the file system stores it.
    std::string name = path;
    for (const auto& candidate : {path, platform::text::nfc(path), platform::text::nfd(path)}) {
        std::error_code ec;
        if (std::filesystem::exists(candidate, ec)) {
            name = candidate;
            break;
        }
    }
    const auto decoded = decode(name, cancelled);
    if (!decoded) return nullptr;
    return std::make_shared<const library::PeakEnvelope>(
        library::PeakEnvelope::analyze(decoded.stem->left, decoded.stem->right, kSampleRate, path));
}

std::shared_ptr<WaveHoverStore::Load> WaveHoverStore::startLoad(const std::string& path,
                                                                const std::optional<std::string>& metaURL,
                                                                std::function<void()> done) {
    auto load = std::make_shared<Load>();
    load->path = path;
    load->done = std::move(done);
    loads_.insert(load);
    if (metaCache.contains(path)) {
        fetchEnvelope(load);
    } else if (metaURL) {
        std::weak_ptr<Load> weak = load;
        load->http.get(*metaURL, [this, weak](const HttpText::Reply& reply) {
            auto l = weak.lock();
            if (!l) return;
            if (reply.status > 0) onMeta(l, reply.body);
            else readMetaFile(l);  // the server does not answer: the file has the same document
        });
    } else {
        readMetaFile(load);
    }
    return load;
}

void WaveHoverStore::readMetaFile(const std::shared_ptr<Load>& load) {
    std::weak_ptr<Load> weak = load;
    load->file.read(TrackFileText::Route::deckMeta, load->path, [this, weak](const std::optional<std::string>& text) {
        if (auto l = weak.lock()) onMeta(l, text.value_or(std::string()));
    });
}

void WaveHoverStore::onMeta(const std::shared_ptr<Load>& load, const std::string& body) {
    // Whatever the status, a body that reads as track metadata is taken; anything else stores nothing.
    if (auto meta = library::DeckMeta::decode(body)) metaCache.put(load->path, std::make_shared<const library::DeckMeta>(std::move(*meta)));
    fetchEnvelope(load);
}

void WaveHoverStore::fetchEnvelope(const std::shared_ptr<Load>& load) {
    if (load->abandoned) return end(load);  // nobody waits for the envelope any more
    if (envCache.contains(load->path)) return end(load);
    std::weak_ptr<Load> weak = load;
    load->ticket = pool_->request(load->path, [this, weak](const Env&) {
        if (auto l = weak.lock()) end(l);
    });
    if (!load->ticket.active()) end(load);  // shut down
}

void WaveHoverStore::end(const std::shared_ptr<Load>& load) {
    auto keep = load;
    loads_.erase(load);
    if (!keep->abandoned && keep->done) std::exchange(keep->done, nullptr)();
}

void WaveHoverStore::abandon(const std::shared_ptr<Load>& load) {
    if (!load || load->abandoned) return;
    load->abandoned = true;
    load->done = nullptr;
    if (load->ticket.active()) {
        load->ticket.release();
        loads_.erase(load);
    }
}

void WaveHoverStore::shutdown() {
    if (pool_) pool_->shutdown();
    loads_.clear();
}

}  // namespace plindo::ui
