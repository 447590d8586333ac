#include "group/group_state.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <limits>

using namespace plindo::group;
using nlohmann::json;

namespace {

constexpr int64_t kWall = 1'700'000'000;

GroupState roster(std::string own = "Own-AB12", int64_t wall = kWall) {
    return GroupState(std::move(own), [wall] { return wall; });
}

json rec(std::string name, uint64_t seq = 1, std::string role = "deck") {
    return {{"name", std::move(name)}, {"role", std::move(role)}, {"seq", seq}};
}

std::vector<std::string> names(const GroupState& g) {
    std::vector<std::string> out;
    for (const auto& [n, m] : g.members()) out.push_back(n);
    return out;
}

}  // namespace

TEST(GroupMember, BaseNameDropsOnlyADigitSuffix) {
    const std::pair<const char*, const char*> cases[] = {
        {"Host#2", "Host"}, {"Host#12", "Host"}, {"Host#", "Host#"}, {"Host#x", "Host#x"},
        {"Host#2x", "Host#2x"}, {"A#B#3", "A#B"}, {"Host", "Host"}, {"#4", ""}, {"", ""},
    };
    for (const auto& [in, want] : cases) EXPECT_EQ(GroupMember::baseName(in), want) << in;
}

TEST(GroupMember, RecordSurvivesTheWireAndOptionalsStayAbsent) {
    GroupMember full{.name = "Booth-1A2B#2", .role = GroupRole::Deck, .side = "right", .spinnerWanted = true,
                     .slotNo = 2, .seq = std::numeric_limits<uint64_t>::max(), .label = "Main \"A\" \\ \n\x01",
                     .budDeck = 1, .watchDeck = 2, .path = "/m/ä.flac", .server = "Booth-1A2B", .gen = 1234,
                     .left = true};
    EXPECT_EQ(GroupMember::fromJson(json::parse(full.toJson())), full);

    const GroupMember bare{.name = "Phone", .role = GroupRole::Host};
    const auto j = json::parse(bare.toJson());
    for (const char* key : {"slotNo", "label", "budDeck", "watchDeck", "path", "server", "gen"})
        EXPECT_FALSE(j.contains(key)) << key;
    EXPECT_EQ(GroupMember::fromJson(j), bare);

    // A name that is not UTF-8 (a machine name read from a file) is repaired, not a failed broadcast.
    const GroupMember broken{.name = "Bo\xffth"};
    EXPECT_EQ(json::parse(broken.toJson())["name"], "Bo\xef\xbf\xbdth");
}

TEST(GroupState, ApplyTakesOneRecordOrAnArrayAndSkipsWhatItCannotRead) {
    auto g = roster();
    g.apply(rec("A").dump(), 10.0);
    g.apply(json::array({rec("B"), rec("C"), 7, "x", json::object()}).dump(), 10.0);
    EXPECT_EQ(names(g), (std::vector<std::string>{"A", "B", "C"}));
    EXPECT_EQ(g.members().at("B").lastSeenWall, 10.0);

    const std::string deep = std::string(10000, '[') + std::string(10000, ']');
    const std::string garbage[] = {
        "", "not json", "{\"name\":", "42", "\"A\"", "null", "[1,2]", deep,
        // Over 32 KiB: ignored whole, although its record is fine.
        json(rec("Big")).dump().insert(1, "\"pad\":\"" + std::string(32 * 1024, 'p') + "\","),
    };
    for (const auto& p : garbage) {
        g.apply(p, 11.0);
        EXPECT_EQ(names(g), (std::vector<std::string>{"A", "B", "C"})) << p.substr(0, 40);
    }

    const std::string name128(128, 'n'), path4096 = "/" + std::string(4095, 'p');
    struct Case {
        json record;
        bool taken;
    } cases[] = {
        {{{"role", "deck"}}, false},
        {{{"name", ""}, {"role", "deck"}}, false},
        {{{"name", 5}, {"role", "deck"}}, false},
        {{{"name", name128}, {"role", "host"}}, true},
        {{{"name", name128 + "x"}, {"role", "host"}}, false},
        {{{"name", "R1"}}, false},
        {{{"name", "R2"}, {"role", "dj"}}, false},
        {{{"name", "R3"}, {"role", "deck"}, {"seq", -1}}, false},  // must not wrap into a huge seq
        {{{"name", "R4"}, {"role", "deck"}, {"seq", 1.5}}, false},
        {{{"name", "R5"}, {"role", "deck"}, {"seq", "9"}}, false},
        {{{"name", "R6"}, {"role", "deck"}, {"path", path4096}}, true},
        {{{"name", "R7"}, {"role", "deck"}, {"path", path4096 + "x"}}, false},
        {{{"name", "R8"}, {"role", "deck"}, {"server", name128 + "x"}}, false},
        {{{"name", "R9"}, {"role", "deck"}, {"side", "middle"}, {"slotNo", "2"}, {"gen", 1e300}, {"x", 1}}, true},
    };
    for (const auto& c : cases) {
        auto h = roster();
        h.apply(c.record.dump(), 1.0);
        EXPECT_EQ(h.members().size(), c.taken ? 1u : 0u) << c.record.dump().substr(0, 60);
    }
    auto h = roster();
    h.apply(cases[13].record.dump(), 1.0);
    const auto& r9 = h.members().at("R9");
    EXPECT_EQ(r9.side, "");
    EXPECT_FALSE(r9.slotNo);
    EXPECT_FALSE(r9.gen);
}

