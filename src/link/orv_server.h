#pragma once
// The host's UDP endpoint for phones and for the other hosts of a group: one socket on the serial queue
// "orv.udp", advertised as "_plindo._udp". It decodes every datagram, gates deck messages to the phone that
// holds the deck, answers hellos with a bind or a deny, keeps per-sender timing statistics, sends a 10 ms
// keep-alive to whoever was heard recently, and pushes deck and group messages for the controller.
#include "link/orv_remote_link.h"
#include "link/osc.h"
#include "link/serato_browser_row.h"
#include "motion/cells.h"
#include "motion/serato_tunnel.h"
#include "platform/clock.h"
#include "platform/main_executor.h"
#include "platform/net_interfaces.h"
#include "platform/serial_queue.h"
#include "platform/service_discovery.h"

#include <asio/ip/udp.hpp>

#include <array>
#include <atomic>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace plindo::link {

// 1.0 while the system refuses the listener local-network access, 0.0 once the listener is ready.
// Process-wide; written by the OSC server, read by the controller and the views.
motion::ValueCell& localNetworkDenied();

class OrvServer {
public:
    using Endpoint = asio::ip::udp::endpoint;
    using Tick = motion::SeratoTunnel::Tick;

    // Where a datagram came from, the local address it reached (unspecified when unknown) and the interface
    // it arrived on (0 when unknown). IPv4 peers of the dual-stack socket appear with plain IPv4 addresses.
    struct Origin {
        Endpoint remote;
        asio::ip::address local;
        unsigned interfaceIndex = 0;
    };

    // Where outgoing datagrams go. The server's own sink writes to its socket; tests record instead.
    class Sink {
    public:
        virtual ~Sink() = default;
        virtual void send(const Endpoint& to, std::span<const uint8_t> bytes) = 0;
    };

    // One known sender: the phone bound to deck 1 or 2 (keys 1 and 2) or a group peer (keys 0 and below).
    struct Remote {
        Origin conn;            // replies and pushes go to conn.remote
        std::string senderKey;  // "conn:" + hash of the source endpoint
        std::string name;
        std::string mode = "remote";
        double lastWall = 0;       // the last accepted message (hello, frame, tick batch): liveness
        double lastFrameWall = 0;  // the last frame: the frame statistics measure from frame to frame
        std::string lastPath;
        double lastPos = 0;
        double lastRate = 0;
        double lastAngle = 0;
        double meanDtMs = 0;
        double jitterMs = 0;
        double maxGapMs = 0;
        double maxGapResetWall = 0;
        std::string via = "?";
        int wavOk = -1;
        // The sender has shown that it receives at its address: it sent more than a hello from it (frames,
        // group messages, answers). Only such senders get keep-alives.
        bool proven = false;
    };

    struct FrameSample {
        double angle = 0;
        double ts = 0;
    };

    static constexpr int kHostBuild = 1215;
    static constexpr int kMinPhoneBuild = 958;
    static constexpr int kDefaultHttpPort = 17600;
    // Group peers are created by any hello with deck 0, so their number is bounded: a flood of spoofed
    // sources must not grow the table (and the keep-alive fan-out) without limit.
    static constexpr size_t kMaxGroupPeers = 64;
    // Replies (bind, deny, pong, slots) to one address within a second, for senders that are not a proven
    // deck phone or group peer; a hello or ping flood from a spoofed source must not turn this host into an
    // amplifier.
    static constexpr int kMaxRepliesPerSecond = 32;
    // Datagrams from senders other than the bound phones handled per wake-up; the rest of a flood is read and
    // dropped, so that the phones' frames behind it are reached.
    static constexpr size_t kStrangerReadsPerWake = 16;

    struct Deps {
        platform::MainExecutor& main;
        const platform::Clock& clock = platform::systemClock();
        platform::InterfaceSource interfaces = platform::systemInterfaces;
        platform::ServiceAdvertiser* advertiser = nullptr;  // null: not advertised
        Sink* sink = nullptr;                               // null: the server's socket
        std::string serviceName;                            // empty: the host name, else "Plindo Host"
    };

