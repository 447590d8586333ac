// Hello, bind and deny, the deck gate, pushes, pruning and the keep-alive rules, without sockets.
#include "orv_test_support.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <limits>
#include <map>
#include <variant>

using namespace plindo::link;
using namespace plindo::link::testing;
using V = OSCValue;

TEST(OrvHello, VersionGateAdmitsAndRefuses) {
    struct Case {
        const char* build;
        const char* needed;
        std::optional<std::string> reason;
    };
    const std::vector<Case> cases{
        {"958", "", std::nullopt},        {"0958", "", std::nullopt},      {"+958", "", std::nullopt},
        {"1215", "1215", std::nullopt},   {"1215", "0", std::nullopt},     {"1215", "abc", std::nullopt},
        {"957", "", "build:957"},         {"", "", "build:unknown"},       {"-958", "", "build:-958"},
        {"12a", "", "build:12a"},         {"1215", "1216", "hostold:1215"}, {"958", "+2000", "hostold:1215"},
        {"99999999999999999999", "", "build:99999999999999999999"},
    };
    for (const auto& c : cases) EXPECT_EQ(OrvServer::versionGate(c.build, c.needed), c.reason) << c.build << "/" << c.needed;
}

TEST(OrvHello, DenyCarriesReasonPortAndAddressesAndReportsWhy) {
    ServerRig rig;
    rig.server.setHttpPortOverride(8080);
    rig.hello(phone(1), 1, "Ann", "957");
    rig.hello(phone(1), 1, "Ann", "");
    rig.hello(phone(1), 2, "Ann", "1300", "1216");
    const auto sent = rig.sink.take();
    ASSERT_EQ(sent.size(), 3u);
    EXPECT_EQ(sent[0].msg, (OSCMessage{"/orv/deny", {I(1), S("build:957"), S("1215"), I(8080), S("192.168.1.10"), S("10.0.0.5")}}));
    EXPECT_EQ(sent[2].msg.args[1], S("hostold:1215"));
    EXPECT_EQ(rig.statuses, (std::vector<std::string>{
                                "Plindo: Ann refused — build 957 < 0958",
                                "Plindo: Ann refused — build unknown < 0958",
                                "Plindo: Ann refused — host 1215 is older than the 1216 it needs",
                            }));
    EXPECT_FALSE(rig.server.remoteRecord(1) || rig.server.remoteRecord(2));
}

TEST(OrvHello, BindListsExtraThenLocalThenInterfaceAddresses) {
    ServerRig rig;
    rig.interfaces = {nic("lo", true, true, "127.0.0.1"),       nic("wlan0", true, false, "192.168.1.10"),
                      nic("en1", false, false, "10.9.9.9"),      nic("docker0", true, false, "172.17.0.1"),
                      nic("bridge0", true, false, "172.20.0.1"), nic("en0", true, false, "10.0.0.5"),
                      nic("enp3s0", true, false, "192.168.1.10")};
    rig.server.setHttpCandidatesExtra({"peer.local"});
    rig.hello(phone(1), 1, "Ann");
    const auto sent = rig.sink.take();
    ASSERT_EQ(sent.size(), 1u);
    EXPECT_EQ(sent[0].to, phone(1).remote);
    EXPECT_EQ(sent[0].msg, (OSCMessage{"/orv/bind", {I(1), S("peer.local"), I(17600), S("192.168.1.10"), S("172.20.0.1"), S("10.0.0.5")}}));

    // The local address unknown: the primary address stands in (a bridge first).
    rig.server.setHttpCandidatesExtra({});
    OrvServer::Origin unknownLocal{phone(2).remote, {}};
    rig.hello(unknownLocal, 2, "Bob");
    EXPECT_EQ(rig.sink.take()[0].msg, (OSCMessage{"/orv/bind", {I(2), S("172.20.0.1"), I(17600), S("192.168.1.10"), S("10.0.0.5")}}));

    // Nothing found at all: one empty address. The port override applies to every later reply.
    rig.interfaces.clear();
    rig.hello(unknownLocal, 2, "Bob");
    EXPECT_EQ(rig.sink.take()[0].msg, (OSCMessage{"/orv/bind", {I(2), S(""), I(17600)}}));
    rig.server.setHttpPortOverride(8080);
    rig.hello(unknownLocal, 2, "Bob");
    EXPECT_EQ(rig.sink.take()[0].msg, (OSCMessage{"/orv/bind", {I(2), S(""), I(8080)}}));
}

