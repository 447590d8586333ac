#include "link/orv_server.h"

#include "platform/base64.h"
#include "platform/checked.h"

#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cmath>
#include <cstring>

namespace plindo::link {

namespace {

using platform::checkedInt;
using platform::checkedInt32;
using platform::checkedInt64;

constexpr double kHotHeardWithin = 1.0;   // keep-alive goes to senders heard this recently...
constexpr double kHotQuietFor = 0.03;     // ...and not sent anything for this long
constexpr double kFrameGapResetMs = 500;  // a longer frame interval restarts the timing statistics
constexpr double kMaxGapWindow = 2.0;     // the largest-gap figure covers this many seconds
constexpr size_t kReadsPerWake = 64;      // datagrams read before the keep-alive gets a turn
constexpr size_t kStackMessage = 512;     // replies up to this size are encoded without allocating

std::optional<int> deckOf(const OSCArg& a) {
    const auto v = a.doubleValue();
    if (!v) return std::nullopt;
    const auto d = checkedInt(*v);
    if (!d || (*d != 1 && *d != 2)) return std::nullopt;
    return d;
}

std::optional<int> intOf(const OSCArg& a) {
    const auto v = a.doubleValue();
    if (!v) return std::nullopt;
    return checkedInt(*v);
}

std::string senderKeyOf(const asio::ip::udp::endpoint& e) {
    size_t h = std::hash<unsigned short>{}(e.port());
    const auto mix = [&h](size_t v) { h ^= v + 0x9e3779b97f4a7c15ull + (h << 6) + (h >> 2); };
    if (e.address().is_v4()) {
        mix(e.address().to_v4().to_uint());
    } else {
        for (auto b : e.address().to_v6().to_bytes()) mix(b);
    }
    return "conn:" + std::to_string(h);
}

bool sameSender(const OrvServer::Remote& r, const OrvServer::Origin& from) { return r.conn.remote == from.remote; }

int32_t saturate32(int64_t v) {
    return static_cast<int32_t>(std::clamp<int64_t>(v, INT32_MIN, INT32_MAX));
}

std::optional<int64_t> parseBuild(std::string_view t) {
    if (!t.empty() && t[0] == '+') t.remove_prefix(1);
    if (t.empty()) return std::nullopt;
    int64_t v = 0;
    const auto [end, ec] = std::from_chars(t.data(), t.data() + t.size(), v);
    if (ec != std::errc() || end != t.data() + t.size()) return std::nullopt;
    return v;
}

bool startsWith(std::string_view s, std::string_view p) { return s.substr(0, p.size()) == p; }

// Bridges ("bridge0", Linux "br0") come first; then the machine's own Ethernet and Wi-Fi under their
// usual names ("en0", Linux "eth0", "enp3s0", "wlan0", "wlp2s0").
bool isBridge(std::string_view name) { return startsWith(name, "bridge") || startsWith(name, "br"); }
bool isLanPort(std::string_view name) {
    return startsWith(name, "en") || startsWith(name, "eth") || startsWith(name, "wl");
}

std::string primaryIPv4(const std::vector<platform::NetInterface>& ifs) {
    const platform::NetInterface* en = nullptr;
    const platform::NetInterface* any = nullptr;
    for (const auto& i : ifs) {
        if (!i.up || i.loopback || i.ipv4.empty()) continue;
        if (isBridge(i.name)) return i.ipv4;
        if (!en && isLanPort(i.name)) en = &i;
        if (!any) any = &i;
    }
    if (en) return en->ipv4;
    if (any) return any->ipv4;
    return {};
}

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
    void send(const Endpoint& to, std::span<const uint8_t> bytes) override {
        const int s = fd.load();
        if (s < 0) return;
        // Send errors are ignored: there is no retry and nobody to tell.
        (void)::sendto(s, bytes.data(), bytes.size(), MSG_DONTWAIT | MSG_NOSIGNAL, to.data(),
                       static_cast<socklen_t>(to.size()));
    }
};

const std::array<OrvServer::Route, 27> OrvServer::kRoutes{{
    {"/orv/frame", &OrvServer::onFrameMessage},
    {"/orv/hello", &OrvServer::onHelloMessage},
    {"/orv/group/state", &OrvServer::onGroupStateMessage},
    {"/orv/group/mute", &OrvServer::onGroupMuteMessage},
    {"/orv/group/load", &OrvServer::onGroupLoadMessage},
    {"/orv/mute", &OrvServer::onMuteMessage},
    {"/orv/touch", &OrvServer::onTouchMessage},
    {"/orv/cue", &OrvServer::onCueMessage},
    {"/orv/seek", &OrvServer::onSeekMessage},
    {"/orv/imu", &OrvServer::onIMUMessage},
    {"/orv/tun", &OrvServer::onTunnelMessage},
    {"/orv/bud", &OrvServer::onBudMessage},
    {"/orv/s/gyro", &OrvServer::onSensor},
    {"/orv/s/fused", &OrvServer::onSensor},
    {"/orv/s/mag", &OrvServer::onSensor},
    {"/orv/dyn", &OrvServer::onDynMessage},
    {"/orv/dyn/gate", &OrvServer::onDynGateMessage},
    {"/orv/djlogo", &OrvServer::onDJLogoMessage},
    {"/orv/secret", &OrvServer::onSecretMessage},
    {"/orv/raw", &OrvServer::onRawMessage},
    {"/orv/idouble", &OrvServer::onInstantDoubleMessage},
    {"/orv/kick", &OrvServer::onKickMessage},
    {"/orv/synth", &OrvServer::onSynthMessage},
    {"/orv/ping", &OrvServer::onPingMessage},
    {"/orv/blink", &OrvServer::onBlinkMessage},
    {"/orv/slots", &OrvServer::onSlotsMessage},
    {"/orv/lib/gesture", &OrvServer::onLibGestureMessage},
}};

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
    hotTimer_.reset();  // cancels and waits for a running tick
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

template <typename F>
void OrvServer::postMain(F&& f) {
    main_.post([w = std::weak_ptr<int>(life_), fn = std::forward<F>(f)]() mutable {
        if (w.expired()) return;
        fn();
    });
}

void OrvServer::drainQueue() { queue_->sync([] {}); }

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
        asio::error_code ec;
        socket_.open(asio::ip::udp::v4(), ec);
        if (ec) return;
        // No SO_REUSEADDR: on Linux it would let a second host bind the same port and hide the clash.
        socket_.bind(Endpoint(asio::ip::address_v4::any(), static_cast<unsigned short>(port)), ec);
        if (ec) {
            socket_.close(ec);
            return;
        }
        socket_.non_blocking(true, ec);
        const int on = 1;
        // The local address each datagram reached: the first address offered in bind replies.
        (void)::setsockopt(socket_.native_handle(), IPPROTO_IP, IP_PKTINFO, &on, sizeof on);
        localPort_ = socket_.local_endpoint(ec).port();
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

