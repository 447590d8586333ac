// The OSC server's pushes: deck messages to the phone holding a deck, group messages to every peer.
#include "link/orv_server.h"
#include "platform/base64.h"

#include <algorithm>
#include <cmath>

namespace plindo::link {

namespace {

constexpr size_t kStackMessage = 512;  // replies up to this size are encoded without allocating

int32_t saturate32(int64_t v) {
    return static_cast<int32_t>(std::clamp<int64_t>(v, INT32_MIN, INT32_MAX));
}

}  // namespace

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

std::vector<std::string> OrvServer::dropSilentPeers(double now) {
    std::vector<std::string> gone;
    const double limit = bindStale_ <= 5.0 ? 15.0 : 3.0 * bindStale_;
    for (auto it = remotes_.begin(); it != remotes_.end();) {
        if (it->first <= 0 && now - it->second.lastWall > limit) {
            gone.push_back(it->second.name);
            std::erase_if(peerKeys_, [k = it->first](const auto& e) { return e.second == k; });
            it = remotes_.erase(it);
        } else {
            ++it;
        }
    }
    return gone;
}

std::vector<OrvServer::Endpoint> OrvServer::pruneGroupPeers() {
    std::vector<Endpoint> out;
    std::vector<std::string> gone;
    {
        std::lock_guard g(lock_);
        gone = dropSilentPeers(clock_.now());
        for (const auto& [key, r] : remotes_) out.push_back(r.conn.remote);
    }
    // Reported after the lock is released: a status handler may read the server.
    for (const auto& n : gone) status("Plindo: group peer " + n + " gone");
    return out;
}

void OrvServer::markDownlink(int deck) {
    queue_->post([this, w = lifeWeak_, deck] {
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

void OrvServer::sendGroupLoad(std::string_view side, std::string_view path, std::string_view server, int32_t gen,
                              std::string_view endpoint) {
    std::vector<OSCValue> args{OSCValue::string(std::string(side)), OSCValue::string(std::string(path)),
                               OSCValue::string(std::string(server)), OSCValue::int32(gen)};
    if (!endpoint.empty()) args.push_back(OSCValue::string(std::string(endpoint)));
    sendGroup("/orv/group/load", args);
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

void OrvServer::sendToDeck(int deck, std::string_view address, std::span<const OSCValue> args) {
    Endpoint to;
    if (!deckTarget(deck, to)) return;
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

}  // namespace plindo::link