TEST(OrvHello, MalformedHellosAreDroppedWithoutReply) {
    ServerRig rig;
    const double nan = std::numeric_limits<double>::quiet_NaN();
    const std::vector<std::vector<V>> cases{
        {I(1), S("Ann")},
        {I(3), S("Ann"), I(0)},
        {I(-1), S("Ann"), I(0)},
        {D(nan), S("Ann"), I(0)},
        {I(1), I(5), I(0)},
        {I(1), S("Ann"), I(0), S("remote"), D(1e300), S("1215")},
        // Decks that are no deck once truncated, or not finite at all.
        {D(3.0), S("Ann"), I(0), S("remote"), I(1), S("1215")},
        {D(-1.0), S("Ann"), I(0), S("remote"), I(1), S("1215")},
        {D(std::numeric_limits<double>::infinity()), S("Ann"), I(0), S("remote"), I(1), S("1215")},
        {D(-std::numeric_limits<double>::infinity()), S("Ann"), I(0), S("remote"), I(1), S("1215")},
        {OSCValue::int64(int64_t{1} << 40), S("Ann"), I(0), S("remote"), I(1), S("1215")},
    };
    for (const auto& args : cases) rig.recv(phone(1), "/orv/hello", args);
    EXPECT_TRUE(rig.sink.take().empty());
    EXPECT_TRUE(rig.statuses.empty());
    // The shortest hello that is admitted: defaults for mode and wavOk, no build means refused.
    rig.recv(phone(1), "/orv/hello", {I(1), S("Ann"), I(0)});
    EXPECT_EQ(rig.sink.take()[0].msg.address, "/orv/deny");
}

namespace {

// A hello whose deck, and wavOk, may be given by a type tag alone (T, F, N) instead of a number.
Bytes helloTagged(const std::variant<V, char>& deck, const std::variant<V, char>& wavOk) {
    Bytes out;
    OSCMessage::appendString("/orv/hello", out);
    std::string tags = ",";
    Bytes body;
    using Arg = std::variant<V, char>;
    for (const Arg& arg : {deck, Arg(S("Ann")), Arg(I(0)), Arg(S("remote")), wavOk, Arg(S("1215"))}) {
        if (const char* tag = std::get_if<char>(&arg)) {
            tags += *tag;
            continue;
        }
        const std::vector<V> one{std::get<V>(arg)};
        const Bytes single = OSCMessage::encode("/", one);  // "/" and ",x" take 4 bytes each
        tags += static_cast<char>(single[5]);
        body.insert(body.end(), single.begin() + 8, single.end());
    }
    OSCMessage::appendString(tags, out);
    out.insert(out.end(), body.begin(), body.end());
    return out;
}

}  // namespace