    if (advertiser_) {
        std::string name = serviceName_;
        if (name.empty()) {
            char host[256] = {};
            if (::gethostname(host, sizeof host - 1) == 0) name = host;
        }
        if (name.empty()) name = "Plindo Host";
        registration_ = advertiser_->advertise(name, "_plindo._udp", localPort_,
                                               [this, w = std::weak_ptr<int>(life_)](const std::string& s) {
                                                   if (!w.expired()) status(s);
                                               });
    }
    queue_->post([this] { armReceive(); });
    hotTimer_ = std::make_unique<platform::RepeatingTimer>(*queue_, std::chrono::milliseconds(10),
                                                           [this] { keepAliveTick(); });
    hotTimer_->start();
    status("Plindo: listening on UDP :" + std::to_string(port) + " (P2P/AWDL), Bonjour _plindo._udp");
}

void OrvServer::armReceive() {
    socket_.async_wait(asio::ip::udp::socket::wait_read, [this](const asio::error_code& ec) {
        if (ec) {
            if (ec != asio::error::operation_aborted) status("Plindo: listener error " + ec.message());
            return;
        }
        drainSocket();
        armReceive();
    });
}

void OrvServer::drainSocket() {
    const int fd = socket_.native_handle();
    for (size_t n = 0; n < kReadsPerWake; ++n) {
        sockaddr_storage src{};
        iovec iov{rxBuf_.data(), rxBuf_.size()};
        alignas(cmsghdr) char control[CMSG_SPACE(sizeof(in_pktinfo))];
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
        if (got == 0 || src.ss_family != AF_INET || (msg.msg_flags & MSG_TRUNC)) continue;
        Origin from;
        const auto* sin = reinterpret_cast<const sockaddr_in*>(&src);
        from.remote = Endpoint(asio::ip::address_v4(ntohl(sin->sin_addr.s_addr)), ntohs(sin->sin_port));
        for (cmsghdr* c = CMSG_FIRSTHDR(&msg); c; c = CMSG_NXTHDR(&msg, c)) {
            if (c->cmsg_level == IPPROTO_IP && c->cmsg_type == IP_PKTINFO) {
                in_pktinfo info;
                std::memcpy(&info, CMSG_DATA(c), sizeof info);
                from.local = asio::ip::address_v4(ntohl(info.ipi_spec_dst.s_addr));
            }
        }
        handleDatagram(rxBuf_.data(), static_cast<size_t>(got), from, clock_.now());
    }
}

void OrvServer::keepAliveTick() {
    static const std::vector<uint8_t> hot = OSCMessage::encode("/orv/hot", {});
    const double now = clock_.now();
    hotTargets_.clear();
    {
        std::lock_guard g(lock_);
        for (const auto& [key, r] : remotes_) {
            if (now - r.lastWall >= kHotHeardWithin) continue;
            const auto down = lastDownWall_.find(key);
            const double lastDown = down == lastDownWall_.end() ? 0.0 : down->second;
            if (now - lastDown > kHotQuietFor) hotTargets_.push_back(r.conn.remote);
        }
    }
    for (const auto& t : hotTargets_) sink_->send(t, hot);
}

