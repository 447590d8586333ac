// The host group: the roster, this host's seats, the uplink into another host's group, the group-wide cut
// and the loads each side of the group follows.
#include "host/host_state.h"

#include "host/serato_parts.h"

#include "group/host_wire_name.h"
#include "platform/bounded_json.h"
#include "platform/log.h"

#include <algorithm>
#include <cmath>
#include <limits>

namespace plindo::host {

namespace {
using json = nlohmann::json;
using group::GroupRole;

constexpr const char* kSeratoPathPrefix = "serato-midi://";
constexpr int kTrackServerPort = link::OrvServer::kDefaultHttpPort;
constexpr int kMaxSeats = group::DeckInventory::kMaxSeats;

spdlog::logger& log() { return platform::logger("group"); }

bool isSide(const std::string& side) { return side == "left" || side == "right"; }

// An address as the authority part of a URL.
std::string bracketed(const std::string& host) { return host.find(':') != std::string::npos ? "[" + host + "]" : host; }

// The track-server base of an endpoint: "host:port", "[v6]:port", or a bare address served on 17600.
std::string trackBase(const std::string& endpoint) {
    if (auto hp = group::GroupUplink::parseHostPort(endpoint)) {
        return "http://" + bracketed(hp->host) + ":" + std::to_string(hp->port);
    }
    return "http://" + bracketed(endpoint) + ":" + std::to_string(kTrackServerPort);
}

}  // namespace

group::GroupState& HostState::groupState() {
    if (!groupState_) groupState_ = std::make_unique<group::GroupState>(group::hostWireName(settings_));
    return *groupState_;
}

group::GroupUplink& HostState::uplink() {
    if (uplink_) return *uplink_;
    if (browser_ && !hostBrowser_) hostBrowser_ = std::make_unique<group::OrvHostBrowser>(*browser_);
    uplink_ = std::make_unique<group::GroupUplink>(group::GroupUplink::Deps{
        .settings = settings_,
        .ownName = group::hostWireName(settings_),
        .ownPort = [this] { return server->localPort(); },
        .browser = hostBrowser_.get(),
        .clock = clock_,
        .interfaces = interfaces_});
    uplink_->onStatus = [this](const std::string& line) { setStatus(line); };
    // What the host above sends reaches the same handlers as a group peer's datagrams: the server decodes
    // it on its own queue, so the bytes are copied and handed over there.
    auto* s = server.get();
    uplink_->onPeerDatagram = [this, s](std::span<const uint8_t> bytes, const group::GroupUplink::Endpoint& from) {
        s->runOnQueue([this, s, data = std::vector<uint8_t>(bytes.begin(), bytes.end()), from] {
            uplinkHop_ = true;
            s->handleDatagram(data.data(), data.size(), link::OrvServer::Origin{.remote = from}, clock_.now());
            uplinkHop_ = false;
        });
    };
    return *uplink_;
}

group::DeckInventory* HostState::deckInventory() {
    if (!inventory_) {
        inventory_ = std::make_unique<group::DeckInventory>(settings_, group::hostWireName(settings_));
        // Seat changes reach the roster with the next second's restore, after the prune, so that a removed
        // seat still goes out once as left.
        inventory_->load();
    }
    return inventory_.get();
}

void HostState::wireGroup() {
    std::weak_ptr<int> alive = life_;
    auto& s = *server;
    // The three message callbacks run on the server queue: they copy what they got and hop to main.
    s.onGroupState = [this, alive](std::string_view payload) {
        if (payload.size() > group::GroupState::kMaxPayloadBytes) return;  // ignored whole anyway
        main_.post([this, alive, text = std::string(payload), via = uplinkHop_] {
            if (alive.lock()) takeRoster(text, via);
        });
    };
    s.onGroupMute = [this, alive](bool muted) {
        main_.post([this, alive, muted] {
            if (alive.lock()) setGroupMuted(muted, false);
        });
    };
    s.onGroupLoad = [this, alive](std::string_view side, std::string_view path, std::string_view serverName, int gen,
                                  std::string_view sender) {
        main_.post([this, alive, side = std::string(side), path = std::string(path), name = std::string(serverName),
                    gen, peer = std::string(sender)] {
            if (!alive.lock()) return;
            if (const auto lead = group::generationLead(gen, group::wallClockSeconds())) {
                noteClockLead(peer, static_cast<double>(*lead), group::ClockLeadNotice::Ignored::loads);
                return;
            }
            sendGroupLoad(side, path, name, gen, std::nullopt, false, false);
        });
    };
    s.onPeerJoined = [this, alive](const std::string& name) {
        if (!alive.lock()) return;
        log().info("group peer \"{}\" joined", name);
        onPeerJoined();
    };
}

void HostState::takeRoster(const std::string& payload, bool viaUplink) {
    const double now = clock_.now();
    groupState().apply(payload, now);
    if (!viaUplink) return;
    // The host records the host above relays; the one among them that is not our own peer is that host.
    const auto doc = platform::parseBoundedJson(payload).value_or(json());
    const auto note = [&](const json& j) {
        if (auto m = group::GroupMember::fromJson(j); m && m->role == GroupRole::Host && !groupState().isOwnName(m->name)) {
            if (uplinkHostNames_.size() < group::GroupState::kMaxMembers) uplinkHostNames_.insert(m->name);
        }
    };
    if (doc.is_array()) {
        for (const auto& j : doc) note(j);
    } else {
        note(doc);
    }
}

void HostState::noteClockLead(const std::string& peer, double leadSec, group::ClockLeadNotice::Ignored what) {
    if (const auto line = clockLead_.refused(peer, leadSec, what, clock_.now())) setStatus(*line);
}

void HostState::onPeerJoined() {
    // The current loads go to every live peer; those that have them already drop them by generation.
    const double now = clock_.now();
    for (const std::string side : {"left", "right"}) {
        const auto load = groupState().latestLoad(side, now);
        if (!load) continue;
        const auto endpoint = groupLoadEndpoint(load->server, side);
        server->sendGroupLoad(side, load->path, load->server, static_cast<int32_t>(load->gen), endpoint.value_or(""));
    }
}

void HostState::groupTick(double now, bool everySecond) {
    auto& g = groupState();
    if (!g.mine()) g.setMine("", GroupRole::Host, true, std::nullopt, now);
    if (!everySecond) return;

    const double t = clock_.now();
    syncSeatNames();
    g.heartbeat(t);
    g.prune(t);
    restoreSeat(t);
    server->sendGroupState(g.encodeMembers());

    auto& up = uplink();
    up.tick(t);
    if (auto mine = g.encodeMine()) {
        if (auto* l = up.link()) l->sendGroupState(*mine);
    }

    const int64_t wall = group::wallClockSeconds();
    for (const std::string side : {"left", "right"}) {
        if (!ownSeat(side)) continue;
        for (const auto& ahead : g.loadsAhead(side, t)) {
            if (const auto lead = group::generationLead(ahead.gen, wall)) {
                noteClockLead(std::string(group::GroupMember::baseName(ahead.member)), static_cast<double>(*lead),
                              group::ClockLeadNotice::Ignored::loads);
            }
        }
        const auto load = g.latestLoad(side, t);
        if (!load) continue;
        sendGroupLoad(side, load->path, load->server, load->gen, groupLoadEndpoint(load->server, side), false, true);
    }
}

void HostState::syncSeatNames() {
    auto& g = groupState();
    for (const auto& seat : deckInventory()->decks()) g.setSeatLabel(seat.ordinal, seat.displayName());
}

namespace {
// Seat N's side from "orv.groupSlot.<N>": 1 left, 2 right, any other number none; unset: seat 1 left,
// seat 2 right, the others none.
std::string seatSide(const platform::Settings& settings, int ordinal) {
    const auto v = settings.intValue("orv.groupSlot." + std::to_string(ordinal));
    if (!v) return ordinal == 1 ? "left" : ordinal == 2 ? "right" : "";
    return *v == 1 ? "left" : *v == 2 ? "right" : "";
}
}  // namespace

void HostState::restoreSeat(double now) {
    auto& g = groupState();
    auto* inventory = deckInventory();
    for (int n = 1; n <= kMaxSeats; ++n) {
        const auto seat = inventory->slot(n);
        const auto has = g.slotSide(n);
        if (!seat) {
            if (has) g.leaveSeat(n, now);
            continue;
        }
        const std::string side = seatSide(settings_, n);
        if (has && *has == side) continue;
        g.setMine(side, GroupRole::Deck, true, n, now);
        g.setSeatLabel(n, seat->displayName());
    }
}

std::optional<int> HostState::ownSeat(const std::string& side) const {
    if (!groupState_ || side.empty()) return std::nullopt;
    for (int n = 1; n <= 2; ++n) {
        if (groupState_->slotSide(n) == side) return n;
    }
    return std::nullopt;
}

std::optional<std::string> HostState::groupLoadEndpoint(const std::string& serverName, const std::string& side) {
    if (serverName.empty()) return std::nullopt;
    if (auto it = lastGroupLoad_.find(side); it != lastGroupLoad_.end() && it->second.server == serverName &&
                                             it->second.endpoint) {
        return it->second.endpoint;
    }
    if (auto address = server->endpointOfPeerNamed(serverName); !address.empty()) return address;
    // The host above us is reached where the uplink reaches it, its track server on the port its bind named.
    if (uplink_ && uplinkHostNames_.count(serverName) && uplink_->live()) {
        if (const auto target = uplink_->targetEndpoint()) {
            const int port = uplink_->trackServerPort() > 0 ? uplink_->trackServerPort() : kTrackServerPort;
            return bracketed(target->address().to_string()) + ":" + std::to_string(port);
        }
    }
    return std::nullopt;
}

int64_t HostState::groupLoadSeen(const std::string& side) const {
    const auto it = lastGroupLoad_.find(side);
    return it == lastGroupLoad_.end() ? 0 : it->second.gen;
}

bool HostState::sendGroupLoad(const std::string& side, const std::string& requestedPath, const std::string& serverName,
                              int64_t gen, const std::optional<std::string>& endpoint, bool own, bool follow) {
    if (!isSide(side) || requestedPath.empty() || requestedPath.size() > group::GroupMember::kMaxPathBytes ||
        serverName.size() > group::GroupMember::kMaxNameBytes) {
        return false;
    }
    const std::optional<int> deck = own ? std::optional<int>(side == "left" ? 1 : 2) : ownSeat(side);
    std::string path = requestedPath;
    if (path.starts_with(kSeratoPathPrefix)) {
        // The bridged deck's real track stands in for it.
        if (!deck) return false;
        path = settings_.stringValue("serato.lastPath.slot" + std::to_string(*deck)).value_or("");
        if (path.empty()) return false;
    }
    // A generation from beyond the 32-bit wire range or far ahead of our clock would block the side for good.
    if (gen < 1 || gen > std::numeric_limits<int32_t>::max()) return false;
    if (!own && !group::generationAcceptable(gen, group::wallClockSeconds())) return false;
    if (gen <= groupLoadSeen(side)) return false;

    const auto where = endpoint ? endpoint : groupLoadEndpoint(serverName, side);
    lastGroupLoad_[side] = SideLoad{.path = path, .server = serverName, .gen = gen, .endpoint = where};
    groupState().applyGroupLoad(side, path, serverName, gen, clock_.now());
    if (!follow) server->sendGroupLoad(side, path, serverName, static_cast<int32_t>(gen), where.value_or(""));
    log().info("group load {} gen {}: \"{}\" from \"{}\"", side, gen, path, serverName);
    if (deck) loadGroupDeck(*deck, path, serverName, where);
    return true;
}

void HostState::loadGroupDeck(int deck, const std::string& path, const std::string& serverName,
                              const std::optional<std::string>& endpoint) {
    if (deck < 1 || deck > 2 || players.size() < 2 || !players[deck - 1]) return;
    // Off the bridge first: leaving it unloads the player, which would drop the fetch started below.
    if (isSeratoDeck(deck) || seratoOut->isActive(deck)) leaveSeratoBridge(deck);
    // A track another host serves is fetched from there; the deck loader then finds it loading and does the
    // rest (card, cover, length once decoded).
    if (endpoint || !serverName.empty()) {
        std::optional<std::string> base, name;
        if (endpoint) base = trackBase(*endpoint);
        if (!serverName.empty()) name = serverName;
        players[deck - 1]->load(path, config_, base, name);
    }
    loadDeck(deck, path);
}

void HostState::announceLocalLoad(int deck, const std::string& path) {
    if (deck < 1 || deck > 2 || path.empty()) return;
    const std::string side = deck == 1 ? "left" : "right";
    const int64_t gen = std::max(group::wallClockSeconds(), groupLoadSeen(side)) + 1;
    sendGroupLoad(side, path, "", gen, std::nullopt, true, false);
}

void HostState::setGroupMuted(bool on, bool fromGroup) {
    if (on == groupMuted()) return;
    assignGroupMuted(on);
    server->sendGroupMute(on);
    if (!fromGroup && uplink_) {
        if (auto* l = uplink_->link()) l->sendGroupMute(on);
    }
}

void HostState::setShareTracks(int deck, bool on) {
    config_.setShareTracks(deck, on);
    if (config_.anyDeckSharesTracks()) {
        if (phase_ != Phase::main || fileServer->running()) return;
        fileServer->start(trackServerPort_);
        const int bound = fileServer->boundPort();
        config_.setOwnServerPort(bound);  // the window asks this port, whatever --http-port chose
        if (bound > 0 && bound != link::DeckFileServer::kDefaultPort) server->setHttpPortOverride(bound);
    } else {
        fileServer->stop();
        setStatus("Local files not shared");
    }
}

std::optional<std::string> HostState::slotSide(int ordinal) const {
    if (!groupState_) return std::nullopt;
    return groupState_->slotSide(ordinal);
}

std::optional<std::string> HostState::budMember(int deck, double maxAge) const {
    if (!groupState_) return std::nullopt;
    const auto m = groupState_->budMember(deck, clock_.now(), maxAge);
    return m ? std::optional<std::string>(m->name) : std::nullopt;
}

std::optional<std::string> HostState::watchMember(int deck, double maxAge) const {
    if (!groupState_) return std::nullopt;
    const auto m = groupState_->watchMember(deck, clock_.now(), maxAge);
    return m ? std::optional<std::string>(m->name) : std::nullopt;
}

json HostState::groupReport() {
    const double now = clock_.now();
    auto& g = groupState();
    json members = json::array();
    for (const auto& [name, m] : g.members()) {
        json j = json::parse(m.toJson(), nullptr, false);
        if (!j.is_object()) continue;
        j["active"] = group::GroupState::isActive(m, now);
        j["own"] = g.isOwnName(name);
        members.push_back(std::move(j));
    }
    json up = {{"target", uplink_ ? uplink_->target() : std::string()}, {"live", false}, {"endpoint", nullptr},
               {"trackServerPort", 0}};
    if (uplink_) {
        up["live"] = uplink_->live();
        if (const auto e = uplink_->targetEndpoint()) {
            up["endpoint"] = bracketed(e->address().to_string()) + ":" + std::to_string(e->port());
        }
        up["trackServerPort"] = uplink_->trackServerPort();
    }
    return json{{"name", g.ownName()},
                {"members", std::move(members)},
                {"uplink", std::move(up)},
                {"cut", groupMuted()},
                {"gen", {{"left", groupLoadSeen("left")}, {"right", groupLoadSeen("right")}}}};
}

void HostState::restoreDeckSlots() { restoreSeat(clock_.now()); }

std::optional<json> HostState::groupControl(const std::string& cmd, const std::map<std::string, std::string>& params,
                                            bool loopback) {
    if (cmd != "group" && cmd != "announce" && cmd != "groupmute") return std::nullopt;
    const auto text = [&](const std::string& key) -> std::optional<std::string> {
        const auto it = params.find(key);
        return it == params.end() ? std::nullopt : std::optional<std::string>(it->second);
    };
    if (cmd == "announce") {
        if (!loopback) return json{{"error", "local only"}};
        const auto deckText = text("deck").value_or("1");
        const auto path = text("path");
        if (deckText != "1" && deckText != "2") return json{{"error", "deck out of range"}};
        if (!path || path->empty()) return json{{"error", "announce needs a path"}};
        if (path->size() > group::GroupMember::kMaxPathBytes) return json{{"error", "path too long"}};
        const int deck = deckText == "1" ? 1 : 2;
        const std::string side = deck == 1 ? "left" : "right";
        const int64_t before = groupLoadSeen(side);
        announceLocalLoad(deck, *path);
        return json{{"deck", deck}, {"side", side}, {"taken", groupLoadSeen(side) != before},
                    {"gen", groupLoadSeen(side)}};
    }
    if (cmd == "groupmute") {
        if (const auto on = text("on")) {
            if (!loopback) return json{{"error", "local only"}};
            if (*on != "0" && *on != "1") return json{{"error", "on must be 0 or 1"}};
            setGroupMuted(*on == "1", false);
        }
        return json{{"cut", groupMuted()}};
    }
    return groupReport();
}

}  // namespace plindo::host
