#include "link/orv_server.h"
#include "link/dual_stack.h"

#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace plindo::link {

namespace {

constexpr double kHotHeardWithin = 1.0;   // keep-alive goes to senders heard this recently...
constexpr double kHotQuietFor = 0.03;     // ...and not sent anything for this long
constexpr size_t kReadsPerWake = 256;     // datagrams read before the keep-alive gets a turn

}  // namespace

motion::ValueCell& localNetworkDenied() {
    static motion::ValueCell cell(0.0);
    return cell;
}

// Writes straight to the socket's descriptor: sendto is safe from any thread, so pushes from the main thread
// and replies on the queue need no hop.
class OrvServer::SocketSink final : public OrvServer::Sink {
public:
    std::atomic<int> fd{-1};
    std::atomic<bool> v6{false};  // the socket is dual-stack: IPv4 peers are reached through mapped addresses
    void send(const Endpoint& to, std::span<const uint8_t> bytes) override {
        const int s = fd.load();
        if (s < 0) return;
        Endpoint target = to;
        if (v6 && to.address().is_v4())
            target = Endpoint(asio::ip::make_address_v6(asio::ip::v4_mapped, to.address().to_v4()), to.port());
        // Send errors are ignored: there is no retry and nobody to tell.
        (void)::sendto(s, bytes.data(), bytes.size(), MSG_DONTWAIT | MSG_NOSIGNAL, target.data(),
                       static_cast<socklen_t>(target.size()));
    }
};

OrvServer::OrvServer(Deps deps)
    : main_(deps.main),
      clock_(deps.clock),
      interfaces_(std::move(deps.interfaces)),
      advertiser_(deps.advertiser),
      serviceName_(std::move(deps.serviceName)),
      queue_(std::make_unique<platform::SerialQueue>("orv.udp")),
      socket_(queue_->context()),
      socketSink_(std::make_unique<SocketSink>()),
      sink_(deps.sink ? deps.sink : socketSink_.get()) {
    samples_.reserve(64);
    sensorArgs_.reserve(16);
    hotTargets_.reserve(kMaxGroupPeers + 4);
}

OrvServer::~OrvServer() {
    life_.reset();
    // On the queue, where the receive handler may wake the timer: cancels it and waits for a running tick.
    queue_->sync([this] { hotTimer_.reset(); });
    socketSink_->fd = -1;
    queue_->sync([this] {
        asio::error_code ec;
        socket_.close(ec);
    });
    queue_->stop();
    registration_.reset();
}

void OrvServer::status(const std::string& line) {
    if (onStatus) onStatus(line);
}

void OrvServer::drainQueue() { queue_->sync([] {}); }

void OrvServer::runOnQueue(std::function<void()> work) {
    std::weak_ptr<int> alive = lifeWeak_;
    queue_->post([alive, work = std::move(work)] {
        if (alive.lock()) work();
    });
}

// ---------------------------------------------------------------------------------------------------------
// Start and the socket

