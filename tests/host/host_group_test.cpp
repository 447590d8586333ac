// The controller's group half: which loads it takes and relays, what a new peer hears, the group-wide cut,
// the once-a-second roster work with this host's seats, the group commands of the control endpoint and the
// track-sharing switch.
#include "group/group_load.h"
#include "group/host_wire_name.h"
#include "host_rig.h"

#include <gtest/gtest.h>

#include <chrono>
#include <limits>
#include <thread>

namespace plindo::host {
namespace {

using json = nlohmann::json;
using link::testing::D;
using link::testing::I;
using link::OrvServer;
using link::testing::S;
using link::OSCValue;

OrvServer::Origin peerAt(const std::string& address, unsigned short port = 17100) {
    return {asio::ip::udp::endpoint(asio::ip::make_address(address), port), asio::ip::make_address("10.0.0.5"), 3};
}

struct GroupRig : testing::HostRig {
    platform::FakeClock fake{5000.0};
    HostState* host = nullptr;

    GroupRig() {
        clock = &fake;
        host = &started();
        sink.take();
    }
    // The players' loads of the made-up paths fail on threads of their own that report to main: wait for
    // every report before main goes away.
    ~GroupRig() {
        for (int i = 0; i < 1000; ++i) {
            bool pending = false;
            onMain([&] {
                for (const auto& p : host->players) pending = pending || (p && !p->loadedPath.empty());
            });
            if (!pending) break;
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
    }
    const std::string& wire() { return group::hostWireName(settings); }

    // A datagram handled on the server queue, then what it posted to main.
    void recv(const OrvServer::Origin& from, std::string_view address, std::vector<OSCValue> args) {
        const auto bytes = link::OSCMessage::encode(address, args);
        host->server->runOnQueue([&, bytes] { host->server->handleDatagram(bytes.data(), bytes.size(), from, fake.now()); });
        host->server->drainQueue();
        main.drain();
    }
    void hello(const OrvServer::Origin& from, const std::string& name) {
        recv(from, "/orv/hello", {I(0), S(name), I(0), S("host"), I(-1), S("1215"), S("0958")});
    }
    void load(const std::string& side, const std::string& path, const std::string& server, int gen) {
        recv(peerAt("10.0.0.7"), "/orv/group/load", {S(side), S(path), S(server), I(gen)});
    }
    void roster(const json& records) { recv(peerAt("10.0.0.7"), "/orv/group/state", {S(records.dump())}); }
    // The messages sent since the last call with this address.
    std::vector<link::testing::Sent> sent(const std::string& address) {
        std::vector<link::testing::Sent> out;
        for (auto& s : sink.take()) {
            if (s.msg.address == address) out.push_back(std::move(s));
        }
        return out;
    }
    void tick(bool everySecond) {
        onMain([&] { host->groupTick(fake.now(), everySecond); });
    }
};

TEST(GroupLoads, OnlyANewerBelievableGenerationIsTakenRelayedOnceAndLoaded) {
    GroupRig rig;
    rig.hello(peerAt("10.0.0.7"), "Peer-aaaa");
    EXPECT_TRUE(rig.sent("/orv/group/load").empty()) << "a new peer without loads in the roster hears nothing";
    const int64_t wall = group::wallClockSeconds();
    struct Step {
        const char* side;
        int64_t gen;
        bool taken;
    };
    const Step steps[] = {
        {"left", 0, false},                         // a side never seen needs more than 0
        {"left", 7, true},   {"left", 5, false},    // older
        {"left", 7, false},                         // the same one back through the group
        {"left", 8, true},   {"right", 5, true},    // sides count apart
        {"left", -3, false}, {"left", std::numeric_limits<int32_t>::max(), false},  // beyond minutes ahead
        {"left", wall + 2 * 86400, false},
        {"left", wall + 86000, false},              // would block honest loads for a day
        {"left", wall + 240, true},                 // a clock running a little ahead is believed
        {"left", wall + 239, false},
    };
    for (const auto& s : steps) {
        rig.load(s.side, std::string("/music/") + s.side + std::to_string(s.gen) + ".mp3", "", static_cast<int>(s.gen));
        const auto relayed = rig.sent("/orv/group/load");
        if (!s.taken) {
            EXPECT_TRUE(relayed.empty()) << s.side << " " << s.gen;
            continue;
        }
        ASSERT_EQ(relayed.size(), 1u) << s.side << " " << s.gen;
        const auto& a = relayed[0].msg.args;
        ASSERT_EQ(a.size(), 4u) << "no endpoint for an empty server";
        EXPECT_EQ(a[0].stringValue(), s.side);
        EXPECT_EQ(a[3].doubleValue(), double(s.gen));
        EXPECT_EQ(rig.host->groupLoadSeen(s.side), s.gen);
    }
    // Seat 1 sits on the left: the left loads reach deck 1; no seat sits on the right.
    EXPECT_EQ(rig.host->deck(1).path, "/music/left" + std::to_string(wall + 240) + ".mp3");
    EXPECT_EQ(rig.host->deck(2).path, "");

    // Beyond the 32-bit wire range and from this host's own announce path alike: refused, the side stays open.
    bool taken = true;
    rig.onMain([&] { taken = rig.host->sendGroupLoad("left", "/x.mp3", "", int64_t(1) << 31, std::nullopt, true, false); });
    EXPECT_FALSE(taken);
    // Bad sides, empty and oversized paths and a short message change nothing.
    rig.load("middle", "/a.mp3", "", int(wall));
    rig.load("left", "", "", int(wall));
    rig.load("left", std::string(5000, 'p'), "", int(wall));
    rig.recv(peerAt("10.0.0.7"), "/orv/group/load", {S("left"), S("/a.mp3"), S("")});
    EXPECT_TRUE(rig.sent("/orv/group/load").empty());
    // Five arguments are taken as four: the endpoint of a peer's request is looked up here.
    rig.recv(peerAt("10.0.0.7"), "/orv/group/load", {S("left"), S("/five.mp3"), S(""), I(int(wall + 260)), S("1.2.3.4")});
    EXPECT_EQ(rig.sent("/orv/group/load").size(), 1u);
    EXPECT_EQ(rig.host->deck(1).path, "/five.mp3");
}

TEST(GroupLoads, AServingPeerIsNamedWithItsEndpointAndABridgedPathStandsForItsTrack) {
    GroupRig rig;
    // On loopback, so that the fetch from its track server ends at once.
    rig.hello(peerAt("127.0.0.1"), "Server-bbbb");
    rig.load("left", "/m/served.mp3", "Server-bbbb", 100);
    auto relayed = rig.sent("/orv/group/load");
    ASSERT_EQ(relayed.size(), 1u);
    ASSERT_EQ(relayed[0].msg.args.size(), 5u);
    EXPECT_EQ(relayed[0].msg.args[4].stringValue(), "127.0.0.1");

    // A bridged deck's placeholder becomes the track last announced on this host's deck of that side.
    rig.load("left", "serato-midi://deck", "", 101);
    EXPECT_TRUE(rig.sent("/orv/group/load").empty()) << "no track known for deck 1 yet";
    rig.settings.setValue("serato.lastPath.slot1", "/serato/real.mp3");
    rig.load("left", "serato-midi://deck", "", 102);
    relayed = rig.sent("/orv/group/load");
    ASSERT_EQ(relayed.size(), 1u);
    EXPECT_EQ(relayed[0].msg.args[1].stringValue(), "/serato/real.mp3");
    EXPECT_EQ(rig.host->deck(1).path, "/serato/real.mp3");
}

TEST(GroupLoads, APeerWhoseClockRunsAheadIsToldOncePerMinute) {
    GroupRig rig;
    std::vector<std::string> lines;  // main only
    rig.onMain([&] {
        rig.host->onStatusLine = [&](const std::string& l) {
            if (l.starts_with("group peer ")) lines.push_back(l);
        };
    });
    const auto told = [&] {
        std::vector<std::string> out;
        rig.onMain([&] { out.swap(lines); });
        return out;
    };
    const auto aheadLine = [](const std::string& peer, const std::string& lead, const std::string& what) {
        return std::vector<std::string>{"group peer " + peer + ": clock " + lead + " ahead of this host; its " + what +
                                        " until the clocks agree"};
    };
    rig.hello(peerAt("10.0.0.7"), "Peer-aaaa");
    const int64_t wall = group::wallClockSeconds();

    rig.load("left", "/a.mp3", "", int(wall + 420));
    EXPECT_EQ(told(), aheadLine("Peer-aaaa", "7 min", "loads are ignored"));
    EXPECT_EQ(rig.host->groupLoadSeen("left"), 0) << "the bound stays";
    EXPECT_TRUE(rig.sent("/orv/group/load").empty());
    rig.fake.advance(59);
    rig.load("left", "/b.mp3", "", int(wall + 425));
    EXPECT_TRUE(told().empty()) << "a second refusal within the minute";

    // Another peer gets its own line; one that never said hello is named by its address.
    rig.recv(peerAt("10.0.0.9"), "/orv/group/load", {S("right"), S("/c.mp3"), S(""), I(int(wall + 3 * 3600))});
    EXPECT_EQ(told(), aheadLine("10.0.0.9", "3 h", "loads are ignored"));
    rig.hello(peerAt("10.0.0.8"), "Logo-eeee");
    rig.recv(peerAt("10.0.0.8"), "/orv/djlogo", {D((double(wall) + 600) * 1000), I(0), I(0), S("")});
    EXPECT_EQ(told(), aheadLine("Logo-eeee", "10 min", "logo is ignored"));

    // A minute on, the fast peer's seat record in the roster is told again, once.
    rig.fake.advance(1.5);
    rig.roster(json::array({{{"name", "Peer-aaaa#1"}, {"role", "deck"}, {"side", "left"}, {"seq", 5},
                             {"path", "/d.mp3"}, {"server", ""}, {"gen", wall + 420}}}));
    rig.tick(true);
    EXPECT_EQ(told(), aheadLine("Peer-aaaa", "7 min", "loads are ignored"));
    EXPECT_EQ(rig.host->groupLoadSeen("left"), 0);
    rig.tick(true);
    EXPECT_TRUE(told().empty());
}

TEST(GroupPeers, ANewPeerHearsTheRosterLoadsLeftFirst) {
    GroupRig rig;
    rig.hello(peerAt("10.0.0.7"), "Peer-aaaa");
    rig.roster(json::array({
        {{"name", "Other-cccc#2"}, {"role", "deck"}, {"side", "right"}, {"seq", 3}, {"path", "/r.mp3"},
         {"server", "Other-cccc"}, {"gen", 201}},
        {{"name", "Other-cccc#1"}, {"role", "deck"}, {"side", "left"}, {"seq", 3}, {"path", "/l.mp3"},
         {"server", "Other-cccc"}, {"gen", 200}},
    }));
    rig.sink.take();
    rig.hello(peerAt("10.0.0.8"), "New-dddd");
    const auto loads = rig.sent("/orv/group/load");
    ASSERT_EQ(loads.size(), 4u) << "two loads to each of the two live peers";
    std::map<std::string, std::vector<std::string>> byPeer;
    for (const auto& l : loads) {
        EXPECT_EQ(l.msg.args.size(), 4u) << "the serving host has no known endpoint";
        byPeer[l.to.address().to_string()].push_back(*l.msg.args[0].stringValue());
    }
    for (const auto& [peer, sides] : byPeer) EXPECT_EQ(sides, (std::vector<std::string>{"left", "right"})) << peer;
}

TEST(GroupCut, SpreadsOnceAndStopsWhereItIsAlreadySet) {
    GroupRig rig;
    rig.hello(peerAt("10.0.0.7"), "Peer-aaaa");
    rig.sink.take();
    struct Step {
        bool fromPeer;
        bool on;
        int sends;  // "/orv/group/mute" messages to the peer
    };
    const Step steps[] = {{false, true, 1}, {false, true, 0}, {true, true, 0}, {true, false, 1}, {true, false, 0}};
    for (const auto& s : steps) {
        if (s.fromPeer) {
            rig.recv(peerAt("10.0.0.7"), "/orv/group/mute", {I(s.on ? 1 : 0)});
        } else {
            rig.onMain([&] { rig.host->setGroupMuted(s.on); });
        }
        const auto mutes = rig.sent("/orv/group/mute");
        EXPECT_EQ(int(mutes.size()), s.sends) << s.fromPeer << s.on;
        if (!mutes.empty()) EXPECT_EQ(mutes[0].msg.args[0].doubleValue(), s.on ? 1.0 : 0.0);
        EXPECT_EQ(rig.host->groupMuted(), s.on);
    }
}

json lastRoster(GroupRig& rig) {
    const auto states = rig.sent("/orv/group/state");
    return states.empty() ? json() : json::parse(*states.back().msg.args[0].stringValue());
}

const json* record(const json& roster, const std::string& name) {
    for (const auto& r : roster) {
        if (r.value("name", "") == name) return &r;
    }
    return nullptr;
}

TEST(GroupTick, PublishesThisHostAndItsSeatsAndFollowsTheRosterWithoutRelaying) {
    GroupRig rig;
    rig.hello(peerAt("10.0.0.7"), "Peer-aaaa");
    rig.tick(false);
    EXPECT_TRUE(rig.sent("/orv/group/state").empty()) << "the roster goes out only once a second";
    rig.tick(true);
    json roster = lastRoster(rig);
    const std::string seat1 = rig.wire() + "#1";
    ASSERT_NE(record(roster, rig.wire()), nullptr) << roster.dump();
    EXPECT_EQ((*record(roster, rig.wire()))["role"], "host");
    ASSERT_NE(record(roster, seat1), nullptr) << "seat 1 is there without a stored inventory";
    EXPECT_EQ((*record(roster, seat1))["side"], "left");
    EXPECT_EQ(rig.host->slotSide(1), "left");
    EXPECT_EQ(rig.host->slotSide(2), std::nullopt);

    // Seat 2 joins on its default side; seat 1 is moved to the right by its setting; then seat 1 goes.
    rig.onMain([&] {
        rig.host->deckInventory()->add("Booth");
        rig.settings.setValue("orv.groupSlot.1", 2);
    });
    rig.tick(true);
    roster = lastRoster(rig);
    ASSERT_NE(record(roster, rig.wire() + "#2"), nullptr) << roster.dump();
    EXPECT_EQ((*record(roster, rig.wire() + "#2"))["label"], "Booth");
    EXPECT_EQ((*record(roster, seat1))["side"], "right");
    rig.onMain([&] { rig.host->deckInventory()->removeOrdinal(1); });
    rig.tick(true);
    roster = lastRoster(rig);
    ASSERT_NE(record(roster, seat1), nullptr) << "a removed seat goes out once as left";
    EXPECT_EQ((*record(roster, seat1)).value("left", false), true);
    rig.tick(true);
    EXPECT_EQ(record(lastRoster(rig), seat1), nullptr);
    EXPECT_EQ(rig.host->ownSeat("right"), 2);

    // Another host's seat on the right carries a track: taken once from the roster, not relayed.
    rig.roster(json::array({{{"name", "Other-cccc#1"}, {"role", "deck"}, {"side", "right"}, {"seq", 9},
                             {"path", "/o.mp3"}, {"server", ""}, {"gen", 300}}}));
    rig.tick(true);
    EXPECT_TRUE(rig.sent("/orv/group/load").empty());
    EXPECT_EQ(rig.host->groupLoadSeen("right"), 300);
    EXPECT_EQ(rig.host->deck(2).path, "/o.mp3");
    rig.onMain([&] { rig.host->deckInventory()->removeOrdinal(2); });
    rig.tick(true);
    EXPECT_EQ(rig.host->ownSeat("right"), std::nullopt);

    // Silent members leave the roster after 5 s; our own records stay.
    rig.fake.advance(5.5);
    rig.tick(true);
    roster = lastRoster(rig);
    EXPECT_EQ(record(roster, "Other-cccc#1"), nullptr);
    EXPECT_NE(record(roster, rig.wire()), nullptr);
}

TEST(GroupControl, ReportsAnnouncesAndCutsLocallyOnly) {
    GroupRig rig;
    rig.hello(peerAt("10.0.0.7"), "Peer-aaaa");
    rig.tick(true);
    rig.sink.take();
    const auto ask = [&](const std::string& cmd, const std::map<std::string, std::string>& p, bool loopback = true) {
        json out;
        rig.onMain([&] { out = rig.host->onControl(cmd, p, loopback); });
        return out;
    };
    const json report = ask("group", {});
    EXPECT_EQ(report["name"], rig.wire());
    EXPECT_EQ(report["cut"], false);
    EXPECT_EQ(report["gen"]["left"], 0);
    EXPECT_EQ(report["uplink"]["target"], "");
    EXPECT_EQ(report["uplink"]["live"], false);
    ASSERT_TRUE(report["members"].is_array());
    EXPECT_GE(report["members"].size(), 2u);

    const std::pair<std::map<std::string, std::string>, std::string> refused[] = {
        {{{"deck", "3"}, {"path", "/a.mp3"}}, "deck out of range"},
        {{{"deck", "1"}}, "announce needs a path"},
        {{{"deck", "1"}, {"path", std::string(5000, 'p')}}, "path too long"},
    };
    for (const auto& [params, error] : refused) EXPECT_EQ(ask("announce", params)["error"], error);
    EXPECT_EQ(ask("announce", {{"deck", "1"}, {"path", "/a.mp3"}}, false)["error"], "local only");
    EXPECT_TRUE(rig.sent("/orv/group/load").empty());

    // The right side's announce loads deck 2 although no seat sits there.
    const int64_t wall = group::wallClockSeconds();
    const json a = ask("announce", {{"deck", "2"}, {"path", "/m/b.mp3"}});
    EXPECT_EQ(a["taken"], true);
    EXPECT_GE(a["gen"].get<int64_t>(), wall + 1);
    EXPECT_LE(a["gen"].get<int64_t>(), wall + 2);
    EXPECT_EQ(rig.host->deck(2).path, "/m/b.mp3");
    const auto relayed = rig.sent("/orv/group/load");
    ASSERT_EQ(relayed.size(), 1u);
    EXPECT_EQ(relayed[0].msg.args[2].stringValue(), "");
    // Announced again within the same second: the generation still rises.
    EXPECT_EQ(ask("announce", {{"deck", "2"}, {"path", "/m/c.mp3"}})["gen"], a["gen"].get<int64_t>() + 1);

    EXPECT_EQ(ask("groupmute", {{"on", "1"}}, false)["error"], "local only");
    EXPECT_EQ(ask("groupmute", {{"on", "yes"}})["error"], "on must be 0 or 1");
    EXPECT_EQ(ask("groupmute", {{"on", "1"}})["cut"], true);
    EXPECT_EQ(ask("groupmute", {}, false)["cut"], true) << "reading the cut needs no loopback";
    EXPECT_EQ(ask("group", {})["cut"], true);
}

TEST(GroupShare, TheTrackServerRunsWhileAnyDeckSharesItsFiles) {
    GroupRig rig;
    ASSERT_TRUE(rig.host->fileServer->running());
    rig.onMain([&] {
        for (int d = 1; d <= 4; ++d) rig.host->setShareTracks(d, false);
    });
    EXPECT_FALSE(rig.host->fileServer->running());
    EXPECT_EQ(rig.host->statusLine(), "Local files not shared");
    rig.onMain([&] { rig.host->setShareTracks(3, true); });
    EXPECT_TRUE(rig.host->fileServer->running());
    EXPECT_GT(rig.host->fileServer->boundPort(), 0);
}

// The host above, played by a bare socket on 127.0.0.1 that the uplink reaches.
struct HostAbove {
    asio::io_context io;
    asio::ip::udp::socket sock{io, asio::ip::udp::endpoint(asio::ip::make_address_v4("127.0.0.1"), 0)};
    asio::ip::udp::endpoint linkEnd;

