// The whole main window at 1600×1000 with both decks playing: one tick (the decks move, the frame clock steps)
// and one frame (the tick, then the window painted into an image). The peer is a plain Qt window of the same
// size with two list views of the same tracks, painted the same way.
#include "../../../tests/ui/fake_host.h"
#include "../synthetic_track.h"
#include "ui/kit/frame_clock.h"
#include "ui/main/host_main_screen.h"

#include <QApplication>
#include <QHBoxLayout>
#include <QImage>
#include <QListWidget>
#include <QPainter>

#include <benchmark/benchmark.h>

#include <algorithm>
#include <chrono>
#include <vector>

namespace {

using plindo::test::FakeHost;

void app() {
    static int argc = 1;
    static char name[] = "bench";
    static char* argv[] = {name, nullptr};
    static QApplication* a = [] {
        qputenv("QT_QPA_PLATFORM", "offscreen");
        return new QApplication(argc, argv);
    }();
    (void)a;
}

plindo::host::LibPane pane(const std::string& view) {
    plindo::host::LibPane p;
    for (int i = 0; i < 200; ++i) p.tracks.push_back({"/music/t" + std::to_string(i) + ".mp3", "Track " + std::to_string(i)});
    p.crateTree = {plindo::library::CrateNode{"House", "House", std::vector<plindo::library::CrateNode>{
                                                                     {"Deep", "House%%Deep", std::nullopt}}}};
    p.expanded = {"House"};
    p.view = view;
    return p;
}

struct LiveWindow {
    FakeHost host;
    std::unique_ptr<plindo::ui::HostMainScreen> screen;
    double pos = 30;
    LiveWindow() {
        plindo::ui::FrameClock::shared().setManual(true);
        host.assignPane(0, pane("kiste"));
        host.assignPane(1, pane("liste"));
        auto env = std::make_shared<plindo::library::PeakEnvelope>(plindo::bench::syntheticEnvelope(60000, 240, true));
        for (int d : {1, 2}) host.assignDeckEnv(d, env);
        screen = std::make_unique<plindo::ui::HostMainScreen>(host);
        screen->resize(1600, 1000);
        screen->show();
        QCoreApplication::processEvents();
    }
    void tick() {
        pos += 1.0 / 60;
        for (int d : {1, 2}) {
            plindo::host::DeckInfo info;
            info.path = "/music/t" + std::to_string(d) + ".mp3";
            info.name = "Track " + std::to_string(d);
            info.posSec = pos;
            info.rate = 1.0;
            info.durationSec = 240;
            info.remoteFresh = true;
            host.assignDeck(d, info);
        }
        plindo::ui::FrameClock::shared().step();
        QCoreApplication::sendPostedEvents();
    }
};

void BM_WholeWindowTick(benchmark::State& state) {
    app();
    LiveWindow w;
    for (auto _ : state) w.tick();
}

// The 99th percentile of the frames' wall times in milliseconds: a frame must never wait on a blur or a file.
double p99Ms(std::vector<double> ms) {
    if (ms.empty()) return 0;
    const size_t at = std::min(ms.size() - 1, size_t(double(ms.size()) * 0.99));
    std::nth_element(ms.begin(), ms.begin() + std::ptrdiff_t(at), ms.end());
    return ms[at];
}

void BM_WholeWindowFrame(benchmark::State& state) {
    app();
    LiveWindow w;
    QImage img(w.screen->size(), QImage::Format_ARGB32_Premultiplied);
    std::vector<double> frames;
    for (auto _ : state) {
        const auto t0 = std::chrono::steady_clock::now();
        w.tick();
        w.screen->render(&img);
        frames.push_back(std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - t0).count());
    }
    state.counters["p99_ms"] = p99Ms(std::move(frames));
}

void BM_PeerPlainListsFrame(benchmark::State& state) {
    app();
    QWidget peer;
    auto* row = new QHBoxLayout(&peer);
    for (int l = 0; l < 2; ++l) {
        auto* list = new QListWidget;
        for (int i = 0; i < 200; ++i) list->addItem("Track " + QString::number(i));
        row->addWidget(list);
    }
    peer.resize(1600, 1000);
    peer.show();
    QCoreApplication::processEvents();
    QImage img(peer.size(), QImage::Format_ARGB32_Premultiplied);
    for (auto _ : state) peer.render(&img);
}

// CPU time of the whole process: work the raster engine hands to its thread pool counts too.
BENCHMARK(BM_WholeWindowTick)->Unit(benchmark::kMillisecond)->MeasureProcessCPUTime();
BENCHMARK(BM_WholeWindowFrame)->Unit(benchmark::kMillisecond)->MeasureProcessCPUTime();
BENCHMARK(BM_PeerPlainListsFrame)->Unit(benchmark::kMillisecond)->MeasureProcessCPUTime();

}  // namespace