// ---------------------------------------------------------------------------------------------------------
// Inbound

void OrvServer::handleDatagram(const uint8_t* bytes, size_t size, const Origin& from, double now) {
    if (size == 0) return;
    decoder_.forEachMessage(bytes, size, [&](const OSCMessageView& m) { dispatch(m, from, now); });
}

void OrvServer::dispatch(const OSCMessageView& m, const Origin& from, double now) {
    for (const auto& route : kRoutes) {
        if (route.address == m.address) {
            (this->*route.handler)(m, from, now);
            return;
        }
    }
}

bool OrvServer::deckGate(int deck, const Origin& from, double now) const {
    std::lock_guard g(lock_);
    const auto it = remotes_.find(deck);
    if (it == remotes_.end()) return true;
    return sameSender(it->second, from) || now - it->second.lastWall >= bindStale_;
}

void OrvServer::updateFrameStats(Remote& r, double now) const {
    const double dt = (now - r.lastWall) * 1000.0;
    if (dt > kFrameGapResetMs) {
        r.meanDtMs = 0;
        r.jitterMs = 0;
    } else if (r.meanDtMs == 0) {
        r.meanDtMs = dt;
    } else {
        r.jitterMs = 0.9 * r.jitterMs + 0.1 * std::fabs(dt - r.meanDtMs);
        r.meanDtMs = 0.9 * r.meanDtMs + 0.1 * dt;
    }
    if (now - r.maxGapResetWall > kMaxGapWindow) {
        r.maxGapResetWall = now;
        r.maxGapMs = dt < kFrameGapResetMs ? dt : 0;
    } else if (dt < kFrameGapResetMs) {
        r.maxGapMs = std::max(r.maxGapMs, dt);
    }
}

void OrvServer::onFrameMessage(const OSCMessageView& m, const Origin& from, double now) {
    const auto& a = m.args;
    if (a.size() < 4) return;
    const auto deck = deckOf(a[0]);
    const auto path = a[1].stringValue();
    const auto pos = a[2].doubleValue();
    const auto rate = a[3].doubleValue();
    if (!deck || !path || !pos || !rate) return;

    samples_.clear();
    if (a.size() >= 6 && a[5].isNumber()) samples_.push_back({a[4].doubleValue().value_or(0.0), *a[5].doubleValue()});
    for (size_t k = 6; k + 1 < a.size(); k += 2) {
        if (a[k].isNumber() && a[k + 1].isNumber()) samples_.push_back({*a[k].doubleValue(), *a[k + 1].doubleValue()});
    }
    // A total order: a timestamp that is not a number sorts last instead of breaking the sort.
    std::sort(samples_.begin(), samples_.end(), [](const FrameSample& x, const FrameSample& y) {
        if (std::isnan(x.ts)) return false;
        if (std::isnan(y.ts)) return true;
        return x.ts < y.ts;
    });

    bool pathChanged = false;
    {
        std::lock_guard g(lock_);
        auto it = remotes_.find(*deck);
        if (it == remotes_.end()) {
            Remote r;
            r.conn = from;
            r.senderKey = senderKeyOf(from.remote);
            r.name = "?";
            it = remotes_.emplace(*deck, std::move(r)).first;
            pathChanged = !path->empty();
        } else if (sameSender(it->second, from) || now - it->second.lastWall >= bindStale_) {
            Remote& r = it->second;
            if (!sameSender(r, from)) {
                // The stale holder is displaced: the deck now belongs to this sender, so its later frames pass
                // the gate and pushes reach it, not the silent phone. Its name is not known until it says hello.
                r.conn = from;
                r.senderKey = senderKeyOf(from.remote);
                r.name = "?";
                r.mode = "remote";
                r.via = "?";
                r.wavOk = -1;
            }
            pathChanged = !path->empty() && *path != r.lastPath;
            updateFrameStats(r, now);
        } else {
            return;  // another live phone holds the deck
        }
        Remote& r = it->second;
        r.lastWall = now;
        if (pathChanged) r.lastPath.assign(*path);
        r.lastPos = *pos;
        r.lastRate = *rate;
        if (!samples_.empty()) r.lastAngle = samples_.back().angle;
    }
    if (onFrame) onFrame(*deck, *path, *pos, *rate, samples_);
    if (pathChanged) {
        postMain([this, d = *deck, p = std::string(*path)] {
            if (onRemoteLoad) onRemoteLoad(d, p);
        });
    }
}

void OrvServer::onGroupStateMessage(const OSCMessageView& m, const Origin&, double) {
    if (m.args.empty()) return;
    const auto text = m.args[0].stringValue();
    if (text && onGroupState) onGroupState(*text);
}

void OrvServer::onGroupMuteMessage(const OSCMessageView& m, const Origin&, double) {
    if (m.args.empty()) return;
    const auto v = m.args[0].doubleValue();
    if (v && onGroupMute) onGroupMute(*v > 0.5);
}