TEST(GroupState, ReceivedRecordsOfThisHostAreSkipped) {
    auto g = roster("Own-AB12");
    g.apply(json::array({rec("Own-AB12", 99), rec("Own-AB12#3", 99), rec("Own-AB12#x"), rec("Own-AB12x"),
                         rec("Own")})
                .dump(),
            1.0);
    EXPECT_EQ(names(g), (std::vector<std::string>{"Own", "Own-AB12#x", "Own-AB12x"}));
    EXPECT_EQ(g.mine(), nullptr);
}

TEST(GroupState, OnlyAHigherSeqReplacesARecord) {
    auto g = roster();
    auto withSide = [](uint64_t seq, const char* side) {
        auto r = rec("Peer", seq);
        r["side"] = side;
        return r.dump();
    };
    g.apply(withSide(5, "left"), 1.0);
    g.apply(withSide(5, "right"), 2.0);  // same seq: a relayed copy, not news
    g.apply(withSide(4, "right"), 2.0);
    EXPECT_EQ(g.members().at("Peer").side, "left");
    EXPECT_EQ(g.members().at("Peer").lastSeenWall, 1.0);
    g.apply(withSide(6, "right"), 3.0);
    EXPECT_EQ(g.members().at("Peer").side, "right");

    // 64-bit seqs are compared whole: the top value is taken and nothing wraps past it.
    g.apply(json(rec("Peer", std::numeric_limits<uint64_t>::max())).dump(), 4.0);
    EXPECT_EQ(g.members().at("Peer").seq, std::numeric_limits<uint64_t>::max());
    g.apply(json(rec("Peer", 0)).dump(), 5.0);
    EXPECT_EQ(g.members().at("Peer").seq, std::numeric_limits<uint64_t>::max());

}

TEST(GroupState, ARestartedHostOutranksWhatItsLastRunLeft) {
    auto first = roster("Booth", kWall);
    first.setMine("", GroupRole::Host, true, std::nullopt, 1.0);
    EXPECT_EQ(first.mine()->seq, static_cast<uint64_t>(kWall));
    for (int i = 0; i < 5; ++i) first.heartbeat(1.0 + i);  // five seconds of running

    auto peer = roster("Peer");
    peer.apply(*first.encodeMine(), 6.0);
    auto second = roster("Booth", kWall + 6);
    second.setMine("left", GroupRole::Host, true, std::nullopt, 7.0);
    peer.apply(*second.encodeMine(), 7.0);
    EXPECT_EQ(peer.members().at("Booth").side, "left");
}

