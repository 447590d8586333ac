// The OSC server's inbound side: the route table, the deck gate, frame statistics and the deck messages.
#include "link/orv_server.h"
#include "link/orv_server_detail.h"

#include <algorithm>
#include <cmath>

namespace plindo::link {

using orv_detail::deckOf;
using orv_detail::intOf;
using orv_detail::sameSender;
using orv_detail::senderKeyOf;
using platform::checkedInt32;
using platform::checkedInt64;

namespace {

constexpr double kFrameGapResetMs = 500;  // a longer frame interval restarts the timing statistics
constexpr double kMaxGapWindow = 2.0;     // the largest-gap figure covers this many seconds
// Beyond what any platter does: a frame or seek past these is damaged or hostile and reaches no deck.
constexpr double kMaxRate = 100;          // times normal speed
constexpr double kMaxPositionSec = 1e6;   // about eleven days into a track
constexpr double kMaxAngle = 1e9;         // an unwrapped platter angle after years of turning

bool within(double v, double limit) { return std::isfinite(v) && std::abs(v) <= limit; }

}  // namespace

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

// ---------------------------------------------------------------------------------------------------------
// Inbound

void OrvServer::handleDatagram(const uint8_t* bytes, size_t size, const Origin& from, double now) {
    if (size == 0) return;
    bool beyondHello = false;
    decoder_.forEachMessage(bytes, size, [&](const OSCMessageView& m) {
        beyondHello = beyondHello || m.address != "/orv/hello";
        dispatch(m, from, now);
    });
    if (beyondHello) markProven(from.remote);
}

void OrvServer::markProven(const Endpoint& from) {
    std::lock_guard g(lock_);
    for (auto& [key, r] : remotes_) {
        if (r.conn.remote == from) r.proven = true;
    }
}

bool OrvServer::isBoundPhone(const Endpoint& from) const {
    std::lock_guard g(lock_);
    for (int deck : {1, 2}) {
        const auto it = remotes_.find(deck);
        if (it != remotes_.end() && it->second.conn.remote == from) return true;
    }
    return false;
}

bool OrvServer::isProvenRemote(const Endpoint& to) const {
    std::lock_guard g(lock_);
    for (const auto& [key, r] : remotes_) {
        if (r.proven && r.conn.remote == to) return true;
    }
    return false;
}

bool OrvServer::replyAllowed(const Endpoint& to, double now) {
    // A deck's phone or a group peer that showed it receives at this address gets every answer it asks for:
    // pongs, binds and slots at whatever rate it pings. The limit is for strangers.
    if (isProvenRemote(to)) return true;
    constexpr size_t kMaxWindows = 256;
    if (replyWindows_.size() >= kMaxWindows && !replyWindows_.count(to.address())) replyWindows_.clear();
    ReplyWindow& w = replyWindows_[to.address()];
    if (now - w.start >= 1.0 || now < w.start) w = ReplyWindow{now, 0};
    return ++w.count <= kMaxRepliesPerSecond;
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

std::string OrvServer::senderName(const Origin& from) const {
    {
        std::lock_guard g(lock_);
        for (const auto& [key, r] : remotes_) {
            if (sameSender(r, from) && !r.name.empty()) return r.name;
        }
    }
    // Without the port: a sender that changes ports stays one peer.
    return from.remote.address().to_string();
}

void OrvServer::keepHolderLive(int deck, const Origin& from, double now) {
    std::lock_guard g(lock_);
    const auto it = remotes_.find(deck);
    if (it != remotes_.end() && sameSender(it->second, from)) it->second.lastWall = std::max(it->second.lastWall, now);
}

void OrvServer::updateFrameStats(Remote& r, double now) const {
    const double dt = (now - r.lastFrameWall) * 1000.0;
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
    if (!within(*pos, kMaxPositionSec) || !within(*rate, kMaxRate)) return;

    samples_.clear();
    const auto addSample = [this](double angle, double ts) {
        if (within(angle, kMaxAngle)) samples_.push_back({angle, ts});
    };
    if (a.size() >= 6 && a[5].isNumber()) addSample(a[4].doubleValue().value_or(0.0), *a[5].doubleValue());
    for (size_t k = 6; k + 1 < a.size(); k += 2) {
        if (a[k].isNumber() && a[k + 1].isNumber()) addSample(*a[k].doubleValue(), *a[k + 1].doubleValue());
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
        r.lastFrameWall = now;
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

void OrvServer::onGroupLoadMessage(const OSCMessageView& m, const Origin& from, double) {
    const auto& a = m.args;
    if (a.size() < 4) return;
    const auto s0 = a[0].stringValue(), s1 = a[1].stringValue(), s2 = a[2].stringValue();
    const auto n = intOf(a[3]);
    if (s0 && s1 && s2 && n && onGroupLoad) onGroupLoad(*s0, *s1, *s2, *n, senderName(from));
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
    if (!deck || !secs || !within(*secs, kMaxPositionSec) || !deckGate(*deck, from, now)) return;
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
    // A phone may drive its deck with tick batches alone: they keep it the deck's live holder.
    if (kept > 0) keepHolderLive(*deck, from, now);
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

void OrvServer::onDJLogoMessage(const OSCMessageView& m, const Origin& from, double) {
    const auto& a = m.args;
    if (a.size() < 4) return;
    const auto gen = a[0].doubleValue();
    const auto index = intOf(a[1]), count = intOf(a[2]);
    const auto chunk = a[3].stringValue();
    if (gen && index && count && chunk && onDJLogo) onDJLogo(*gen, *index, *count, *chunk, senderName(from));
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

void OrvServer::onKickMessage(const OSCMessageView& m, const Origin&, double now) {
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
    if (replyAllowed(kicked.conn.remote, now)) send(kicked.conn.remote, "/orv/deny", args);
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

void OrvServer::onPingMessage(const OSCMessageView& m, const Origin& from, double now) {
    if (m.args.size() < 2) return;
    const auto deck = deckOf(m.args[0]);
    const auto t = m.args[1].doubleValue();
    if (!deck || !t) return;
    const auto token = checkedInt32(*t);
    if (!token) return;
    const double latency = latencyProvider ? latencyProvider(*deck) : 0.0;
    const OSCValue args[] = {OSCValue::int32(*token), OSCValue::float64(latency)};
    if (replyAllowed(from.remote, now)) send(from.remote, "/orv/pong", args);
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
    if (replyAllowed(from.remote, now)) send(from.remote, "/orv/slots", args);
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

}  // namespace plindo::link
