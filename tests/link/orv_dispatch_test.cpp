// The inbound message table, driven through the datagram entry point.
#include "orv_test_support.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <sstream>

using namespace plindo::link;
using namespace plindo::link::testing;

namespace {

using V = OSCValue;
const double kNaN = std::numeric_limits<double>::quiet_NaN();
const double kInf = std::numeric_limits<double>::infinity();

std::vector<V> numbers(size_t n) {
    std::vector<V> out;
    for (size_t k = 0; k < n; ++k) out.push_back(D(1 + double(k)));
    return out;
}

std::vector<V> with(std::vector<V> head, const std::vector<V>& tail) {
    head.insert(head.end(), tail.begin(), tail.end());
    return head;
}

// Records every callback as one line of text: its name and arguments.
struct CallLog {
    std::vector<std::string> lines;
    template <typename... T>
    void put(const char* name, const T&... parts) {
        std::ostringstream o;
        o << name;
        ((o << ' ' << parts), ...);
        lines.push_back(o.str());
    }

    explicit CallLog(OrvServer& s) {
        s.onFrame = [this](int d, std::string_view p, double pos, double rate, std::span<const OrvServer::FrameSample> xs) {
            std::ostringstream o;
            for (const auto& x : xs) o << "(" << x.angle << "," << x.ts << ")";
            put("frame", d, p, pos, rate, "[" + o.str() + "]");
        };
        s.onTunnel = [this](int d, int32_t v, std::span<const OrvServer::Tick> ts) {
            std::ostringstream o;
            for (const auto& t : ts) o << "(" << t.seq << "," << t.cum << "," << t.stamp << "," << t.measured << ")";
            put("tun", d, v, "[" + o.str() + "]");
        };
        s.onSeek = [this](int d, double v) { put("seek", d, v); };
        s.onSensorMessage = [this](std::string_view a, std::span<const V> args) { put("sensor", a, args.size()); };
        s.onRaw = [this](int d, const OrvRemoteLink::RawMirror& r) { put("raw", d, r.wz); };
        s.onDyn = [this](int d, std::string_view t) { put("dyn", d, t); };
        s.onDynGate = [this](int d, bool f, int a, int b) { put("dyngate", d, f, a, b); };
        s.onDJLogo = [this](double g, int i, int c, std::string_view t, std::string_view) { put("logo", g, i, c, t); };
        s.onSecret = [this] { put("secret"); };
        s.onIMU = [this](int d, const OrvRemoteLink::IMUSample& x) { put("imu", d, x.ts, x.gz, x.grip, x.hostSynth); };
        s.onBud = [this](int d, const OrvRemoteLink::IMUSample& x) { put("bud", d, x.ts); };
        s.onTouch = [this](int d, bool v) { put("touch", d, v); };
        s.onCue = [this](int d, int slot, bool v) { put("cue", d, slot, v); };
        s.onMute = [this](int d, bool a, bool b) { put("mute", d, a, b); };
        s.onSynth = [this](int d, std::optional<double> a, double b) { put("synth", d, a ? std::to_string(int(*a)) : "none", b); };
        s.onRemoteLoad = [this](int d, const std::string& p) { put("load", d, p); };
        s.onHello = [this](int d, const std::string& n, const std::string& m) { put("hello", d, n, m); };
        s.onGroupState = [this](std::string_view j) { put("gstate", j); };
        s.onGroupMute = [this](bool m) { put("gmute", m); };
        s.onGroupLoad = [this](std::string_view a, std::string_view b, std::string_view c, int n, std::string_view) {
            put("gload", a, b, c, n);
        };
        s.onPeerJoined = [this](const std::string& n) { put("joined", n); };
        s.onBlink = [this](int d, int v) { put("blink", d, v); };
        s.onInstantDouble = [this](int d) { put("idouble", d); };
        s.onLibGesture = [this](int d, const std::string& t, int v) { put("gesture", d, t, v); };
    }
};

struct Row {
    const char* address;
    std::vector<V> args;
    const char* expected;  // "" when the message must be dropped
};

// Each row on a fresh server: the one callback it made, or "" for none.
void expectRows(const std::vector<Row>& rows) {
    for (const auto& row : rows) {
        ServerRig rig;
        CallLog log(rig.server);
        rig.recv(phone(1), row.address, row.args);
        EXPECT_EQ(log.lines.empty() ? "" : log.lines.front(), row.expected) << row.address << " with " << row.args.size();
        if (std::string_view(row.address) != "/orv/frame") EXPECT_LE(log.lines.size(), 1u);  // a frame may also load
    }
}

}  // namespace