    explicit OrvServer(Deps deps);
    ~OrvServer();
    OrvServer(const OrvServer&) = delete;
    OrvServer& operator=(const OrvServer&) = delete;

    // Binds the UDP port (0 picks a free one) on IPv6 and IPv4 where the host has IPv6, else on IPv4,
    // advertises it and starts the keep-alive. A second call while
    // running does nothing. A port in use leaves the server idle with a status line; start may be retried.
    void start(int port, double bindStale);
    bool running() const { return running_.load(); }
    int localPort() const { return localPort_.load(); }

    // Handles one datagram. Runs on the server queue (the socket's reader); tests and fuzzers call it
    // directly from one thread at a time.
    void handleDatagram(const uint8_t* bytes, size_t size, const Origin& from, double now);
    // One keep-alive pass: "/orv/hot" to every sender heard within 1 s and not sent to within 30 ms.
    void keepAliveTick();
    // Waits until work posted to the server queue so far has run.
    void drainQueue();
    // Runs `work` on the server queue (where handleDatagram may be called), after what is queued already;
    // nothing once the server is being destroyed.
    void runOnQueue(std::function<void()> work);

    // The refusal reason for a sender's build and the host build it needs, or none when admitted.
    static std::optional<std::string> versionGate(std::string_view build, std::string_view needed);

    // Callbacks, set before start. Those marked "main" are posted to the main executor; the others run on the
    // server queue while the datagram is handled and must stay short. Views passed to them are valid only
    // during the call.
    std::function<void(int deck, std::string_view path, double pos, double rate, std::span<const FrameSample>)>
        onFrame;
    std::function<void(int deck, double seconds)> onSeek;
    std::function<void(std::string_view address, std::span<const OSCValue> args)> onSensorMessage;
    std::function<void(int deck, const OrvRemoteLink::RawMirror&)> onRaw;
    std::function<void(int deck, std::string_view text)> onDyn;
    std::function<void(int deck, bool, int, int)> onDynGate;
    // `sender` names who sent a logo chunk or group load: the name of its hello, else its address.
    std::function<void(double generation, int index, int count, std::string_view chunk, std::string_view sender)>
        onDJLogo;
    std::function<void()> onSecret;
    std::function<void(int deck, const OrvRemoteLink::IMUSample&)> onIMU;
    std::function<void(int deck, int32_t, std::span<const Tick>)> onTunnel;
    std::function<void(int deck, const OrvRemoteLink::IMUSample&)> onBud;
    std::function<void(int deck, bool)> onTouch;
    std::function<void(int deck, int slot, bool)> onCue;
    std::function<void(int deck, bool, bool)> onMute;
    std::function<void(int deck, std::optional<double>, double)> onSynth;
    std::function<void(int deck, const std::string& path)> onRemoteLoad;                          // main
    std::function<void(int deck, const std::string& name, const std::string& mode)> onHello;      // main
    std::function<void(std::string_view json)> onGroupState;
    std::function<void(bool)> onGroupMute;
    std::function<void(std::string_view, std::string_view, std::string_view, int, std::string_view sender)> onGroupLoad;
    std::function<void(const std::string& name)> onPeerJoined;                                   // main
    std::function<void(const std::string&)> onStatus;
    std::function<void(int deck, int)> onBlink;                                                   // main
    std::function<void(int deck)> onInstantDouble;
    std::function<void(int deck, const std::string&, int)> onLibGesture;                          // main
    std::function<double(int deck)> latencyProvider;

    // Addresses advertised ahead of the found ones in bind and deny replies, and the track-server port to
    // advertise (none: 17600). They apply to every later reply.
    void setHttpCandidatesExtra(std::vector<std::string> extra);
    void setHttpPortOverride(std::optional<int> port);

