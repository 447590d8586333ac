#pragma once
// The host controller: owns every long-lived part, starts them in order, routes phone events to the
// players and the MIDI output, publishes what the window shows and answers the control endpoint.
//
// One class, its work split by family: host_state.cpp (construction, start, terminate, outputs),
// host_state_feeds.cpp (the motion road and the tunnel pump), host_state_supervision.cpp (the timers),
// host_state_services.cpp (logo, deck mode, presence), host_state_library.cpp, host_state_group.cpp and
// control_commands.cpp (the "/ctl" interpreter).
//
// Made, started and destroyed on the main thread: the work it posts there checks that it is still alive, which
// holds only when nothing else runs on that thread meanwhile.
#include "group/clock_lead_notice.h"
#include "group/deck_inventory.h"
#include "group/group_state.h"
#include "group/group_uplink.h"
#include "host/deck_feeds.h"
#include "host/host_ui.h"
#include "library/serato_library.h"
#include "serato/rane_library_decoder.h"
#include "link/deck_file_server.h"
#include "link/orv_server.h"
#include "link/osc_playhead_in.h"
#include "link/shared_logo.h"
#include "motion/audio_out_device.h"
#include "motion/follow_player.h"
#include "motion/host_config.h"
#include "platform/clock.h"
#include "platform/main_executor.h"
#include "platform/midi_backend.h"
#include "platform/service_discovery.h"
#include "platform/settings.h"

#include <nlohmann/json.hpp>

#include <array>
#include <atomic>
#include <functional>
#include <limits>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <thread>
#include <vector>

// The MIDI parts are only named here; host/serato_parts.h brings their headers in.
namespace plindo::serato {
class MIDIBridgeClient;
class SeratoMIDIIn;
class SeratoMIDIOut;
class SeratoScreenTap;
struct SeratoOutSettings;
namespace SeratoReturn {
struct ScreenWave;
}
}  // namespace plindo::serato