void OrvServer::onGroupLoadMessage(const OSCMessageView& m, const Origin&, double) {
    const auto& a = m.args;
    if (a.size() < 4) return;
    const auto s0 = a[0].stringValue(), s1 = a[1].stringValue(), s2 = a[2].stringValue();
    const auto n = intOf(a[3]);
    if (s0 && s1 && s2 && n && onGroupLoad) onGroupLoad(*s0, *s1, *s2, *n);
}

void OrvServer::onMuteMessage(const OSCMessageView& m, const Origin& from, double now) {
    const auto& a = m.args;
    if (a.size() < 3) return;
    const auto deck = deckOf(a[0]);
    if (!deck || !deckGate(*deck, from, now)) return;
    const bool x = a[1].doubleValue().value_or(0.0) > 0.5;
    const bool y = a[2].doubleValue().value_or(0.0) > 0.5;
    if (onMute) onMute(*deck, x, y);
}

void OrvServer::onTouchMessage(const OSCMessageView& m, const Origin& from, double now) {
    const auto& a = m.args;
    if (a.size() < 2) return;
    const auto deck = deckOf(a[0]);
    const auto v = a[1].doubleValue();
    if (!deck || !v || !deckGate(*deck, from, now)) return;
    if (onTouch) onTouch(*deck, *v > 0.5);
}

void OrvServer::onCueMessage(const OSCMessageView& m, const Origin& from, double now) {
    const auto& a = m.args;
    if (a.size() < 3) return;
    const auto deck = deckOf(a[0]);
    const auto slot = intOf(a[1]);
    const auto v = a[2].doubleValue();
    if (!deck || !slot || !v || !deckGate(*deck, from, now)) return;
    if (onCue) onCue(*deck, *slot, *v > 0.5);
}

void OrvServer::onSeekMessage(const OSCMessageView& m, const Origin& from, double now) {
    const auto& a = m.args;
    if (a.size() < 2) return;
    const auto deck = deckOf(a[0]);
    const auto secs = a[1].doubleValue();
    if (!deck || !secs || !deckGate(*deck, from, now)) return;
    if (onSeek) onSeek(*deck, *secs);
}

// "/orv/imu" and "/orv/bud" carry the same record; only the callback differs.
void OrvServer::imuSample(const OSCMessageView& m, const Origin& from, double now,
                          const std::function<void(int, const OrvRemoteLink::IMUSample&)>& callback) {
    if (m.args.size() < 14) return;
    const auto deck = deckOf(m.args[0]);
    if (!deck || !deckGate(*deck, from, now)) return;
    const auto s = OrvRemoteLink::readIMU(m.args);
    if (s && callback) callback(*deck, *s);
}

void OrvServer::onIMUMessage(const OSCMessageView& m, const Origin& from, double now) { imuSample(m, from, now, onIMU); }

void OrvServer::onBudMessage(const OSCMessageView& m, const Origin& from, double now) { imuSample(m, from, now, onBud); }

void OrvServer::onTunnelMessage(const OSCMessageView& m, const Origin& from, double now) {
    const auto& a = m.args;
    if (a.size() < 3) return;
    const auto deck = deckOf(a[0]);
    const auto v1 = a[1].doubleValue();
    const auto count = intOf(a[2]);
    if (!deck || !v1 || !count || *count < 1 || *count > 64) return;
    const auto value = checkedInt32(*v1);
    if (!value) return;
    const size_t n = static_cast<size_t>(*count);
    if (a.size() < 3 + 4 * n) return;
    if (!deckGate(*deck, from, now)) return;
    size_t kept = 0;
    for (size_t k = 0; k < n; ++k) {
        const auto seq = a[3 + 4 * k].doubleValue();
        const auto cum = a[4 + 4 * k].doubleValue();
        const auto stamp = a[5 + 4 * k].doubleValue();
        const auto measured = a[6 + 4 * k].doubleValue();
        if (!seq || !cum || !stamp || !measured) return;
        const auto seqInt = checkedInt64(*seq);
        if (!seqInt) return;
        // A count that is not finite (or not an integer at all) cannot be a platter position: leave it out.
        const auto cumInt = platform::checkedRound<int64_t>(*cum);
        if (!cumInt || !std::isfinite(*stamp)) continue;
        ticks_[kept++] = Tick{*seqInt, *cumInt, *stamp, *measured >= 0.5};
    }
    if (onTunnel) onTunnel(*deck, *value, std::span<const Tick>(ticks_.data(), kept));
}

void OrvServer::onSensor(const OSCMessageView& m, const Origin& from, double now) {
    if (m.args.empty()) return;
    const auto deck = intOf(m.args[0]);
    if (!deck || *deck <= 0 || !deckGate(*deck, from, now)) return;
    if (!onSensorMessage) return;
    sensorArgs_.resize(m.args.size());
    for (size_t k = 0; k < m.args.size(); ++k) {
        const OSCArg& src = m.args[k];
        OSCValue& dst = sensorArgs_[k];
        dst.kind = src.kind;
        dst.i = src.i;
        dst.f = src.f;
        if (src.kind == OSCValue::Kind::String) dst.s.assign(src.s);
        else dst.s.clear();
    }
    onSensorMessage(m.address, sensorArgs_);
}

