#include "platform/midi_backend.h"

#include "platform/realtime_thread.h"

#include <gtest/gtest.h>

#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <thread>

namespace plindo::platform {
namespace {

using Bytes = std::vector<uint8_t>;

TEST(LoopbackMidiBackend, SourcesRecordAndDestinationsReceiveUnderFixedPorts) {
    LoopbackMidiBackend backend;
    EXPECT_TRUE(backend.available());
    auto src = backend.createSource("Out", 0);
    ASSERT_TRUE(src);
    EXPECT_EQ(src->port(), 0);
    EXPECT_EQ(backend.createSource("Other", 0), nullptr) << "a port number is one endpoint";

    std::vector<std::pair<Bytes, int64_t>> got;
    auto dst = backend.createDestination("In", "InClient", 1, [&](std::span<const uint8_t> b, int64_t t) {
        got.emplace_back(Bytes(b.begin(), b.end()), t);
    });
    ASSERT_TRUE(dst);

    const auto eps = backend.endpoints();
    ASSERT_EQ(eps.size(), 2u);
    EXPECT_TRUE(eps[0].isSource);
    EXPECT_EQ(eps[1].clientName, "InClient");
    EXPECT_TRUE(eps[1].isDestination);

    EXPECT_EQ(src->send(Bytes{0x90, 1, 2}, 42), 0);
    EXPECT_EQ(src->send(Bytes{}, 0), -EINVAL);
    ASSERT_EQ(backend.sent().size(), 1u);
    EXPECT_EQ(backend.sent()[0].bytes, (Bytes{0x90, 1, 2}));
    EXPECT_EQ(backend.sent()[0].hostTimeNs, 42);
    EXPECT_EQ(backend.sent()[0].source, "Out");

    EXPECT_TRUE(backend.inject(1, Bytes{0xF0, 0x7E, 0xF7}, 7));
    EXPECT_FALSE(backend.inject(0, Bytes{0x90}, 7)) << "a source takes no input";
    EXPECT_FALSE(backend.inject(9, Bytes{0x90}, 7));
    ASSERT_EQ(got.size(), 1u);
    EXPECT_EQ(got[0].first, (Bytes{0xF0, 0x7E, 0xF7}));
    EXPECT_EQ(got[0].second, 7);

    dst.reset();
    EXPECT_FALSE(backend.inject(1, Bytes{0x90, 1, 1}));
    EXPECT_EQ(backend.endpoints().size(), 1u);
}

TEST(LoopbackMidiBackend, FailuresAndTheRecordLimit) {
    LoopbackMidiBackend backend;
    backend.setAvailable(false);
    EXPECT_FALSE(backend.available());
    EXPECT_EQ(backend.createSource("Out", 0), nullptr);
    EXPECT_EQ(backend.createDestination("In", "C", 1, {}), nullptr);
    EXPECT_FALSE(backend.status().empty());
    backend.setAvailable(true);

    auto src = backend.createSource("Out", 0);
    backend.setSendError(-5);
    EXPECT_EQ(src->send(Bytes{0x90, 1, 2}, 0), -5);
    EXPECT_EQ(backend.sentCount(), 0u);
    backend.setSendError(0);

    backend.setRecordLimit(3);
    for (uint8_t k = 0; k < 5; ++k) src->send(Bytes{0x90, k, 1}, k);
    EXPECT_EQ(backend.sentCount(), 5u);
    const auto kept = backend.sent();
    ASSERT_EQ(kept.size(), 3u);
    EXPECT_EQ(kept[0].bytes[1], 2) << "the oldest go first";
    EXPECT_EQ(kept[2].bytes[1], 4);

    // A port that outlives its backend stays harmless.
    auto late = std::make_unique<LoopbackMidiBackend>();
    auto orphan = late->createSource("Orphan", 3);
    late.reset();
    EXPECT_EQ(orphan->send(Bytes{0x90, 1, 2}, 0), 0);
}

TEST(LoopbackMidiBackend, ADestinationBeingDestroyedWaitsForARunningDelivery) {
    LoopbackMidiBackend backend;
    std::atomic<bool> inside{false}, release{false}, finished{false};
    auto dst = backend.createDestination("In", "C", 1, [&](std::span<const uint8_t>, int64_t) {
        inside = true;
        while (!release) std::this_thread::yield();
        finished = true;
    });
    std::thread injector([&] { backend.inject(1, Bytes{0x90, 1, 1}); });
    while (!inside) std::this_thread::yield();
    std::thread destroyer([&] { dst.reset(); });
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    release = true;
    destroyer.join();
    EXPECT_TRUE(finished);
    injector.join();
}

TEST(AlsaMidiBackend, WithoutASequencerItIdlesWithAStatusLine) {
    auto backend = makeSystemMidiBackend();
    if (access("/dev/snd/seq", R_OK | W_OK) == 0) GTEST_SKIP() << "a sequencer is present; see the next test";
    EXPECT_FALSE(backend->available());
    EXPECT_NE(backend->status().find("/dev/snd/seq"), std::string::npos) << backend->status();
    EXPECT_EQ(backend->createSource("Plindo test", 0), nullptr);
    EXPECT_EQ(backend->createDestination("Plindo test", "Plindo test in", 0, {}), nullptr);
    EXPECT_TRUE(backend->endpoints().empty());
}

TEST(AlsaMidiBackend, SourceToDestinationThroughTheSequencer) {
    if (access("/dev/snd/seq", R_OK | W_OK) != 0) GTEST_SKIP() << "no ALSA sequencer on this machine";
    auto backend = makeSystemMidiBackend();
    ASSERT_TRUE(backend->available()) << backend->status();
    std::mutex m;
    std::vector<Bytes> got;
    auto dst = backend->createDestination("Plindo smoke in", "Plindo smoke in", 3, [&](std::span<const uint8_t> b, int64_t) {
        std::lock_guard g(m);
        got.emplace_back(b.begin(), b.end());
    });
    auto src = backend->createSource("Plindo smoke out", 2);
    ASSERT_TRUE(dst);
    ASSERT_TRUE(src);
    bool listed = false;
    for (const auto& e : backend->endpoints())
        if (e.name == "Plindo smoke out" && e.port == 2 && e.isSource) listed = true;
    EXPECT_TRUE(listed);
    // Nothing is subscribed, so a send only has to succeed; scheduled ones too.
    EXPECT_EQ(src->send(Bytes{0x90, 0x40, 0x7F}, 0), 0);
    EXPECT_EQ(src->send(Bytes{0x80, 0x40, 0x00, 0xB0, 0x07, 0x10}, hostTimeNs() + 5'000'000), 0);
    EXPECT_EQ(src->send(Bytes{0xF0, 0x7E, 0x7F, 0x06, 0x01, 0xF7}, 0), 0);
    EXPECT_NE(src->send(Bytes{0xF0, 0x7E, 0x7F}, 0), 0) << "a truncated SysEx is reported, not lost silently";
}

// Where a packet may be split: after a status byte and its data bytes, or after a SysEx's end byte.
TEST(MidiMessageLength, EndsWhereTheNextMessageBegins) {
    const struct {
        Bytes bytes;
        std::size_t length;
    } cases[] = {
        {{}, 0},
        {{0x90, 0x3C, 0x7F, 0xB0, 0x06, 0x01}, 3},
        {{0xC0, 0x05, 0x90}, 2},
        {{0xB0, 0x06, 0x01, 0x06, 0x02, 0x90}, 5},  // running status stays with its status byte
        {{0xF8, 0x90, 0x3C, 0x7F}, 1},              // a real-time byte alone
        {{0xF0, 0x01, 0xF8, 0x02, 0xF7, 0x90}, 5},  // real-time inside a SysEx does not end it
        {{0xF0, 0x01, 0x02, 0x90, 0x3C}, 3},        // an unterminated SysEx ends at the next status
        {{0xF0, 0x01, 0x02}, 3},
        {{0x01, 0x02, 0x03, 0x90}, 3},               // stray data bytes count as one message
    };
    for (const auto& c : cases) EXPECT_EQ(midiMessageLength(c.bytes), c.length) << ::testing::PrintToString(c.bytes);
}

TEST(LoopbackMidiBackend, APacketLimitRefusesLongerSends) {
    LoopbackMidiBackend backend;
    auto src = backend.createSource("Out", 0);
    EXPECT_EQ(src->send(Bytes(5000, 0x01), 0), 0) << "no limit unless one is set";
    backend.setPacketLimit(6);
    EXPECT_EQ(src->maxPacketBytes(), 6u);
    EXPECT_EQ(src->send(Bytes{0x90, 1, 2, 0x80, 1, 0}, 0), 0);
    EXPECT_EQ(src->send(Bytes{0x90, 1, 2, 0x80, 1, 0, 0xF8}, 0), -EMSGSIZE);
    EXPECT_EQ(backend.sentCount(), 2u);
}

TEST(RealtimeThread, SleepsToAbsoluteDeadlinesAndReportsItsPolicy) {
    const int64_t t0 = hostTimeNs();
    sleepUntilNs(t0 + 3'000'000);
    EXPECT_GE(hostTimeNs(), t0 + 3'000'000);
    const int64_t t1 = hostTimeNs();
    sleepUntilNs(t1 - 1'000'000);  // passed: returns at once
    sleepUntilNs(0);
    EXPECT_LT(hostTimeNs() - t1, 2'000'000);

    std::atomic<int> ticks{0};
    RealtimeGrant seen;
    std::thread t = startRealtimeThread("plindo-rt-test", 1'000'000, [&](RealtimeGrant g) {
        seen = g;
        int64_t next = hostTimeNs();
        for (int k = 0; k < 20; ++k) {
            next += 1'000'000;
            sleepUntilNs(next);
            ++ticks;
        }
    });
    t.join();
    EXPECT_EQ(ticks.load(), 20);
    EXPECT_TRUE(seen.policy != RealtimePolicy::normal || seen.error != 0);
    EXPECT_STRNE(realtimePolicyName(seen.policy), "");
}

TEST(RealtimeThread, DeadlinesKeepThePeriodAndSkipALongStall) {
    constexpr int64_t ms = 1'000'000;
    PeriodicDeadline d{ms, 0};
    EXPECT_EQ(d.advance(0), 1 * ms);
    EXPECT_EQ(d.advance(1 * ms + 300'000), 2 * ms) << "a late wake-up does not shift the grid";

    // 30 ms late: the missed ticks run back to back (deadlines already passed) and catch up.
    int64_t now = 32 * ms;
    int burst = 0;
    while (d.advance(now) <= now) ++burst;
    EXPECT_EQ(burst, 30);
    EXPECT_EQ(d.next, 33 * ms);

    // A 100 ms stall: one tick at once, then the grid starts again from now.
    now = 133 * ms + 500;
    EXPECT_EQ(d.advance(now), now);
    EXPECT_EQ(d.advance(now + 10), now + ms);
}

}  // namespace
}  // namespace plindo::platform