namespace plindo::library {
class CoverStore;
}

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
        // Null: the system's sequencer, or an in-process loopback (with a status line) where there is none.
        platform::MidiBackend* midi = nullptr;
        link::OrvServer::Sink* sink = nullptr;            // null: the server's own socket
        library::SeratoLibrary* seratoLibrary = nullptr;  // null: the process-wide one; its root is the Serato folder
        std::string procRoot = "/proc";                   // where running programs are listed
        std::string tempFolder;                           // empty: $TMPDIR, else /tmp
        std::string tapPortNamespace;                     // the spy driver's port namespace (tests use their own)
        serato::MIDIBridgeClient* bridge = nullptr;       // null: the process-wide client
        serato::SeratoOutSettings* outSettings = nullptr;  // null: the process-wide settings
        // Receives the name of each start step as it runs (tests check the order).
        std::function<void(const std::string& step)> trace;
    };

    explicit HostState(Deps deps);
    ~HostState() override;
    HostState(const HostState&) = delete;
    HostState& operator=(const HostState&) = delete;

    // Keeps "orv.hostTarget" at "orv", reloads devices and channels, and while still in the start phase with
    // an output device for both decks, starts the services in order. Later calls only do the first two.
    void start() override;
    // The application quits: the track server first, then the screen tap, the MIDI output and the pump.
    // Idempotent; the destructor calls it.
    void terminate() override;

    // --- The motion road, the deck loader and the bridge to the DJ application (host_state_feeds.cpp) ---
    // Loads a path into deck 1 or 2: "serato-midi://…" bridges the deck, anything else goes to the player
    // through the track server, as a phone's load would.
    void loadDeck(int deck, const std::string& path);
    bool isSeratoDeck(int deck) const override;
    void setSeratoDeck(int deck, bool on) override;
    void applySeratoBridge(int deck, const std::string& path, const std::string& fileName);
    void enterSeratoBridge(int deck);
    void leaveSeratoBridge(int deck);
    // The DJ application quit: bridged decks not held by hand leave the bridge.
    void detectSerato();
    void loadDeckCover(int deck, const std::string& path);
    PlaceSnapshot place(int deck) const override;
    double remoteLastAngle(int deck) const override;
    double placeYawRate(int deck) const override;
    DynamoSnapshot dynamo(int deck) const override;
    // One tick output with the host's tick position after it.
    struct EmitPair {
        int64_t cum = 0;
        motion::SeratoTunnel::Out out;
    };
    using EmitPairs = motion::FixedList<EmitPair, motion::SeratoUpsampler::kMaxDrain>;
    static EmitPairs budUpDrain(BudUpState& st, double now);
    static void emitTicks(DeckFeeds& feeds, int deck, std::span<const EmitPair> pairs);
    // Per deck (index deck - 1): the track path last shipped to the phone while bridged, the last path a
    // phone loaded, the last track the DJ application reported.
    std::array<std::string, 2> seratoShippedPath{};
    std::array<std::string, 2> lastRemotePath{};
    std::array<std::string, 2> seratoLastPath{};
    // Armed by "/orv/secret": a diagnostics key until this media time.
    double secretUnlockUntil = 0;

    // Enumerates the output devices and picks each deck's device and first channel.
    void loadDeviceChannels() override;
    // Stores the deck's chosen output and, once the players exist, moves the deck onto it.
    void applyOutput(int deck) override;

    // Where each new status line goes besides the published one (set before start).
    std::function<void(const std::string&)> onStatusLine;
    Phase phase() const { return phase_; }

    motion::HostConfig& config() override { return config_; }
    double mediaNow() const override { return clock_.now(); }

    // --- Logo and the hidden diagnostics mode ---
    // The file name that arms the diagnostics unlock instead of becoming the logo.
    static constexpr const char* kSecretLogoName = "plindo-diagnostics-key.jpeg";
    void useDJLogo(const std::string& path) override;
    void setDJLogo(const std::vector<uint8_t>& jpeg, bool broadcast) override;
    void blinkPanelTapped() override;
    // The image as the logo is stored and shared: JPEG at quality 85, the longer side at most 512; none when
    // the image is empty or cannot be encoded.
    static std::optional<std::vector<uint8_t>> jpegData(const QImage& image);
    std::string logoPath() const;

    // --- Small services ---
    void saveDeckMode(int slot, const std::string& mode);
    // The DJ application runs: a listed program named so, or screen frames under 5 s old.
    bool isSeratoRunning() const;
    bool seratoRunning() const { return seratoRunning_.load(); }  // the last presence check

    // --- The control endpoint ---
    // Receives an answer that comes once a read has landed on main.
    using ControlLater = std::function<void(nlohmann::json answer)>;
    // With `later`, a command that reads the library ("crate", "library" with reload=1) starts the read and
    // answers through it, returning a discarded value; without, it answers with the panes as they stand.
    nlohmann::json onControl(const std::string& cmd, const std::map<std::string, std::string>& params, bool loopback,
                             const ControlLater& later = {});
    // Readers of command parameters. A value that does not read as a number counts as not given.
    static double numberParam(const std::map<std::string, std::string>& params, const std::string& key, double def);
    static std::string hexDigits(const std::string& text);
    static std::optional<int64_t> intItem(const std::string& item);
    // Records of the reports.
    nlohmann::json cueEntries(int deck) const;
    nlohmann::json tunnelStats(int deck) const;
    nlohmann::json budUpStats(int deck) const;
    nlohmann::json leadStats(int deck) const;
    nlohmann::json browserRowRecord(int row, const std::string& title, const std::string& artist,
                                    const std::string& crate) const;

    // --- Owned parts, in the order they are made ---
    std::shared_ptr<DeckFeeds> feeds;  // the threads hold it weakly
    std::unique_ptr<link::OrvServer> server;
    std::shared_ptr<serato::SeratoMIDIOut> seratoOut;
    std::unique_ptr<serato::SeratoScreenTap> seratoTap;
    HostMotor& hostMotor;
    std::unique_ptr<serato::SeratoMIDIIn> seratoIn;
    std::unique_ptr<link::OSCPlayheadIn> playheadIn;
    std::unique_ptr<link::DeckFileServer> fileServer;
    // The players in deck order once the services started (main thread only; other threads read the cells).
    std::vector<std::shared_ptr<motion::FollowPlayer>> players;

    // Per-deck state the DJ application reports (index deck - 1, slots 0 to 7).
    std::array<std::array<bool, 8>, 2> seratoCueSet{};
    std::array<std::array<double, 8>, 2> seratoCueSec{};
    int seratoLastDummySlot = 1;
    // (duration in ms, key) per row of the DJ application's library browser.
    std::map<int, std::pair<int64_t, std::string>> seratoRowExtra;

    // The OSC server's port setting: "orv.oscPort", 7100 when not above 0.
    int oscPort() const;
    // The playhead port setting: "orv.meOscPort", 6000 when not above 0.
    int playheadPort() const;
    // "alsa" or "loopback".
    const std::string& midiBackendName() const { return midiName_; }
    platform::MidiBackend& midi() { return *midi_; }

    // One pass of each main-thread timer (host_state_supervision.cpp): the 0.1 s interface tick, the 1 s
    // presence check and the 0.5 s mapping watch.
    void uiTick();
    void presenceCheck();
    // The 1 s timer's form of the presence check: the scan runs on its own queue, the verdict lands on main.
    void presenceScan();
    void applyPresence(bool running);
    void mappingWatch();

    // The 2 ms tunnel pump pass over the feeds (runs on "plindo.tunnel"). Returns whether a tick or earbud
    // stream is live, that is whether the next pass may have work; else the pump sleeps until a batch comes.
    static bool tunnelPumpTick(DeckFeeds& feeds, double now);
    static bool streamsLive(DeckFeeds& feeds, double now);

    // --- Host group and deck seats (host_state_group.cpp) ---
    group::GroupState& groupState();  // made on first use, like the uplink
    group::GroupUplink& uplink();
    // The supervision tick's group part: this host's own record always; once a second also the seats, the
    // roster broadcast, the uplink and following the group's loads.
    void groupTick(double now, bool everySecond);
    void syncSeatNames();
    // Makes the seat records match the inventory and the "orv.groupSlot.<N>" sides.
    void restoreSeat(double now);
    // This host's seat 1 or 2 whose record sits on the side; none when neither does.
    std::optional<int> ownSeat(const std::string& side) const;
    // Where the host named `server` serves its tracks ("address" for port 17600, or "host:port").
    std::optional<std::string> groupLoadEndpoint(const std::string& serverName, const std::string& side);
    // `own`: this host's own announce (loads on deck 1 for "left", deck 2 for "right" even without a seat);
    // `follow`: the tick follows the roster (taken, not relayed). True when the load was taken.
    bool sendGroupLoad(const std::string& side, const std::string& path, const std::string& server, int64_t gen,
                       const std::optional<std::string>& endpoint, bool own, bool follow);
    void announceLocalLoad(int deck, const std::string& path) override;
    void setGroupMuted(bool on) override { setGroupMuted(on, false); }
    void setGroupMuted(bool on, bool fromGroup);
    void setShareTracks(int deck, bool on) override;
    group::DeckInventory* deckInventory() override;
    std::optional<std::string> slotSide(int ordinal) const override;
    std::optional<std::string> budMember(int deck, double maxAge) const override;
    std::optional<std::string> watchMember(int deck, double maxAge) const override;
    // The last generation taken per side (0 for none).
    int64_t groupLoadSeen(const std::string& side) const;
    nlohmann::json groupReport();
    // "/ctl" "group" (the report), "announce" (deck, path) and "groupmute" (on); none for other commands.
    std::optional<nlohmann::json> groupControl(const std::string& cmd, const std::map<std::string, std::string>& params,
                                               bool loopback);

    // --- Deck supervision (host_state_supervision.cpp) ---
    // Tells each deck's phone where the other deck plays ("/orv/other"), every third tick.
    void broadcastOtherAnchors();
    // Tells a phone once, 12 s on, that its deck's track never became playable.
    void checkStuck(int deck);
    void transportButton(int deck) override;
    // The host plays a deck it follows itself alone at 33 1/3 rpm; a bridged deck is the DJ application's.
    void startStandalone(int deck);
    void stopStandalone(int deck);
    void withdrawDeck(int deck);
    void startSpinnerHold(int deck, double rate, double angle);
    void endSpinnerHold(int deck);
    std::optional<std::vector<SeratoCueRow>> seratoCueRows(int deck) const override;
    // What the DJ application reports back, on main; decks and slots outside their ranges are dropped.
    void seratoTime(int deck, double sec);                    // the MIDI input's time, deck 1 or 2
    void seratoTapTime(int deckIndex, double sec, double vel);  // the screen tap's time, deck index 0 or 1
    void seratoTapTrack(int deckIndex, const std::string& title, const std::string& artist);
    void seratoStartStop(int deck, bool playing);
    void seratoPathReported(int deck, const std::string& path);
    void seratoSongChanged(int deck);
    void seratoPitch(int deck, double pitch);
    void seratoMute(int deck, bool on);
    void seratoScreenWave(const serato::SeratoReturn::ScreenWave& wave);
    void seratoCueSetReported(int deck, int slot, bool set);
    void seratoCueColorReported(int deck, int slot, const std::string& hex);
    void seratoCueTimeReported(int deck, int slot, double sec);
    void seratoTextReported(int deck, int slot, const std::string& text);
    void seratoProgressReported(int deck, double progress);

    static constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
    std::array<double, 2> seratoLastSec{kNaN, kNaN};  // the DJ application's last track time; not finite: none
    std::array<double, 2> seratoTapWall{};            // when the screen tap last told a time
    std::array<double, 2> seratoPhoneWall{};          // when a playhead last went to the phone
    std::array<int, 2> seratoTapPlausible{};          // tap times in a row that advanced with the clock
    std::array<double, 2> seratoTapRate{};
    std::array<bool, 2> seratoPlaying{};
    std::array<double, 2> seratoOwnWall{};            // when the bridged deck was last known to be the DJ app's
    std::array<std::array<std::string, 8>, 2> seratoCueColor;
    std::array<std::array<std::string, 8>, 2> seratoText;
    std::array<double, 2> seratoProgress{};
    std::array<bool, 2> bridgedWas{};
    std::array<bool, 2> hostStandalone{};
    std::array<bool, 2> withdrawn{};
    std::array<std::shared_ptr<platform::ScheduledCall>, 2> leaveTimer;  // present while a spinner hold runs
    std::array<double, 2> stuckSince{};
    std::array<bool, 2> stuckTold{};
    int groupBcastTick = 0;
    int otherAnchorTick = 0;

    // --- Library panes, zoom and the DJ application's browser (host_state_library.cpp, host_state_browser.cpp) ---
    void setLibraryFolder(const std::string& path) override;
    // Loads pane 0 and copies it to pane 1 after every pass, retrying while the DJ application's library is
    // empty.
    void reloadLibrary() override;
    // One library pass into a pane (0 or 1), retried every 5 s while the DJ application's library is empty
    // (at most until attempt 12).
    void loadLibraryPane(int attempt, int pane);
    // The tracks of a crate key into a pane; none or the root reload the pane.
    void loadCrateTracks(const std::optional<std::string>& key, int pane);
    void selectCrate(const std::optional<std::string>& fullName, int pane, bool useActive) override;
    void setActivePane(int pane) override;
    void setLibFocus(bool tracks) override;
    void setLibSync(bool on) override;
    bool libraryCommand(uint16_t keyCode, bool shift) override;
    void toggleDeckView(int deck, bool on, bool stato) override;
    void setDynamoUnlocked(bool on) override;
    double zoom(int deck) const override;
    void setZoom(int deck, double step) override;
    bool zoomAuto(int deck) const override;
    void setZoomAuto(int deck, bool on) override;
    // Where every file and database read of the panes and the browser runs, one at a time.
    platform::SerialQueue& libraryQueue() { return *libraryQueue_; }
    // The track server's folder crates and their tracks; safe on its queue.
    std::vector<std::string> folderCrates() const;
    std::vector<link::TrackEntry> folderCrateTracks(const std::string& name) const;

    // The DJ application's library browser as its screen and the MIDI input report it (main only).
    bool seratoFocusCrates = false;
    std::vector<std::pair<int, std::string>> seratoCrateRows;  // (second byte, name) per visible crate slot
    int seratoCrateCursor = 0;
    std::string seratoBrowserCrate;
    std::vector<std::pair<std::string, std::string>> seratoBrowser =
        std::vector<std::pair<std::string, std::string>>(16);  // (title, artist) per track row
    int seratoRowsSeen = 7;
    std::optional<int> seratoBrowserCursor;
    bool seratoMetaWarming = false;
    // One browser event (main): stores it and schedules the push to the phones.
    void applySeratoBrowserEvent(const serato::RaneLibraryDecoder::Event& event);
    // Pushes 15 ms after the last of a burst of changes.
    void scheduleSeratoBrowserPush();
    void pushSeratoBrowser();
    SeratoBrowserSnapshot seratoBrowserRows() const override;
    void seratoLibraryCommand(int deck, const std::string& command, int count) override;

