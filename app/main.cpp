// The host's entry point. Plain `plindo` opens the window; `--headless` runs the same controller without
// one: the phone server, the players and the inputs, with status lines on stderr and in the log. Either way
// one copy runs per user and settings folder.
#include "host/host_state.h"
#include "host/launch_options.h"
#include "host/qt_main_executor.h"
#include "host/single_instance.h"
#include "platform/log.h"
#include "platform/midi_backend.h"
#include "platform/service_discovery.h"
#include "platform/settings.h"
#include "ui/kit/dark_theme.h"
#include "ui/main/file_dialogs.h"
#include "ui/main/host_main_window.h"

#include <QApplication>
#include <QCoreApplication>
#include <QFileInfo>
#include <QScreen>
#include <QTimer>

#include <atomic>
#include <csignal>
#include <cstdio>
#include <memory>
#include <string>

// Sanitizer builds only: fontconfig, D-Bus and Qt's font and platform plugins keep caches for the life of the
// process on purpose.
extern "C" const char* __lsan_default_suppressions() {
    return "leak:libfontconfig\nleak:FcPattern\nleak:FcFontSet\nleak:libQt6Gui\nleak:QFontDatabase\n"
           "leak:libQt6XcbQpa\nleak:libxcb\nleak:libX11\nleak:libdbus\nleak:libjack\nleak:libportaudio\n"
           "leak:libasound\n";
}

