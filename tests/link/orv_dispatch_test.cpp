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

V I(int32_t v) { return V::int32(v); }
V D(double v) { return V::float64(v); }
V S(std::string v) { return V::string(std::move(v)); }

std::vector<V> numbers(size_t n, double start = 1) {
    std::vector<V> out;
    for (size_t k = 0; k < n; ++k) out.push_back(D(start + double(k)));
    return out;
}

std::vector<V> with(std::vector<V> head, const std::vector<V>& tail) {
    head.insert(head.end(), tail.begin(), tail.end());
    return head;
}

// Records every callback as one line of text.
struct CallLog {
    std::vector<std::string> lines;
    void add(const std::ostream& s) { lines.push_back(static_cast<const std::ostringstream&>(s).str()); }

    void attach(OrvServer& s) {
        s.onFrame = [this](int d, std::string_view p, double pos, double rate, std::span<const OrvServer::FrameSample> xs) {
            std::ostringstream o;
            o << "frame " << d << " " << p << " " << pos << " " << rate << " [";
            for (const auto& x : xs) o << "(" << x.angle << "," << x.ts << ")";
            o << "]";
            add(o);
        };
        s.onSeek = [this](int d, double v) { add(std::ostringstream() << "seek " << d << " " << v); };
        s.onSensorMessage = [this](std::string_view a, std::span<const V> args) {
            add(std::ostringstream() << "sensor " << a << " " << args.size());
        };
        s.onRaw = [this](int d, const OrvRemoteLink::RawMirror& r) { add(std::ostringstream() << "raw " << d << " " << r.wz); };
        s.onDyn = [this](int d, std::string_view t) { add(std::ostringstream() << "dyn " << d << " " << t); };
        s.onDynGate = [this](int d, bool f, int a, int b) {
            add(std::ostringstream() << "dyngate " << d << " " << f << " " << a << " " << b);
        };
        s.onDJLogo = [this](double g, int i, int c, std::string_view t) {
            add(std::ostringstream() << "logo " << g << " " << i << " " << c << " " << t);
        };
        s.onSecret = [this] { lines.push_back("secret"); };
        s.onIMU = [this](int d, const OrvRemoteLink::IMUSample& x) {
            add(std::ostringstream() << "imu " << d << " " << x.ts << " " << x.gz << " " << x.grip << " " << x.hostSynth);
        };
        s.onBud = [this](int d, const OrvRemoteLink::IMUSample& x) { add(std::ostringstream() << "bud " << d << " " << x.ts); };
        s.onTunnel = [this](int d, int32_t v, std::span<const OrvServer::Tick> ts) {
            std::ostringstream o;
            o << "tun " << d << " " << v << " [";
            for (const auto& t : ts) o << "(" << t.seq << "," << t.cum << "," << t.stamp << "," << t.measured << ")";
            o << "]";
            add(o);
        };
        s.onTouch = [this](int d, bool v) { add(std::ostringstream() << "touch " << d << " " << v); };
        s.onCue = [this](int d, int slot, bool v) { add(std::ostringstream() << "cue " << d << " " << slot << " " << v); };
        s.onMute = [this](int d, bool a, bool b) { add(std::ostringstream() << "mute " << d << " " << a << " " << b); };
        s.onSynth = [this](int d, std::optional<double> a, double b) {
            add(std::ostringstream() << "synth " << d << " " << (a ? std::to_string(int(*a)) : "none") << " " << b);
        };
        s.onRemoteLoad = [this](int d, const std::string& p) { add(std::ostringstream() << "load " << d << " " << p); };
        s.onHello = [this](int d, const std::string& n, const std::string& m) {
            add(std::ostringstream() << "hello " << d << " " << n << " " << m);
        };
        s.onGroupState = [this](std::string_view j) { add(std::ostringstream() << "gstate " << j); };
        s.onGroupMute = [this](bool m) { add(std::ostringstream() << "gmute " << m); };
        s.onGroupLoad = [this](std::string_view a, std::string_view b, std::string_view c, int n) {
            add(std::ostringstream() << "gload " << a << " " << b << " " << c << " " << n);
        };
        s.onPeerJoined = [this](const std::string& n) { add(std::ostringstream() << "joined " << n); };
        s.onBlink = [this](int d, int v) { add(std::ostringstream() << "blink " << d << " " << v); };
        s.onInstantDouble = [this](int d) { add(std::ostringstream() << "idouble " << d); };
        s.onLibGesture = [this](int d, const std::string& t, int v) {
            add(std::ostringstream() << "gesture " << d << " " << t << " " << v);
        };
    }
};

