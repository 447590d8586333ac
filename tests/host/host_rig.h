#pragma once
// A controller on its own main queue with every outside part in process: loopback MIDI, a recording
// datagram sink, a temp folder for the logo, the Serato folder and a fake /proc, and its own MIDI settings.
#include "host/host_state.h"
#include "link/orv_test_support.h"
#include "link/temp_folder.h"
#include "platform/log.h"
#include "platform/queue_executor.h"
#include "platform/settings.h"
#include "host/serato_parts.h"

#include <asio/io_context.hpp>
#include <asio/ip/udp.hpp>

#include <filesystem>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace plindo::host::testing {

inline int freeUdpPort() {
    asio::io_context io;
    asio::ip::udp::socket s(io, asio::ip::udp::endpoint(asio::ip::address_v4::loopback(), 0));
    return s.local_endpoint().port();
}

struct HostRig {
    link::testing::TempFolder temp{"plindo-host"};
    platform::MemorySettings settings;
    platform::QueueExecutor main;
    platform::LoopbackMidiBackend midi;
    link::testing::RecordingSink sink;
    library::SeratoLibrary library{temp.dir / "Music" / "_Serato_"};
    serato::SeratoOutSettings outSettings;
    serato::MIDIBridgeClient bridge{1};  // never enabled in tests: it never probes
    std::mutex stepsMutex;
    std::vector<std::string> steps;
    int deviceReloads = 0;
    std::vector<motion::AudioOutDevice::Raw> cards;  // besides the built-in "null" and "file"
    std::unique_ptr<HostState> host;
    const platform::Clock* clock = nullptr;  // null: the system's

    HostRig() {
        platform::setLogFolder("");
        settings.setValue("orv.oscPort", freeUdpPort());
        std::filesystem::create_directories(temp.dir / "proc");
    }
    ~HostRig() { destroy(); }

    HostState::Deps deps() { return deps(main); }
    // With another main actor, such as the window's thread.
    HostState::Deps deps(platform::MainExecutor& on) {
        return HostState::Deps{.settings = settings,
                               .main = on,
                               .clock = clock ? *clock : platform::systemClock(),
                               .interfaces = [] { return std::vector<platform::NetInterface>{}; },
                               .deviceSource =
                                   [this] {
                                       ++deviceReloads;
                                       return cards;
                                   },
                               .homeFolder = temp.dir.string(),
                               .trackServerPort = 0,
                               .midi = &midi,
                               .sink = &sink,
                               .seratoLibrary = &library,
                               .procRoot = (temp.dir / "proc").string(),
                               .tempFolder = (temp.dir / "tmp").string(),
                               .tapPortNamespace = "plindo-test-" + std::to_string(::getpid()),
                               .bridge = &bridge,
                               .outSettings = &outSettings,
                               .trace = [this](const std::string& s) {
                                   std::lock_guard g(stepsMutex);
                                   steps.push_back(s);
                               }};
    }
    HostState& make() {
        main.invokeSync([&] { host = std::make_unique<HostState>(deps()); });
        return *host;
    }
    HostState& started() {
        make();
        onMain([&] { host->start(); });
        return *host;
    }
    void destroy() {
        if (host) main.invokeSync([&] { host.reset(); });
        main.drain();
    }
    template <typename F>
    void onMain(F&& f) {
        main.invokeSync(std::forward<F>(f));
        main.drain();
    }
    std::vector<std::string> stepsSoFar() {
        std::lock_guard g(stepsMutex);
        return steps;
    }
};

}  // namespace plindo::host::testing
