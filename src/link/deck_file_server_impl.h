#pragma once
// Inside the track server: one accepted connection, and the state and work that the listener, the answers
// (deck_file_server.cpp) and the routes (deck_file_server_routes.cpp) share. All of it runs on the queue
// "orv.filesrv", except `respond`, which may be called from anywhere.
#include "link/deck_file_server.h"
#include "link/http_head.h"
#include "platform/log.h"

#include <asio/ip/tcp.hpp>
#include <asio/steady_timer.hpp>

#include <sys/types.h>
#include <unistd.h>

#include <array>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <list>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

namespace plindo::link {

// One accepted connection of the track server: its head buffer while reading, then its answer.
struct FileServerConn : std::enable_shared_from_this<FileServerConn> {
    using Clock = std::chrono::steady_clock;

    explicit FileServerConn(asio::io_context& io) : socket(io), timer(io) {}
    ~FileServerConn() {
        if (fd >= 0) ::close(fd);
    }

    enum class Phase { Reading, Answering, Closed };

    asio::ip::tcp::socket socket;
    asio::steady_timer timer;
    Phase phase = Phase::Reading;
    std::string buffer;
    std::array<char, http_head::kReadChunk> chunk{};
    std::string out;      // head and in-memory body
    size_t outSent = 0;   // bytes of `out` already written
    int fd = -1;          // a file body, sent after `out`
    off_t offset = 0;     // next file byte to send
    off_t size = 0;
    std::string peer = "?";
    std::atomic<bool> gone{false};  // closed; read by the peaks queue
    bool draining = false;          // a read is armed that closes the connection when the client hangs up
    bool loopback = false;  // the peer is this machine
    // When the client last moved a byte: sent one of its head, or took one of its answer.
    Clock::time_point lastTaken = Clock::now();
    uint64_t written = 0;  // answer bytes handed to the socket
    uint64_t taken = 0;    // of those, the ones the client has received, when last looked
};

// Work handed to the server's queue from another thread after the server may have gone. The gate closes before
// the queue stops, so what it let through still runs there; what it holds must not own a connection, whose
// last owner has to drop it while the queue's io context lives.
class QueueGate {
public:
    explicit QueueGate(platform::SerialQueue& q) : queue_(q) {}
    void post(std::function<void()> f) {
        std::lock_guard g(m_);
        if (open_) queue_.post(std::move(f));
    }
    void close() {
        std::lock_guard g(m_);
        open_ = false;
    }

private:
    std::mutex m_;
    bool open_ = true;
    platform::SerialQueue& queue_;
};

struct DeckFileServer::Impl : std::enable_shared_from_this<DeckFileServer::Impl> {
    Impl(DeckFileServer& o, asio::io_context& io, platform::SerialQueue& q, platform::SerialQueue& pq,
         platform::SerialQueue& quick)
        : owner(&o), io(io), queue(q), peaksLanes{&pq, &quick} {}

    DeckFileServer* owner;  // cleared by the server's destructor, read only on the queue
    asio::io_context& io;
    platform::SerialQueue& queue;
    std::array<platform::SerialQueue*, 2> peaksLanes;  // any track; short tracks only
    std::shared_ptr<QueueGate> gate = std::make_shared<QueueGate>(queue);
    platform::ServiceAdvertiser* advertiser = nullptr;
    platform::MainExecutor* main = nullptr;
    std::string serviceName;

    std::mutex mutex;  // guards the listener fields below against start/stop from other threads
    std::shared_ptr<asio::ip::tcp::acceptor> acceptor;
    std::unique_ptr<platform::ServiceRegistration> registration;
    bool running = false;
    int port = 0;

    using ConnPtr = std::shared_ptr<FileServerConn>;
    std::list<ConnPtr> conns;  // queue only; oldest first

    static constexpr const char* kJson = "application/json; charset=utf-8";
    static constexpr const char* kOctets = "application/octet-stream";
    static constexpr const char* kText = "text/plain";
    static spdlog::logger& log();

    void status(const std::string& line) {
        if (owner && owner->onStatus) owner->onStatus(line);
    }

    // ---- listener

    void accept(std::shared_ptr<asio::ip::tcp::acceptor> a);
    void accepted(const std::shared_ptr<asio::ip::tcp::acceptor>& a, const ConnPtr& conn, const std::error_code& ec);
    void admit(const ConnPtr& conn);

    // The connection whose client has gone longest without moving a byte; the older one on a tie.
    template <typename Pred>
    ConnPtr stalest(Pred pred);

    void close(const ConnPtr& conn);

