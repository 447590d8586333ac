// An outside player moves a deck through the external playhead input once "orv.mePlayhead" is on.
#include "host/host_state.h"
#include "host_rig.h"
#include "platform/log.h"
#include "platform/queue_executor.h"
#include "platform/settings.h"

#include <asio/io_context.hpp>
#include <asio/ip/udp.hpp>
#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <memory>
#include <thread>
#include <vector>

using namespace plindo;

namespace {
int freeUdpPort() {
    asio::io_context io;
    asio::ip::udp::socket s(io, asio::ip::udp::endpoint(asio::ip::address_v4::loopback(), 0));
    return s.local_endpoint().port();
}

std::vector<uint8_t> positionMessage(const std::string& address, float units) {
    std::vector<uint8_t> m(address.begin(), address.end());
    do m.push_back(0); while (m.size() % 4);
    for (char c : std::string(",f\0\0", 4)) m.push_back(static_cast<uint8_t>(c));
    uint32_t bits;
    std::memcpy(&bits, &units, 4);
    for (int i = 3; i >= 0; --i) m.push_back(static_cast<uint8_t>(bits >> (8 * i)));
    return m;
}

struct PlayheadHost : ::testing::Test {
    platform::MemorySettings settings;
    platform::QueueExecutor main;
    int playheadPort = freeUdpPort();

    void SetUp() override {
        platform::setLogFolder("");
        settings.setValue("orv.oscPort", freeUdpPort());
        settings.setValue("orv.meOscPort", playheadPort);
    }
    // The host is made, started and taken down on its main thread, as in the program: a status line it posts
    // there never meets a host that another thread is taking down.
    std::unique_ptr<host::HostState> host_;
    void TearDown() override {
        main.invokeSync([&] { host_.reset(); });
        main.drain();
    }
    host::HostState* startHost() {
        main.invokeSync([&] {
            host_ = std::make_unique<host::HostState>(host::HostState::Deps{
                .settings = settings,
                .main = main,
                .interfaces = [] { return std::vector<platform::NetInterface>{}; },
                .trackServerPort = 0});
            host_->start();
        });
        return host_.get();
    }
    void send(const std::vector<uint8_t>& bytes) {
        asio::io_context io;
        asio::ip::udp::socket s(io, asio::ip::udp::endpoint(asio::ip::address_v4::loopback(), 0));
        s.send_to(asio::buffer(bytes), asio::ip::udp::endpoint(asio::ip::address_v4::loopback(),
                                                               static_cast<unsigned short>(playheadPort)));
    }
    static motion::AnchorCell::Snap waitValid(motion::AnchorCell& a) {
        for (int i = 0; i < 200 && !a.cell.read().valid; ++i) std::this_thread::sleep_for(std::chrono::milliseconds(5));
        return a.cell.read();
    }
};
}  // namespace

TEST_F(PlayheadHost, PositionMovesTheDeckAnchorWhenEnabled) {
    settings.setValue("orv.mePlayhead", true);
    auto host = startHost();
    ASSERT_TRUE(host->playheadIn->running());
    send(positionMessage("/deck/position1", 3000.0f));
    auto snap = waitValid(host->players[0]->anchor);
    EXPECT_TRUE(snap.valid);
    EXPECT_DOUBLE_EQ(snap.pos, 1.0);
    EXPECT_FALSE(host->players[1]->anchor.cell.read().valid);

    send(positionMessage("/x/POSITION2", 6000.0f));
    snap = waitValid(host->players[1]->anchor);
    EXPECT_DOUBLE_EQ(snap.pos, 2.0);
}

TEST_F(PlayheadHost, StaysClosedWhenDisabled) {
    auto host = startHost();
    EXPECT_FALSE(host->playheadIn->running());
}

// The speed an outside player's positions give a deck is its step over the time between them, held within 4x
// either way: a jump (a seek on the player) is no 1200x spin.
TEST(PlayheadRoad, SpeedIsTheStepOverTheTimeBetweenWithinFourTimesNormal) {
    platform::FakeClock clock{300.0};
    host::testing::HostRig rig;
    rig.clock = &clock;
    rig.settings.setValue("orv.mePlayhead", true);
    rig.settings.setValue("orv.meOscPort", freeUdpPort());
    auto& h = rig.started();
    ASSERT_TRUE(h.playheadIn->onPlayhead);
    const auto at = [&](double seconds) {
        h.playheadIn->onPlayhead(0, seconds);
        return h.players[0]->anchor.cell.read();
    };
    // (position, seconds after the last, the speed it gives)
    const std::tuple<double, double, double> steps[] = {
        {1.0, 0.0, 0.0}, {61.0, 0.05, 4.0}, {61.05, 0.05, 1.0}, {1.0, 0.05, -4.0}, {1.1, 0.6, 0.0}};
    for (const auto& [pos, after, speed] : steps) {
        clock.advance(after);
        const auto snap = at(pos);
        EXPECT_EQ(snap.pos, pos);
        EXPECT_NEAR(snap.rate, speed, 1e-9) << pos;
    }
}