TEST(GroupState, RosterHoldsAtMost64MembersButAlwaysItsOwn) {
    auto g = roster("Own");
    auto many = json::array();
    for (int i = 0; i < 70; ++i) many.push_back(rec("P" + std::to_string(100 + i)));
    g.apply(many.dump(), 1.0);
    EXPECT_EQ(g.members().size(), 64u);
    EXPECT_FALSE(g.members().contains("P164"));

    g.apply(json(rec("P100", 2)).dump(), 3.0);  // a known name still updates while full
    EXPECT_EQ(g.members().at("P100").seq, 2u);
    g.setMine("", GroupRole::Host, true, std::nullopt, 3.0);
    EXPECT_EQ(g.members().size(), 64u);
    ASSERT_NE(g.mine(), nullptr);
    EXPECT_FALSE(g.members().contains("P101"));  // the longest unseen foreign record made room
}

TEST(GroupState, PruneDropsMembersUnseenForMoreThanFiveSecondsAndOwnOnlyWhenLeft) {
    auto g = roster("Own");
    g.apply(json(rec("Peer")).dump(), 100.0);
    g.setMine("", GroupRole::Host, true, std::nullopt, 100.0);
    g.setMine("left", GroupRole::Deck, false, 1, 100.0);
    g.setMine("right", GroupRole::Deck, false, 2, 100.0);
    g.prune(105.0);
    EXPECT_EQ(names(g), (std::vector<std::string>{"Own", "Own#1", "Own#2", "Peer"}));
    EXPECT_TRUE(GroupState::isActive(g.members().at("Peer"), 105.0));
    g.prune(105.01);
    EXPECT_EQ(names(g), (std::vector<std::string>{"Own", "Own#1", "Own#2"}));  // own stay, however old

    g.leaveSeat(2, 200.0);
    EXPECT_TRUE(g.members().at("Own#2").left);
    EXPECT_FALSE(GroupState::isActive(g.members().at("Own#2"), 200.0));
    const auto sent = json::parse(*g.encodeMine());
    EXPECT_EQ(sent.size(), 3u);  // the left seat goes out once so peers drop it...
    g.prune(200.0);
    EXPECT_EQ(names(g), (std::vector<std::string>{"Own", "Own#1"}));  // ...then it is gone here
}

TEST(GroupState, OwnRecordsAreStampedAndKeepTheirLabelAndLoad) {
    auto g = roster("Own");
    EXPECT_FALSE(g.encodeMine());
    g.setMine("", GroupRole::Host, true, std::nullopt, 1.0);
    g.setMine("left", GroupRole::Deck, false, 1, 1.0);
    EXPECT_TRUE(g.setSeatLabel(1, "Main"));
    EXPECT_FALSE(g.setSeatLabel(1, "Main"));
    EXPECT_FALSE(g.setSeatLabel(3, "None"));
    g.applyGroupLoad("left", "/m/a.mp3", "Other", 77, 2.0);
    const uint64_t before = g.members().at("Own#1").seq;

    g.heartbeat(3.0);
    const auto& seat = g.members().at("Own#1");
    EXPECT_GT(seat.seq, before);
    EXPECT_EQ(seat.seq, g.mine()->seq);
    EXPECT_EQ(seat.lastSeenWall, 3.0);

    g.setMine("left", GroupRole::Deck, false, 1, 4.0);  // same side: label and load stay
    EXPECT_EQ(g.members().at("Own#1").label, "Main");
    EXPECT_EQ(g.members().at("Own#1").gen, 77);
    g.setMine("right", GroupRole::Deck, false, 1, 5.0);  // moved: the other side's track is not its load
    EXPECT_EQ(g.members().at("Own#1").label, "Main");
    EXPECT_FALSE(g.members().at("Own#1").path);
}

