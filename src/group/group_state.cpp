#include "group/group_state.h"

#include "platform/bounded_json.h"

#include <nlohmann/json.hpp>

#include <algorithm>
#include <limits>
#include <vector>

namespace plindo::group {

namespace {
bool carriesLoad(const GroupMember& m, std::string_view side, double now) {
    return m.side == side && GroupState::isActive(m, now) && m.path && !m.path->empty();
}
}  // namespace

GroupState::GroupState(std::string ownName, std::function<int64_t()> wallSeconds)
    : ownName_(std::move(ownName)), wallSeconds_(std::move(wallSeconds)) {
    const int64_t start = wallSeconds_();
    nextSeq_ = start > 0 ? static_cast<uint64_t>(start) : 1;
}

uint64_t GroupState::nextSeq() {
    const uint64_t s = nextSeq_;
    if (nextSeq_ != std::numeric_limits<uint64_t>::max()) ++nextSeq_;  // saturates, never wraps to 0
    return s;
}

const GroupMember* GroupState::mine() const {
    const auto it = members_.find(ownName_);
    return it == members_.end() ? nullptr : &it->second;
}

bool GroupState::isOwnName(std::string_view name) const {
    return GroupMember::baseName(name) == ownName_;
}

bool GroupState::isActive(const GroupMember& m, double now) {
    return !m.left && now - m.lastSeenWall <= kActiveWithinSec;
}

void GroupState::makeRoomForOwn() {
    if (members_.size() < kMaxMembers) return;
    // Our own records always have a place: the foreign record seen longest ago gives way.
    auto oldest = members_.end();
    for (auto it = members_.begin(); it != members_.end(); ++it) {
        if (isOwnName(it->first)) continue;
        if (oldest == members_.end() || it->second.lastSeenWall < oldest->second.lastSeenWall) oldest = it;
    }
    if (oldest != members_.end()) members_.erase(oldest);
}

void GroupState::setMine(std::string side, GroupRole role, bool spinnerWanted, std::optional<int> slotNo,
                         double now) {
    const std::string name = slotNo ? seatName(*slotNo) : ownName_;
    GroupMember m;
    m.name = name;
    m.role = role;
    m.side = std::move(side);
    m.spinnerWanted = spinnerWanted;
    m.slotNo = slotNo;
    m.seq = nextSeq();
    m.lastSeenWall = now;
    const auto it = members_.find(name);
    if (it != members_.end()) {
        m.label = it->second.label;
        if (it->second.side == m.side) {
            m.path = it->second.path;
            m.server = it->second.server;
            m.gen = it->second.gen;
        }
        it->second = std::move(m);
        return;
    }
    makeRoomForOwn();
    members_.emplace(name, std::move(m));
}

bool GroupState::setSeatLabel(int slotNo, const std::string& label) {
    const auto it = members_.find(seatName(slotNo));
    if (it == members_.end() || it->second.label == label) return false;
    it->second.label = label;
    return true;
}

void GroupState::leaveSeat(int slotNo, double now) {
    const auto it = members_.find(seatName(slotNo));
    if (it == members_.end() || it->second.left) return;
    it->second.left = true;
    it->second.seq = nextSeq();
    it->second.lastSeenWall = now;
}

void GroupState::heartbeat(double now) {
    const uint64_t s = nextSeq();
    for (auto& [name, m] : members_) {
        if (!isOwnName(name)) continue;
        m.seq = s;
        m.lastSeenWall = now;
    }
}

void GroupState::prune(double now) {
    std::erase_if(members_, [&](const auto& e) {
        if (isOwnName(e.first)) return e.second.left;
        return now - e.second.lastSeenWall > kActiveWithinSec;
    });
}

std::string GroupState::encodeNewestFirst(bool ownOnly) const {
    std::vector<const GroupMember*> order;
    order.reserve(members_.size());
    for (const auto& [name, m] : members_) {
        if (!ownOnly || isOwnName(name)) order.push_back(&m);
    }
    std::stable_sort(order.begin(), order.end(),
                     [](const GroupMember* a, const GroupMember* b) { return a->lastSeenWall > b->lastSeenWall; });
    std::string out = "[";
    for (const GroupMember* m : order) {
        const std::string one = m->toJson();
        // One datagram, and no bigger than what peers accept: older records wait for a later round.
        if (out.size() + one.size() + 2 > kMaxPayloadBytes) continue;
        if (out.size() > 1) out += ',';
        out += one;
    }
    out += ']';
    return out;
}

std::string GroupState::encodeMembers() const { return encodeNewestFirst(false); }

std::optional<std::string> GroupState::encodeMine() const {
    const bool any = std::any_of(members_.begin(), members_.end(), [&](const auto& e) { return isOwnName(e.first); });
    if (!any) return std::nullopt;
    return encodeNewestFirst(true);
}

void GroupState::takeRecord(const nlohmann::json& j, double now) {
    auto m = GroupMember::fromJson(j);
    if (!m || isOwnName(m->name)) return;
    const auto it = members_.find(m->name);
    m->lastSeenWall = now;
    if (it == members_.end()) {
        if (members_.size() >= kMaxMembers) return;
        members_.emplace(m->name, std::move(*m));
    } else if (m->seq > it->second.seq) {
        it->second = std::move(*m);
    }
}

void GroupState::apply(std::string_view payload, double now) {
    if (payload.size() > kMaxPayloadBytes) return;
    const auto parsed = platform::parseBoundedJson(payload, kMaxPayloadBytes);
    if (!parsed) return;
    const auto& j = *parsed;
    if (j.is_object()) {
        takeRecord(j, now);
    } else if (j.is_array()) {
        for (const auto& e : j) takeRecord(e, now);
    }
}

void GroupState::applyGroupLoad(std::string_view side, const std::string& path, const std::string& server,
                                int64_t gen, double now) {
    bool stamped = false;
    uint64_t s = 0;
    for (auto& [name, m] : members_) {
        if (!m.slotNo || m.left || m.side != side || !isOwnName(name)) continue;
        if (!stamped) s = nextSeq(), stamped = true;
        m.path = path;
        m.server = server;
        m.gen = gen;
        m.seq = s;
        m.lastSeenWall = now;
    }
}

std::optional<GroupLoad> GroupState::latestLoad(std::string_view side, double now) const {
    const int64_t wall = wallSeconds_();
    std::optional<GroupLoad> best;
    for (const auto& [name, m] : members_) {
        if (!carriesLoad(m, side, now)) continue;
        const int64_t gen = m.gen.value_or(0);
        // A generation no honest host can have made is passed over, not allowed to hide the real loads.
        if (m.gen && !generationAcceptable(gen, wall)) continue;
        if (!best || gen > best->gen) best = GroupLoad{*m.path, m.server.value_or(""), gen, name};
    }
    return best;
}

std::vector<GroupLoad> GroupState::loadsAhead(std::string_view side, double now) const {
    const int64_t wall = wallSeconds_();
    std::vector<GroupLoad> out;
    for (const auto& [name, m] : members_) {
        if (!carriesLoad(m, side, now) || !m.gen || isOwnName(name) || !generationLead(*m.gen, wall)) continue;
        out.push_back(GroupLoad{*m.path, m.server.value_or(""), *m.gen, name});
    }
    return out;
}

std::optional<std::string> GroupState::slotSide(int ordinal) const {
    const auto it = members_.find(seatName(ordinal));
    if (it == members_.end() || it->second.left) return std::nullopt;
    return it->second.side;
}

std::optional<GroupMember> GroupState::firstWithDeck(std::optional<int> GroupMember::*field, int deck, double now,
                                                     double maxAge) const {
    for (const auto& [name, m] : members_) {
        if (m.*field == deck && isActive(m, now) && now - m.lastSeenWall < maxAge) return m;
    }
    return std::nullopt;
}

std::optional<GroupMember> GroupState::budMember(int deck, double now, double maxAge) const {
    return firstWithDeck(&GroupMember::budDeck, deck, now, maxAge);
}

std::optional<GroupMember> GroupState::watchMember(int deck, double now, double maxAge) const {
    return firstWithDeck(&GroupMember::watchDeck, deck, now, maxAge);
}

}  // namespace plindo::group