    // Closes with a reset: what a stalled client never took is dropped at once instead of lingering in the
    // kernel.
    void abort(const ConnPtr& conn);

    void stopListener();

    // ---- request head

    void read(const ConnPtr& conn);

    // ---- answers

    void respond(const ConnPtr& conn, const std::string& status, std::string body, const std::string& type);
    void respondFile(const ConnPtr& conn, int fd, off_t size);

    // Closes the connection once its client has taken nothing for the idle limit. Progress only moves
    // `lastTaken`; the timer re-arms itself from it.
    void armIdle(const ConnPtr& conn);
    // Moves `lastTaken` when the client received answer bytes since the last look: the socket's send queue
    // shrank. A slow reader keeps taking bytes while the server has nothing to write for a long time.
    void noteTaken(const ConnPtr& conn);
    void send(const ConnPtr& conn);
    void writeOut(const ConnPtr& conn);

    // Streams the file from disk: the kernel copies it to the socket chunk by chunk.
    void sendFile(const ConnPtr& conn);

    // The answer is out: end our side, let the client read it and close, then close.
    void finish(const ConnPtr& conn);

    void drain(const ConnPtr& conn);
    void respondJson(const ConnPtr& conn, const std::string& status, const nlohmann::json& j);
    void respondFileNotFound(const ConnPtr& conn, const std::string& label, const std::optional<std::string>& path);

    // ---- control requests handed to main. Main may be busy or gone: the request is answered "busy" after a
    // bounded time, and an answer that comes later finds its request abandoned. Nothing waits on the queue:
    // files go on being served meanwhile.

    struct ControlCall {
        std::mutex m;
        bool done = false;       // main answered
        bool abandoned = false;  // answered "busy" instead
        // Weak: work posted to main may outlive the server, and must not keep a socket of its io context.
        std::weak_ptr<FileServerConn> conn;
    };
    // Marks the call answered by its first caller; false when another one already answered it.
    static bool settle(ControlCall& call, bool byMain);
    std::mutex controlMutex;  // guards the two fields below
    bool controlClosed = false;  // the server is stopping: no more waits on main
    std::vector<std::weak_ptr<ControlCall>> controlCalls;

    // Lets every waiting control request go at once and refuses waits until the next start.
    void closeControl();
    void openControl();

    // ---- waveform peaks: one analysis per path at a time, shortest track first. Requests for a path already
    // waited on join its waiters; each path holds a place of the client address that asked first; work whose
    // every waiter hung up is dropped.

    struct PeaksWaiter {
        ConnPtr conn;
        int columns = 0;
        double center = 0, window = 0;
    };
    struct PeaksJob {
        std::string owner;     // the address whose place the path holds
        double seconds = 0;    // what the work costs, for the order; infinity when unknown
        uint64_t arrival = 0;  // the order among equal costs
        bool running = false;
        std::vector<PeaksWaiter> waiters;  // not yet answered; while running, besides the one being served
    };
    std::mutex peaksMutex;  // guards the fields below; taken by the server queue and the peaks lanes
    std::map<std::string, PeaksJob> peaksJobs;
    uint64_t peaksArrivals = 0;
    std::array<bool, 2> laneAwake{};  // a lane has been handed its loop and has not yet found nothing to do
    bool peaksStopping = false;  // the server is going: waiting work is dropped, running work stops

    // Admits a new path under peaksMutex: true when it found a place, freed for it if need be; the waiters of
    // a job that gave up its place are moved to `refused`.
    bool admitPeaks(const std::string& path, const std::string& peer, double seconds, std::vector<PeaksWaiter>& refused);
    // Marks the lanes that should start on work of that cost and returns them (under peaksMutex).
    std::vector<size_t> wakeLanes(double seconds);
    // A lane takes the shortest waiting track it may work on, until none is left.
    void runLane(size_t lane);
    void runPeaks(const std::string& path);
    bool peaksStoppingNow();
    void stopPeaks();

    // ---- routes

    void route(const ConnPtr& conn, const std::string& head);
    void control(const ConnPtr& conn, const std::string& q);
    void file(const ConnPtr& conn, const std::string& q);
    void crates(const ConnPtr& conn);
    std::vector<TrackEntry> libraryTracks(const std::string& q);
    void tracks(const ConnPtr& conn, const std::string& q);
    void tags(const ConnPtr& conn, const std::string& q);
    void coverArt(const ConnPtr& conn, const std::string& q);
    void meta(const ConnPtr& conn, const std::string& q);
    void peaks(const ConnPtr& conn, const std::string& q);
};

}  // namespace plindo::link