    HostAbove() {
        timeval tv{0, 50000};  // bounds each receive
        ::setsockopt(sock.native_handle(), SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
    }
    std::string target() const { return "127.0.0.1:" + std::to_string(sock.local_endpoint().port()); }
    bool heardSomething() {
        uint8_t buf[2048];
        socklen_t len = linkEnd.capacity();
        const ssize_t n = ::recvfrom(sock.native_handle(), buf, sizeof buf, 0, linkEnd.data(), &len);
        if (n < 0) return false;
        linkEnd.resize(len);
        return true;
    }
    void send(std::string_view address, std::vector<OSCValue> args) {
        sock.send_to(asio::buffer(link::OSCMessage::encode(address, args)), linkEnd);
    }
};

TEST(GroupLoads, TheHostAboveServesFromTheTrackServerPortOfItsBind) {
    HostAbove above;
    GroupRig rig;
    rig.hello(peerAt("10.0.0.7"), "Peer-aaaa");  // a live peer that hears the relays
    rig.settings.setValue("plindo.groupHost", above.target());
    const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    const auto waitFor = [&](auto done) {
        while (!done()) {
            if (std::chrono::steady_clock::now() > until) return false;
            rig.host->server->drainQueue();
            rig.main.drain();
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
        return true;
    };
    ASSERT_TRUE(waitFor([&] {
        rig.onMain([&] { rig.host->uplink().tick(rig.fake.now()); });
        return above.heardSomething();  // the hello
    }));
    const auto roster = [&](const std::string& name) {
        above.send("/orv/group/state", {S(json::array({{{"name", name}, {"role", "host"}, {"seq", 1}}}).dump())});
    };
    const auto endpointOf = [&](const std::string& name) {
        std::optional<std::string> e;
        rig.onMain([&] { e = rig.host->groupLoadEndpoint(name, "left"); });
        return e;
    };
    above.send("/orv/bind", {I(0), S(""), I(17601)});
    roster("Above-aaaa");
    ASSERT_TRUE(waitFor([&] { return endpointOf("Above-aaaa").has_value(); }));
    EXPECT_EQ(endpointOf("Above-aaaa"), "127.0.0.1:17601");

    // Binds whose port no track server can have keep the one before.
    above.send("/orv/bind", {I(0), S(""), I(0)});
    above.send("/orv/bind", {I(0), S(""), I(70000)});
    roster("Above-bbbb");  // after the binds on the same road: once it is known, they were taken
    ASSERT_TRUE(waitFor([&] { return endpointOf("Above-bbbb").has_value(); }));
    EXPECT_EQ(endpointOf("Above-aaaa"), "127.0.0.1:17601");

    // A load it serves goes on with that endpoint.
    rig.sent("/orv/group/load");
    above.send("/orv/group/load", {S("left"), S("/m/above.mp3"), S("Above-aaaa"), I(int(group::wallClockSeconds()))});
    std::vector<link::testing::Sent> relayed;
    ASSERT_TRUE(waitFor([&] {
        relayed = rig.sent("/orv/group/load");
        return !relayed.empty();
    }));
    ASSERT_EQ(relayed[0].msg.args.size(), 5u);
    EXPECT_EQ(relayed[0].msg.args[4].stringValue(), "127.0.0.1:17601");
}

}  // namespace
}  // namespace plindo::host