TEST(OrvDispatch, RoutesEachAddressAndDropsWhatDoesNotFit) {
    expectRows({
        {"/orv/seek", {I(1), D(12.5)}, "seek 1 12.5"},
        {"/orv/seek", {I(3), D(12.5)}, ""},
        {"/orv/seek", {D(kNaN), D(1)}, ""},
        {"/orv/seek", {D(1e300), D(1)}, ""},
        {"/orv/seek", {S("1"), D(1)}, ""},
        {"/orv/seek", {I(1)}, ""},
        {"/orv/seek", {V::float32(2.9f), D(3)}, "seek 2 3"},  // the deck truncates toward zero
        {"/orv/touch", {I(2), D(0.6)}, "touch 2 1"},
        {"/orv/touch", {I(2), D(0.5)}, "touch 2 0"},
        {"/orv/cue", {I(1), D(3.9), D(1)}, "cue 1 3 1"},
        {"/orv/cue", {I(1), D(kInf), D(1)}, ""},
        {"/orv/cue", {I(1), D(1e300), D(1)}, ""},
        {"/orv/mute", {I(1), D(1), S("x")}, "mute 1 1 0"},
        {"/orv/group/state", {S("{\"a\":1}")}, "gstate {\"a\":1}"},
        {"/orv/group/state", {I(1)}, ""},
        {"/orv/group/mute", {D(0.7)}, "gmute 1"},
        {"/orv/group/load", {S("a"), S("b"), S("c"), D(4.7)}, "gload a b c 4"},
        {"/orv/group/load", {S("a"), S("b"), S("c"), D(kNaN)}, ""},
        {"/orv/s/gyro", {I(1), D(0.1), D(0.2)}, "sensor /orv/s/gyro 3"},
        {"/orv/s/fused", {D(2.2)}, "sensor /orv/s/fused 1"},
        {"/orv/s/mag", {I(0), D(1)}, ""},
        {"/orv/s/mag", {S("1"), D(1)}, ""},
        {"/orv/dyn", {I(1), S("RFlOMQ==")}, "dyn 1 RFlOMQ=="},
        {"/orv/dyn/gate", {I(1), D(1), D(5), D(-6)}, "dyngate 1 1 5 -6"},
        {"/orv/dyn/gate", {I(1), D(1.5), D(5), D(6)}, "dyngate 1 1 5 6"},
        {"/orv/dyn/gate", {I(1), D(2), D(5), D(6)}, "dyngate 1 0 5 6"},
        {"/orv/djlogo", {D(1700000000000.0), I(2), I(5), S("QUJD")}, "logo 1.7e+12 2 5 QUJD"},
        {"/orv/secret", {}, "secret"},
        {"/orv/idouble", {I(2)}, "idouble 2"},
        {"/orv/synth", {I(1), D(1), D(0.25), D(3)}, "synth 1 0 3"},
        {"/orv/synth", {I(1), D(0), D(7), D(3)}, "synth 1 none 3"},
        {"/orv/synth", {I(1), D(kNaN), D(7), D(3)}, ""},
        {"/orv/blink", {I(2), D(3)}, "blink 2 3"},
        {"/orv/lib/gesture", {I(1), S("swipe"), D(-40)}, "gesture 1 swipe -40"},
        {"/orv/imu", with({I(1)}, numbers(13)), "imu 1 1 13 0 0"},
        {"/orv/imu", with({I(1)}, numbers(15)), "imu 1 1 13 14 15"},
        {"/orv/imu", with({I(1)}, numbers(12)), ""},
        {"/orv/bud", with({I(2), S("x")}, numbers(12)), "bud 2 0"},  // a text reads as 0
        {"/orv/unknown", {I(1)}, ""},
        {"/orv/frame/", {I(1), S("p"), D(1), D(1)}, ""},
        // Frame samples are paired, a lone one skipped, a pair with text dropped, and sorted with NaN last.
        {"/orv/frame", {I(1), S("p"), D(1), D(2), D(5)}, "frame 1 p 1 2 []"},
        {"/orv/frame", {I(1), S("p"), D(1), D(2), D(5), D(6), D(7)}, "frame 1 p 1 2 [(5,6)]"},
        {"/orv/frame", {I(1), S("p"), D(1), D(2), S("x"), D(6)}, "frame 1 p 1 2 [(0,6)]"},
        {"/orv/frame", {I(1), S("p"), D(1), D(2), D(5), S("x"), D(7), D(8)}, "frame 1 p 1 2 [(7,8)]"},
        {"/orv/frame", {I(1), S("p"), D(1), D(2), D(1), D(30), D(2), D(10), S("a"), D(0), D(3), D(20)},
         "frame 1 p 1 2 [(2,10)(3,20)(1,30)]"},
        {"/orv/frame", {I(1), S("p"), D(1), D(2), D(1), D(kNaN), D(2), D(10), D(3), D(kNaN), D(4), D(5)},
         "frame 1 p 1 2 [(4,5)(2,10)(1,nan)(3,nan)]"},
        {"/orv/frame", {I(1), I(7), D(1), D(2)}, ""},
        {"/orv/frame", {I(1), S("p"), S("1"), D(2)}, ""},
        {"/orv/frame", {I(0), S("p"), D(1), D(2)}, ""},
        // Magnitudes no platter reaches: the frame, or the one sample, is dropped.
        {"/orv/frame", {I(1), S("p"), D(1), D(-1e300)}, ""},
        {"/orv/frame", {I(1), S("p"), D(1), D(kInf)}, ""},
        {"/orv/frame", {I(1), S("p"), D(1e300), D(1)}, ""},
        {"/orv/frame", {I(1), S("p"), D(kNaN), D(1)}, ""},
        {"/orv/frame", {I(1), S("p"), D(-3), D(-40)}, "frame 1 p -3 -40 []"},
        {"/orv/frame", {I(1), S("p"), D(1), D(2), D(1e300), D(6), D(kNaN), D(7), D(720), D(8)}, "frame 1 p 1 2 [(720,8)]"},
        {"/orv/seek", {I(1), D(-1e300)}, ""},
        {"/orv/seek", {I(1), D(kInf)}, ""},
    });
}