TEST(OrvHello, DeckAndWavOkAreAnyNumberTruncated) {
    struct Row {
        std::variant<V, char> deck;
        std::variant<V, char> wavOk;
        int boundDeck;  // 0: a group peer
        int wavOkKept;
    };
    const Row rows[] = {
        {I(1), I(1), 1, 1},
        {D(1.0), D(0.0), 1, 0},
        {D(1.5), I(1), 1, 1},
        {D(1.9), D(1.9), 1, 1},
        {OSCValue::float32(1.0f), I(1), 1, 1},
        {D(2.0), I(1), 2, 1},
        {OSCValue::float32(2.5f), OSCValue::float32(-1.5f), 2, -1},
        {OSCValue::int64(2), OSCValue::int64(1), 2, 1},
        {'T', 'T', 1, 1},
        {'F', 'F', 0, 0},
        {'N', 'N', 0, 0},
        {D(0.7), I(-1), 0, -1},
        {D(-0.5), I(-1), 0, -1},  // truncates toward zero: a group peer
        {D(2.999), 'F', 2, 0},
    };
    for (const auto& row : rows) {
        ServerRig rig;
        const Bytes hello = helloTagged(row.deck, row.wavOk);
        rig.server.handleDatagram(hello.data(), hello.size(), phone(1), rig.clock.now());
        const auto sent = rig.sink.take();
        const std::string what = "row binding deck " + std::to_string(row.boundDeck);
        ASSERT_EQ(sent.size(), 1u) << what;
        EXPECT_EQ(sent[0].msg.address, "/orv/bind") << what;
        EXPECT_EQ(sent[0].msg.args.at(0), I(row.boundDeck)) << what;
        const auto rec = rig.server.remoteRecord(row.boundDeck == 0 ? -1 : row.boundDeck);
        ASSERT_TRUE(rec) << what;
        EXPECT_EQ(std::pair(rec->name, rec->wavOk), std::pair(std::string("Ann"), row.wavOkKept)) << what;
    }
}

TEST(OrvHello, DeckTakeOverRules) {
    ServerRig rig;
    std::vector<std::string> hellos;
    rig.server.onHello = [&](int d, const std::string& n, const std::string& m) { hellos.push_back(std::to_string(d) + n + m); };
    rig.hello(phone(1), 1, "Ann");
    auto rec = rig.server.remoteRecord(1);
    ASSERT_TRUE(rec);
    EXPECT_EQ(std::pair(rec->via, rec->wavOk), std::pair(std::string("?"), 1));  // the first hello does not know the link
    rig.frame(phone(1), 1, "/m/one.mp3");

    // A second phone within bindStale gets a bind and onHello, but the deck stays with the first.
    rig.clock.advance(1.0);
    rig.sink.take();
    rig.hello(phone(2), 1, "Bob");
    EXPECT_EQ(rig.sink.take().at(0).msg.address, "/orv/bind");
    EXPECT_EQ(hellos.back(), "1Bobremote");
    EXPECT_EQ(rig.server.remoteName(1), "Ann");

    // The same phone on a new source port (same name) takes its deck back at once, keeping path and stats.
    OrvServer::Origin annAgain{asio::ip::udp::endpoint(phone(1).remote.address(), 40000), phone(1).local, 2};
    rig.hello(annAgain, 1, "Ann");
    rec = rig.server.remoteRecord(1);
    EXPECT_EQ(rec->conn.remote, annAgain.remote);
    EXPECT_EQ(std::pair(rec->lastPath, rec->via), std::pair(std::string("/m/one.mp3"), std::string("WLAN")));  // the link now known

    // Once the holder is silent for bindStale, the newcomer's hello takes the deck.
    rig.clock.advance(5.0);
    rig.hello(phone(2), 1, "Bob");
    EXPECT_EQ(rig.server.remoteName(1), "Bob");
}

TEST(OrvHello, ViaNamesTheMediumOfTheArrivalInterface) {
    using M = plindo::platform::NetInterface::Medium;
    ServerRig rig;
    rig.interfaces = {nic("lo", true, true, "127.0.0.1", 1),         nic("wlp2s0", true, false, "192.168.1.10", 2, M::Wireless),
                      nic("enp3s0", true, false, "10.0.0.5", 3, M::Wired), nic("tun0", true, false, "10.8.0.1", 4),
                      nic("eth1", false, false, "10.1.0.1", 5, M::Wired)};
    // A second interface entry (its IPv6 address) carries the same index and medium.
    rig.interfaces.push_back({.name = "wlp2s0", .up = true, .index = 2, .medium = M::Wireless, .ipv6 = "fd00::2"});
    const struct {
        unsigned arrival;
        const char* via;
    } cases[] = {{2, "WLAN"}, {3, "LAN"}, {1, "?"}, {4, "?"}, {5, "?"}, {9, "?"}, {0, "?"}};
    for (const auto& c : cases) {
        rig.hello(phone(1, "192.168.1.10", c.arrival), 1, "Ann");
        rig.hello(phone(1, "192.168.1.10", c.arrival), 1, "Ann");  // the first hello of a deck does not know it
        EXPECT_EQ(rig.server.remoteVia(1), c.via) << c.arrival;
    }
}