void OrvServer::onDynMessage(const OSCMessageView& m, const Origin&, double) {
    if (m.args.size() < 2) return;
    const auto deck = deckOf(m.args[0]);
    const auto text = m.args[1].stringValue();
    if (deck && text && onDyn) onDyn(*deck, *text);
}

void OrvServer::onDynGateMessage(const OSCMessageView& m, const Origin&, double) {
    const auto& a = m.args;
    if (a.size() < 4) return;
    const auto deck = deckOf(a[0]);
    const auto flag = intOf(a[1]), x = intOf(a[2]), y = intOf(a[3]);
    if (deck && flag && x && y && onDynGate) onDynGate(*deck, *flag == 1, *x, *y);
}

void OrvServer::onDJLogoMessage(const OSCMessageView& m, const Origin&, double) {
    const auto& a = m.args;
    if (a.size() < 4) return;
    const auto gen = a[0].doubleValue();
    const auto index = intOf(a[1]), count = intOf(a[2]);
    const auto chunk = a[3].stringValue();
    if (gen && index && count && chunk && onDJLogo) onDJLogo(*gen, *index, *count, *chunk);
}

void OrvServer::onSecretMessage(const OSCMessageView&, const Origin&, double) {
    if (onSecret) onSecret();
}

void OrvServer::onRawMessage(const OSCMessageView& m, const Origin& from, double now) {
    if (m.args.size() < 6) return;
    const auto deck = deckOf(m.args[0]);
    if (!deck || !deckGate(*deck, from, now)) return;
    if (!OrvRemoteLink::readRaw(m.args, raw_)) return;
    if (onRaw) onRaw(*deck, raw_);
}

void OrvServer::onInstantDoubleMessage(const OSCMessageView& m, const Origin&, double) {
    if (m.args.empty()) return;
    const auto deck = deckOf(m.args[0]);
    if (deck && onInstantDouble) onInstantDouble(*deck);
}

void OrvServer::onKickMessage(const OSCMessageView& m, const Origin&, double) {
    if (m.args.empty()) return;
    const auto deck = deckOf(m.args[0]);
    if (!deck) return;
    Remote kicked;
    {
        std::lock_guard g(lock_);
        const auto it = remotes_.find(*deck);
        if (it == remotes_.end()) return;
        kicked = std::move(it->second);
        remotes_.erase(it);
    }
    const OSCValue args[] = {OSCValue::int32(*deck), OSCValue::string("kicked"),
                             OSCValue::string(std::to_string(kHostBuild))};
    send(kicked.conn.remote, "/orv/deny", args);
    status("Plindo: deck " + std::to_string(*deck) + " geraeumt — " + kicked.name + " gekickt");
}

void OrvServer::onSynthMessage(const OSCMessageView& m, const Origin& from, double now) {
    const auto& a = m.args;
    if (a.size() < 4) return;
    const auto deck = deckOf(a[0]);
    const auto on = intOf(a[1]);
    const auto v = a[2].doubleValue(), w = a[3].doubleValue();
    if (!deck || !on || !v || !w || !deckGate(*deck, from, now)) return;
    if (onSynth) onSynth(*deck, *on == 1 ? std::optional<double>(*v) : std::nullopt, *w);
}

void OrvServer::onPingMessage(const OSCMessageView& m, const Origin& from, double) {
    if (m.args.size() < 2) return;
    const auto deck = deckOf(m.args[0]);
    const auto t = m.args[1].doubleValue();
    if (!deck || !t) return;
    const auto token = checkedInt32(*t);
    if (!token) return;
    const double latency = latencyProvider ? latencyProvider(*deck) : 0.0;
    const OSCValue args[] = {OSCValue::int32(*token), OSCValue::float64(latency)};
    send(from.remote, "/orv/pong", args);
}

void OrvServer::onBlinkMessage(const OSCMessageView& m, const Origin&, double) {
    if (m.args.size() < 2) return;
    const auto deck = deckOf(m.args[0]);
    const auto v = intOf(m.args[1]);
    if (!deck || !v) return;
    postMain([this, d = *deck, x = *v] {
        if (onBlink) onBlink(d, x);
    });
}

void OrvServer::onSlotsMessage(const OSCMessageView&, const Origin& from, double now) {
    std::string names[2];
    {
        std::lock_guard g(lock_);
        for (int deck = 1; deck <= 2; ++deck) {
            const auto it = remotes_.find(deck);
            if (it != remotes_.end() && now - it->second.lastWall < bindStale_) names[deck - 1] = it->second.name;
        }
    }
    const OSCValue args[] = {OSCValue::string(std::move(names[0])), OSCValue::string(std::move(names[1]))};
    send(from.remote, "/orv/slots", args);
}