TEST(OrvDispatch, TunnelBatchesCheckCountRoundAndLeaveOutNonFiniteTicks) {
    const auto tick = [](double seq, double cum, double stamp, double measured) {
        return std::vector<V>{D(seq), D(cum), D(stamp), D(measured)};
    };
    const auto three = with(with(tick(10, 2.5, 0.5, 1), tick(11, -2.5, 0.6, 0.5)), tick(12, 7.49, 0.7, 0.49));
    std::vector<V> sixtyFour{I(2), I(1), I(64)};
    for (int k = 0; k < 64; ++k) sixtyFour = with(sixtyFour, tick(k, k, k, 1));
    const std::vector<V> sixtyFive = with({I(1), I(0), I(65)}, numbers(260));
    expectRows({
        {"/orv/tun", with({I(1), I(-7), I(3)}, three), "tun 1 -7 [(10,3,0.5,1)(11,-3,0.6,1)(12,7,0.7,0)]"},
        {"/orv/tun", with({I(1), I(-7), I(3)}, std::vector<V>(three.begin(), three.end() - 1)), ""},
        {"/orv/tun", with({I(1), I(0), I(0)}, three), ""},
        {"/orv/tun", sixtyFive, ""},
        {"/orv/tun", with({I(1), D(2147483648.0), I(1)}, tick(1, 1, 1, 1)), ""},
        {"/orv/tun", with({I(1), D(kNaN), I(1)}, tick(1, 1, 1, 1)), ""},
        {"/orv/tun", with({I(1), I(0), D(kNaN)}, tick(1, 1, 1, 1)), ""},
        {"/orv/tun", with(with({I(1), I(0), I(2)}, tick(1, kNaN, 1, 1)), tick(2, 5, kInf, 1)), "tun 1 0 []"},
        {"/orv/tun", with(with({I(1), I(0), I(2)}, tick(1, 1e300, 1, 1)), tick(2, 5, 1, 1)), "tun 1 0 [(2,5,1,1)]"},
        {"/orv/tun", with({I(1), I(0), I(1)}, tick(kNaN, 1, 1, 1)), ""},
        {"/orv/tun", with({I(1), I(0), I(1), S("1")}, numbers(3)), ""},
    });
    // 64 ticks is the most one batch may carry.
    ServerRig rig;
    CallLog log(rig.server);
    rig.recv(phone(1), "/orv/tun", sixtyFour);
    EXPECT_EQ(log.lines.size(), 1u);
}