TEST(OrvHello, GroupPeersGetKeysOnceAndAreCapped) {
    ServerRig rig;
    std::vector<std::string> joined;
    rig.server.onPeerJoined = [&](const std::string& n) { joined.push_back(n); };
    rig.hello(phone(7), 0, "HostB");
    rig.hello(phone(7), 0, "HostB");
    EXPECT_EQ(joined, std::vector<std::string>{"HostB"});
    EXPECT_EQ(rig.statuses, std::vector<std::string>{"Plindo: group peer HostB joined"});
    EXPECT_EQ(rig.server.remoteName(-1), "HostB");
    EXPECT_FALSE(rig.server.remoteRecord(-2));
    auto sent = rig.sink.take();
    ASSERT_EQ(sent.size(), 2u);
    EXPECT_EQ(sent[0].msg.args[0], I(0));

    // A flood of hellos from spoofed sources: the table stops at its cap and answers nobody beyond it.
    for (int k = 0; k < 500; ++k) {
        OrvServer::Origin spoof{asio::ip::udp::endpoint(asio::ip::make_address_v4(0x0A000000u + k), 9), {}};
        rig.hello(spoof, 0, "spoof" + std::to_string(k));
    }
    size_t peers = 0;
    for (int key = 0; key >= -600; --key) peers += rig.server.remoteRecord(key).has_value();
    EXPECT_EQ(peers, OrvServer::kMaxGroupPeers);
    EXPECT_EQ(rig.sink.take().size(), OrvServer::kMaxGroupPeers - 1);

    // Idle peers make room: after the prune limit, a new peer is admitted and the idle ones reported gone.
    rig.clock.advance(15.5);
    rig.statuses.clear();
    rig.hello(phone(8), 0, "HostC");
    EXPECT_EQ(rig.server.remoteName(-65), "HostC");
    EXPECT_EQ(rig.statuses.size(), OrvServer::kMaxGroupPeers + 1);
    EXPECT_EQ(rig.statuses.back(), "Plindo: group peer HostC joined");
}

TEST(OrvGate, FramesBindFreeDecksAndDisplaceOnlyStaleHolders) {
    ServerRig rig;
    std::vector<std::string> frames, loads;
    rig.server.onFrame = [&](int d, std::string_view p, double, double, auto) { frames.push_back(std::to_string(d).append(p)); };
    rig.server.onRemoteLoad = [&](int d, const std::string& p) { loads.push_back(std::to_string(d) + p); };

    rig.frame(phone(1), 1, "/m/a.mp3");
    EXPECT_EQ(rig.server.remoteName(1), "?");
    EXPECT_EQ(loads, std::vector<std::string>{"1/m/a.mp3"});
    rig.frame(phone(1), 1, "/m/a.mp3");
    EXPECT_EQ(loads.size(), 1u);  // same path: no new load

    rig.clock.advance(4.999);
    rig.frame(phone(2), 1, "/m/b.mp3");
    EXPECT_EQ(frames.size(), 2u);  // dropped: the holder is live

    // Silent for exactly bindStale: the second phone takes the deck, its connection and sender key.
    rig.clock.set(1024.0 + 5.0);
    rig.frame(phone(2), 1, "/m/b.mp3");
    ASSERT_EQ(frames.size(), 3u);
    auto rec = rig.server.remoteRecord(1);
    EXPECT_EQ(rec->conn.remote, phone(2).remote);
    EXPECT_EQ(rec->name, "?");
    EXPECT_EQ(loads.back(), "1/m/b.mp3");

    // Its next frames pass, the old phone's do not, and pushes go to the new phone.
    rig.clock.advance(0.01);
    rig.frame(phone(2), 1, "/m/b.mp3");
    rig.frame(phone(1), 1, "/m/a.mp3");
    EXPECT_EQ(frames, (std::vector<std::string>{"1/m/a.mp3", "1/m/a.mp3", "1/m/b.mp3", "1/m/b.mp3"}));
    rig.server.sendPlay(1, true);
    EXPECT_EQ(rig.sink.take().at(0).to, phone(2).remote);

    // The old phone's hello (same name no longer held) does not take the deck back while the new one is live.
    rig.hello(phone(1), 1, "Ann");
    EXPECT_EQ(rig.server.remoteRecord(1)->conn.remote, phone(2).remote);

    // Other deck messages obey the same gate.
    int touches = 0;
    rig.server.onTouch = [&](int, bool) { ++touches; };
    rig.recv(phone(1), "/orv/touch", {I(1), D(1)});
    rig.recv(phone(2), "/orv/touch", {I(1), D(1)});
    rig.recv(phone(1), "/orv/touch", {I(2), D(1)});  // deck 2 is free
    EXPECT_EQ(touches, 2);
}