    // Pushes, sent on the caller's thread. Deck pushes go to the deck's phone (nothing when none is bound);
    // group pushes prune silent group peers first and go to every remote left.
    void sendGroupState(std::string_view json);
    void sendGroupMute(bool muted);
    // "/orv/group/load" [side, path, server, gen], then the serving host's endpoint when it is not empty.
    void sendGroupLoad(std::string_view side, std::string_view path, std::string_view server, int32_t gen,
                       std::string_view endpoint);
    void sendSecret();
    void sendDJLogo(const std::vector<std::string>& chunks, double generation);
    void sendPlay(int deck, bool on) { sendDeckFlag(deck, on, "/orv/play"); }
    void sendStuck(int deck, std::string_view text);
    void sendLoad(int deck, std::string_view path);
    void sendDynGate(int deck, bool a, bool b);
    void sendScreenWave(int deck, int32_t index, std::span<const uint8_t> data);
    void sendSeratoBrowser(int deck, std::string_view crate, int cursor, const std::vector<SeratoBrowserRow>& rows);
    void sendPitch(int deck, double a, double b);
    void sendZoom(int deck, double v) { sendDeckValue(deck, v, "/orv/zoom"); }
    void sendZoomMode(int deck, bool on) { sendDeckFlag(deck, on, "/orv/zoommode"); }
    void sendMuteInfo(int deck, bool on) { sendDeckFlag(deck, on, "/orv/muteinfo"); }
    void sendLoop(int deck, double v) { sendDeckValue(deck, v, "/orv/loop"); }
    void sendPlayhead(int deck, double seconds, int state, double rate);
    void sendDeckFlag(int deck, bool on, std::string_view address);
    // Any message to the deck's phone; nothing when none is bound.
    void sendToDeck(int deck, std::string_view address, std::span<const OSCValue> args);
    void sendDeckValue(int deck, double v, std::string_view address);

    // Removes group peers silent for longer than 15 s (3 × bindStale when that is longer), reports each as
    // gone, and returns where every remaining remote is reached.
    std::vector<Endpoint> pruneGroupPeers();
    // Records now as the time of the deck's last downlink message, on the server queue.
    void markDownlink(int deck);

    // Read accessors of the per-sender records; fixed values when the key has no record.
    bool isRemoteFresh(int key, double within) const;
    std::string remoteName(int key) const;
    std::string remoteMode(int key) const;
    double remoteLastAngle(int key) const;
    double remoteJitterMs(int key) const;
    double remoteMaxGapMs(int key) const;
    std::string remoteVia(int key) const;
    int remoteWavOk(int key) const;
    // The IPv4 address of the sender (no port); empty for none or an IPv6 peer.
    std::string remoteHost(int key) const;
    // remoteHost of the first remote with this name; empty when none has it.
    std::string endpointOfPeerNamed(std::string_view name) const;
    // A copy of one record, for diagnostics.
    std::optional<Remote> remoteRecord(int key) const;

private:
    using Handler = void (OrvServer::*)(const OSCMessageView&, const Origin&, double);
    struct Route {
        std::string_view address;
        Handler handler;
    };
    static const std::array<Route, 27> kRoutes;

    void dispatch(const OSCMessageView& m, const Origin& from, double now);
    void onFrameMessage(const OSCMessageView&, const Origin&, double);
    void onHelloMessage(const OSCMessageView&, const Origin&, double);
    void onGroupStateMessage(const OSCMessageView&, const Origin&, double);
    void onGroupMuteMessage(const OSCMessageView&, const Origin&, double);
    void onGroupLoadMessage(const OSCMessageView&, const Origin&, double);
    void onMuteMessage(const OSCMessageView&, const Origin&, double);
    void onTouchMessage(const OSCMessageView&, const Origin&, double);
    void onCueMessage(const OSCMessageView&, const Origin&, double);
    void onSeekMessage(const OSCMessageView&, const Origin&, double);
    void onIMUMessage(const OSCMessageView&, const Origin&, double);
    void onTunnelMessage(const OSCMessageView&, const Origin&, double);
    void onBudMessage(const OSCMessageView&, const Origin&, double);
    void onSensor(const OSCMessageView&, const Origin&, double);
    void onDynMessage(const OSCMessageView&, const Origin&, double);
    void onDynGateMessage(const OSCMessageView&, const Origin&, double);
    void onDJLogoMessage(const OSCMessageView&, const Origin&, double);
    void onSecretMessage(const OSCMessageView&, const Origin&, double);
    void onRawMessage(const OSCMessageView&, const Origin&, double);
    void onInstantDoubleMessage(const OSCMessageView&, const Origin&, double);
    void onKickMessage(const OSCMessageView&, const Origin&, double);
    void onSynthMessage(const OSCMessageView&, const Origin&, double);
    void onPingMessage(const OSCMessageView&, const Origin&, double);
    void onBlinkMessage(const OSCMessageView&, const Origin&, double);
    void onSlotsMessage(const OSCMessageView&, const Origin&, double);
    void onLibGestureMessage(const OSCMessageView&, const Origin&, double);