void OrvServer::onLibGestureMessage(const OSCMessageView& m, const Origin&, double) {
    const auto& a = m.args;
    if (a.size() < 3) return;
    const auto deck = deckOf(a[0]);
    const auto text = a[1].stringValue();
    const auto v = intOf(a[2]);
    if (!deck || !text || !v) return;
    postMain([this, d = *deck, t = std::string(*text), x = *v] {
        if (onLibGesture) onLibGesture(d, t, x);
    });
}

// ---------------------------------------------------------------------------------------------------------
// Hello, bind and deny

std::optional<std::string> OrvServer::versionGate(std::string_view build, std::string_view needed) {
    const std::string text = build.empty() ? std::string("unknown") : std::string(build);
    const auto b = parseBuild(text);
    if (!b || *b < 1 || *b < kMinPhoneBuild) return "build:" + text;
    if (needed.empty()) return std::nullopt;
    const auto n = parseBuild(needed);
    if (!n || *n < 1) return std::nullopt;
    if (*n > kHostBuild) return "hostold:" + std::to_string(kHostBuild);
    return std::nullopt;
}

int OrvServer::httpPort() const {
    std::lock_guard g(lock_);
    return httpPortOverride_.value_or(kDefaultHttpPort);
}

void OrvServer::setHttpCandidatesExtra(std::vector<std::string> extra) {
    std::lock_guard g(lock_);
    httpCandidatesExtra_ = std::move(extra);
}

void OrvServer::setHttpPortOverride(std::optional<int> port) {
    std::lock_guard g(lock_);
    httpPortOverride_ = port;
}

std::vector<std::string> OrvServer::addressCandidates(const Origin& from) const {
    std::vector<std::string> out;
    {
        std::lock_guard g(lock_);
        out = httpCandidatesExtra_;
    }
    const auto ifs = interfaces_ ? interfaces_() : std::vector<platform::NetInterface>{};
    std::string local;
    if (from.local.is_v4() && !from.local.is_unspecified()) local = from.local.to_string();
    if (local.empty()) local = primaryIPv4(ifs);
    if (!local.empty()) out.push_back(local);
    for (const auto& i : ifs) {
        if (!i.up || i.loopback || i.ipv4.empty()) continue;
        if (!isBridge(i.name) && !isLanPort(i.name)) continue;
        if (std::find(out.begin(), out.end(), i.ipv4) == out.end()) out.push_back(i.ipv4);
    }
    return out;
}

std::string OrvServer::linkKind(const Origin& from) const {
    if (!from.local.is_v4() || from.local.is_unspecified() || !interfaces_) return "?";
    const std::string local = from.local.to_string();
    for (const auto& i : interfaces_()) {
        if (i.up && !i.loopback && i.ipv4 == local) return "LAN";
    }
    return "?";
}

void OrvServer::onHelloMessage(const OSCMessageView& m, const Origin& from, double now) {
    const auto& a = m.args;
    if (a.size() < 3) return;
    const auto deck = intOf(a[0]);
    const auto nameView = a[1].stringValue();
    if (!deck || *deck < 0 || *deck > 2 || !nameView) return;
    const std::string name(*nameView);
    std::string mode = "remote";
    if (a.size() > 3) {
        if (auto s = a[3].stringValue()) mode.assign(*s);
    }
    int wavOk = -1;
    if (a.size() > 4 && a[4].isNumber()) {
        const auto w = intOf(a[4]);
        if (!w) return;
        wavOk = *w;
    }
    std::string build, needed;
    if (a.size() > 5) {
        if (auto s = a[5].stringValue()) build.assign(*s);
    }
    if (a.size() > 6) {
        if (auto s = a[6].stringValue()) needed.assign(*s);
    }

    const auto reason = versionGate(build, needed);
    const auto addresses = addressCandidates(from);
    const int port = httpPort();

    if (reason) {
        std::vector<OSCValue> args{OSCValue::int32(*deck), OSCValue::string(*reason),
                                   OSCValue::string(std::to_string(kHostBuild)), OSCValue::int32(port)};
        for (const auto& addr : addresses) args.push_back(OSCValue::string(addr));
        send(from.remote, "/orv/deny", args);
        if (startsWith(*reason, "hostold:")) {
            status("Plindo: " + name + " refused — host " + std::to_string(kHostBuild) + " is older than the " +
                   needed + " it needs");
        } else {
            status("Plindo: " + name + " refused — build " + (build.empty() ? std::string("unknown") : build) +
                   " < 0958");
        }
        return;
    }

    std::vector<OSCValue> bind{OSCValue::int32(*deck), OSCValue::string(addresses.empty() ? "" : addresses[0]),
                               OSCValue::int32(port)};
    for (size_t k = 1; k < addresses.size(); ++k) bind.push_back(OSCValue::string(addresses[k]));

    if (*deck != 0) {
        const std::string via = linkKind(from);
        {
            std::lock_guard g(lock_);
            auto it = remotes_.find(*deck);
            if (it == remotes_.end()) {
                Remote r;
                r.conn = from;
                r.senderKey = senderKeyOf(from.remote);
                r.name = name;
                r.mode = mode;
                r.wavOk = wavOk;
                r.lastWall = now;
                remotes_.emplace(*deck, std::move(r));
            } else if (sameSender(it->second, from) || it->second.name == name ||
                       now - it->second.lastWall >= bindStale_) {
                Remote& r = it->second;
                r.conn = from;
                r.senderKey = senderKeyOf(from.remote);
                r.name = name;
                r.mode = mode;
                r.wavOk = wavOk;
                r.lastWall = now;
                r.via = via;
            }
        }
        send(from.remote, "/orv/bind", bind);
        postMain([this, d = *deck, name, mode] {
            if (onHello) onHello(d, name, mode);
        });
        return;
    }

    // A host joining as group peer.
    const std::string key = senderKeyOf(from.remote);
    bool isNew = false;
    bool admitted = true;
    std::vector<std::string> gone;
    {
        std::lock_guard g(lock_);
        auto pk = peerKeys_.find(key);
        int peer;
        if (pk == peerKeys_.end()) {
            size_t peers = 0;
            for (const auto& [k, r] : remotes_) peers += k <= 0;
            if (peers >= kMaxGroupPeers) {
                // Make room from peers that have gone quiet, the same rule as the group pushes use.
                const double limit = bindStale_ <= 5.0 ? 15.0 : 3.0 * bindStale_;
                for (auto it = remotes_.begin(); it != remotes_.end();) {
                    if (it->first <= 0 && now - it->second.lastWall > limit) {
                        gone.push_back(it->second.name);
                        std::erase_if(peerKeys_, [k = it->first](const auto& e) { return e.second == k; });
                        it = remotes_.erase(it);
                        --peers;
                    } else {
                        ++it;
                    }
                }
            }
            admitted = peers < kMaxGroupPeers;
            if (admitted) {
                isNew = true;
                peer = nextPeerKey_--;
                peerKeys_.emplace(key, peer);
            }
        } else {
            peer = pk->second;
        }
        if (admitted) {
            Remote r;
            r.conn = from;
            r.senderKey = key;
            r.name = name;
            r.mode = mode;
            r.wavOk = wavOk;
            r.lastWall = now;
            remotes_[peer] = std::move(r);
        }
    }
    for (const auto& n : gone) status("Plindo: group peer " + n + " gone");
    if (!admitted) return;  // the table is full of live peers: no reply, no record
    send(from.remote, "/orv/bind", bind);
    if (isNew) {
        status("Plindo: group peer " + name + " joined");
        postMain([this, name] {
            if (onPeerJoined) onPeerJoined(name);
        });
    }
}