TEST(OrvGate, FrameTimingStatistics) {
    ServerRig rig;
    const auto stats = [&] {
        const auto r = *rig.server.remoteRecord(1);
        return std::tuple(r.meanDtMs, r.jitterMs, r.maxGapMs);
    };
    // After 10 and 20 ms gaps; then 600 ms later mean and jitter restart while the max gap keeps its window.
    const std::tuple<double, double, double, double> steps[] = {{0.010, 10, 0, 10}, {0.020, 11, 1, 20}, {0.600, 0, 0, 20}};
    rig.frame(phone(1), 1);
    for (const auto& [dt, mean, jitter, gap] : steps) {
        rig.clock.advance(dt);
        rig.frame(phone(1), 1);
        const auto [m, j, g] = stats();
        EXPECT_NEAR(m, mean, 1e-6) << dt;
        EXPECT_NEAR(j, jitter, 1e-6) << dt;
        EXPECT_NEAR(g, gap, 1e-6) << dt;
    }
    EXPECT_NEAR(rig.server.remoteMaxGapMs(1), 20.0, 1e-6);
}

// A phone that drives its deck with tick batches alone stays its live holder: fresh, named in "/orv/slots", and
// not displaced by another phone's frames. The frame statistics still measure from frame to frame. A batch from
// another sender, or one whose ticks are all left out, keeps nobody live.
TEST(OrvGate, TickBatchesKeepTheirHolderLive) {
    ServerRig rig;
    int seq = 0;
    const auto batch = [&](const OrvServer::Origin& from, double cum = 100) {
        ++seq;
        rig.recv(from, "/orv/tun", {I(1), I(0), I(1), D(seq), D(cum * seq), D(0.01 * seq), D(1)});
    };
    rig.hello(phone(1), 1, "Ann");
    for (int k = 0; k < 100; ++k) {  // 10 s, twice the time a silent holder keeps its deck
        rig.clock.advance(0.1);
        batch(phone(1));
    }
    EXPECT_TRUE(rig.server.isRemoteFresh(1, 0.6));
    rig.frame(phone(2), 1);
    EXPECT_EQ(rig.server.remoteRecord(1)->conn.remote, phone(1).remote);
    rig.sink.take();
    rig.recv(phone(3), "/orv/slots", {});
    EXPECT_EQ(rig.sink.take().at(0).msg.args, (std::vector<V>{S("Ann"), S("")}));

    // Frames 10 ms apart with a batch between each two: the statistics see 10 ms steps.
    for (int k = 0; k < 4; ++k) {
        rig.frame(phone(1), 1);
        rig.clock.advance(0.005);
        batch(phone(1));
        rig.clock.advance(0.005);
    }
    EXPECT_NEAR(rig.server.remoteRecord(1)->meanDtMs, 10.0, 1e-6);
    EXPECT_NEAR(rig.server.remoteRecord(1)->jitterMs, 0.0, 1e-6);

    // The batches stop: 0.6 s on the holder is no longer fresh; another phone's batch (the deck's holder gone
    // quiet) and a batch with no usable tick refresh nothing.
    rig.clock.advance(0.6);
    EXPECT_FALSE(rig.server.isRemoteFresh(1, 0.6));
    rig.clock.advance(5.0);
    batch(phone(2));
    batch(phone(1), std::numeric_limits<double>::infinity());
    EXPECT_FALSE(rig.server.isRemoteFresh(1, 5.0));
    batch(phone(1));
    EXPECT_TRUE(rig.server.isRemoteFresh(1, 0.6));
}

