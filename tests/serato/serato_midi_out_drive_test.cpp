// Platter motion through the output and the drain: timestamped bytes on the loopback backend.
#include "serato/serato_midi_out.h"

#include "midi_out_rig.h"
#include "serato/serato_emit_messages.h"

#include <gtest/gtest.h>

#include <cmath>
#include <numbers>

namespace plindo::serato {
namespace {

using testing::angleOf;
using testing::Bytes;
using testing::LogLines;
using testing::OutRig;

Bytes bytesOf(const SeratoEmit::MidiBytes& b) { return Bytes(b.begin(), b.end()); }

int count(const std::vector<Bytes>& packets, const Bytes& b) {
    return static_cast<int>(std::count(packets.begin(), packets.end(), b));
}

TEST(SeratoMIDIOutDrive, TwelveFormatQueuesSubStepsThatTheDrainSendsWhenDue) {
    OutRig rig(SeratoOutFormat::twelve);
    rig.activate(1);
    // First sample: no starting point yet, so its position goes out at once.
    rig.out.drive(1, true, angleOf(0), 10.000, 0);
    ASSERT_EQ(rig.packets().size(), 1u);
    EXPECT_EQ(rig.packets()[0], bytesOf(SeratoEmit::stampMessage(1, true, 0, 1000.0, rig.settings)));
    rig.backend.clearSent();

    // 10 ms and 20 ticks later: ten sub-steps 1 ms apart, the last due at previous ts + floor + lead + 10 ms.
    rig.clock.advance(0.010);
    rig.out.drive(1, true, angleOf(20), 10.010, 0);
    EXPECT_EQ(rig.out.jogPendingCount(1), 10u);
    EXPECT_EQ(rig.backend.sentCount(), 0u);
    const double floor = 990.0 + 0.00005;  // latency floor after its creep
    const double lead = 0.010;             // lead scale 1 x the 10 ms sample interval
    const double firstDue = 10.000 + floor + lead + 0.001;

    rig.clock.set(firstDue - 0.0001);
    rig.out.drainTick();
    EXPECT_EQ(rig.backend.sentCount(), 0u) << "not before its due time";
    rig.clock.set(firstDue + 0.0001);
    rig.out.drainTick();
    ASSERT_EQ(rig.packets().size(), 1u);
    EXPECT_EQ(rig.packets()[0], bytesOf(SeratoEmit::stampMessage(1, true, 2, 1000.001, rig.settings)));

    rig.clock.set(firstDue + 0.0095);
    rig.out.drainTick();
    const auto all = rig.packets();
    ASSERT_EQ(all.size(), 10u);
    for (int k = 1; k <= 10; ++k)
        EXPECT_EQ(all[static_cast<std::size_t>(k - 1)],
                  bytesOf(SeratoEmit::stampMessage(1, true, 2.0 * k, 1000.0 + 0.001 * k, rig.settings)));
    EXPECT_EQ(rig.out.jogPendingCount(1), 0u);
}

TEST(SeratoMIDIOutDrive, SubStepCountsAreFixedBoundedOrFlushedBehindABacklog) {
    OutRig rig(SeratoOutFormat::twelve);
    rig.activate(1);
    double ts = 10.0;
    double ticks = 0;
    auto sample = [&](double dTicks) {
        rig.clock.advance(0.010);
        ts += 0.010;
        ticks += dTicks;
        rig.out.drive(1, true, angleOf(ticks), ts, 0);
    };
    rig.out.drive(1, true, angleOf(0), ts, 0);

    rig.settings.subSteps = 3;
    sample(1);
    EXPECT_EQ(rig.out.jogPendingCount(1), 3u) << "fixed count whatever the motion";

    rig.settings.subSteps = 42;
    sample(100);
    EXPECT_EQ(rig.out.jogPendingCount(1), 45u);

    // 45 waiting and n = 10: the backlog is flushed and the position goes out at once.
    rig.settings.subSteps = 10;
    rig.backend.clearSent();
    sample(5);
    EXPECT_EQ(rig.out.jogPendingCount(1), 0u);
    ASSERT_EQ(rig.packets().size(), 1u);
    EXPECT_EQ(rig.packets()[0][3], 0xB0);
    EXPECT_EQ(rig.packets()[0][5], static_cast<uint8_t>(std::llround(ticks) & 0x7F));

    // A huge fixed count is held to 64, so the queue stays bounded.
    rig.settings.subSteps = 1000000;
    sample(5);
    EXPECT_EQ(rig.out.jogPendingCount(1), 64u);
    for (int k = 0; k < 20; ++k) sample(5);
    EXPECT_LE(rig.out.jogPendingCount(1), SeratoMIDIOut::kJogCapacity);
}

TEST(SeratoMIDIOutDrive, JogFormatSplitsDeltasAndReleaseSendsOnlyTheTouchNote) {
    OutRig rig(SeratoOutFormat::jog);
    rig.activate(1);
    std::shared_ptr<platform::MidiSource> src = rig.backend.createSource("jog", 7);
    rig.out.jogSend(0, 1, true, src);
    EXPECT_EQ(rig.take(), (std::vector<Bytes>{{0x90, 0x06, 0x7F}}));

    rig.out.jogSend(200, 1, true, src);
    EXPECT_EQ(rig.take(),
              (std::vector<Bytes>{{0xB0, 0x06, 127}, {0xB0, 0x06, 127}, {0xB0, 0x06, 127}, {0xB0, 0x06, 75}}));

    rig.out.jogSend(150, 1, true, src);  // 50 back: 64 - 50
    EXPECT_EQ(rig.take(), (std::vector<Bytes>{{0xB0, 0x06, 14}}));

    // More than 16 chunks: the rest goes out with the next call.
    rig.out.jogSend(150 + 2000, 1, true, src);
    EXPECT_EQ(rig.take().size(), 16u);
    rig.out.jogSend(150 + 2000, 1, true, src);
    EXPECT_EQ(rig.take().size(), 16u);  // 992 = 15 x 63 + 47

    rig.out.jogSend(9999, 1, false, src);
    EXPECT_EQ(rig.take(), (std::vector<Bytes>{{0x90, 0x06, 0x00}}));
    for (double bad : {std::nan(""), HUGE_VAL, 1e12})
        rig.out.jogSend(bad, 1, true, src);
    rig.out.jogSend(5, 3, true, src);
    EXPECT_EQ(rig.backend.sentCount(), 0u);
}

// Feeds one phone frame every 10 ms and ticks the drain every millisecond for `seconds`.
void runFrames(OutRig& rig, double seconds, double& ts, double& ticks, double ticksPerSecond) {
    for (int f = 0; f < static_cast<int>(seconds * 100); ++f) {
        ts += 0.010;
        ticks += ticksPerSecond * 0.010;
        const SeratoEmit::Sample s{angleOf(ticks), ts};
        rig.out.feed(1, std::span(&s, 1), ticksPerSecond / 2000.0);
        for (int k = 0; k < 10; ++k) {
            rig.clock.advance(0.001);
            rig.out.drainTick();
        }
    }
}

TEST(SeratoMIDIOutDrive, TheDrainStepsTheEmitterOnlyInJogFormatsAndOutsideTheDirectWindow) {
    {
        OutRig rig(SeratoOutFormat::twelve);
        rig.settings.tuning.store(SeratoEmit::Tuning::defaults());  // with a planning delay the cursor keeps up
        rig.activate(1);
        double ts = 50, ticks = 0;
        runFrames(rig, 0.3, ts, ticks, 2000);
        const auto packets = rig.packets();
        ASSERT_GT(packets.size(), 50u);
        for (const auto& p : packets) EXPECT_EQ(p[0], 0xE0);
        // Each message is delivered at its own stamp: host times in order and within the run.
        const auto sent = rig.backend.sent();
        for (std::size_t k = 1; k < sent.size(); ++k) EXPECT_GE(sent[k].hostTimeNs, sent[k - 1].hostTimeNs);
        EXPECT_GT(sent.front().hostTimeNs, static_cast<int64_t>(999.9e9));
        EXPECT_LE(sent.back().hostTimeNs, static_cast<int64_t>(rig.clock.now() * 1e9) + 1);
        EXPECT_GT(rig.out.emitState(1).emitPos, 450) << rig.out.emitState(1).emitPos;

        // A drive opens the direct window: for 0.5 s the emitter is left alone.
        rig.out.drive(1, true, angleOf(ticks), ts, 0);
        const double cursor = rig.out.emitState(1).tEmit;
        runFrames(rig, 0.3, ts, ticks, 2000);
        EXPECT_EQ(rig.out.emitState(1).tEmit, cursor);
    }
    {
        OutRig rig(SeratoOutFormat::rel);
        rig.activate(1);
        double ts = 50, ticks = 0;
        runFrames(rig, 0.3, ts, ticks, 2000);
        EXPECT_EQ(rig.backend.sentCount(), 0u) << "rel: only drive sends motion";
    }
}

TEST(SeratoMIDIOutDrive, TheRateReportWaitsASecondAndNamesOnlyDecksThatSent) {
    LogLines log("serato-midi");
    OutRig rig(SeratoOutFormat::twelve);
    rig.activate(1);
    double ts = 50, ticks = 0;
    runFrames(rig, 0.9, ts, ticks, 2000);
    EXPECT_FALSE(log.hasPrefix("serato drive deck"));
    runFrames(rig, 1.5, ts, ticks, 2000);
    EXPECT_TRUE(log.hasPrefix("serato drive deck 1: "));
    EXPECT_FALSE(log.hasPrefix("serato drive deck 2"));
}

TEST(SeratoMIDIOutDrive, TheDrainSendsTheTwelveKeepAliveAtMostEvery300ms) {
    OutRig rig(SeratoOutFormat::twelve);
    rig.activate(1);
    rig.settings.engaged[0] = true;
    const Bytes ka{0x90, 0x34, 0x7F};
    auto tickAt = [&](double dt) {
        rig.clock.advance(dt);
        rig.settings.movingUntil[0] = rig.clock.now() + 1;
        rig.settings.lastDriveWall[0] = rig.clock.now();
        rig.out.drainTick();
        return count(rig.packets(), ka);
    };
    EXPECT_EQ(tickAt(0.001), 1);
    EXPECT_EQ(tickAt(0.1), 1);
    EXPECT_EQ(tickAt(0.25), 2);
    rig.settings.engaged[0] = false;
    EXPECT_EQ(tickAt(0.5), 2);
    rig.settings.engaged[0] = true;
    rig.settings.twelveFlag = false;
    EXPECT_EQ(tickAt(0.5), 2);
}

TEST(SeratoMIDIOutDrive, RelFormatSendsMotionWithTouchPulsesAndKeepsAStillPlatterQuiet) {
    OutRig rig(SeratoOutFormat::rel);
    rig.activate(1);
    const Bytes pulse{0x90, 0x37, 0x7F, 0x90, 0x37, 0x00, 0x90, 0x34, 0x7F};
    double ts = 20, ticks = 0;
    auto sample = [&](double dTicks, double dt = 0.010) {
        rig.clock.advance(dt);
        ts += dt;
        ticks += dTicks;
        rig.out.drive(1, true, angleOf(ticks, 36000), ts, 0);
    };
    rig.out.drive(1, true, angleOf(0, 36000), ts, 0);
    EXPECT_EQ(rig.backend.sentCount(), 0u) << "a platter at rest sends nothing";

    for (int k = 0; k < 100; ++k) sample(10);  // one second of motion
    const auto moving = rig.packets();
    EXPECT_EQ(count(moving, pulse), 2) << "a pulse at most every 0.5 s";
    EXPECT_EQ(moving.size(), 102u);
    EXPECT_TRUE(rig.out.isMoving(0, rig.clock.now()));
    const auto state = rig.out.emitState(1);
    EXPECT_EQ(moving.back(), bytesOf(SeratoEmit::relativeMessage(1, 10, state.lastSentStamp, rig.settings)));

    // Still for longer than the 5 s hold: then nothing goes out, and sendRest sends the rest message.
    for (int k = 0; k < 60; ++k) sample(0, 0.1);
    rig.backend.clearSent();
    for (int k = 0; k < 5; ++k) sample(0);
    EXPECT_FALSE(rig.out.isMoving(0, rig.clock.now()));
    EXPECT_EQ(rig.backend.sentCount(), 0u);

    const double lastStamp = rig.out.emitState(1).lastSentStamp;
    const double lastMotion = rig.settings.lastMotionWall[0].load();
    rig.clock.advance(0.2);
    rig.out.sendRest(1);
    const double restStamp = lastStamp + (rig.clock.now() - lastMotion);
    EXPECT_EQ(rig.packets(), (std::vector<Bytes>{bytesOf(SeratoEmit::relativeMessage(1, 0, restStamp, rig.settings))}));
    EXPECT_EQ(rig.packets()[0].size(), 3u);

    rig.settings.movementGate = false;
    EXPECT_TRUE(rig.out.isMoving(0, -1e9));
    EXPECT_TRUE(rig.out.isMoving(1, 1e9));
    EXPECT_FALSE(rig.out.isMoving(2, 0));
}

TEST(SeratoMIDIOutDrive, AFreshDirectWindowContinuesWhereTheDeckStood) {
    OutRig rig(SeratoOutFormat::phone);
    rig.activate(1);
    auto position = [](const Bytes& b) { return (b.at(5) << 7) | b.at(8); };
    rig.out.drive(1, true, angleOf(100, 7200), 5.0, 0);
    rig.clock.advance(0.01);
    rig.out.drive(1, true, angleOf(150, 7200), 5.01, 0);
    auto packets = rig.packets();
    ASSERT_EQ(packets.size(), 2u);
    EXPECT_EQ(position(packets[0]), 0) << "the first direct tick continues the emitter's position";
    EXPECT_EQ(position(packets[1]), 50);
    const double prevStamp = rig.out.emitState(1).lastSentStamp;

    // After a pause longer than the window the platter jumped; the deck does not.
    auto tuning = rig.settings.tuning.load();
    tuning.delay = 2.0;  // puts now - delay behind the last stamp, so the minimum step decides
    rig.settings.tuning.store(tuning);
    rig.clock.advance(1.0);
    rig.backend.clearSent();
    rig.out.drive(1, true, angleOf(1000, 7200), 6.01, 0);
    packets = rig.packets();
    ASSERT_EQ(packets.size(), 1u);
    EXPECT_EQ(position(packets[0]), 50);
    EXPECT_GE(rig.out.emitState(1).lastSentStamp, prevStamp + tuning.minStep - 1e-9);
}

TEST(SeratoMIDIOutDrive, UnusableNumbersAndSwitchedOffDecksSendNothing) {
    OutRig rig(SeratoOutFormat::rel);
    rig.out.drive(1, true, angleOf(10, 36000), 1, 0);  // deck off
    rig.activate(1);
    rig.out.drive(1, true, std::nan(""), 1, 0);
    rig.out.drive(1, true, 0, INFINITY, 0);
    rig.out.drive(1, true, 1e9, 1, 0);
    rig.out.drive(0, true, 0, 1, 0);
    rig.out.drive(3, true, 0, 1, 0);
    // A ticks-per-turn setting that makes no integer must not reach the conversions.
    for (double perTurn : {std::nan(""), HUGE_VAL, 1e300}) {
        rig.settings.ticksPerRev = perTurn;
        rig.out.drive(1, true, 1.0, 1, 0);
        rig.out.drive(1, true, 2.0, 1.01, 0);
    }
    const SeratoEmit::Sample bad[] = {{std::nan(""), 1}, {1, INFINITY}};
    rig.out.feed(1, bad, std::nan(""));
    rig.out.feed(1, bad, 1e300);
    rig.out.feed(5, bad, 1);
    rig.out.feed(1, {}, 1);
    EXPECT_EQ(rig.backend.sentCount(), 0u);
}

// One stamp from beyond any phone clock, between ordinary frames, must leave what is sent (bytes and send
// stamps) exactly as without it: taken in, it would make later stamps unencodable and pin the latency floor.
TEST(SeratoMIDIOutDrive, AStampBeyondAnyClockBetweenFramesChangesNothingSent) {
    auto run = [](uint8_t format, const std::vector<double>& strayStamps) {
        OutRig rig(format);
        rig.activate(1);
        const double perTurn = (format == SeratoOutFormat::rel || format == SeratoOutFormat::phone) ? rig.settings.ticksPerRev.load() : 3600.0;
        double ts = 50.0, ticks = 0;
        for (int frame = 0; frame < 40; ++frame) {
            ts += 0.01;
            ticks += 25;
            rig.out.drive(1, true, angleOf(ticks, perTurn), ts, 0);
            if (frame == 20)
                for (double stray : strayStamps) rig.out.drive(1, true, angleOf(ticks + 500, perTurn), stray, 0);
            for (int k = 0; k < 10; ++k) {
                rig.clock.advance(0.001);
                rig.out.drainTick();
            }
        }
        return std::pair(rig.packets(), rig.out.jitStats(1).p99);
    };
    for (uint8_t format : {SeratoOutFormat::twelve, SeratoOutFormat::jog, SeratoOutFormat::phone, SeratoOutFormat::rel}) {
        const auto plain = run(format, {});
        ASSERT_GT(plain.first.size(), 30u) << "format " << int(format);
        const auto stray = run(format, {1e15, -1e15, 1e12, -1e12, std::nan(""), -INFINITY});
        EXPECT_EQ(stray.first, plain.first) << "format " << int(format);
        EXPECT_EQ(stray.second, plain.second) << "format " << int(format);
    }
}

TEST(SeratoMIDIOutDrive, RadianFormatSendsTheIndicator) {
    OutRig rig(SeratoOutFormat::radian);
    rig.activate(1);
    rig.out.drive(1, false, -std::numbers::pi, 1.0, 1.0);
    EXPECT_EQ(rig.packets(), (std::vector<Bytes>{{0xB0, 0x10, 64, 0xB0, 0x18, 1}}));
}

TEST(SeratoMIDIOutDrive, TheRealtimeDrainDeliversQueuedStepsOnTime) {
    LogLines log("serato-midi");
    platform::LoopbackMidiBackend backend;
    SeratoOutSettings settings;
    settings.format = SeratoOutFormat::twelve;
    MIDIBridgeClient bridge(1);
    SeratoMIDIOut out(backend, bridge, settings, platform::systemClock(), SeratoMIDIOutOptions{true, false});
    out.setActive(1, true);
    ASSERT_TRUE(out.drainRunning());
    backend.clearSent();

    const double t0 = platform::mediaNow();
    out.drive(1, true, angleOf(0), 1.0, 0);
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
    out.drive(1, true, angleOf(20), 1.0 + (platform::mediaNow() - t0), 0);
    testing::waitUntil([&] { return backend.sentCount() >= 11; }, 2.0);
    EXPECT_EQ(backend.sentCount(), 11u);
    EXPECT_EQ(out.jogPendingCount(1), 0u);
    EXPECT_LT(platform::mediaNow() - t0, 1.5);

    out.setActive(1, false);
    EXPECT_FALSE(out.drainRunning());
    EXPECT_TRUE(testing::waitUntil([&] { return log.hasPrefix("serato drain realtime thread: policy "); }, 2.0));

    // The timer road ticks as well.
    out.setRealtimeDrain(false);
    out.setActive(1, true);
    EXPECT_TRUE(out.drainRunning());
    out.setActive(1, false);
}

}  // namespace
}  // namespace plindo::serato