void OrvServer::start(int port, double bindStale) {
    if (running_) return;
    {
        std::lock_guard g(lock_);
        bindStale_ = bindStale;
    }
    const std::string inUse = "Plindo: UDP :" + std::to_string(port) + " in use — change the port in Settings";
    if (port < 0 || port > 65535) {
        status(inUse);
        return;
    }
    bool bound = false;
    queue_->sync([&] {
        // No SO_REUSEADDR: on Linux it would let a second host bind the same port and hide the clash.
        asio::error_code ec = openDualStack<asio::ip::udp>(socket_, static_cast<unsigned short>(port),
                                                           [](auto&, std::error_code&) {});
        if (ec) return;
        socket_.non_blocking(true, ec);
        // The local address and interface each datagram reached: the first address offered in bind replies,
        // and the link kind of the phone.
        const int on = 1;
        const bool v6 = socket_.local_endpoint(ec).address().is_v6();
        (void)::setsockopt(socket_.native_handle(), IPPROTO_IP, IP_PKTINFO, &on, sizeof on);
        if (v6) (void)::setsockopt(socket_.native_handle(), IPPROTO_IPV6, IPV6_RECVPKTINFO, &on, sizeof on);
        localPort_ = socket_.local_endpoint(ec).port();
        socketSink_->v6 = v6;
        socketSink_->fd = socket_.native_handle();
        rxBuf_.resize(65536);
        bound = true;
    });
    if (!bound) {
        status(inUse);
        return;
    }
    running_ = true;
    localNetworkDenied().setValue(0.0);  // Linux has no local-network permission: ready means allowed

    // The start line says only what this host does: there is no peer-to-peer Wi-Fi link here, and the service
    // is named once it is published, which may happen before or after the line goes out.
    struct Announce {
        std::mutex m;
        bool published = false;
        bool reported = false;
    };
    auto announce = std::make_shared<Announce>();
    const std::string listening = "Plindo: listening on UDP :" + std::to_string(port);
    const std::string advertised = listening + ", Bonjour _plindo._udp";
    if (advertiser_) {
        std::string name = serviceName_;
        if (name.empty()) {
            char host[256] = {};
            if (::gethostname(host, sizeof host - 1) == 0) name = host;
        }
        if (name.empty()) name = "Plindo Host";
        const std::weak_ptr<int> w = lifeWeak_;
        registration_ = advertiser_->advertise(
            name, "_plindo._udp", localPort_,
            [this, w](const std::string& s) {
                if (!w.expired()) status(s);
            },
            [this, w, announce, advertised] {
                {
                    std::lock_guard g(announce->m);
                    announce->published = true;
                    if (!announce->reported) return;  // the start line will say it
                }
                if (!w.expired()) status(advertised);
            });
    }
    // The keep-alive timer lives on the queue, where the receive handler wakes it.
    queue_->post([this] {
        hotTimer_ = std::make_unique<platform::RepeatingTimer>(*queue_, std::chrono::milliseconds(10),
                                                               [this] { keepAliveTick(); });
        hotTimer_->start();
        armReceive();
    });
    bool published = false;
    {
        std::lock_guard g(announce->m);
        announce->reported = true;
        published = announce->published;
    }
    status(published ? advertised : listening);
}

void OrvServer::armReceive() {
    socket_.async_wait(asio::ip::udp::socket::wait_read, [this](const asio::error_code& ec) {
        if (ec) {
            if (ec != asio::error::operation_aborted) status("Plindo: listener error " + ec.message());
            return;
        }
        drainSocket();
        // The keep-alive sleeps while nobody is heard; whatever arrives wakes it, and its next tick decides.
        if (hotIdle_ && hotTimer_) {
            hotIdle_ = false;
            hotTimer_->start();
        }
        armReceive();
    });
}

void OrvServer::drainSocket() {
    const int fd = socket_.native_handle();
    size_t strangers = 0;
    for (size_t n = 0; n < kReadsPerWake; ++n) {
        sockaddr_storage src{};
        iovec iov{rxBuf_.data(), rxBuf_.size()};
        alignas(cmsghdr) char control[CMSG_SPACE(sizeof(in_pktinfo)) + CMSG_SPACE(sizeof(in6_pktinfo))];
        msghdr msg{};
        msg.msg_name = &src;
        msg.msg_namelen = sizeof src;
        msg.msg_iov = &iov;
        msg.msg_iovlen = 1;
        msg.msg_control = control;
        msg.msg_controllen = sizeof control;
        const ssize_t got = ::recvmsg(fd, &msg, MSG_DONTWAIT);
        if (got < 0) {
            if (errno == EINTR) continue;
            return;  // EAGAIN, or an error that the next wake-up will see again
        }
        if (got == 0 || (msg.msg_flags & MSG_TRUNC)) continue;
        Origin from;
        if (src.ss_family == AF_INET) {
            const auto* sin = reinterpret_cast<const sockaddr_in*>(&src);
            from.remote = Endpoint(asio::ip::address_v4(ntohl(sin->sin_addr.s_addr)), ntohs(sin->sin_port));
        } else if (src.ss_family == AF_INET6) {
            sockaddr_in6 sin6;
            std::memcpy(&sin6, &src, sizeof sin6);
            asio::ip::address_v6::bytes_type b;
            std::memcpy(b.data(), &sin6.sin6_addr, b.size());
            from.remote = Endpoint(unmapped(asio::ip::address_v6(b, sin6.sin6_scope_id)), ntohs(sin6.sin6_port));
        } else {
            continue;
        }
        for (cmsghdr* c = CMSG_FIRSTHDR(&msg); c; c = CMSG_NXTHDR(&msg, c)) {
            if (c->cmsg_level == IPPROTO_IP && c->cmsg_type == IP_PKTINFO) {
                in_pktinfo info;
                std::memcpy(&info, CMSG_DATA(c), sizeof info);
                from.local = asio::ip::address_v4(ntohl(info.ipi_spec_dst.s_addr));
                from.interfaceIndex = static_cast<unsigned>(info.ipi_ifindex);
            } else if (c->cmsg_level == IPPROTO_IPV6 && c->cmsg_type == IPV6_PKTINFO) {
                in6_pktinfo info;
                std::memcpy(&info, CMSG_DATA(c), sizeof info);
                asio::ip::address_v6::bytes_type b;
                std::memcpy(b.data(), &info.ipi6_addr, b.size());
                from.local = unmapped(asio::ip::address_v6(b));
                from.interfaceIndex = info.ipi6_ifindex;
            }
        }
        // A bound phone is served whatever else arrives; strangers share a small budget per wake-up.
        if (!isBoundPhone(from.remote) && ++strangers > kStrangerReadsPerWake) continue;
        handleDatagram(rxBuf_.data(), static_cast<size_t>(got), from, clock_.now());
    }
}

