#pragma once
// The group roster: every host and deck seat this host knows of, by name, its own records included. Own
// records are the host record under the wire name and one per seat under "<wire name>#N"; they are stamped
// from one sequence counter that starts at the wall-clock second of start, so a restarted host outranks
// what its last run left in the peers' rosters. Everything received is bounded: a payload's size, the number
// of members and the length of names and paths. Main actor only.
#include "group/group_load.h"
#include "group/group_member.h"

#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace plindo::group {

class GroupState {
public:
    static constexpr double kActiveWithinSec = 5.0;  // a member not seen for longer is dropped
    static constexpr size_t kMaxMembers = 64;
    static constexpr size_t kMaxPayloadBytes = 32 * 1024;  // received rosters above are ignored; ours stay below

    // `ownName` is this host's wire name; `wallSeconds` the wall clock, read for the first seq and for the
    // generation rule of latestLoad.
    explicit GroupState(std::string ownName, std::function<int64_t()> wallSeconds = wallClockSeconds);

    const std::string& ownName() const { return ownName_; }
    const std::map<std::string, GroupMember>& members() const { return members_; }
    // This host's own host record; none before the first setMine without a seat.
    const GroupMember* mine() const;
    // The wire name or "<wire name>#<digits>".
    bool isOwnName(std::string_view name) const;
    // Not marked left and seen within 5.0 s.
    static bool isActive(const GroupMember& m, double now);

    // Creates or replaces an own record: the host record without a seat, "<wire name>#N" with seat N. A
    // replaced record keeps its label, and its load while the side stays the same.
    void setMine(std::string side, GroupRole role, bool spinnerWanted, std::optional<int> slotNo, double now);
    // The shown name of own seat N; true when it changed. The next heartbeat carries it.
    bool setSeatLabel(int slotNo, const std::string& label);
    // Marks own seat N as left: it goes out once more so peers drop it, then prune removes it here.
    void leaveSeat(int slotNo, double now);
    // Re-stamps every own record with one new seq and last-seen now.
    void heartbeat(double now);
    // Drops members not seen for more than 5.0 s; own records stay unless marked left.
    void prune(double now);

    // The whole roster as a JSON array, newest records first, as many as fit in 32 KiB.
    std::string encodeMembers() const;
    // Own records as a JSON array for the uplink; none when there are none.
    std::optional<std::string> encodeMine() const;

    // Merges a received roster (one record or an array). Records of this host are skipped, a stored record
    // is replaced only by a higher seq, new names are refused while the roster is full; a payload over
    // 32 KiB or that is not JSON changes nothing.
    void apply(std::string_view payload, double now);

    // Writes a taken group load into every own seat record on that side.
    void applyGroupLoad(std::string_view side, const std::string& path, const std::string& server, int64_t gen,
                        double now);
    // The load to follow on a side: the highest believable generation among active records of that side
    // that carry a track; none when there is none.
    std::optional<GroupLoad> latestLoad(std::string_view side, double now) const;
    // The foreign records latestLoad passes over on that side because their generation runs further ahead of
    // this host's clock than kGenerationLeadSec.
    std::vector<GroupLoad> loadsAhead(std::string_view side, double now) const;
    // The side of own seat N ("left", "right" or ""); none when the seat has no record or has left.
    std::optional<std::string> slotSide(int ordinal) const;
    // The first active member that reports this deck as its earbud deck (or the deck it watches) and was
    // seen less than maxAge ago.
    std::optional<GroupMember> budMember(int deck, double now, double maxAge) const;
    std::optional<GroupMember> watchMember(int deck, double now, double maxAge) const;

private:
    uint64_t nextSeq();
    std::string seatName(int slotNo) const { return ownName_ + "#" + std::to_string(slotNo); }
    void takeRecord(const nlohmann::json& j, double now);
    void makeRoomForOwn();
    std::optional<GroupMember> firstWithDeck(std::optional<int> GroupMember::*field, int deck, double now,
                                             double maxAge) const;
    std::string encodeNewestFirst(bool ownOnly) const;

    std::string ownName_;
    std::function<int64_t()> wallSeconds_;
    uint64_t nextSeq_;
    std::map<std::string, GroupMember> members_;
};

}  // namespace plindo::group
