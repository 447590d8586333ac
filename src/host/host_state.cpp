#include "host/host_state.h"

#include "group/host_wire_name.h"
#include "host/self_tests.h"
#include "library/deck_file_payloads.h"
#include "link/peer_track_fetch.h"
#include "platform/log.h"

#include <algorithm>
#include <cmath>
#include <thread>

namespace plindo::host {

namespace {
constexpr int kDefaultOscPort = 7100;
// An external playhead update older than this says nothing about the current speed.
constexpr double kPlayheadRateWindowSec = 0.5;
// Rates derived from playhead jumps are clamped: a seek must not read as a 1000x spin.
constexpr double kPlayheadRateLimit = 4.0;

spdlog::logger& log() { return platform::logger("host"); }
}  // namespace

HostState::HostState(Deps deps)
    : HostUi(deps.main),
      config_(deps.settings, deps.homeFolder),
      settings_(deps.settings),
      main_(deps.main),
      clock_(deps.clock),
      advertiser_(deps.advertiser),
      interfaces_(std::move(deps.interfaces)),
      browser_(std::move(deps.browser)),
      deviceSource_(std::move(deps.deviceSource)),
      trackServerPort_(deps.trackServerPort) {
    // Views re-read the settings on this notice (the layout target, the settings window).
    config_.addChangeListener([this] { noteConfigChanged(); });
    server = std::make_unique<link::OrvServer>(link::OrvServer::Deps{.main = main_,
                                                                     .clock = clock_,
                                                                     .interfaces = interfaces_,
                                                                     .advertiser = advertiser_,
                                                                     .sink = nullptr,
                                                                     .serviceName = {}});
    playheadIn = std::make_unique<link::OSCPlayheadIn>();
    fileServer = std::make_unique<link::DeckFileServer>(advertiser_, group::hostWireName(settings_), &main_);
    fileServer->payloads = library::deckFilePayloads();
    fileServer->onStatus = [this](const std::string& line) { postStatus(line); };
}

HostState::~HostState() {
    // The inputs go first so that no callback reaches a player that is being torn down.
    playheadIn.reset();
    server.reset();
    fileServer.reset();
    for (auto& p : players) {
        if (p && p->out) p->out->stop();
    }
    players.clear();
}

int HostState::oscPort() const {
    const auto v = settings_.intValue("orv.oscPort").value_or(0);
    return v > 0 && v <= 65535 ? static_cast<int>(v) : kDefaultOscPort;
}

int HostState::playheadPort() const { return config_.meOscPort(); }

void HostState::loadDeviceChannels() {
    const auto found = deviceSource_ ? motion::AudioOutDevice::outputDevices(deviceSource_)
                                     : motion::AudioOutDevice::outputDevices();
    assignDevices(found);
    for (int i = 0; i < 2; ++i) {
        const auto uid = config_.deviceUID(i + 1).value_or("");
        const bool known = std::any_of(found.begin(), found.end(), [&](const auto& d) { return d.uid == uid; });
        if (!uid.empty() && known) {
            assignSelectedUID(i, uid);
        } else if (selectedUID()[i].empty()) {
            assignSelectedUID(i, found.empty() ? std::string() : found.front().uid);
        }
        int channels = 2;
        for (const auto& d : found) {
            if (d.uid == selectedUID()[i]) channels = d.channels;
        }
        const auto stored = settings_.intValue("orv.devChan." + std::to_string(i + 1)).value_or(0);
        const int64_t want = std::max<int64_t>(0, stored);
        assignSelectedChan(i, static_cast<int>(std::min<int64_t>(std::max(0, channels - 2), want)));
    }
}

void HostState::start() {
    loadDeviceChannels();
    if (phase_ != Phase::start) return;
    if (!selectedDevice(0) || !selectedDevice(1)) {
        setStatus("Plindo: choose an output device for both decks");
        return;
    }
    startServices();
}

void HostState::startServices() {
    for (int i = 0; i < 2; ++i) {
        const auto device = *selectedDevice(i);
        auto player = std::make_unique<motion::FollowPlayer>(device, selectedChan()[i],
                                                             motion::FollowPlayer::defaultBufferFrames, clock_);
        player->onStatus = [this](const std::string& line) { postStatus(line); };
        player->loadMain = &main_;
        if (browser_) player->peerFetch = link::peerTrackFetch(browser_, group::hostWireName(settings_));
        player->start(config_);
        players.push_back(std::move(player));
    }

    if (config_.anyDeckSharesTracks()) {
        fileServer->start(trackServerPort_);
        const int bound = fileServer->boundPort();
        if (bound > 0 && bound != link::DeckFileServer::kDefaultPort) server->setHttpPortOverride(bound);
    }
    wireServer();
    server->start(oscPort(), motion::HostConfig::bindStaleSec);
    runAndLogSelfTests();

    if (config_.mePlayhead()) {
        playheadIn->onPlayhead = [this](int deckIndex, double seconds) { routePlayhead(deckIndex, seconds); };
        playheadIn->onStatus = [this](const std::string& line) { setStatus(line); };
        playheadIn->start(static_cast<uint16_t>(playheadPort()));
    }
    phase_ = Phase::main;
}

void HostState::wireServer() {
    auto& s = *server;
    auto& serverLog = platform::logger("orv-server");
    // Runs on the server queue: the hot path takes only cell locks.
    s.onFrame = [this](int deck, std::string_view, double, double,
                       std::span<const link::OrvServer::FrameSample> samples) {
        routeFrame(deck, samples, clock_.now());
    };
    s.onStatus = [this](const std::string& line) { postStatus(line); };
    s.onHello = [&serverLog](int deck, const std::string& name, const std::string& mode) {
        serverLog.info("hello: deck {} from \"{}\" ({})", deck, name, mode);
    };
    s.onRemoteLoad = [&serverLog](int deck, const std::string& path) {
        serverLog.info("deck {}: phone loads \"{}\"", deck, path);
    };
    s.onPeerJoined = [&serverLog](const std::string& name) { serverLog.info("group peer \"{}\" joined", name); };
    s.onSeek = [this](int deck, double seconds) {
        if (deck < 1 || deck > 2 || !std::isfinite(seconds)) return;
        integrators[deck - 1].seek(seconds);
        if (static_cast<size_t>(deck) <= players.size()) players[deck - 1]->seek.request(std::max(0.0, seconds));
    };
}

void HostState::routeFrame(int deck, std::span<const link::OrvServer::FrameSample> samples, double now) {
    if (deck < 1 || deck > 2 || samples.empty() || players.size() < 2) return;
    const auto r = integrators[deck - 1].cell.update([&](motion::AngleIntegrator::State& st) {
        for (const auto& smp : samples) motion::AngleIntegrator::step(st, smp.angle, smp.ts);
        return motion::AngleIntegrator::Result{st.posSec, st.rate};
    });
    if (!std::isfinite(r.posSec) || !std::isfinite(r.rate)) return;
    players[deck - 1]->anchor.cell.write({r.posSec, now, r.rate, true});
}

void HostState::routePlayhead(int deckIndex, double seconds) {
    if (deckIndex < 0 || deckIndex > 1 || !std::isfinite(seconds) || players.size() < 2) return;
    const double now = clock_.now();
    auto& t = playheadTrack_[deckIndex];
    double rate = 0;
    if (t.seen && now - t.wall > 0 && now - t.wall < kPlayheadRateWindowSec) {
        rate = std::clamp((seconds - t.pos) / (now - t.wall), -kPlayheadRateLimit, kPlayheadRateLimit);
    }
    t = {seconds, now, true};
    players[deckIndex]->anchor.cell.write({std::max(0.0, seconds), now, rate, true});
}

void HostState::loadTrack(int deck, const std::string& path) {
    if (deck < 1 || deck > 2 || players.size() < 2) return;
    players[deck - 1]->load(path, config_);
}

void HostState::postStatus(const std::string& line) {
    std::weak_ptr<int> alive = life_;
    main_.post([this, alive, line] {
        if (alive.lock()) setStatus(line);
    });
}

void HostState::setStatus(const std::string& line) {
    assignStatusLine(line);
    log().info("{}", line);
    if (onStatusLine) onStatusLine(line);
}

}  // namespace plindo::host
