#include "platform/fake_spy_driver.h"
#include "serato/serato_spy_transport.h"
#include "serato/sysex_assembler.h"
#include "test_util.h"

#include <gtest/gtest.h>

#include <mutex>

namespace plindo::serato {
namespace {

using platform::FakeSpyDriver;
using namespace testing;

TEST(SysExAssembler, ReassemblesMessagesAcrossFeedsAndDropsBrokenOnes) {
    const struct { std::vector<Bytes> feeds; std::vector<Bytes> expected; } cases[] = {
        {{{0xF0, 0x01, 0xF8, 0x02, 0xF7}}, {{0xF0, 0x01, 0x02, 0xF7}}},  // real-time byte skipped
        {{{0xF0, 0x01, 0x90, 0x02, 0xF7}}, {}},                          // a status byte aborts
        {{{0x11, 0x22, 0xF7, 0xF0, 0x05, 0xF7}}, {{0xF0, 0x05, 0xF7}}},  // bytes before F0 ignored
        {{{0xF0, 0x01, 0xF0, 0x02, 0xF7}}, {{0xF0, 0x02, 0xF7}}},        // a new F0 restarts
        {{{0xF0, 0x01}, {0x02}, {0x03, 0xF7, 0xF0}, {0x04, 0xF7}}, {{0xF0, 1, 2, 3, 0xF7}, {0xF0, 4, 0xF7}}},
        {{{0xF0, 0xF7, 0xF0, 0xF7}}, {{0xF0, 0xF7}, {0xF0, 0xF7}}},
    };
    for (const auto& c : cases) {
        SysExAssembler a;
        std::vector<Bytes> got;
        for (const auto& f : c.feeds)
            for (auto& m : a.feed(f)) got.push_back(std::move(m));
        EXPECT_EQ(got, c.expected);
    }
}

TEST(SysExAssembler, DropsAMessageThatNeverEnds) {
    SysExAssembler a;
    Bytes endless{0xF0};
    endless.resize(SysExAssembler::kMaxMessage + 10, 0x11);
    EXPECT_TRUE(a.feed(endless).empty());
    EXPECT_TRUE(a.feed(Bytes{0x22, 0xF7}).empty());  // the end of the oversized message
    EXPECT_EQ(a.feed(Bytes{0xF0, 0x33, 0xF7}), (std::vector<Bytes>{{0xF0, 0x33, 0xF7}}));
    Bytes largest{0xF0};
    largest.resize(SysExAssembler::kMaxMessage - 1, 0x44);
    largest.push_back(0xF7);
    EXPECT_EQ(a.feed(largest).size(), 1u);
}

TEST(SeratoSpyTransport, TakesOnlyCompletePacketsOfADelivery) {
    const auto twoPackets = FakeSpyDriver::deliveryBytes({{1, 2, 3}, {4, 5}});
    Bytes overrun = FakeSpyDriver::deliveryBytes({{1, 2, 3}, {4, 5}});
    overrun.pop_back();
    const struct { Bytes delivery; Bytes expected; } cases[] = {
        {twoPackets, {1, 2, 3, 4, 5}},
        {overrun, {1, 2, 3}},
        {FakeSpyDriver::deliveryBytes({{1, 2, 3}, {4, 5}}, 1), {1, 2, 3}},
        {FakeSpyDriver::deliveryBytes({{1, 2, 3}}, 0xFFFFFFFF), {1, 2, 3}},
        {Bytes(8, 0), {}},
        {Bytes{0, 0, 0, 0, 1, 0, 0, 0, 0}, {}},  // a packet header cut short
        {FakeSpyDriver::deliveryBytes({{}, {7}}), {7}},
    };
    for (const auto& c : cases) EXPECT_EQ(SeratoSpyTransport::deliveryBytes(c.delivery), c.expected);
}

TEST(SeratoSpyTransport, ListensThroughTheDriverUntilStopped) {
    const auto ns = freshNamespace();
    FakeSpyDriver driver(ns);
    ASSERT_TRUE(driver.running());

    std::mutex m;
    std::vector<Bytes> got;
    SeratoSpyTransport spy(
        [&](std::span<const uint8_t> b) {
            std::lock_guard l(m);
            got.emplace_back(b.begin(), b.end());
        },
        ns);
    ASSERT_TRUE(spy.connect(0x10002));
    EXPECT_EQ(spy.identifier(), 1);
    ASSERT_TRUE(waitUntil([&] { return !driver.subscriptions().empty(); }));
    EXPECT_EQ(driver.listeners(), std::vector<int32_t>{1});
    EXPECT_EQ(driver.subscriptions(), (std::vector<std::pair<int32_t, int32_t>>{{1, 0x10002}}));

    EXPECT_EQ(driver.deliver(0x10002, {{0xF0, 1}, {2, 0xF7}}), 1);
    EXPECT_TRUE(driver.deliverRaw(1, Bytes(8, 0)));  // too short: dropped
    EXPECT_EQ(driver.deliver(0x10002, {{0x90, 0x40, 0x7F}}), 1);
    ASSERT_TRUE(waitUntil([&] {
        std::lock_guard l(m);
        return got.size() == 2;
    }));
    EXPECT_EQ(got[0], (Bytes{0xF0, 1, 2, 0xF7}));
    EXPECT_EQ(got[1], (Bytes{0x90, 0x40, 0x7F}));
    EXPECT_EQ(spy.deliveries(), 3);

    spy.stop();
    spy.stop();
    EXPECT_EQ(driver.deliver(0x10002, {{1}}), 0);  // the listener's port is gone
}

TEST(SeratoSpyTransport, FailsWithoutDriverOrUsableListenerId) {
    const auto ns = freshNamespace();
    SeratoSpyTransport never([](std::span<const uint8_t>) {}, ns);
    never.stop();
    never.stop();
    EXPECT_FALSE(never.connect(1));  // no driver
    never.stop();

    FakeSpyDriver driver(ns);
    LogLines log("serato.tap");
    for (const Bytes& reply :
         {Bytes{1, 0, 0}, Bytes{0, 0, 0, 0}, Bytes{0x01, 0x02, 0, 0}, Bytes{0xFF, 0xFF, 0xFF, 0xFF}}) {
        driver.setListenerIdReply(reply);
        SeratoSpyTransport spy([](std::span<const uint8_t>) {}, ns);
        EXPECT_FALSE(spy.connect(1)) << reply.size();
        spy.stop();
    }
    EXPECT_TRUE(log.hasPrefix("spy: no listener id (0)"));
    driver.setListenerIdReply(Bytes{0x00, 0x02, 0, 0, 9, 9});  // 512 with extra bytes
    SeratoSpyTransport spy([](std::span<const uint8_t>) {}, ns);
    EXPECT_TRUE(spy.connect(1));
    EXPECT_EQ(spy.identifier(), 512);
}

}  // namespace
}  // namespace plindo::serato