// ---------------------------------------------------------------------------------------------------------
// Outbound

void OrvServer::send(const Endpoint& to, std::string_view address, std::span<const OSCValue> args) {
    uint8_t buf[kStackMessage];
    if (const size_t n = OSCMessage::encodeInto(buf, address, args)) {
        sink_->send(to, std::span<const uint8_t>(buf, n));
        return;
    }
    const auto bytes = OSCMessage::encode(address, args);
    sink_->send(to, bytes);
}

bool OrvServer::deckTarget(int deck, Endpoint& out) const {
    std::lock_guard g(lock_);
    const auto it = remotes_.find(deck);
    if (it == remotes_.end()) return false;
    out = it->second.conn.remote;
    return true;
}

void OrvServer::sendGroup(std::string_view address, std::span<const OSCValue> args) {
    const auto targets = pruneGroupPeers();
    if (targets.empty()) return;
    const auto bytes = OSCMessage::encode(address, args);
    for (const auto& t : targets) sink_->send(t, bytes);
}

std::vector<OrvServer::Endpoint> OrvServer::pruneGroupPeers() {
    std::vector<Endpoint> out;
    std::vector<std::string> gone;
    {
        std::lock_guard g(lock_);
        const double now = clock_.now();
        const double limit = bindStale_ <= 5.0 ? 15.0 : 3.0 * bindStale_;
        for (auto it = remotes_.begin(); it != remotes_.end();) {
            if (it->first <= 0 && now - it->second.lastWall > limit) {
                gone.push_back(it->second.name);
                std::erase_if(peerKeys_, [k = it->first](const auto& e) { return e.second == k; });
                it = remotes_.erase(it);
            } else {
                out.push_back(it->second.conn.remote);
                ++it;
            }
        }
    }
    // Reported after the lock is released: a status handler may read the server.
    for (const auto& n : gone) status("Plindo: group peer " + n + " gone");
    return out;
}

void OrvServer::markDownlink(int deck) {
    queue_->post([this, w = std::weak_ptr<int>(life_), deck] {
        if (w.expired()) return;
        std::lock_guard g(lock_);
        lastDownWall_[deck] = clock_.now();
    });
}

void OrvServer::sendGroupState(std::string_view json) {
    if (!isValidUtf8(json)) return;
    const OSCValue args[] = {OSCValue::string(std::string(json))};
    sendGroup("/orv/group/state", args);
}

void OrvServer::sendGroupMute(bool muted) {
    const OSCValue args[] = {OSCValue::int32(muted ? 1 : 0)};
    sendGroup("/orv/group/mute", args);
}

