// The OSC server's admission: the version gate, hello, bind and deny, and the addresses a bind offers.
#include "link/orv_server.h"
#include "link/orv_server_detail.h"

#include <algorithm>
#include <charconv>

namespace plindo::link {

using orv_detail::intOf;
using orv_detail::sameSender;
using orv_detail::senderKeyOf;

namespace {

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

// The kind of link a datagram came over, from the interface it arrived on: "WLAN" for Wi-Fi, "LAN" for a
// wired port, "?" when unknown or neither (loopback, tunnels).
std::string linkKind(const OrvServer::Origin& from, const std::vector<platform::NetInterface>& ifs) {
    if (from.interfaceIndex == 0) return "?";
    for (const auto& i : ifs) {
        if (i.index != from.interfaceIndex || !i.up || i.loopback) continue;
        if (i.medium == platform::NetInterface::Medium::Wireless) return "WLAN";
        if (i.medium == platform::NetInterface::Medium::Wired) return "LAN";
        return "?";
    }
    return "?";
}

}  // namespace

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

std::vector<std::string> OrvServer::addressCandidates(const Origin& from,
                                                      const std::vector<platform::NetInterface>& ifs) const {
    std::vector<std::string> out;
    {
        std::lock_guard g(lock_);
        out = httpCandidatesExtra_;
    }
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

void OrvServer::onHelloMessage(const OSCMessageView& m, const Origin& from, double now) {
    const auto& a = m.args;
    if (a.size() < 3) return;
    // Any number, truncated: OSC libraries send the deck as a float or a boolean as often as an integer.
    // 1.9 is deck 1, true deck 1, false a group peer; a value that is not finite binds nothing.
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
    const auto ifs = interfaces_ ? interfaces_() : std::vector<platform::NetInterface>{};
    const auto addresses = addressCandidates(from, ifs);
    const int port = httpPort();

    if (reason) {
        std::vector<OSCValue> args{OSCValue::int32(*deck), OSCValue::string(*reason),
                                   OSCValue::string(std::to_string(kHostBuild)), OSCValue::int32(port)};
        for (const auto& addr : addresses) args.push_back(OSCValue::string(addr));
        if (replyAllowed(from.remote, now)) send(from.remote, "/orv/deny", args);
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

    // What a hello says of its sender; the rest of a record (last path, statistics) is the deck's own.
    const auto introduce = [&](Remote& r) {
        if (!(r.conn.remote == from.remote)) r.proven = false;  // a new address has shown nothing yet
        r.conn = from;
        r.senderKey = senderKeyOf(from.remote);
        r.name = name;
        r.mode = mode;
        r.wavOk = wavOk;
        r.lastWall = now;
    };

    if (*deck != 0) {
        const std::string via = linkKind(from, ifs);
        {
            std::lock_guard g(lock_);
            auto it = remotes_.find(*deck);
            if (it == remotes_.end()) {
                introduce(remotes_[*deck]);
            } else if (sameSender(it->second, from) || it->second.name == name ||
                       now - it->second.lastWall >= bindStale_) {
                introduce(it->second);
                it->second.via = via;
            }
        }
        if (replyAllowed(from.remote, now)) send(from.remote, "/orv/bind", bind);
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
                gone = dropSilentPeers(now);
                peers -= gone.size();
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
            Remote& r = remotes_[peer];
            const bool proven = r.proven && r.conn.remote == from.remote;
            r = Remote{};
            r.proven = proven;
            r.conn = from;
            introduce(r);
        }
    }
    for (const auto& n : gone) status("Plindo: group peer " + n + " gone");
    if (!admitted) return;  // the table is full of live peers: no reply, no record
    if (replyAllowed(from.remote, now)) send(from.remote, "/orv/bind", bind);
    if (isNew) {
        status("Plindo: group peer " + name + " joined");
        postMain([this, name] {
            if (onPeerJoined) onPeerJoined(name);
        });
    }
}

}  // namespace plindo::link