struct Row {
    const char* address;
    std::vector<V> args;
    const char* expected;  // "" when the message must be dropped
};

}  // namespace

TEST(OrvDispatch, RoutesEachAddressAndDropsWhatDoesNotFit) {
    const std::vector<Row> rows{
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
    };
    for (const auto& row : rows) {
        ServerRig rig;
        CallLog log;
        log.attach(rig.server);
        rig.recv(phone(1), row.address, row.args);
        const std::string got = log.lines.empty() ? "" : log.lines.front();
        EXPECT_EQ(got, row.expected) << row.address << " with " << row.args.size() << " arguments";
        EXPECT_LE(log.lines.size(), 1u);
    }
}

TEST(OrvDispatch, FrameSamplesArePairedSkippedAndSortedWithNaNLast) {
    const std::vector<Row> rows{
        {"/orv/frame", {I(1), S("p"), D(1), D(2)}, "frame 1 p 1 2 []"},
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
    };
    for (const auto& row : rows) {
        ServerRig rig;
        CallLog log;
        log.attach(rig.server);
        rig.recv(phone(1), row.address, row.args);
        const std::string got = log.lines.empty() ? "" : log.lines.front();
        EXPECT_EQ(got, row.expected) << row.args.size() << " arguments";
    }
}

TEST(OrvDispatch, TunnelBatchesCheckCountRoundAndLeaveOutNonFiniteTicks) {
    const auto tick = [](double seq, double cum, double stamp, double measured) {
        return std::vector<V>{D(seq), D(cum), D(stamp), D(measured)};
    };
    auto three = with(with(tick(10, 2.5, 0.5, 1), tick(11, -2.5, 0.6, 0.5)), tick(12, 7.49, 0.7, 0.49));
    const std::vector<Row> rows{
        {"/orv/tun", with({I(1), I(-7), I(3)}, three), "tun 1 -7 [(10,3,0.5,1)(11,-3,0.6,1)(12,7,0.7,0)]"},
        {"/orv/tun", with({I(1), I(-7), I(3)}, std::vector<V>(three.begin(), three.end() - 1)), ""},
        {"/orv/tun", with({I(1), I(0), I(0)}, three), ""},
        {"/orv/tun", with({I(1), I(0), I(65)}, numbers(260)), ""},
        {"/orv/tun", with({I(1), D(2147483648.0), I(1)}, tick(1, 1, 1, 1)), ""},
        {"/orv/tun", with({I(1), D(kNaN), I(1)}, tick(1, 1, 1, 1)), ""},
        {"/orv/tun", with({I(1), I(0), D(kNaN)}, tick(1, 1, 1, 1)), ""},
        {"/orv/tun", with(with({I(1), I(0), I(2)}, tick(1, kNaN, 1, 1)), tick(2, 5, kInf, 1)), "tun 1 0 []"},
        {"/orv/tun", with(with({I(1), I(0), I(2)}, tick(1, 1e300, 1, 1)), tick(2, 5, 1, 1)), "tun 1 0 [(2,5,1,1)]"},
        {"/orv/tun", with({I(1), I(0), I(1)}, tick(kNaN, 1, 1, 1)), ""},
        {"/orv/tun", with({I(1), I(0), I(1), S("1")}, numbers(3)), ""},
    };
    for (const auto& row : rows) {
        ServerRig rig;
        CallLog log;
        log.attach(rig.server);
        rig.recv(phone(1), row.address, row.args);
        const std::string got = log.lines.empty() ? "" : log.lines.front();
        EXPECT_EQ(got, row.expected) << row.args.size() << " arguments";
    }
    // 64 ticks is the most one batch may carry.
    ServerRig rig;
    CallLog log;
    log.attach(rig.server);
    std::vector<V> args{I(2), I(1), I(64)};
    for (int k = 0; k < 64; ++k) args = with(args, tick(k, k, k, 1));
    rig.recv(phone(1), "/orv/tun", args);
    ASSERT_EQ(log.lines.size(), 1u);
}