namespace {

using namespace plindo;

constexpr int kScreenshotDelayMs = 2000;  // time for the first frames and the controller's start to settle
constexpr int kWindowWidth = 1400;
constexpr int kWindowHeight = 900;

std::atomic<bool> quitRequested{false};
void onSignal(int) { quitRequested = true; }

// The controller and what it is built on, the same in both modes.
struct Controller {
    platform::FileSettings settings{platform::FileSettings::defaultPath()};
    std::unique_ptr<platform::ServiceAdvertiser> advertiser = platform::makeAvahiAdvertiser();
    std::shared_ptr<platform::ServiceBrowser> browser = platform::makeAvahiBrowser();
    std::unique_ptr<platform::MidiBackend> midi;  // null: the controller picks the sequencer or a loopback
    host::QtMainExecutor main;
    std::unique_ptr<host::HostState> host;
};

// Must run on the main thread once the application object exists.
std::unique_ptr<Controller> buildController(const host::LaunchOptions& o) {
    auto c = std::make_unique<Controller>();
    if (o.midi == "loopback") c->midi = std::make_unique<platform::LoopbackMidiBackend>();
    if (o.midi == "alsa") c->midi = platform::makeSystemMidiBackend();
    c->host = std::make_unique<host::HostState>(host::HostState::Deps{.settings = c->settings,
                                                                     .main = c->main,
                                                                     .advertiser = c->advertiser.get(),
                                                                     .browser = c->browser,
                                                                     .trackServerPort = o.httpPort,
                                                                     .midi = c->midi.get()});
    // However the application ends, the track server, the screen tap and the MIDI output go first.
    QObject::connect(QCoreApplication::instance(), &QCoreApplication::aboutToQuit, c->host.get(),
                     [h = c->host.get()] { h->terminate(); });
    return c;
}

void loadDeckPaths(host::HostState& host, const host::LaunchOptions& o) {
    for (int d = 0; d < 2; ++d) {
        if (!o.deckPath[d].empty()) host.loadDeck(d + 1, o.deckPath[d]);
    }
}

QString settingsFolder() {
    return QFileInfo(QString::fromStdString(platform::FileSettings::defaultPath())).absolutePath();
}

// SIGINT and SIGTERM end the program through the same road as Quit, also when they arrive during start-up.
void catchSignals() {
    std::signal(SIGINT, onSignal);
    std::signal(SIGTERM, onSignal);
    std::signal(SIGPIPE, SIG_IGN);  // a phone that drops its connection mid-download must not end the host
}

void watchSignals(QCoreApplication& app, const std::function<void()>& quit) {
    auto* poll = new QTimer(&app);
    QObject::connect(poll, &QTimer::timeout, &app, [quit] {
        if (quitRequested.exchange(false)) quit();
    });
    poll->start(100);
}

bool haveDisplay() {
    for (const char* v : {"DISPLAY", "WAYLAND_DISPLAY", "QT_QPA_PLATFORM"}) {
        if (!qEnvironmentVariableIsEmpty(v)) return true;
    }
    return false;
}

int runHeadless(int argc, char** argv, const host::LaunchOptions& o) {
    QCoreApplication app(argc, argv);
    host::SingleInstance instance(settingsFolder());
    const auto claim = instance.claimHeadless();
    if (claim.outcome != host::SingleInstance::Outcome::first) {
        if (!claim.error.isEmpty()) std::fprintf(stderr, "plindo: %s\n", qPrintable(claim.error));
        else std::fprintf(stderr, "plindo: another copy is running (pid %lld)\n", static_cast<long long>(claim.holderPid));
        return 1;
    }
    if (!claim.warning.isEmpty()) std::fprintf(stderr, "plindo: %s\n", qPrintable(claim.warning));
    auto c = buildController(o);
    watchSignals(app, [&] {
        instance.release();
        c->host->terminate();
        app.quit();
    });
    c->host->start();
    loadDeckPaths(*c->host, o);
    const int rc = app.exec();
    platform::logger("host").info("Plindo: stopping");
    platform::flushLog();
    return rc;
}

int runWindow(int argc, char** argv, const host::LaunchOptions& o) {
    QApplication app(argc, argv);
    app.setApplicationName("Plindo");
    ui::applyDarkTheme(app);
    host::SingleInstance instance(settingsFolder());
    const auto claim = instance.claimWindowed();
    if (claim.outcome == host::SingleInstance::Outcome::activatedOther) {
        std::fprintf(stderr, "plindo: already running (pid %lld); brought it to the front\n",
                     static_cast<long long>(claim.holderPid));
        return 0;
    }
    if (claim.outcome == host::SingleInstance::Outcome::headlessOther) {
        std::fprintf(stderr, "plindo: a headless copy is running (pid %lld); it has no window to show\n",
                     static_cast<long long>(claim.holderPid));
        return 1;
    }
    if (claim.outcome == host::SingleInstance::Outcome::heldByOther) {
        if (!claim.error.isEmpty()) std::fprintf(stderr, "plindo: %s\n", qPrintable(claim.error));
        else std::fprintf(stderr, "plindo: another copy is running (pid %lld) and does not answer\n",
                          static_cast<long long>(claim.holderPid));
        return 1;
    }
    if (!claim.warning.isEmpty()) std::fprintf(stderr, "plindo: %s\n", qPrintable(claim.warning));

    auto c = buildController(o);
    ui::QtFileDialogs dialogs;
    ui::HostMainWindow window(*c->host, dialogs);
    int exitCode = 0;
    bool quitting = false;
    auto quit = [&](int code) {
        if (quitting) return;
        quitting = true;
        exitCode = code;
        instance.release();  // first, so a new launch does not find a copy that is going away
        c->host->terminate();
        app.quit();
    };
    QObject::connect(&window, &ui::HostMainWindow::quitRequested, &app, [&] { quit(0); });
    QObject::connect(&instance, &host::SingleInstance::activateRequested, &window, [&window] {
        platform::logger("host").info("Plindo: another launch asked for the window");
        window.activate();
    });
    watchSignals(app, [&] { quit(0); });

    const QScreen* screen = window.QWidget::screen();  // the window's own screen() is its main view
    const QSize wanted(kWindowWidth, kWindowHeight);
    const QSize size = ui::HostMainWindow::startSize(wanted, screen ? screen->availableSize() : QSize());
    window.resize(size);
    // On a screen smaller than the usual size (a laptop), the window takes the whole free area, frame included.
    if (size != wanted) {
        window.showMaximized();
    } else {
        window.show();
    }
    loadDeckPaths(*c->host, o);
    if (o.screenshot) {
        QTimer::singleShot(kScreenshotDelayMs, &window, [&] {
            const QString path = QString::fromStdString(*o.screenshot);
            const bool saved = window.grab().save(path, "PNG");
            if (!saved) std::fprintf(stderr, "plindo: cannot write the screenshot %s\n", qPrintable(path));
            quit(saved ? 0 : 1);
        });
    }
    const int rc = app.exec();
    platform::logger("host").info("Plindo: stopping");
    platform::flushLog();
    return rc != 0 ? rc : exitCode;
}

}  // namespace

int main(int argc, char** argv) {
    std::vector<std::string> args(argv + 1, argv + argc);
    const auto o = host::parseLaunchOptions(args);
    if (!o.error.empty() || o.help) {
        if (!o.error.empty()) std::fprintf(stderr, "plindo: %s\n", o.error.c_str());
        std::fputs(host::launchUsage().c_str(), stderr);
        return o.error.empty() ? 0 : 2;
    }
    catchSignals();
    if (o.headless) return runHeadless(argc, argv, o);
    if (!haveDisplay()) {
        std::fprintf(stderr, "plindo: no display found; run `plindo --headless` for the host without a window\n");
        return 2;
    }
    return runWindow(argc, argv, o);
}