TEST(OrvDispatch, RawRecordsReadEachFieldFromItsWirePositionOnlyWhenPresent) {
    std::vector<OrvRemoteLink::RawMirror> got;
    ServerRig rig;
    rig.server.onRaw = [&](int, const OrvRemoteLink::RawMirror& r) { got.push_back(r); };
    const auto send = [&](std::vector<V> args) {
        got.clear();
        rig.recv(phone(1), "/orv/raw", with({I(1)}, args));
        return got.empty() ? std::optional<OrvRemoteLink::RawMirror>() : got.front();
    };

    // The shortest record: the tail keeps its defaults.
    auto r = send(numbers(5));
    ASSERT_TRUE(r);
    EXPECT_EQ(std::tuple(r->wz, r->ts, r->twistDeg, r->scaleK, r->rotorW, r->rotorValid, r->calibStamp),
              std::tuple(1.0, 5.0, -1.0, 1.0, 0.0, false, std::string()));
    EXPECT_TRUE(std::isnan(r->sensorPos));

    // 50 arguments: zoom (argument 49) is read, yawNoiseDeg (argument 50) is not.
    r = send(numbers(49));
    ASSERT_TRUE(r);
    EXPECT_EQ(std::tuple(r->zoom, r->yawNoiseDeg, r->sensorPos), std::tuple(49.0, 0.0, 46.0));

    // The full record; arguments 1..57 hold 1..57 except the flags and texts set here.
    std::vector<V> full = numbers(57);
    full[7] = I(1);        // rotorValid
    full[30] = S("cal-7");  // calibStamp
    full[33] = I(1);       // sensorCalDone
    full[34] = I(-1);      // planeSign
    full[42] = I(1);       // northSuspect
    full[50] = S("jog");   // bridgeMode
    full[51] = I(1);       // bridgeMuted
    full[53] = D(0.51);    // zoomAuto, a half flag
    full[55] = D(0.5);     // synthOn: not above one half
    r = send(full);
    ASSERT_TRUE(r);
    EXPECT_EQ(std::tuple(r->placeFlags, r->northAlpha, r->northTauMs, r->fieldDirOff, r->yawNoiseDeg, r->twistDeg,
                         r->scaleK, r->synthOmega, r->planeSign, r->calibStamp, r->bridgeMode),
              std::tuple(11, 29.0, 30.0, 42.0, 50.0, 53.0, 55.0, 57.0, -1, std::string("cal-7"), std::string("jog")));
    EXPECT_EQ(std::tuple(r->rotorValid, r->sensorCalDone, r->northSuspect, r->bridgeMuted, r->zoomAuto, r->synthOn),
              std::tuple(true, true, true, true, true, false));

    // A text in the required head drops the record; in the tail it reads as 0; an integer field that does
    // not fit drops it.
    EXPECT_FALSE(send(with({D(1), S("x")}, numbers(3))));
    auto tailText = numbers(8);
    tailText[5] = S("x");
    r = send(tailText);
    ASSERT_TRUE(r);
    EXPECT_EQ(r->rotorW, 0);
    auto badFlags = numbers(17);
    badFlags[10] = D(kNaN);  // placeFlags
    EXPECT_FALSE(send(badFlags));
}

