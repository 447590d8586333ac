#include "host/host_state.h"

#include "host/serato_parts.h"

#include "group/host_wire_name.h"
#include "host/self_tests.h"
#include "library/cover_store.h"
#include "library/deck_file_payloads.h"
#include "link/peer_track_fetch.h"
#include "platform/log.h"
#include "platform/realtime_thread.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>

namespace plindo::host {

namespace {
constexpr int kDefaultOscPort = 7100;
constexpr auto kPumpPeriodNs = int64_t(2'000'000);

spdlog::logger& log() { return platform::logger("host"); }

std::string defaultTempFolder() {
    const char* t = std::getenv("TMPDIR");
    return t && *t ? t : "/tmp";
}
}  // namespace

HostState::HostState(Deps deps)
    : HostUi(deps.main),
      feeds(std::make_shared<DeckFeeds>(deps.clock)),
      hostMotor(feeds->hostMotor),
      config_(deps.settings, deps.homeFolder),
      settings_(deps.settings),
      main_(deps.main),
      clock_(deps.clock),
      advertiser_(deps.advertiser),
      interfaces_(std::move(deps.interfaces)),
      browser_(std::move(deps.browser)),
      deviceSource_(std::move(deps.deviceSource)),
      trackServerPort_(deps.trackServerPort),
      seratoLibrary_(deps.seratoLibrary ? *deps.seratoLibrary : library::SeratoLibrary::shared()),
      procRoot_(std::move(deps.procRoot)),
      tempFolder_(deps.tempFolder.empty() ? defaultTempFolder() : std::move(deps.tempFolder)),
      bridge_(deps.bridge ? *deps.bridge : serato::MIDIBridgeClient::shared()),
      outSettings_(deps.outSettings ? *deps.outSettings : serato::seratoOutSettings()),
      trace_(std::move(deps.trace)) {
    // The MIDI system: the one given, else the sequencer; where that is not there, an in-process loopback,
    // so that every road still runs.
    midi_ = deps.midi;
    if (!midi_) {
        ownedMidi_ = platform::makeSystemMidiBackend();
        midi_ = ownedMidi_.get();
    }
    if (!midi_->available()) {
        const std::string why = midi_->status();
        ownedMidi_ = std::make_unique<platform::LoopbackMidiBackend>();
        midi_ = ownedMidi_.get();
        setStatus("MIDI: no sequencer (" + why + ") \u2014 in-process loopback");
    }
    if (auto* loop = dynamic_cast<platform::LoopbackMidiBackend*>(midi_)) {
        midiName_ = "loopback";
        loop->setRecordLimit(1u << 14);  // "midilog" shows a few seconds of a turning deck's jog messages
    } else {
        midiName_ = "alsa";
    }

    server = std::make_unique<link::OrvServer>(link::OrvServer::Deps{.main = main_,
                                                                     .clock = clock_,
                                                                     .interfaces = interfaces_,
                                                                     .advertiser = advertiser_,
                                                                     .sink = deps.sink,
                                                                     .serviceName = {}});
    seratoOut = std::make_shared<serato::SeratoMIDIOut>(*midi_, bridge_, outSettings_, clock_);
    feeds->seratoOut = seratoOut;
    seratoTap = std::make_unique<serato::SeratoScreenTap>(serato::SeratoScreenTap::Options{
        .main = main_, .clock = clock_, .midi = midi_, .listDestinations = {}, .portNamespace = deps.tapPortNamespace});
    seratoTap->onStatus = [this](const std::string& line) { postStatus(line); };
    seratoIn = std::make_unique<serato::SeratoMIDIIn>(*midi_, main_, &bridge_);
    seratoIn->onStatus = [this](const std::string& line) { postStatus(line); };
    wireSeratoFeedback();
    playheadIn = std::make_unique<link::OSCPlayheadIn>();
    fileServer = std::make_unique<link::DeckFileServer>(advertiser_, group::hostWireName(settings_), &main_);
    fileServer->payloads = library::deckFilePayloads(seratoLibrary_);
    fileServer->onStatus = [this](const std::string& line) { postStatus(line); };
    fileServer->onSeratoRunning = [this] { return seratoRunning_.load(); };
    wireLibrary();
    envelopeQueue_ = std::make_unique<platform::SerialQueue>("plindo.envelope");
    presenceQueue_ = std::make_unique<platform::SerialQueue>("plindo.presence");
    std::weak_ptr<int> alive = life_;
    fileServer->onControl = [this, alive](const std::string& cmd, const std::map<std::string, std::string>& params,
                                          bool loopback, link::DeckFileServer::ControlReply reply) {
        if (!alive.lock()) return reply({{"error", "busy"}});
        auto answer = onControl(cmd, params, loopback, reply);
        if (!answer.is_discarded()) reply(std::move(answer));
    };

    configListener_ = config_.addChangeListener([this] { noteConfigChanged(); });
    every(0.5, [this] { mappingWatch(); });
    every(1.0, [this] { presenceScan(); });
    const QImage logo(QString::fromStdString(logoPath()));
    if (!logo.isNull()) assignDJLogo(logo);
    loadDeviceChannels();
}

HostState::~HostState() {
    terminate();
    presenceQueue_.reset();  // its scan reads the screen tap
    bridgeQueue_.reset();
    config_.removeChangeListener(configListener_);
    // The inputs go first so that no callback reaches a part that is being torn down.
    uplink_.reset();
    playheadIn.reset();
    server.reset();
    fileServer.reset();
    seratoIn.reset();
    seratoTap.reset();
    // The synthesis timers step on their own queue and reach the MIDI output below: stopped (and a running
    // step waited for) before it goes.
    for (auto& rf : feeds->rawFollow) rf->setRawSynth(0, true);
    for (int i = 0; i < 2; ++i) feeds->player[i].write(nullptr);
    for (auto& p : players) {
        if (p && p->out) p->out->stop();
    }
    players.clear();
    retiredPlayers_.clear();
    feeds->seratoOut.reset();
    seratoOut.reset();  // before the MIDI backend it sends through
}

void HostState::step(const std::string& name) {
    if (trace_) trace_(name);
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
    if (settings_.stringValue("orv.hostTarget").value_or("") != "orv") {
        settings_.setValue("orv.hostTarget", "orv");
        noteConfigChanged();
    }
    loadDeviceChannels();
    if (phase_ != Phase::start || terminated_) return;
    if (!selectedDevice(0) || !selectedDevice(1)) {
        setStatus("Plindo: choose an output device for both decks");
        return;
    }
    startServices();
}

void HostState::startServices() {
    step("library");
    restoreLibraryFolder();
    step("players");
    players.assign(2, nullptr);
    for (int i = 0; i < 2; ++i) putPlayer(i, makePlayer(i, *selectedDevice(i), selectedChan()[i]));

    step("callbacks");
    wireServer();
    wireGroup();
    step("pump");
    startPump();
    step("server");
    server->start(oscPort(), motion::HostConfig::bindStaleSec);
    if (config_.mePlayhead()) {
        step("playhead");
        playheadIn->onPlayhead = [this](int deckIndex, double seconds) { routePlayhead(deckIndex, seconds); };
        playheadIn->onStatus = [this](const std::string& line) { postStatus(line); };
        playheadIn->start(static_cast<uint16_t>(playheadPort()));
    }
    if (config_.anyDeckSharesTracks()) {
        step("trackServer");
        fileServer->start(trackServerPort_);
        const int bound = fileServer->boundPort();
        config_.setOwnServerPort(bound);  // the window asks this port, whatever --http-port chose
        if (bound > 0 && bound != link::DeckFileServer::kDefaultPort) server->setHttpPortOverride(bound);
    }
    step("tap");
    seratoTap->start();
    step("selfTests");
    runAndLogSelfTests();
    step("seratoIn");
    seratoIn->start();
    step("seratoOut");
    seratoOut->ensurePorts();
    step("restore");
    restoreDeckSlots();
    restoreDecks();
    phase_ = Phase::main;
    step("main");
    every(0.1, [this] {
        uiTick();
        broadcastOtherAnchors();
    });
    step("uiTimer");
}

void HostState::terminate() {
    if (terminated_) return;
    terminated_ = true;
    for (auto& t : timers_) t->pending->cancel();
    timers_.clear();
    for (auto& t : leaveTimer) {
        if (t) t->cancel();
        t.reset();
    }
    // The track server first: a control request still waiting for main is answered at once.
    fileServer->stop();
    seratoTap->stop();
    seratoOut->teardown();
    stopPump();
    cancelLibraryWork();
}

void HostState::every(double seconds, std::function<void()> tick) {
    auto r = std::make_shared<Repeater>();
    timers_.push_back(r);
    arm(r, seconds, std::move(tick));
}

void HostState::arm(const std::shared_ptr<Repeater>& r, double seconds, std::function<void()> tick) {
    std::weak_ptr<int> alive = life_;
    std::weak_ptr<Repeater> weak = r;
    r->pending = main_.schedule(seconds, [this, alive, weak, seconds, tick] {
        auto self = weak.lock();
        if (!self || !alive.lock() || terminated_) return;
        tick();
        if (!terminated_) arm(self, seconds, tick);
    });
}

void HostState::startPump() {
    pumpStop_ = false;
    std::weak_ptr<DeckFeeds> weak = feeds;
    const platform::Clock& clock = clock_;
    pump_ = platform::startRealtimeThread("plindo.tunnel", kPumpPeriodNs, [this, weak, &clock](platform::RealtimeGrant) {
        platform::PeriodicDeadline deadline{.periodNs = kPumpPeriodNs, .next = platform::hostTimeNs()};
        while (!pumpStop_.load(std::memory_order_acquire)) {
            auto f = weak.lock();
            if (f && !tunnelPumpTick(*f, clock.now())) {
                // No stream is live: sleep until a batch comes in (or the pump stops), then pass at once on a
                // fresh grid. What came in between the pass and the arming is looked at before parking.
                const uint32_t armed = f->pumpWake.arm();
                if (!pumpStop_.load() && !streamsLive(*f, clock.now())) f->pumpWake.park(armed);
                else f->pumpWake.disarm();
                deadline.next = platform::hostTimeNs();
                continue;
            }
            f.reset();
            platform::sleepUntilNs(deadline.advance(platform::hostTimeNs()));
        }
    });
}

void HostState::stopPump() {
    pumpStop_ = true;
    feeds->pumpWake.wake();
    if (pump_.joinable()) pump_.join();
}

std::shared_ptr<motion::FollowPlayer> HostState::makePlayer(int deckIndex, const motion::AudioOutDevice& device, int start) {
    auto player = std::make_shared<motion::FollowPlayer>(device, start, motion::FollowPlayer::defaultBufferFrames, clock_);
    player->deckNumber = deckIndex + 1;
    player->onStatus = [this](const std::string& line) { postStatus(line); };
    player->loadMain = &main_;
    // The newest load's track is in place (on main): the card gets its length, the analysis starts. A load
    // that a newer one overtook never gets here, and neither does a player that a device change replaced.
    std::weak_ptr<int> alive = life_;
    motion::FollowPlayer* self = player.get();
    player->onLoaded = [this, alive, deckIndex, self] {
        if (!alive.lock() || deckIndex >= static_cast<int>(players.size()) || players[deckIndex].get() != self) return;
        onTrackDecoded(deckIndex + 1, self->table.read(), self->loadedPath);
    };
    if (browser_) player->peerFetch = link::peerTrackFetch(browser_, group::hostWireName(settings_));
    player->start(config_);
    return player;
}

void HostState::putPlayer(int deckIndex, std::shared_ptr<motion::FollowPlayer> player) {
    players[deckIndex] = player;
    auto old = feeds->player[deckIndex].exchange(std::move(player));
    if (old) {
        if (old->out) old->out->stop();
        retiredPlayers_.push_back(std::move(old));
    }
    releaseRetiredPlayers();
}

void HostState::releaseRetiredPlayers() {
    // A thread that copied the player out of its cell before the swap may still use it; it goes once main
    // holds the last reference (no new copies can appear: the cell no longer holds it).
    std::erase_if(retiredPlayers_, [](const auto& p) { return p.use_count() == 1; });
}

void HostState::applyOutput(int deck) {
    if (deck < 1 || deck > 2) return;
    const int i = deck - 1;
    const auto device = selectedDevice(i);
    if (!device) return;
    const int start = std::min(std::max(0, device->channels - 2), std::max(0, selectedChan()[i]));
    config_.setDeviceUID(deck, device->uid);
    settings_.setValue("orv.devChan." + std::to_string(deck), start);
    assignSelectedChan(i, start);
    if (players.size() == 2 && players[i]) {
        auto old = players[i];
        const std::string path = old->loadedPath;
        const double pos = old->posCell.value();
        if (old->out) old->out->stop();
        auto next = makePlayer(i, *device, start);
        putPlayer(i, next);
        if (!path.empty()) {
            next->load(path, config_, ownBase());
            next->seek.request(std::isfinite(pos) ? std::max(0.0, pos) : 0.0);
        }
    }
    setStatus("Deck " + std::to_string(deck) + ": Ausgang \u2192 " + device->name + " (" +
              motion::channelPairLabel(start) + ")");
}

std::optional<std::string> HostState::ownBase() const {
    // Without a configured base the host loads through its own track server, wherever it listens.
    const auto stored = settings_.stringValue("orv.guiBase").value_or("");
    if (stored.find_first_not_of(" \t") != std::string::npos) return std::nullopt;
    const int bound = fileServer ? fileServer->boundPort() : 0;
    const int port = bound > 0 ? bound : trackServerPort_;
    if (port <= 0) return std::nullopt;
    return "http://127.0.0.1:" + std::to_string(port);
}

void HostState::postStatus(const std::string& line) {
    std::weak_ptr<int> alive = life_;
    main_.post([this, alive, line] {
        if (alive.lock()) setStatus(line);
    });
}

void HostState::setStatus(const std::string& line) {
    assignStatusLine(line);
    log().info("{}", statusLine());
    if (onStatusLine) onStatusLine(statusLine());
}

}  // namespace plindo::host