TEST(OrvPush, DeckPushesCarryTheirArguments) {
    ServerRig rig;
    rig.server.sendPlay(1, true);  // no phone: nothing, no failure
    EXPECT_TRUE(rig.sink.take().empty());
    rig.hello(phone(1), 1, "Ann");
    rig.sink.take();

    const double nan = std::numeric_limits<double>::quiet_NaN();
    rig.server.sendPlayhead(1, 12.5, 2, nan);
    rig.server.sendPlayhead(1, 12.5, 2, std::numeric_limits<double>::infinity());
    rig.server.sendPlayhead(1, 12.5, 2, 0.0);
    rig.server.sendSeratoBrowser(1, "House", 3, {{"t", "a", "128", "8A", "5:00", "/p"}, {}});
    std::vector<SeratoBrowserRow> nine(9);
    rig.server.sendSeratoBrowser(1, "House", 3, nine);
    rig.server.sendScreenWave(1, 4, std::vector<uint8_t>{'a', 'b', 'c', 'd'});
    rig.server.sendDynGate(1, true, false);
    rig.server.sendZoomMode(1, false);
    rig.server.sendLoop(1, 4.0);
    auto sent = rig.sink.take();
    ASSERT_EQ(sent.size(), 9u);
    EXPECT_EQ(sent[0].msg.args.size(), 3u);
    EXPECT_EQ(sent[1].msg.args.size(), 3u);
    EXPECT_EQ(sent[2].msg, (OSCMessage{"/orv/playhead", {I(1), D(12.5), I(2), D(0.0)}}));
    EXPECT_EQ(sent[3].msg.args.size(), 45u);
    EXPECT_EQ(sent[3].msg.args[3], S("t"));
    EXPECT_EQ(sent[3].msg.args[44], S(""));
    EXPECT_EQ(sent[4].msg.args.size(), 57u);
    EXPECT_EQ(sent[5].msg, (OSCMessage{"/orv/swave", {I(1), I(4), S("YWJjZA==")}}));
    EXPECT_EQ(sent[6].msg, (OSCMessage{"/orv/dyn/gate", {I(1), I(1), I(0)}}));
    EXPECT_EQ(sent[7].msg, (OSCMessage{"/orv/zoommode", {I(1), I(0)}}));
    EXPECT_EQ(sent[8].msg, (OSCMessage{"/orv/loop", {I(1), D(4.0)}}));
}