TEST(OrvDispatch, RepliesGoToTheSenderAsOneDatagramEach) {
    ServerRig rig;
    const auto from = phone(1);
    rig.recv(from, "/orv/ping", {I(1), D(77.9)});
    rig.recv(from, "/orv/ping", {I(1), D(2147483648.0)});  // does not fit 32 bits: dropped
    rig.recv(from, "/orv/ping", {I(1), D(kNaN)});
    rig.server.latencyProvider = [](int deck) { return deck * 0.01; };
    rig.recv(from, "/orv/ping", {I(2), I(-5), S("ignored")});
    auto sent = rig.sink.take();
    ASSERT_EQ(sent.size(), 2u);
    EXPECT_EQ(sent[0].to, from.remote);
    EXPECT_EQ(sent[0].msg, (OSCMessage{"/orv/pong", {I(77), D(0)}}));
    EXPECT_EQ(sent[1].msg, (OSCMessage{"/orv/pong", {I(-5), D(0.02)}}));

    // Slots: names of the live holders, "" for a free or stale deck.
    rig.hello(phone(2), 2, "Bob");
    rig.sink.take();
    rig.recv(from, "/orv/slots", {});
    EXPECT_EQ(rig.sink.take().at(0).msg, (OSCMessage{"/orv/slots", {S(""), S("Bob")}}));
    rig.clock.advance(5.0);  // bindStale of an unstarted server
    rig.recv(from, "/orv/slots", {});
    EXPECT_EQ(rig.sink.take().at(0).msg, (OSCMessage{"/orv/slots", {S(""), S("")}}));

    // Kick: the holder gets the deny, the deck is free, a status line names it; a free deck gives nothing.
    rig.recv(from, "/orv/kick", {I(2)});
    sent = rig.sink.take();
    ASSERT_EQ(sent.size(), 1u);
    EXPECT_EQ(sent[0].to, phone(2).remote);
    EXPECT_EQ(sent[0].msg, (OSCMessage{"/orv/deny", {I(2), S("kicked"), S("1215")}}));
    EXPECT_EQ(rig.statuses.back(), "Plindo: deck 2 geraeumt — Bob gekickt");
    EXPECT_FALSE(rig.server.remoteRecord(2));
    const auto before = rig.statuses.size();
    rig.recv(from, "/orv/kick", {I(2)});
    EXPECT_TRUE(rig.sink.take().empty());
    EXPECT_EQ(rig.statuses.size(), before);

    // Bundles are handled in order.
    CallLog log(rig.server);
    const auto b = bundle({OSCMessage::encode("/orv/idouble", std::vector{I(1)}), OSCMessage::encode("/orv/idouble", std::vector{I(2)})});
    rig.server.handleDatagram(b.data(), b.size(), from, rig.clock.now());
    EXPECT_EQ(log.lines, (std::vector<std::string>{"idouble 1", "idouble 2"}));
}
