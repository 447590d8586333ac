// Paint time per frame of the crate browser with 10,000 tracks, while a touchpad fling scrolls it and while
// a selection far away is scrolled to, at 1000×800 and at 290 wide. The peer is a plain Qt list view of the
// same 10,000 names scrolled by the same pixels per frame in the same run.
#include "ui/library/vinyl_crate_view.h"
#include "../jpeg_bytes.h"

#include <benchmark/benchmark.h>

#include <QApplication>
#include <QListView>
#include <QPainter>
#include <QScrollBar>
#include <QStringListModel>

#include <chrono>
#include <ctime>
#include <cmath>
#include <map>

namespace {

using namespace plindo::ui;

constexpr int kTracks = 10000;

QApplication& app() {
    static QApplication* a = [] {
        if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
        static int argc = 1;
        static char name[] = "bench";
        static char* argv[] = {name, nullptr};
        return new QApplication(argc, argv);  // lives for the process
    }();
    return *a;
}

// Every cover is in the store's cache already, as after a first pass through the crate.
class CachedCovers : public CoverSource {
public:
    CachedCovers() {
        for (int i = 0; i < 50; ++i) {
            QImage img(500, 500, QImage::Format_RGB32);
            img.fill(QColor::fromHsv(i * 37 % 360, 160, 210));
            QPainter p(&img);
            p.setRenderHint(QPainter::Antialiasing);
            p.setBrush(QColor::fromHsv(i * 53 % 360, 200, 110));
            p.drawEllipse(QRectF(100, 100, 300, 300));
            p.end();
            pictures_.push_back(plindo::bench::jpegBytes(img, 85));
        }
    }
    Bytes cached(const std::string& key) const override {
        return pictures_[std::hash<std::string>{}(key) % pictures_.size()];
    }
    void request(const std::string& key, const std::optional<std::string>&, const std::optional<std::string>&, int,
                 Completion done) override {
        done(cached(key));
    }

private:
    std::vector<Bytes> pictures_;
};

std::vector<plindo::library::LibTrack> tracks() {
    std::vector<plindo::library::LibTrack> v;
    for (int i = 0; i < kTracks; ++i) v.push_back({"/music/crate/track " + std::to_string(i) + ".mp3", "Track " + std::to_string(i)});
    return v;
}

// A fling: 90 frames of pixel deltas decaying from 120 px per frame.
std::vector<double> flingDeltas() {
    std::vector<double> d;
    for (int f = 0; f < 90; ++f) d.push_back(120 * std::pow(0.95, f));
    return d;
}

struct Crate {
    QApplication& application = app();
    CachedCovers covers;
    VinylCrateView view{covers};
    int selection = 0;
    Crate(int w, int h) {
        view.selectedIdxGet = [this] { return selection; };
        view.selectedIdxSet = [this](int v) { selection = v; };
        view.setBlinkClock([] { return 0.0; });
        view.inputsChanged();
        view.resize(w, h);
        view.show();
        view.setTracks(tracks());
        QCoreApplication::processEvents();
        view.repaint();
    }
};

double msSince(std::chrono::steady_clock::time_point t0) {
    return std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - t0).count();
}

// CPU time of the whole process in milliseconds: a loaded machine stretches the wall time of work the raster
// engine hands to its threads, not its cost.
double processCpuMs() {
    timespec t{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t);
    return double(t.tv_sec) * 1000 + double(t.tv_nsec) / 1e6;
}

void BM_CrateWheelFling(benchmark::State& state) {
    Crate c(int(state.range(0)), int(state.range(1)));
    const auto deltas = flingDeltas();
    double frames = 0, ms = 0, cpu = 0;
    for (auto _ : state) {
        for (double d : deltas) {
            // Between frames the event loop hands over the covers decoded meanwhile, as in the window.
            QCoreApplication::processEvents();
            const auto t0 = std::chrono::steady_clock::now();
            const double c0 = processCpuMs();
            c.view.scrollBy(d);
            c.view.repaint();
            cpu += processCpuMs() - c0;
            ms += msSince(t0);
            ++frames;
        }
        c.view.scrollBy(-1e9);  // back to the start, outside the timed frames
        state.SetIterationTime(ms / 1000 / std::max(1.0, frames) * double(deltas.size()));
    }
    state.counters["ms_per_frame"] = ms / frames;
    state.counters["cpu_ms_per_frame"] = cpu / frames;
}

void BM_CrateScrollTo(benchmark::State& state) {
    Crate c(int(state.range(0)), int(state.range(1)));
    double frames = 0, ms = 0;
    int target = 5000;
    for (auto _ : state) {
        double iterMs = 0;
        c.selection = target;
        c.view.inputsChanged();
        while (c.view.scrollingTo()) {
            QCoreApplication::processEvents(QEventLoop::AllEvents, 5);  // the animation steps on its own clock
            const auto t0 = std::chrono::steady_clock::now();
            c.view.repaint();
            iterMs += msSince(t0);
            ++frames;
        }
        ms += iterMs;
        state.SetIterationTime(iterMs / 1000);
        target = target == 5000 ? 4990 : 5000;
    }
    state.counters["ms_per_frame"] = ms / std::max(1.0, frames);
}

// The peer: Qt's own list view of the same names, scrolled by the same pixels per frame.
void BM_PeerListViewFling(benchmark::State& state) {
    app();
    QStringList names;
    for (const auto& t : tracks()) names << QString::fromStdString(t.name);
    QStringListModel model(names);
    QListView view;
    view.setModel(&model);
    view.setUniformItemSizes(true);
    view.setVerticalScrollMode(QAbstractItemView::ScrollPerPixel);
    view.resize(int(state.range(0)), int(state.range(1)));
    view.show();
    QCoreApplication::processEvents();
    const auto deltas = flingDeltas();
    double frames = 0, ms = 0, cpu = 0;
    for (auto _ : state) {
        double pos = 0;
        for (double d : deltas) {
            const auto t0 = std::chrono::steady_clock::now();
            const double c0 = processCpuMs();
            pos += d;
            view.verticalScrollBar()->setValue(int(pos));
            view.viewport()->repaint();
            cpu += processCpuMs() - c0;
            ms += msSince(t0);
            ++frames;
        }
        view.verticalScrollBar()->setValue(0);
        state.SetIterationTime(ms / 1000 / std::max(1.0, frames) * double(deltas.size()));
    }
    state.counters["ms_per_frame"] = ms / frames;
    state.counters["cpu_ms_per_frame"] = cpu / frames;
}

}  // namespace

BENCHMARK(BM_CrateWheelFling)->Args({1000, 800})->Args({290, 800})->UseManualTime()->Unit(benchmark::kMillisecond);
BENCHMARK(BM_CrateScrollTo)->Args({1000, 800})->Args({290, 800})->UseManualTime()->Unit(benchmark::kMillisecond);
BENCHMARK(BM_PeerListViewFling)->Args({1000, 800})->Args({290, 800})->UseManualTime()->Unit(benchmark::kMillisecond);