TEST(GroupState, GroupLoadGoesIntoOwnSeatsOfThatSideOnly) {
    auto g = roster("Own");
    g.setMine("", GroupRole::Host, true, std::nullopt, 1.0);
    g.setMine("left", GroupRole::Deck, false, 1, 1.0);
    g.setMine("right", GroupRole::Deck, false, 2, 1.0);
    g.setMine("left", GroupRole::Deck, false, 3, 1.0);
    g.apply(json({{"name", "Peer#1"}, {"role", "deck"}, {"side", "left"}, {"seq", 1}}).dump(), 1.0);
    // A peer's seat on the same side, with a track of its own: the peer's record is its to change.
    g.apply(json({{"name", "Peer#2"}, {"role", "deck"}, {"side", "left"}, {"slotNo", 2}, {"seq", 7},
                  {"path", "/peer.mp3"}, {"server", "Peer"}, {"gen", 40}})
                .dump(),
            1.0);
    const uint64_t seq2 = g.members().at("Own#2").seq;
    g.applyGroupLoad("left", "/m/a.mp3", "", 50, 2.0);
    for (const char* n : {"Own#1", "Own#3"}) {
        EXPECT_EQ(g.members().at(n).path, "/m/a.mp3") << n;
        EXPECT_EQ(g.members().at(n).gen, 50) << n;
    }
    EXPECT_FALSE(g.members().at("Own#2").path);
    EXPECT_EQ(g.members().at("Own#2").seq, seq2);
    EXPECT_FALSE(g.members().at("Own").path);
    EXPECT_FALSE(g.members().at("Peer#1").path);
    const auto& peerSeat = g.members().at("Peer#2");
    EXPECT_EQ(peerSeat.path, "/peer.mp3");
    EXPECT_EQ(peerSeat.server, "Peer");
    EXPECT_EQ(peerSeat.gen, 40);
    EXPECT_EQ(peerSeat.seq, 7u);
    EXPECT_EQ(peerSeat.lastSeenWall, 1.0);
}

TEST(GroupState, LatestLoadIsTheHighestBelievableGenerationOfActiveRecords) {
    auto g = roster("Own");
    auto load = [](const char* name, const char* side, const char* path, int64_t gen) {
        return json{{"name", name}, {"role", "deck"}, {"side", side}, {"seq", 1}, {"path", path},
                    {"server", "Srv"}, {"gen", gen}};
    };
    EXPECT_FALSE(g.latestLoad("left", 10.0));
    g.apply(json::array({load("A", "left", "/a", 100), load("B", "left", "/b", 300), load("C", "right", "/c", 900),
                         load("D", "left", "", 800),
                         // Hostile generations: above 32 bits, and more than a day ahead of our clock.
                         load("E", "left", "/e", int64_t(1) << 31), load("F", "left", "/f", kWall + 86401),
                         load("G", "left", "/g", 0)})
                .dump(),
            10.0);
    EXPECT_EQ(g.latestLoad("left", 10.0), (GroupLoad{"/b", "Srv", 300, "B"}));
    EXPECT_EQ(g.latestLoad("right", 10.0), (GroupLoad{"/c", "Srv", 900, "C"}));
    // What was passed over for running ahead of our clock, so that it can be told; E's 2^31 is that too.
    const auto ahead = g.loadsAhead("left", 10.0);
    ASSERT_EQ(ahead.size(), 2u);
    EXPECT_EQ(ahead[1], (GroupLoad{"/f", "Srv", kWall + 86401, "F"}));

    auto left = load("B", "left", "/b", 300);
    left["seq"] = 2;
    left["left"] = true;
    g.apply(left.dump(), 11.0);
    EXPECT_EQ(g.latestLoad("left", 11.0), (GroupLoad{"/a", "Srv", 100, "A"}));
    EXPECT_FALSE(g.latestLoad("right", 15.01));  // C not seen for more than 5 s

    auto near = roster("Own");
    near.apply(load("H", "left", "/h", kWall + 300).dump(), 1.0);
    EXPECT_EQ(near.latestLoad("left", 1.0)->gen, kWall + 300);
}

