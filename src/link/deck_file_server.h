#pragma once
// The track server: HTTP/1.1, one GET and one response per connection. Phones and other hosts fetch audio
// files, cover art, tags, track metadata, waveform peaks and library lists from it, and "/ctl" drives the
// host controller. Listener, connections, head reading and every synchronous route run on the queue
// "orv.filesrv"; peaks are worked off on "plindo.peaks" and, for short tracks, "plindo.peaks.quick".
#include "link/track_payloads.h"
#include "platform/main_executor.h"
#include "platform/serial_queue.h"
#include "platform/service_discovery.h"

#include <nlohmann/json.hpp>

#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace plindo::link {

class DeckFileServer {
public:
    static constexpr int kDefaultPort = 17600;
    static constexpr const char* kServiceType = "_plindo-file._tcp";
    // Connections held at once, and from one peer address; past either, the connection whose client has
    // gone longest without moving a byte is dropped for the new one.
    static constexpr size_t kMaxConnections = 256;
    static constexpr size_t kMaxConnectionsPerPeer = 32;
    // A head not complete after this long is dropped without an answer.
    static constexpr double kHeadTimeoutSec = 30.0;
    // A client that takes no byte of its answer for this long is dropped.
    static constexpr double kIdleSec = 10.0;
    // Tracks whose waveform peaks are waited for at once, and of them the ones one client address may have
    // asked for. A request for another track beyond either answers 503 {"error": "busy"}, unless a longer
    // track still waiting gives its place up to it (its own client's, or, on a full server, that of a
    // client holding more places): shorter tracks go first. A track whose peaks are at hand takes no place.
    static constexpr size_t kMaxPeaksPaths = 8;
    static constexpr size_t kMaxPeaksPathsPerPeer = 2;
    // Peaks are worked off shortest track first on one lane; tracks up to this long also have a lane of
    // their own, so that a long analysis never holds them up.
    static constexpr double kQuickPeaksSec = 600.0;
    // The control route waits this long for the controller's answer, then answers {"error": "busy"}.
    static constexpr double kControlWaitSec = 2.0;

    // `advertiser` may be null (no service advertised); `main` runs "/ctl" (null: the control route answers
    // that there is no handler).
    DeckFileServer(platform::ServiceAdvertiser* advertiser, std::string serviceName, platform::MainExecutor* main);
    ~DeckFileServer();
    DeckFileServer(const DeckFileServer&) = delete;
    DeckFileServer& operator=(const DeckFileServer&) = delete;

    // Listens on every address at `port` (0: an ephemeral port), IPv6 and IPv4 where the host has IPv6. Nothing happens while
    // running. A port that cannot be bound leaves the server stopped with the "in use" status line.
    void start(int port = kDefaultPort);
    // Stops listening and answers any control request still waiting for main at once; later control
    // requests of connections still open are answered {"error": "busy"} without waiting.
    void stop();
    bool running() const;
    int boundPort() const;  // the listening port while running, else 0

    // Set before start().
    std::function<std::vector<std::string>()> onFolderCrates;
    std::function<bool()> onSeratoRunning;
    std::function<std::vector<TrackEntry>(const std::string& crate)> onFolderCrateTracks;
    std::function<void(const std::string&)> onStatus;
    // Runs on main; `loopback` tells whether the request came from this machine. The handler answers through
    // `reply`, at once or later from any thread; the first answer counts.
    using ControlReply = std::function<void(nlohmann::json answer)>;
    std::function<void(const std::string& cmd, const std::map<std::string, std::string>& params, bool loopback,
                       ControlReply reply)>
        onControl;
    TrackPayloads payloads;
    double headTimeoutSec = kHeadTimeoutSec;  // tests shorten these
    double idleSec = kIdleSec;
    double controlWaitSec = kControlWaitSec;

    // The path itself, or its NFD or NFC form, that leads (through any links) to a regular file; none
    // otherwise (also for a path holding NUL, a folder, a FIFO or a device).
    static std::optional<std::string> existingPath(const std::string& path);
    // The path a client names: as given, or, when nothing is there, the bytes its listed form stands for (a
    // name that is no UTF-8 is listed with its bytes escaped) if something is there; else as given.
    static std::string namedPath(const std::string& path);

    struct Impl;

private:
    std::unique_ptr<platform::SerialQueue> queue_;       // "orv.filesrv"
    std::unique_ptr<platform::SerialQueue> peaksQueue_;  // "plindo.peaks"
    std::unique_ptr<platform::SerialQueue> quickPeaksQueue_;  // "plindo.peaks.quick"
    std::shared_ptr<Impl> impl_;
};

}  // namespace plindo::link