private:
    // Construction and start (host_state.cpp).
    void startServices();
    void startPump();
    void stopPump();
    void step(const std::string& name);
    void setStatus(const std::string& line);
    void postStatus(const std::string& line);  // from any thread: hops to main
    void putPlayer(int deckIndex, std::shared_ptr<motion::FollowPlayer> player);
    std::shared_ptr<motion::FollowPlayer> makePlayer(int deckIndex, const motion::AudioOutDevice& device, int start);
    void releaseRetiredPlayers();
    std::optional<std::string> ownBase() const;
    // A repeating main-thread timer, cancelled by terminate().
    struct Repeater {
        std::shared_ptr<platform::ScheduledCall> pending;
    };
    void every(double seconds, std::function<void()> tick);
    void arm(const std::shared_ptr<Repeater>& r, double seconds, std::function<void()> tick);

    // The motion road (host_state_feeds.cpp).
    void wireServer();
    static void routeFrame(DeckFeeds& feeds, int deck, std::span<const link::OrvServer::FrameSample> samples, double now,
                           double rate = 0, double pos = 0);
    static void routeIMU(DeckFeeds& feeds, int deck, const link::OrvRemoteLink::IMUSample& smp, double now);
    static void routeTunnel(DeckFeeds& feeds, int deck, int32_t epoch, std::span<const link::OrvServer::Tick> ticks,
                            double now);
    static void routeBud(DeckFeeds& feeds, int deck, const link::OrvRemoteLink::IMUSample& smp, double now);
    static void routeRaw(DeckFeeds& feeds, int deck, const link::OrvRemoteLink::RawMirror& raw, double now);
    static void seekDeck(DeckFeeds& feeds, int deck, double seconds, double now);
    void routePlayhead(int deckIndex, double seconds);
    void restoreDecks();
    library::CoverStore& coverStore();
    // The controller's own cover store: its retries post to `main_`, so it must not outlive the controller.
    std::unique_ptr<library::CoverStore> coverStore_;
    // Decodes the cover bytes off main and shows them on the deck's card if it still shows that track.
    void showCover(int deck, const std::string& path, std::shared_ptr<const std::vector<uint8_t>> bytes);
    // The deck's player falls silent; its card shows `path` and `name`, with no length, cover or waveform.
    void resetDeck(int deck, const std::string& path, const std::string& name);
    void wireGestures();
    void onTrackDecoded(int deck, motion::StemRef stem, const std::string& path);
    std::unique_ptr<platform::SerialQueue> envelopeQueue_;  // decoded tracks are analysed here, never on main

    void refreshDecks();

    // Library and group hooks (host_state_library.cpp, host_state_group.cpp).
    void restoreLibraryFolder();
    void restoreDeckSlots();

    // Host group (host_state_group.cpp).
    void wireGroup();
    void onPeerJoined();
    void takeRoster(const std::string& payload, bool viaUplink);
    // A peer's generation refused for running too far ahead of this host's clock: a status line (and so a
    // log line), at most once a minute per peer.
    void noteClockLead(const std::string& peer, double leadSec, group::ClockLeadNotice::Ignored what);
    void loadGroupDeck(int deck, const std::string& path, const std::string& server,
                       const std::optional<std::string>& endpoint);

    // Deck supervision (host_state_supervision.cpp).
    void superviseDeck(int deck, DeckInfo& d, double now);
    void sendDeckModes();
    void armLeaveTimer(int deck, double omega);
    void endHoldOffTrack(int deck, double duration);
    // Forgets whether and how fast the platter last turned (the hold and the transport's stop).
    void forgetPlatter(int deck);
    // The position the deck's player plays now, in the anchor's terms (never negative).
    double playingAt(int deck) const;
    // Seeds a hold's or standalone play's glide where the deck plays now.
    void startGlide(int deck);
    void wireSeratoFeedback();  // host_state_feedback.cpp

    // Library panes and the browser (host_state_library.cpp, host_state_browser.cpp).
    void wireLibrary();
    void cancelLibraryWork();
    struct LibraryChain;
    struct LibraryPassResult;
    // `done` runs on main once the first pass has landed (the control endpoint answers then).
    void startLibraryChain(int pane, bool copyToOther, int attempt, std::function<void()> done);
    void runLibraryPass(const std::shared_ptr<LibraryChain>& chain);
    void libraryPassArrived(const std::shared_ptr<LibraryChain>& chain, const LibraryPassResult& result);
    void chooseCrate(const std::optional<std::string>& key, int pane, std::function<void()> done);
    void loadCrateTracksIn(const std::optional<std::string>& key, int pane, std::function<void()> done);
    void crateTracksArrived(const std::string& key, int pane, std::vector<library::LibTrack> tracks);
    void copyPane(int from, int to);
    void moveTrackSelection(int pane, int by);
    void moveCrateSelection(int pane, int by);
    void loadFocusedTrack(int pane, int deck);
    void postSeratoBrowserEvent(serato::RaneLibraryDecoder::Event event);  // from any thread

    // Control endpoint helpers (control_commands.cpp).
    nlohmann::json stateReport() const;
    nlohmann::json midiLog() const;
    // "library", "crate" and "browser" (host_state_library.cpp).
    nlohmann::json libraryCommandAnswer(const std::string& cmd, const std::map<std::string, std::string>& params,
                                        const ControlLater& later);
    void restartBridge();

    motion::HostConfig config_;
    platform::Settings& settings_;
    platform::MainExecutor& main_;
    const platform::Clock& clock_;
    platform::ServiceAdvertiser* advertiser_;
    platform::InterfaceSource interfaces_;
    std::shared_ptr<platform::ServiceBrowser> browser_;
    motion::AudioOutDevice::Source deviceSource_;
    int trackServerPort_;
    library::SeratoLibrary& seratoLibrary_;
    std::string procRoot_;
    std::string tempFolder_;
    serato::MIDIBridgeClient& bridge_;
    serato::SeratoOutSettings& outSettings_;
    std::function<void(const std::string&)> trace_;
    std::unique_ptr<platform::MidiBackend> ownedMidi_;
    platform::MidiBackend* midi_ = nullptr;
    std::string midiName_;
    Phase phase_ = Phase::start;
    bool terminated_ = false;
    int configListener_ = 0;

    std::atomic<bool> seratoRunning_{false};
    bool seratoSeen_ = false;              // the presence check saw it running (main only)
    bool mappingOfferedThisRun_ = false;
    std::optional<int64_t> autoSaveStamp_;  // last seen mtime of the auto-save mapping, ns

    link::SharedLogo::Assembler logoAssembler_;
    // Another host's logo chunk, from `sender` (main only).
    void takeLogoChunk(double generation, int index, int count, const std::string& chunk, const std::string& sender);

    // The external playhead's last position per deck, to derive its rate (playhead queue only).
    struct PlayheadTrack {
        double pos = 0;
        double wall = 0;
        bool seen = false;
    };
    std::array<PlayheadTrack, 2> playheadTrack_{};

    std::vector<std::shared_ptr<motion::FollowPlayer>> retiredPlayers_;  // waiting for other threads to let go
    std::vector<std::shared_ptr<Repeater>> timers_;
    std::unique_ptr<platform::SerialQueue> bridgeQueue_;  // the bridge restart waits there, never on main
    std::unique_ptr<platform::SerialQueue> presenceQueue_;  // the running-programs scan
    bool presenceScanning_ = false;                         // a scan is under way (main only)
    std::thread pump_;
    std::atomic<bool> pumpStop_{false};
    std::shared_ptr<int> life_ = std::make_shared<int>(0);  // posted work holds it weakly

    // Host group and deck seats (main only, except uplinkHop_: the server queue).
    std::unique_ptr<group::GroupState> groupState_;
    std::unique_ptr<group::OrvHostBrowser> hostBrowser_;
    std::unique_ptr<group::GroupUplink> uplink_;
    std::unique_ptr<group::DeckInventory> inventory_;
    struct SideLoad {
        std::string path;
        std::string server;
        int64_t gen = 0;
        std::optional<std::string> endpoint;
    };
    std::map<std::string, SideLoad> lastGroupLoad_;  // by side; its gen is the side's last one taken
    std::set<std::string> uplinkHostNames_;           // host records that came over the uplink
    bool uplinkHop_ = false;                          // the datagram in hand came over the uplink
    group::ClockLeadNotice clockLead_;

    // Library panes, zoom and the browser.
    std::unique_ptr<platform::SerialQueue> libraryQueue_;  // "plindo.library": every file and database read
    std::shared_ptr<motion::UnfairCell<std::string>> folderCell_;  // the library folder, for the track server
    int folderListener_ = 0;
    uint64_t chainSeq_ = 0;
    std::array<uint64_t, 2> paneChain_{};   // the library chain each pane follows
    std::array<uint64_t, 2> crateEpoch_{};  // counts crate choices per pane
    std::array<std::shared_ptr<platform::ScheduledCall>, 2> retryCall_{};  // per chain's first pane
    int lastMovedPane_ = 0;
    std::array<std::string, 2> viewBeforeDynamo_{"kiste", "kiste"};
    std::array<double, 2> deckZoom_{};
    std::array<bool, 2> deckZoomAuto_{true, true};
    std::array<double, 2> zoomPendingUntil_{};      // media clock
    std::array<double, 2> zoomModePendingUntil_{};  // media clock
    std::shared_ptr<platform::ScheduledCall> seratoBrowserPushItem_;
};

}  // namespace plindo::host