TEST(GroupState, SlotSideReadsOwnSeatRecordsOnly) {
    auto g = roster("Own");
    g.setMine("", GroupRole::Host, true, std::nullopt, 1.0);
    g.setMine("left", GroupRole::Deck, false, 1, 1.0);
    g.setMine("right", GroupRole::Deck, false, 2, 1.0);
    g.setMine("", GroupRole::Deck, false, 3, 1.0);
    g.apply(json({{"name", "Peer#4"}, {"role", "deck"}, {"side", "left"}, {"slotNo", 4}}).dump(), 1.0);
    g.leaveSeat(2, 2.0);
    const std::pair<int, std::optional<std::string>> cases[] = {
        {1, "left"}, {2, std::nullopt}, {3, ""}, {4, std::nullopt}, {0, std::nullopt}};
    for (const auto& [ordinal, want] : cases) EXPECT_EQ(g.slotSide(ordinal), want) << ordinal;
}

TEST(GroupState, BudAndWatchMembersMustBeYoungerThanMaxAge) {
    auto g = roster("Own");
    g.apply(json::array({{{"name", "P1"}, {"role", "deck"}, {"budDeck", 1}},
                         {{"name", "P2"}, {"role", "deck"}, {"budDeck", 1}, {"watchDeck", 2}},
                         {{"name", "P0"}, {"role", "deck"}, {"budDeck", 1}, {"left", true}}})
                .dump(),
            10.0);
    EXPECT_EQ(g.budMember(1, 12.4, 2.5)->name, "P1");
    EXPECT_FALSE(g.budMember(1, 12.5, 2.5));  // exactly maxAge is too old
    EXPECT_FALSE(g.budMember(2, 10.0, 2.5));
    EXPECT_EQ(g.watchMember(2, 11.0, 2.5)->name, "P2");
    EXPECT_FALSE(g.watchMember(1, 11.0, 2.5));
}

TEST(GroupState, BroadcastStaysOneDatagramNewestFirst) {
    auto g = roster("Own");
    for (int i = 0; i < 64; ++i) {
        g.apply(json{{"name", "P" + std::to_string(i)}, {"role", "deck"}, {"path", "/" + std::string(4000, 'p')}}
                    .dump(),
                static_cast<double>(i));
    }
    g.setMine("", GroupRole::Host, true, std::nullopt, 100.0);
    const std::string out = g.encodeMembers();
    EXPECT_LE(out.size(), GroupState::kMaxPayloadBytes);
    const auto arr = json::parse(out);
    ASSERT_GE(arr.size(), 2u);
    EXPECT_EQ(arr[0]["name"], "Own");
    EXPECT_EQ(arr[1]["name"], "P63");
    EXPECT_EQ(arr.back()["name"], "P" + std::to_string(65 - arr.size()));  // P0 made room for ours

    // What we send is what a peer takes.
    auto peer = roster("Peer");
    peer.apply(out, 200.0);
    EXPECT_EQ(peer.members().size(), arr.size());
}

TEST(GroupLoadGeneration, AcceptsOneUpToFiveMinutesAheadWithin32Bits) {
    const struct {
        int64_t gen, wall;
        bool ok;
    } cases[] = {
        {0, kWall, false},           {1, kWall, true},
        {kWall + 300, kWall, true}, {kWall + 301, kWall, false}, {kWall + 86000, kWall, false},
        {2147483647, 2147483400, true}, {2147483648, 2147483400, false},
        {-5, kWall, false},          {5, std::numeric_limits<int64_t>::max(), true},
    };
    for (const auto& c : cases) EXPECT_EQ(generationAcceptable(c.gen, c.wall), c.ok) << c.gen << " @" << c.wall;
}

TEST(GroupLoadGeneration, LeadIsReportedOnlyBeyondFiveMinutes) {
    constexpr int64_t kMax = std::numeric_limits<int64_t>::max();
    EXPECT_EQ(generationLead(kWall + 301, kWall), 301);
    EXPECT_FALSE(generationLead(kWall + 300, kWall));
    EXPECT_FALSE(generationLead(-kMax, kWall)) << "old or broken, but not ahead";
    EXPECT_EQ(generationLead(kMax, -kMax), kMax) << "saturates rather than overflows";
}
