// The host's entry point. `--headless` runs the host without a window: the phone server, the players, the
// MIDI parts and the control endpoint, with status lines on stderr and in the log.
#include "host/host_state.h"
#include "host/qt_main_executor.h"
#include "platform/log.h"
#include "platform/midi_backend.h"
#include "platform/service_discovery.h"
#include "platform/settings.h"

#include <QCoreApplication>
#include <QTimer>

#include <atomic>
#include <charconv>
#include <csignal>
#include <cstdio>
#include <memory>
#include <optional>
#include <string>

namespace {
std::atomic<bool> quitRequested{false};
void onSignal(int) { quitRequested = true; }

void usage() {
    std::fprintf(stderr,
                 "usage: plindo --headless [--http-port N] [--midi alsa|loopback] [--deck1 PATH] [--deck2 PATH]\n"
                 "  --http-port  the track server and control endpoint port (default 17600)\n"
                 "  --midi       the MIDI system: the ALSA sequencer (default, loopback where there is none)\n"
                 "               or an in-process loopback\n"
                 "  settings: $XDG_CONFIG_HOME/plindo/settings.json\n");
}

struct Options {
    bool headless = false;
    int httpPort = plindo::link::DeckFileServer::kDefaultPort;
    std::string midi;  // empty: the system's, with the loopback fallback
    std::string deckPath[2];
};

std::optional<int> readPort(const std::string& text) {
    int v = -1;
    const auto [ptr, ec] = std::from_chars(text.data(), text.data() + text.size(), v);
    if (ec != std::errc() || ptr != text.data() + text.size() || v < 0 || v > 65535) return std::nullopt;
    return v;
}

// 0: run; otherwise the exit code.
int parse(int argc, char** argv, Options& o) {
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        const bool hasValue = i + 1 < argc;
        if (a == "--headless") {
            o.headless = true;
        } else if (a == "--http-port" && hasValue) {
            const auto port = readPort(argv[++i]);
            if (!port) {
                std::fprintf(stderr, "plindo: --http-port takes a port number 0 to 65535\n");
                return 2;
            }
            o.httpPort = *port;
        } else if (a == "--midi" && hasValue) {
            o.midi = argv[++i];
            if (o.midi != "alsa" && o.midi != "loopback") {
                std::fprintf(stderr, "plindo: --midi takes alsa or loopback\n");
                return 2;
            }
        } else if ((a == "--deck1" || a == "--deck2") && hasValue) {
            o.deckPath[a == "--deck1" ? 0 : 1] = argv[++i];
        } else if (a == "--help" || a == "-h") {
            usage();
            return -1;
        } else {
            usage();
            return 2;
        }
    }
    return 0;
}

// Everything the controller needs for the life of the process, made in one place for every mode.
struct Controller {
    plindo::platform::FileSettings settings{plindo::platform::FileSettings::defaultPath()};
    std::unique_ptr<plindo::platform::ServiceAdvertiser> advertiser = plindo::platform::makeAvahiAdvertiser();
    std::shared_ptr<plindo::platform::ServiceBrowser> browser = plindo::platform::makeAvahiBrowser();
    std::unique_ptr<plindo::platform::MidiBackend> midi;
    plindo::host::QtMainExecutor main;
    std::unique_ptr<plindo::host::HostState> host;
};

// Must run on the main thread after the application object exists.
std::unique_ptr<Controller> makeController(const Options& o) {
    auto c = std::make_unique<Controller>();
    if (o.midi == "loopback") c->midi = std::make_unique<plindo::platform::LoopbackMidiBackend>();
    if (o.midi == "alsa") c->midi = plindo::platform::makeSystemMidiBackend();
    c->host = std::make_unique<plindo::host::HostState>(plindo::host::HostState::Deps{.settings = c->settings,
                                                                                     .main = c->main,
                                                                                     .advertiser = c->advertiser.get(),
                                                                                     .browser = c->browser,
                                                                                     .trackServerPort = o.httpPort,
                                                                                     .midi = c->midi.get()});
    QObject::connect(QCoreApplication::instance(), &QCoreApplication::aboutToQuit, c->host.get(),
                     [h = c->host.get()] { h->terminate(); });
    return c;
}
}  // namespace

int main(int argc, char** argv) {
    Options options;
    const int rc = parse(argc, argv, options);
    if (rc != 0) return rc < 0 ? 0 : rc;
    if (!options.headless) {
        std::fprintf(stderr, "plindo: this build runs headless only; pass --headless\n");
        return 2;
    }

    QCoreApplication app(argc, argv);
    std::signal(SIGINT, onSignal);
    std::signal(SIGTERM, onSignal);
    std::signal(SIGPIPE, SIG_IGN);  // a phone that drops its connection mid-download must not end the host
    QTimer quitPoll;
    QObject::connect(&quitPoll, &QTimer::timeout, [&] {
        if (quitRequested) app.quit();
    });
    quitPoll.start(100);

    auto controller = makeController(options);
    auto& host = *controller->host;
    host.start();
    for (int d = 0; d < 2; ++d) {
        if (!options.deckPath[d].empty()) host.loadTrack(d + 1, options.deckPath[d]);
    }
    const int code = app.exec();
    plindo::platform::logger("host").info("Plindo: stopping");
    controller.reset();
    return code;
}