void OrvServer::sendSecret() {
    const OSCValue args[] = {OSCValue::int32(1)};
    sendGroup("/orv/secret", args);
}

void OrvServer::sendDJLogo(const std::vector<std::string>& chunks, double generation) {
    const auto targets = pruneGroupPeers();
    if (targets.empty()) return;
    std::vector<std::vector<uint8_t>> messages;
    const auto count = saturate32(static_cast<int64_t>(chunks.size()));
    if (chunks.empty()) {
        const OSCValue args[] = {OSCValue::float64(generation), OSCValue::int32(0), OSCValue::int32(0),
                                 OSCValue::string("")};
        messages.push_back(OSCMessage::encode("/orv/djlogo", args));
    }
    for (size_t k = 0; k < chunks.size(); ++k) {
        const OSCValue args[] = {OSCValue::float64(generation), OSCValue::int32(saturate32(static_cast<int64_t>(k))),
                                 OSCValue::int32(count), OSCValue::string(chunks[k])};
        messages.push_back(OSCMessage::encode("/orv/djlogo", args));
    }
    for (const auto& t : targets) {
        for (const auto& msg : messages) sink_->send(t, msg);
    }
}

void OrvServer::sendDeckFlag(int deck, bool on, std::string_view address) {
    Endpoint to;
    if (!deckTarget(deck, to)) return;
    const OSCValue args[] = {OSCValue::int32(saturate32(deck)), OSCValue::int32(on ? 1 : 0)};
    send(to, address, args);
}

void OrvServer::sendDeckValue(int deck, double v, std::string_view address) {
    Endpoint to;
    if (!deckTarget(deck, to)) return;
    const OSCValue args[] = {OSCValue::int32(saturate32(deck)), OSCValue::float64(v)};
    send(to, address, args);
}

void OrvServer::sendStuck(int deck, std::string_view text) {
    Endpoint to;
    if (!deckTarget(deck, to)) return;
    const OSCValue args[] = {OSCValue::int32(saturate32(deck)), OSCValue::string(std::string(text))};
    send(to, "/orv/stuck", args);
}

void OrvServer::sendLoad(int deck, std::string_view path) {
    Endpoint to;
    if (!deckTarget(deck, to)) return;
    markDownlink(deck);
    const OSCValue args[] = {OSCValue::int32(saturate32(deck)), OSCValue::string(std::string(path))};
    send(to, "/orv/load", args);
}

void OrvServer::sendDynGate(int deck, bool a, bool b) {
    Endpoint to;
    if (!deckTarget(deck, to)) return;
    const OSCValue args[] = {OSCValue::int32(saturate32(deck)), OSCValue::int32(a ? 1 : 0), OSCValue::int32(b ? 1 : 0)};
    send(to, "/orv/dyn/gate", args);
}

void OrvServer::sendScreenWave(int deck, int32_t index, std::span<const uint8_t> data) {
    Endpoint to;
    if (!deckTarget(deck, to)) return;
    const OSCValue args[] = {OSCValue::int32(saturate32(deck)), OSCValue::int32(index),
                             OSCValue::string(platform::base64Encode(data))};
    send(to, "/orv/swave", args);
}

void OrvServer::sendSeratoBrowser(int deck, std::string_view crate, int cursor,
                                  const std::vector<SeratoBrowserRow>& rows) {
    Endpoint to;
    if (!deckTarget(deck, to)) return;
    constexpr size_t kMinRows = 7;  // the phone's browser always shows seven lines
    const size_t n = std::max(rows.size(), kMinRows);
    std::vector<OSCValue> args;
    args.reserve(3 + 6 * n);
    args.push_back(OSCValue::int32(saturate32(deck)));
    args.push_back(OSCValue::string(std::string(crate)));
    args.push_back(OSCValue::int32(saturate32(cursor)));
    for (size_t k = 0; k < n; ++k) {
        if (k < rows.size()) {
            const auto& r = rows[k];
            for (const auto* f : {&r.title, &r.artist, &r.bpm, &r.key, &r.len, &r.path}) {
                args.push_back(OSCValue::string(*f));
            }
        } else {
            for (int f = 0; f < 6; ++f) args.push_back(OSCValue::string(""));
        }
    }
    send(to, "/orv/serbrowser", args);
}

void OrvServer::sendPitch(int deck, double a, double b) {
    Endpoint to;
    if (!deckTarget(deck, to)) return;
    const OSCValue args[] = {OSCValue::int32(saturate32(deck)), OSCValue::float64(a), OSCValue::float64(b)};
    send(to, "/orv/pitch", args);
}

void OrvServer::sendPlayhead(int deck, double seconds, int state, double rate) {
    Endpoint to;
    if (!deckTarget(deck, to)) return;
    markDownlink(deck);
    const OSCValue args[] = {OSCValue::int32(saturate32(deck)), OSCValue::float64(seconds),
                             OSCValue::int32(saturate32(state)), OSCValue::float64(rate)};
    send(to, "/orv/playhead", std::span<const OSCValue>(args, std::isfinite(rate) ? 4 : 3));
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
