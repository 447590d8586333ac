#pragma once
// The host controller: owns every long-lived part, starts them in order and routes phone events to the
// players. This is the headless core; the window reads its status line and the parts it owns.
#include "host/host_ui.h"
#include "link/deck_file_server.h"
#include "link/orv_server.h"
#include "link/osc_playhead_in.h"
#include "motion/angle_integrator.h"
#include "motion/audio_out_device.h"
#include "motion/follow_player.h"
#include "motion/host_config.h"
#include "platform/clock.h"
#include "platform/main_executor.h"
#include "platform/service_discovery.h"
#include "platform/settings.h"

#include <array>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace plindo::host {

class HostState final : public HostUi {
    Q_OBJECT

public:
    enum class Phase { start, main };

    struct Deps {
        platform::Settings& settings;
        platform::MainExecutor& main;
        const platform::Clock& clock = platform::systemClock();
        platform::ServiceAdvertiser* advertiser = nullptr;
        platform::InterfaceSource interfaces = platform::systemInterfaces;
        std::shared_ptr<platform::ServiceBrowser> browser;  // null: no peer fetch
        motion::AudioOutDevice::Source deviceSource;        // empty: the system's devices
        std::string homeFolder;                              // empty: $HOME
        int trackServerPort = link::DeckFileServer::kDefaultPort;  // 0: an ephemeral port (tests)
    };

    explicit HostState(Deps deps);
    ~HostState() override;
    HostState(const HostState&) = delete;
    HostState& operator=(const HostState&) = delete;

    // Reloads devices and channels; when both decks have an output device and the services have not started
    // yet, starts them: players, the phone server, the external playhead when "orv.mePlayhead" is on.
    void start() override;

    // Loads a track into a deck (1 or 2) through the track server, as a phone's load would. Status lines
    // report the outcome.
    void loadTrack(int deck, const std::string& path);

    // Enumerates the output devices and picks each deck's device and first channel.
    void loadDeviceChannels() override;

    // Where each new status line goes besides the published one (set before start).
    std::function<void(const std::string&)> onStatusLine;
    Phase phase() const { return phase_; }

    motion::HostConfig& config() override { return config_; }
    double mediaNow() const override { return clock_.now(); }

    std::array<motion::AngleIntegrator, 2> integrators;
    std::vector<std::unique_ptr<motion::FollowPlayer>> players;  // empty until the services start
    std::unique_ptr<link::OrvServer> server;
    std::unique_ptr<link::OSCPlayheadIn> playheadIn;
    std::unique_ptr<link::DeckFileServer> fileServer;

    // The OSC server's port setting: "orv.oscPort", 7100 when not above 0.
    int oscPort() const;
    // The playhead port setting: "orv.meOscPort", 6000 when not above 0.
    int playheadPort() const;

private:
    void startServices();
    void wireServer();
    void routeFrame(int deck, std::span<const link::OrvServer::FrameSample> samples, double now);
    void routePlayhead(int deckIndex, double seconds);
    void setStatus(const std::string& line);
    // A status line from any thread: hops to the main thread.
    void postStatus(const std::string& line);

    motion::HostConfig config_;
    platform::Settings& settings_;
    platform::MainExecutor& main_;
    const platform::Clock& clock_;
    platform::ServiceAdvertiser* advertiser_;
    platform::InterfaceSource interfaces_;
    std::shared_ptr<platform::ServiceBrowser> browser_;
    motion::AudioOutDevice::Source deviceSource_;
    int trackServerPort_;
    Phase phase_ = Phase::start;

    // The last external playhead position per deck, to derive its rate (playhead queue only).
    struct PlayheadTrack {
        double pos = 0;
        double wall = 0;
        bool seen = false;
    };
    std::array<PlayheadTrack, 2> playheadTrack_{};
    std::shared_ptr<int> life_ = std::make_shared<int>(0);        // posted work holds it weakly
};

}  // namespace plindo::host
