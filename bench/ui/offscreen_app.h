#pragma once
// Painting benchmarks need a GUI application for fonts; this makes one on the offscreen platform once.
#include <QGuiApplication>

namespace plindo::bench {

inline void offscreenApp() {
    static int argc = 1;
    static char name[] = "bench";
    static char* argv[] = {name, nullptr};
    static QGuiApplication* app = [] {
        qputenv("QT_QPA_PLATFORM", "offscreen");
        return new QGuiApplication(argc, argv);
    }();
    (void)app;
}

}  // namespace plindo::bench
