#pragma once
// What the crate browser's waveform panels share for the life of the process: the envelopes and track
// metadata they loaded (least recently used first out: envelopes by bytes, metadata by count), the pool that
// builds envelopes off the main thread, the drawn floor images and the loads that outlive their panel.
// Main thread only.
#include "library/deck_meta.h"
#include "library/peak_envelope.h"
#include "motion/decode_audio_file.h"
#include "platform/main_executor.h"
#include "ui/library/wave_build_pool.h"
#include "ui/library/wave_canvas.h"
#include "ui/library/wave_lru_cache.h"

#include <QObject>

#include <functional>
#include <memory>
#include <optional>
#include <set>
#include <string>

namespace plindo::ui {

// About what an envelope holds in memory, for the cache's byte bound.
size_t envelopeBytes(const library::PeakEnvelope& env);

class WaveHoverStore : public QObject {
    Q_OBJECT

public:
    using Env = std::shared_ptr<const library::PeakEnvelope>;
    using Meta = std::shared_ptr<const library::DeckMeta>;
    using Decoder = std::function<motion::DecodeResult(const std::string& name, const std::function<bool()>& cancelled)>;

    // An envelope holds about 24 KB per second of audio: this keeps a few hundred tracks.
    static constexpr size_t kEnvelopeBytes = size_t{256} << 20;
    static constexpr size_t kMetaCount = 2000;
    static constexpr double kSampleRate = 22050;

    // `decode` defaults to decoding the file at 22050 Hz. `main` posts to the main thread (the Qt one when
    // none is given).
    explicit WaveHoverStore(Decoder decode = {}, platform::MainExecutor* main = nullptr, QObject* parent = nullptr);
    ~WaveHoverStore() override;

    // The process' store, made on first use; its builds stop when the application quits.
    static WaveHoverStore& shared();

    WaveLruCache<Env> envCache{kEnvelopeBytes, [](const Env& e) { return e ? envelopeBytes(*e) : size_t{0}; }};
    WaveLruCache<Meta> metaCache{kMetaCount};
    WaveCanvasCache canvases;

    // The envelope of the file at `path` (tried as given, then composed, then decomposed), or null.
    static Env buildEnvelope(const std::string& path, const std::function<bool()>& cancelled, const Decoder& decode);

    class Load;
    // A load past its wait: the metadata from `metaURL` unless cached (from the file itself without an address
    // or an answer), then the envelope unless cached, both stored here. `done` runs on main at the end unless
    // the load was abandoned first.
    std::shared_ptr<Load> startLoad(const std::string& path, const std::optional<std::string>& metaURL,
                                    std::function<void()> done);
    // The panel moved on: `done` will not run, and a build the load still waits for is withdrawn (dropped
    // when nobody else waits and it has not started). A metadata read in flight goes on and fills its cache.
    void abandon(const std::shared_ptr<Load>& load);

    // Ends running builds, drops queued ones and joins the pool's threads.
    void shutdown();

    WaveBuildPool& pool() { return *pool_; }
    size_t loadsInFlight() const { return loads_.size(); }

private:
    void onMeta(const std::shared_ptr<Load>& load, const std::string& body);
    void readMetaFile(const std::shared_ptr<Load>& load);
    void fetchEnvelope(const std::shared_ptr<Load>& load);
    void end(const std::shared_ptr<Load>& load);

    std::unique_ptr<platform::MainExecutor> ownMain_;
    std::unique_ptr<WaveBuildPool> pool_;
    std::set<std::shared_ptr<Load>> loads_;
};

}  // namespace plindo::ui