    void imuSample(const OSCMessageView& m, const Origin& from, double now,
                   const std::function<void(int, const OrvRemoteLink::IMUSample&)>& callback);
    template <typename T>
    T remoteField(int key, T Remote::*field, T fallback) const;
    bool deckGate(int deck, const Origin& from, double now) const;
    std::string senderName(const Origin& from) const;
    // An accepted message from the deck's holder that is not a frame: the holder stays live.
    void keepHolderLive(int deck, const Origin& from, double now);
    void updateFrameStats(Remote& r, double now) const;
    // Removes the group peers silent for too long and returns their names; `lock_` held.
    std::vector<std::string> dropSilentPeers(double now);
    std::vector<std::string> addressCandidates(const Origin& from, const std::vector<platform::NetInterface>& ifs) const;
    int httpPort() const;
    bool deckTarget(int deck, Endpoint& out) const;
    void send(const Endpoint& to, std::string_view address, std::span<const OSCValue> args);
    void sendGroup(std::string_view address, std::span<const OSCValue> args);
    void status(const std::string& line);
    template <typename F>
    void postMain(F&& f);
    void armReceive();
    void drainSocket();

    platform::MainExecutor& main_;
    const platform::Clock& clock_;
    platform::InterfaceSource interfaces_;
    platform::ServiceAdvertiser* advertiser_;
    std::string serviceName_;

    std::unique_ptr<platform::SerialQueue> queue_;
    asio::ip::udp::socket socket_;
    std::unique_ptr<platform::RepeatingTimer> hotTimer_;
    std::unique_ptr<platform::ServiceRegistration> registration_;
    class SocketSink;
    std::unique_ptr<SocketSink> socketSink_;
    Sink* sink_;
    std::atomic<bool> running_{false};
    std::atomic<int> localPort_{0};
    std::shared_ptr<int> life_ = std::make_shared<int>(0);  // main-queue posts hold it weakly
    // The token as the posts take it: the UDP thread copies it while the destructor lets go of `life_`.
    const std::weak_ptr<int> lifeWeak_ = life_;

    mutable std::mutex lock_;  // guards everything below; never held across a callback or a send
    std::map<int, Remote> remotes_;
    std::map<std::string, int> peerKeys_;
    int nextPeerKey_ = -1;
    std::map<int, double> lastDownWall_;
    double bindStale_ = 5.0;
    std::vector<std::string> httpCandidatesExtra_;
    std::optional<int> httpPortOverride_;

    // Scratch of the datagram path (server queue only), kept warm so that steady traffic does not allocate.
    OSCDecoder decoder_;
    std::vector<FrameSample> samples_;
    std::array<Tick, 64> ticks_{};
    OrvRemoteLink::RawMirror raw_;
    std::vector<OSCValue> sensorArgs_;
    std::vector<Endpoint> hotTargets_;
    bool hotIdle_ = false;  // the keep-alive timer is cancelled until the next datagram
    std::vector<uint8_t> rxBuf_;
    struct ReplyWindow {
        double start = 0;
        int count = 0;
    };
    std::map<asio::ip::address, ReplyWindow> replyWindows_;  // server queue only

    // Counts a reply to `to`; false once the address had its share this second. Proven remotes are not counted.
    bool replyAllowed(const Endpoint& to, double now);
    void markProven(const Endpoint& from);
    bool isBoundPhone(const Endpoint& from) const;
    // A deck phone or group peer at exactly this endpoint that has shown it receives there.
    bool isProvenRemote(const Endpoint& to) const;
};

}  // namespace plindo::link