TEST(OrvDispatch, RawRecordsReadTheirTailOnlyWhenLongEnough) {
    std::vector<OrvRemoteLink::RawMirror> got;
    ServerRig rig;
    rig.server.onRaw = [&](int, const OrvRemoteLink::RawMirror& r) { got.push_back(r); };
    const auto send = [&](std::vector<V> args) {
        got.clear();
        rig.recv(phone(1), "/orv/raw", with({I(1)}, args));
        return got.empty() ? std::optional<OrvRemoteLink::RawMirror>() : got.front();
    };

    auto r6 = send(numbers(5));
    ASSERT_TRUE(r6);
    EXPECT_EQ(r6->wz, 1);
    EXPECT_EQ(r6->ts, 5);
    EXPECT_EQ(r6->twistDeg, -1.0);
    EXPECT_EQ(r6->scaleK, 1.0);
    EXPECT_TRUE(std::isnan(r6->sensorPos));
    EXPECT_EQ(r6->rotorW, 0);
    EXPECT_FALSE(r6->rotorValid);
    EXPECT_EQ(r6->calibStamp, "");

    // 50 arguments: zoom (argument 49) is read, yawNoiseDeg (argument 50) is not.
    auto r50 = send(numbers(49));
    ASSERT_TRUE(r50);
    EXPECT_EQ(r50->zoom, 49);
    EXPECT_EQ(r50->yawNoiseDeg, 0);
    EXPECT_EQ(r50->sensorPos, 46);

    // The full record: every field from its wire position.
    std::vector<V> full = numbers(57);  // arguments 1..57 hold 1..57
    full[7] = I(1);                     // rotorValid (argument 8)
    full[30] = S("cal-7");              // calibStamp (argument 31)
    full[33] = I(1);                    // sensorCalDone (argument 34)
    full[34] = I(-1);                   // planeSign (argument 35)
    full[42] = I(1);                    // northSuspect (argument 43)
    full[50] = S("jog");                // bridgeMode (argument 51)
    full[51] = I(1);                    // bridgeMuted (argument 52)
    full[53] = D(0.51);                 // zoomAuto (argument 54), a half flag
    full[55] = D(0.5);                  // synthOn (argument 56): not above one half
    auto r = send(full);
    ASSERT_TRUE(r);
    EXPECT_TRUE(r->rotorValid);
    EXPECT_EQ(r->placeFlags, 11);
    EXPECT_EQ(r->northAlpha, 29);
    EXPECT_EQ(r->northTauMs, 30);
    EXPECT_EQ(r->calibStamp, "cal-7");
    EXPECT_TRUE(r->sensorCalDone);
    EXPECT_EQ(r->planeSign, -1);
    EXPECT_EQ(r->fieldDirOff, 42);
    EXPECT_TRUE(r->northSuspect);
    EXPECT_EQ(r->yawNoiseDeg, 50);
    EXPECT_EQ(r->bridgeMode, "jog");
    EXPECT_TRUE(r->bridgeMuted);
    EXPECT_EQ(r->twistDeg, 53);
    EXPECT_TRUE(r->zoomAuto);
    EXPECT_EQ(r->scaleK, 55);
    EXPECT_FALSE(r->synthOn);
    EXPECT_EQ(r->synthOmega, 57);

    // A text in the required head drops the record; in the tail it reads as 0; an integer field that does
    // not fit drops it.
    EXPECT_FALSE(send(with({D(1), S("x")}, numbers(3))));
    auto tailText = numbers(8);
    tailText[5] = S("x");
    ASSERT_TRUE(send(tailText));
    EXPECT_EQ(got.front().rotorW, 0);
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
    sent = rig.sink.take();
    ASSERT_EQ(sent.size(), 1u);
    EXPECT_EQ(sent[0].msg, (OSCMessage{"/orv/slots", {S(""), S("Bob")}}));
    rig.clock.advance(5.0);  // bindStale of an unstarted server
    rig.recv(from, "/orv/slots", {});
    EXPECT_EQ(rig.sink.take()[0].msg, (OSCMessage{"/orv/slots", {S(""), S("")}}));

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
}

TEST(OrvDispatch, BundlesAreHandledInOrder) {
    ServerRig rig;
    CallLog log;
    log.attach(rig.server);
    std::vector<uint8_t> b{'#', 'b', 'u', 'n', 'd', 'l', 'e', 0, 0, 0, 0, 0, 0, 0, 0, 1};
    for (int deck : {1, 2}) {
        const V args[] = {I(deck)};
        const auto m = OSCMessage::encode("/orv/idouble", args);
        const auto n = static_cast<uint32_t>(m.size());
        b.insert(b.end(), {uint8_t(n >> 24), uint8_t(n >> 16), uint8_t(n >> 8), uint8_t(n)});
        b.insert(b.end(), m.begin(), m.end());
    }
    rig.server.handleDatagram(b.data(), b.size(), phone(1), rig.clock.now());
    EXPECT_EQ(log.lines, (std::vector<std::string>{"idouble 1", "idouble 2"}));
}