TEST(OrvPush, GroupPushesPruneSilentPeersOutsideTheLock) {
    ServerRig rig;
    rig.hello(phone(1), 1, "Ann");
    rig.hello(phone(2), 2, "Bob");
    rig.sink.take();
    // Only the deck phones: both get the group message.
    rig.server.sendGroupMute(true);
    auto sent = rig.sink.take();
    ASSERT_EQ(sent.size(), 2u);
    EXPECT_EQ(sent[0].msg, (OSCMessage{"/orv/group/mute", {I(1)}}));

    rig.hello(phone(7), 0, "HostB");
    rig.clock.advance(1.0);
    rig.hello(phone(8), 0, "HostC");
    rig.sink.take();
    // A status handler that reads the server: it must not be called with the server's lock held.
    std::vector<std::string> seen;
    rig.server.onStatus = [&](const std::string& s) { seen.push_back(s + "|" + rig.server.remoteName(1)); };
    rig.clock.advance(14.0);  // HostB silent 15.0 s: stays
    rig.server.sendSecret();
    EXPECT_EQ(rig.sink.take().size(), 4u);
    rig.clock.advance(0.1);  // 15.1 s: gone
    rig.server.sendGroupState("{}");
    EXPECT_EQ(seen, std::vector<std::string>{"Plindo: group peer HostB gone|Ann"});
    sent = rig.sink.take();
    ASSERT_EQ(sent.size(), 3u);
    EXPECT_EQ(sent[0].msg, (OSCMessage{"/orv/group/state", {S("{}")}}));
    // The key is free of its sender: the same host saying hello again joins anew.
    rig.hello(phone(7), 0, "HostB");
    EXPECT_EQ(rig.server.remoteName(-3), "HostB");
    // Bytes that are not UTF-8: nothing sent, nothing pruned.
    rig.clock.advance(100);
    rig.server.sendGroupState("\xff");
    EXPECT_TRUE(rig.server.remoteRecord(-2));

    // An empty logo is one message with index 0, count 0 and an empty text.
    rig.sink.take();
    rig.hello(phone(1), 1, "Ann");
    rig.sink.take();
    rig.server.sendDJLogo({}, 5.0);
    sent = rig.sink.take();
    ASSERT_EQ(sent.size(), 2u);  // Ann, and Bob who is never pruned
    EXPECT_EQ(sent[0].msg, (OSCMessage{"/orv/djlogo", {D(5.0), I(0), I(0), S("")}}));
    rig.server.sendDJLogo({"AA", "BB"}, 6.0);
    sent = rig.sink.take();
    ASSERT_EQ(sent.size(), 4u);
    EXPECT_EQ(sent[0].to, sent[1].to);  // all chunks to one connection, then the next
    EXPECT_EQ(sent[1].msg, (OSCMessage{"/orv/djlogo", {D(6.0), I(1), I(2), S("BB")}}));
}

TEST(OrvPush, PruneLimitFollowsALongBindStale) {
    ServerRig rig;
    rig.server.start(0, 6.0);
    ASSERT_TRUE(rig.server.running());
    rig.hello(phone(7), 0, "HostB");
    for (const auto& [step, kept] : {std::pair{17.9, true}, std::pair{0.2, false}}) {
        rig.clock.advance(step);
        rig.server.pruneGroupPeers();
        EXPECT_EQ(rig.server.remoteRecord(-1).has_value(), kept) << step;
    }
}

TEST(OrvAccessors, FixedValuesWithoutRecordAndStrictFreshness) {
    ServerRig rig;
    auto& srv = rig.server;
    EXPECT_EQ(std::tuple(srv.isRemoteFresh(1, 0.5), srv.remoteWavOk(1), srv.remoteHost(1), srv.endpointOfPeerNamed("x")),
              std::tuple(false, -1, "", ""));

    rig.hello(phone(1), 1, "Ann");
    rig.clock.advance(0.5);
    EXPECT_FALSE(srv.isRemoteFresh(1, 0.5));
    EXPECT_TRUE(srv.isRemoteFresh(1, 0.5001));
    EXPECT_EQ(srv.remoteHost(1), "192.168.1.101");
    EXPECT_EQ(srv.endpointOfPeerNamed("Ann"), "192.168.1.101");
    rig.recv(phone(1), "/orv/frame", {I(1), S(""), D(0), D(0), D(-2.5), D(1.0)});
    EXPECT_EQ(srv.remoteLastAngle(1), -2.5);

    rig.hello({asio::ip::udp::endpoint(asio::ip::make_address("fe80::1%1"), 5), {}}, 2, "Six");
    EXPECT_EQ(srv.remoteHost(2), "");
}