void OrvServer::keepAliveTick() {
    static const std::vector<uint8_t> hot = OSCMessage::encode("/orv/hot", {});
    const double now = clock_.now();
    hotTargets_.clear();
    bool anyHeard = false;
    {
        std::lock_guard g(lock_);
        for (const auto& [key, r] : remotes_) {
            if (!r.proven || now - r.lastWall >= kHotHeardWithin) continue;
            anyHeard = true;
            const auto down = lastDownWall_.find(key);
            const double lastDown = down == lastDownWall_.end() ? 0.0 : down->second;
            if (now - lastDown > kHotQuietFor) hotTargets_.push_back(r.conn.remote);
        }
    }
    for (const auto& t : hotTargets_) sink_->send(t, hot);
    // With no phone or peer heard, a 10 ms timer would only wake this thread a hundred times a second.
    if (!anyHeard && queue_->isCurrent() && hotTimer_) {
        hotTimer_->cancel();
        hotIdle_ = true;
    }
}

// ---------------------------------------------------------------------------------------------------------
// Accessors

std::optional<OrvServer::Remote> OrvServer::remoteRecord(int key) const {
    std::lock_guard g(lock_);
    const auto it = remotes_.find(key);
    if (it == remotes_.end()) return std::nullopt;
    return it->second;
}

bool OrvServer::isRemoteFresh(int key, double within) const {
    const double now = clock_.now();
    std::lock_guard g(lock_);
    const auto it = remotes_.find(key);
    return it != remotes_.end() && now - it->second.lastWall < within;
}

// One field of a record, copied under the lock, or the fallback when the key has none.
template <typename T>
T OrvServer::remoteField(int key, T Remote::*field, T fallback) const {
    std::lock_guard g(lock_);
    const auto it = remotes_.find(key);
    return it == remotes_.end() ? fallback : it->second.*field;
}

std::string OrvServer::remoteName(int key) const { return remoteField(key, &Remote::name, std::string()); }
std::string OrvServer::remoteMode(int key) const { return remoteField(key, &Remote::mode, std::string("remote")); }
double OrvServer::remoteLastAngle(int key) const { return remoteField(key, &Remote::lastAngle, 0.0); }
double OrvServer::remoteJitterMs(int key) const { return remoteField(key, &Remote::jitterMs, 0.0); }
double OrvServer::remoteMaxGapMs(int key) const { return remoteField(key, &Remote::maxGapMs, 0.0); }
std::string OrvServer::remoteVia(int key) const { return remoteField(key, &Remote::via, std::string("?")); }
int OrvServer::remoteWavOk(int key) const { return remoteField(key, &Remote::wavOk, -1); }

std::string OrvServer::remoteHost(int key) const {
    Endpoint e;
    {
        std::lock_guard g(lock_);
        const auto it = remotes_.find(key);
        if (it == remotes_.end()) return "";
        e = it->second.conn.remote;
    }
    std::string text = e.address().to_string();
    if (const auto pct = text.find('%'); pct != std::string::npos) text.resize(pct);
    if (text.empty() || text.find(':') != std::string::npos) return "";
    return text;
}

std::string OrvServer::endpointOfPeerNamed(std::string_view name) const {
    int key = 0;
    bool found = false;
    {
        std::lock_guard g(lock_);
        for (const auto& [k, r] : remotes_) {
            if (r.name == name) {
                key = k;
                found = true;
                break;
            }
        }
    }
    return found ? remoteHost(key) : "";
}

}  // namespace plindo::link

