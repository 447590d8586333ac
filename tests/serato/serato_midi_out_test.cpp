#include "serato/serato_midi_out.h"

#include "midi_out_rig.h"

#include <gtest/gtest.h>

#include <cmath>

namespace plindo::serato {
namespace {

using testing::BridgeEnabled;
using testing::BridgePeer;
using testing::Bytes;
using testing::LogLines;
using testing::OutRig;

TEST(SeratoMIDIOut, PortsComeUpOnceUnderTheFixedPortAndTheKeepAliveStartsOnce) {
    LogLines log("serato-midi");
    OutRig rig;
    rig.out.ensurePorts();
    EXPECT_TRUE(rig.out.portsUp());
    EXPECT_FALSE(rig.out.keepAliveStarted());
    rig.out.ensurePorts();
    rig.out.ensurePorts();
    EXPECT_TRUE(rig.out.keepAliveStarted());

    const auto eps = rig.backend.endpoints();
    ASSERT_EQ(eps.size(), 1u);
    EXPECT_EQ(eps[0].name, "Plindo MIDI Bridge");
    EXPECT_EQ(eps[0].port, SeratoMIDIOut::kSourcePort);
    EXPECT_TRUE(eps[0].isSource);
    EXPECT_EQ(log.count("virtual MIDI port 'Plindo MIDI Bridge' up"), 1);
}

TEST(SeratoMIDIOut, TimestampsFollowTheStampMode) {
    struct Case {
        int64_t mode;
        double stamp;
        bool now;
        int64_t expectNs;  // -1: about the current host time
    };
    const Case cases[] = {
        {2, 1000.005, false, 1'000'005'000'000},
        {2, -3.0, false, 0},
        {2, std::nan(""), false, 0},
        {2, INFINITY, false, 0},
        {2, 1000.005, true, -1},
        {1, 1000.005, false, -1},
        {0, 1000.005, false, 0},
        {0, 1000.005, true, 0},
    };
    OutRig rig;
    std::shared_ptr<platform::MidiSource> own = rig.backend.createSource("probe", 9);
    for (const auto& c : cases) {
        rig.settings.timestampMode = c.mode;
        rig.backend.clearSent();
        const int64_t before = platform::hostTimeNs();
        ASSERT_TRUE(rig.out.send(Bytes{0x90, 0x06, 0x7F}, own, c.stamp, c.now));
        const int64_t after = platform::hostTimeNs();
        const auto sent = rig.backend.sent();
        ASSERT_EQ(sent.size(), 1u);
        if (c.expectNs < 0) {
            EXPECT_GE(sent[0].hostTimeNs, before);
            EXPECT_LE(sent[0].hostTimeNs, after);
        } else {
            EXPECT_EQ(sent[0].hostTimeNs, c.expectNs) << c.mode << " " << c.stamp;
        }
    }
}

TEST(SeratoMIDIOut, WithoutASequencerThePartIdlesAndRecoversWhenOneAppears) {
    LogLines log("serato-midi");
    OutRig rig;
    rig.backend.setAvailable(false);
    rig.out.touch(1, true);
    rig.out.pitch(1, 1.0);
    rig.out.setActive(1, true);
    EXPECT_FALSE(rig.out.portsUp());
    EXPECT_FALSE(rig.out.drainRunning());
    EXPECT_EQ(rig.backend.sentCount(), 0u);
    EXPECT_EQ(log.count("MIDIClientCreate failed: -19 (loopback MIDI switched off)"), 1) << "reported once";

    // The deck switched on while the port was missing gets its drain once the port comes up.
    rig.backend.setAvailable(true);
    rig.out.touch(1, true);
    EXPECT_TRUE(rig.out.portsUp());
    EXPECT_TRUE(rig.out.drainRunning());
    EXPECT_EQ(rig.packets(), (std::vector<Bytes>{{0x90, 0x06, 0x7F}}));
}

TEST(SeratoMIDIOut, SendFailuresAndOversizePacketsAreLoggedNotReportedAsSent) {
    LogLines log("serato-midi");
    OutRig rig;
    rig.out.ensurePorts();
    std::shared_ptr<platform::MidiSource> src = rig.backend.createSource("spare", 5);
    rig.backend.setSendError(-5);
    EXPECT_FALSE(rig.out.send(Bytes{0x90, 1, 2}, src, 0, true));
    EXPECT_EQ(log.count("MIDIReceived failed: -5"), 1);
    rig.backend.setSendError(0);
    rig.backend.setPacketLimit(256);
    EXPECT_FALSE(rig.out.send(Bytes(300, 0x01), src, 0, true));
    EXPECT_EQ(log.count("MIDIPacketListAdd overflow (300 bytes)"), 1);
    EXPECT_FALSE(rig.out.send(Bytes{}, src, 0, true));
    EXPECT_TRUE(rig.out.send(Bytes{0x90, 1, 2}, src, 0, true));
}

// A fast "rel" movement makes one long packet of delta controllers. It goes whole where the port takes it,
// else in packets split between messages; a message the port cannot take at all costs one log line, also
// from the drain, whose lines go through its ring.
TEST(SeratoMIDIOut, LongPacketsGoWholeOrSplitBetweenMessagesAndTooLargeOnesAreLogged) {
    const int64_t fast = 10'000;  // ticks in one drive call: 159 delta controllers
    auto driveFast = [&](OutRig& rig) {
        rig.activate(1);
        rig.out.drive(1, true, testing::angleOf(0, 36000), 5.0, 0);
        rig.clock.advance(0.01);
        rig.backend.clearSent();
        rig.out.drive(1, true, testing::angleOf(static_cast<double>(fast), 36000), 5.01, 0);
        const auto packets = rig.take();
        // Drop the touch pulse: what is left is the relative message.
        return std::vector<Bytes>(packets.begin() + 1, packets.end());
    };
    auto deltaOf = [](const std::vector<Bytes>& packets) {
        int64_t sum = 0;
        for (const Bytes& p : packets)
            for (std::size_t i = 0; i + 2 < p.size(); i += 3)
                if (p[i] == 0xB0 && p[i + 1] == 0x06) sum += p[i + 2] >= 64 ? p[i + 2] - 128 : p[i + 2];
        return sum;
    };

    {
        OutRig rig;
        const auto packets = driveFast(rig);
        ASSERT_EQ(packets.size(), 1u);
        EXPECT_EQ(packets[0].size(), 3u + 159 * 3);
        EXPECT_EQ(deltaOf(packets), fast);
    }
    for (std::size_t limit : {256u, 7u, 3u}) {
        OutRig rig;
        rig.backend.setPacketLimit(limit);
        const auto packets = driveFast(rig);
        ASSERT_GT(packets.size(), 1u) << limit;
        for (const Bytes& p : packets) {
            EXPECT_LE(p.size(), limit);
            EXPECT_EQ(p.size() % 3, 0u) << "split only between messages";
            EXPECT_GE(p.front(), 0x80);
        }
        EXPECT_EQ(deltaOf(packets), fast) << limit;
    }
    {
        LogLines log("serato-midi");
        OutRig rig;
        rig.backend.setPacketLimit(256);
        rig.out.ensurePorts();
        std::shared_ptr<platform::MidiSource> src = rig.backend.createSource("spare", 5);
        Bytes sysex(300, 0x01);
        sysex.front() = 0xF0;
        sysex.back() = 0xF7;
        Bytes mixed = {0x90, 0x3C, 0x7F};
        mixed.insert(mixed.end(), sysex.begin(), sysex.end());
        mixed.insert(mixed.end(), {0x80, 0x3C, 0x00});
        EXPECT_FALSE(rig.out.send(mixed, src, 0, true));
        EXPECT_EQ(log.count("MIDIPacketListAdd overflow (300 bytes)"), 1);
        EXPECT_EQ(rig.packets(), (std::vector<Bytes>{{0x90, 0x3C, 0x7F}, {0x80, 0x3C, 0x00}})) << "the others still go";
    }
    {  // From the drain: a jog sub-step whose message the port cannot take.
        LogLines log("serato-midi");
        OutRig rig(SeratoOutFormat::twelve);
        rig.activate(1);
        rig.backend.setPacketLimit(2);
        rig.out.drive(1, true, testing::angleOf(0), 5.0, 0);
        rig.clock.advance(0.01);
        rig.out.drive(1, true, testing::angleOf(2), 5.01, 0);
        ASSERT_EQ(rig.out.jogPendingCount(1), 1u);
        rig.clock.advance(0.05);
        rig.out.drainTick();
        EXPECT_EQ(rig.out.jogPendingCount(1), 0u);
        EXPECT_EQ(rig.backend.sentCount(), 0u);
        EXPECT_GE(log.count("MIDIPacketListAdd overflow (3 bytes)"), 1);
    }
}

TEST(SeratoMIDIOut, SwitchingDecksInitialisesOnceAndRunsTheDrainWhileAnyIsOn) {
    LogLines log("serato-midi");
    OutRig rig;
    rig.out.setActive(1, true);
    rig.out.setActive(1, true);
    EXPECT_EQ(log.count("serato deck 1 phone init (54/55/52, Glaettung 6) sent"), 1);
    EXPECT_EQ(log.count("serato dummy deck 1 ACTIVE"), 1);
    EXPECT_EQ(rig.backend.sentCount(), 6u);
    EXPECT_TRUE(rig.out.isActive(1));
    EXPECT_FALSE(rig.out.isActive(2));
    EXPECT_FALSE(rig.out.isActive(3));
    EXPECT_TRUE(rig.out.drainRunning());

    rig.out.setActive(2, true);
    rig.out.setActive(1, false);
    EXPECT_TRUE(rig.out.drainRunning());
    rig.out.setActive(2, false);
    EXPECT_FALSE(rig.out.drainRunning());
    EXPECT_EQ(log.count("serato dummy deck 2 off"), 1);
    rig.out.setActive(2, true);
    EXPECT_TRUE(rig.out.drainRunning());
    EXPECT_FALSE(rig.out.emitState(1).active);
}

TEST(SeratoMIDIOut, KeepAliveNotesGoOnlyToEngagedMovingDecks) {
    OutRig rig;
    rig.activate(1);
    rig.activate(2);
    const double now = rig.clock.now();
    auto moving = [&](std::size_t i) {
        rig.settings.movingUntil[i] = now + 1;
        rig.settings.lastDriveWall[i] = now - 0.1;
        rig.settings.lastMotionWall[i] = now - 0.1;
    };
    moving(0);
    moving(1);
    rig.settings.engaged[0] = true;
    rig.settings.engaged[1] = false;
    rig.out.keepAliveTick();
    EXPECT_EQ(rig.packets(), (std::vector<Bytes>{{0x90, 0x34, 0x7F}}));

    struct Case {
        const char* what;
        std::function<void()> change;
    };
    const Case silent[] = {
        {"keep-alive off", [&] { rig.settings.keepAliveMode = 2; }},
        {"format twelve", [&] { rig.settings.format = SeratoOutFormat::twelve; }},
        {"no motion for 1.5 s", [&] { rig.settings.lastMotionWall[0] = now - 1.6; }},
        {"not moving", [&] { rig.settings.movingUntil[0] = now - 0.1; }},
        {"drive stalled", [&] { rig.settings.lastDriveWall[0] = now - 3.5; }},
    };
    for (const auto& c : silent) {
        rig.settings.keepAliveMode = 0;
        rig.settings.format = SeratoOutFormat::rel;
        moving(0);
        c.change();
        rig.backend.clearSent();
        rig.out.keepAliveTick();
        EXPECT_EQ(rig.backend.sentCount(), 0u) << c.what;
    }
    // The gate switched off lets an engaged deck's note through without motion, but not without drive.
    rig.settings.keepAliveMode = 0;
    rig.settings.format = SeratoOutFormat::rel;
    rig.settings.movementGate = false;
    rig.settings.movingUntil[0] = 0;
    rig.settings.lastMotionWall[0] = now - 0.5;
    rig.backend.clearSent();
    rig.out.keepAliveTick();
    EXPECT_EQ(rig.backend.sentCount(), 1u);
}

TEST(SeratoMIDIOut, TeardownCentresTheRadianControllersAndReleasesThePort) {
    LogLines log("serato-midi");
    OutRig rig;
    rig.out.ensurePorts();
    rig.out.teardown();
    EXPECT_EQ(rig.packets(), (std::vector<Bytes>{{0xB0, 0x18, 0x40, 0xB0, 0x38, 0x00}, {0xB1, 0x18, 0x40, 0xB1, 0x38, 0x00}}));
    EXPECT_EQ(log.count("serato radian: Null gesendet vor dem Abbau"), 1);
    EXPECT_EQ(log.count("virtual MIDI port 'Plindo MIDI Bridge' released"), 1);
    EXPECT_FALSE(rig.out.portsUp());
    EXPECT_TRUE(rig.backend.endpoints().empty());
}

TEST(SeratoMIDIOut, WithTheBridgeUpEveryMessageLeavesAsADatagramAndNoPortIsMade) {
    BridgeEnabled on(true);
    BridgePeer peer;
    LogLines log("serato-midi");
    OutRig rig(SeratoOutFormat::rel, peer.port());
    rig.out.ensurePorts();
    EXPECT_TRUE(rig.out.viaBridge());
    EXPECT_TRUE(rig.out.portsUp());
    EXPECT_TRUE(rig.backend.endpoints().empty());
    EXPECT_EQ(log.count("serato wire via PlindoMIDIBridge"), 1);

    rig.out.touch(2, true);
    EXPECT_EQ(peer.waitFor(1), (std::vector<Bytes>{{0x01, 0x91, 0x06, 0x7F}}));

    rig.out.teardown();
    EXPECT_EQ(log.count("virtual MIDI port 'Plindo MIDI Bridge' released"), 0);
}

}  // namespace
}  // namespace plindo::serato