TEST(OrvKeepAlive, GoesToRecentlyHeardSendersNotRecentlySentTo) {
    ServerRig rig;
    rig.sink.keepHot = true;
    rig.hello(phone(1), 1, "Ann");
    rig.sink.take();
    rig.server.keepAliveTick();  // a hello alone proves nothing of the address it names
    EXPECT_TRUE(rig.sink.take().empty());
    rig.recv(phone(1), "/orv/frame", {I(1), S(""), D(0), D(0)});
    rig.clock.advance(0.5);
    rig.server.sendLoad(1, "/m/a.mp3");  // marks the downlink at this moment, on the server queue
    rig.server.drainQueue();
    rig.sink.take();

    rig.server.keepAliveTick();  // sent to 0 s ago
    EXPECT_TRUE(rig.sink.take().empty());
    rig.clock.advance(0.029);
    rig.server.keepAliveTick();
    EXPECT_TRUE(rig.sink.take().empty());
    rig.clock.advance(0.461);  // heard 0.99 s ago, sent to 0.49 s ago
    rig.server.keepAliveTick();
    auto sent = rig.sink.take();
    ASSERT_EQ(sent.size(), 1u);
    EXPECT_EQ(sent[0].msg, (OSCMessage{"/orv/hot", {}}));
    rig.clock.set(1025.0);  // heard 1.0 s ago
    rig.server.keepAliveTick();
    EXPECT_TRUE(rig.sink.take().empty());
}

TEST(OrvKeepAlive, RepliesToOneAddressAreRateLimited) {
    ServerRig rig;
    for (int i = 0; i < 100; ++i) rig.recv(phone(1), "/orv/ping", {I(1), I(i)});
    for (int i = 0; i < 100; ++i) rig.hello(phone(2), 2, "Bob");
    const auto sent = rig.sink.take();
    const auto count = [&](const char* address) {
        return std::count_if(sent.begin(), sent.end(), [&](const auto& s) { return s.msg.address == address; });
    };
    EXPECT_EQ(count("/orv/pong"), OrvServer::kMaxRepliesPerSecond);
    EXPECT_EQ(count("/orv/bind"), OrvServer::kMaxRepliesPerSecond);
    rig.clock.advance(1.0);
    rig.recv(phone(1), "/orv/ping", {I(1), I(7)});
    EXPECT_EQ(rig.sink.take().size(), 1u);
}

TEST(OrvKeepAlive, BoundPhonesGetEveryPongAndAKeepAliveEvery50Ms) {
    struct Row {
        const char* what;
        std::vector<OrvServer::Origin> phones;  // phone k holds deck k + 1
        int pingEveryTicks;                     // ticks of 10 ms
    };
    OrvServer::Origin secondPort = phone(1);
    secondPort.remote.port(40000);
    const Row rows[] = {
        {"one phone pinging at 10 Hz", {phone(1)}, 10},
        {"one phone pinging with every frame", {phone(1)}, 1},
        {"two phones behind one address at 20 Hz each", {phone(1), secondPort}, 5},
    };
    for (const auto& row : rows) {
        ServerRig rig;
        rig.sink.keepHot = true;
        for (size_t k = 0; k < row.phones.size(); ++k) rig.hello(row.phones[k], int(k) + 1, "Phone" + std::to_string(k));
        std::map<OrvServer::Endpoint, std::vector<int32_t>> pinged, ponged;  // tokens
        std::map<OrvServer::Endpoint, double> lastHot;
        double worstHotGap = 0;
        for (int tick = 0; tick < 1000; ++tick) {  // 10 s of frames at 100 Hz
            rig.clock.advance(0.01);
            for (size_t k = 0; k < row.phones.size(); ++k) {
                rig.frame(row.phones[k], int(k) + 1);
                if (tick % row.pingEveryTicks != 0) continue;
                auto& tokens = pinged[row.phones[k].remote];
                tokens.push_back(int32_t(tokens.size()));
                rig.recv(row.phones[k], "/orv/ping", {I(int(k) + 1), I(tokens.back())});
            }
            rig.server.keepAliveTick();
            for (const auto& s : rig.sink.take()) {
                if (s.msg.address == "/orv/pong") {
                    ponged[s.to].push_back(int32_t(s.msg.args.at(0).i));
                } else if (s.msg.address == "/orv/hot") {
                    if (lastHot.count(s.to)) worstHotGap = std::max(worstHotGap, rig.clock.now() - lastHot[s.to]);
                    lastHot[s.to] = rig.clock.now();
                }
            }
        }
        EXPECT_EQ(ponged, pinged) << row.what;
        EXPECT_EQ(lastHot.size(), row.phones.size()) << row.what;
        EXPECT_LE(worstHotGap, 0.05 + 1e-9) << row.what;
    }
}
