// Time the main thread spends showing a card whose large cover (a 3000 px JPEG of about 3 MB) has its bytes
// in the store's cache but not yet a decoded picture, as on a scroll back to a card seen long ago. The peer
// is decoding the same bytes on the calling thread, which is what showing it cost while it decoded inline.
#include "../jpeg_bytes.h"
#include "../offscreen_app.h"
#include "ui/library/crate_covers.h"

#include <benchmark/benchmark.h>

#include <QCoreApplication>
#include <QImage>
#include <QPainter>

#include <chrono>
#include <random>

namespace {

using namespace plindo::ui;

// Noise under a few shapes, so the JPEG stays large.
CoverSource::Bytes largeJpeg() {
    static const CoverSource::Bytes bytes = [] {
        QImage img(3000, 3000, QImage::Format_RGB32);
        std::mt19937 rng(7);
        for (int y = 0; y < img.height(); ++y) {
            auto* line = reinterpret_cast<QRgb*>(img.scanLine(y));
            for (int x = 0; x < img.width(); ++x) line[x] = qRgb(int(rng() % 256), int(rng() % 256), (x + y) % 256);
        }
        QPainter p(&img);
        p.setBrush(QColor(30, 90, 160));
        p.drawEllipse(QRectF(600, 600, 1800, 1800));
        p.end();
        return plindo::bench::jpegBytes(img, 60);
    }();
    return bytes;
}

class LargeCachedCovers : public CoverSource {
public:
    Bytes cached(const std::string&) const override { return largeJpeg(); }
    void request(const std::string&, const std::optional<std::string>&, const std::optional<std::string>&, int,
                 Completion done) override {
        done(cached({}));
    }
};

void BM_ShowCardOfCachedLargeCover(benchmark::State& state) {
    plindo::bench::offscreenApp();
    largeJpeg();  // made before the clock runs
    LargeCachedCovers source;
    CrateCovers covers(source, {}, {});
    int track = 0;
    for (auto _ : state) {
        const std::string path = "/music/cover " + std::to_string(track++ % 1000) + ".mp3";
        const auto t0 = std::chrono::steady_clock::now();
        covers.setLive({{0, path}});
        state.SetIterationTime(std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count());
        // The picture arrives outside the timed part, so the next show starts from a still crate.
        while (covers.decoding() > 0) QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents, 50);
    }
    state.counters["cover_MB"] = double(largeJpeg()->size()) / 1e6;
}

void BM_PeerDecodeOnCallingThread(benchmark::State& state) {
    plindo::bench::offscreenApp();
    const auto bytes = largeJpeg();
    for (auto _ : state) benchmark::DoNotOptimize(CrateCovers::decode(bytes));
    state.counters["cover_MB"] = double(bytes->size()) / 1e6;
}

}  // namespace

// The timed part is tiny beside the decode that follows it: a fixed count keeps the run short.
BENCHMARK(BM_ShowCardOfCachedLargeCover)->UseManualTime()->Iterations(60)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_PeerDecodeOnCallingThread)->Unit(benchmark::kMillisecond);
