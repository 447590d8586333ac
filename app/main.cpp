// The host's entry point. `--headless` runs the host without a window: the phone server, the players and
// the inputs, with status lines on stderr and in the log.
#include "host/host_state.h"
#include "host/qt_main_executor.h"
#include "platform/log.h"
#include "platform/service_discovery.h"
#include "platform/settings.h"

#include <QCoreApplication>
#include <QTimer>

#include <atomic>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <string>

namespace {
std::atomic<bool> quitRequested{false};
void onSignal(int) { quitRequested = true; }

void usage() {
    std::fprintf(stderr,
                 "usage: plindo --headless [--deck1 PATH] [--deck2 PATH]\n"
                 "  settings: $XDG_CONFIG_HOME/plindo/settings.json\n");
}
}  // namespace

int main(int argc, char** argv) {
    bool headless = false;
    std::string deckPath[2];
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        if (a == "--headless") {
            headless = true;
        } else if ((a == "--deck1" || a == "--deck2") && i + 1 < argc) {
            deckPath[a == "--deck1" ? 0 : 1] = argv[++i];
        } else if (a == "--help" || a == "-h") {
            usage();
            return 0;
        } else {
            usage();
            return 2;
        }
    }
    if (!headless) {
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

    plindo::platform::FileSettings settings(plindo::platform::FileSettings::defaultPath());
    auto advertiser = plindo::platform::makeAvahiAdvertiser();
    std::shared_ptr<plindo::platform::ServiceBrowser> browser = plindo::platform::makeAvahiBrowser();
    plindo::host::QtMainExecutor main;
    plindo::host::HostState host({.settings = settings, .main = main, .advertiser = advertiser.get(), .browser = browser});
    host.start();
    for (int d = 0; d < 2; ++d) {
        if (!deckPath[d].empty()) host.loadTrack(d + 1, deckPath[d]);
    }
    const int rc = app.exec();
    plindo::platform::logger("host").info("Plindo: stopping");
    return rc;
}
