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

void BM_WholeWindowFrame(benchmark::State& state) {
    app();
    LiveWindow w;
    QImage img(w.screen->size(), QImage::Format_ARGB32_Premultiplied);
    for (auto _ : state) {
        w.tick();
        w.screen->render(&img);
    }
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

BENCHMARK(BM_WholeWindowTick)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_WholeWindowFrame)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_PeerPlainListsFrame)->Unit(benchmark::kMillisecond);

}  // namespace
