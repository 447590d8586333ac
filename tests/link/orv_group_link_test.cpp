// What one host sends another: the uplink's link on a real socket over 127.0.0.1, and the group load push.
#include "link/orv_remote_link.h"
#include "orv_test_support.h"

#include <gtest/gtest.h>

#include <sys/socket.h>

#include <atomic>
#include <chrono>
#include <thread>

using namespace plindo;
using namespace plindo::link;
using namespace plindo::link::testing;
using asio::ip::udp;

namespace {

// A socket on 127.0.0.1 that stands for the other host.
struct Peer {
    asio::io_context io;
    udp::socket sock{io, udp::endpoint(asio::ip::make_address_v4("127.0.0.1"), 0)};
    udp::endpoint lastFrom;

    Peer() {
        timeval tv{2, 0};  // bounds each receive
        ::setsockopt(sock.native_handle(), SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
    }
    udp::endpoint endpoint() const { return sock.local_endpoint(); }
    std::optional<OSCMessage> receive() {
        uint8_t buf[4096];
        // Plain recvfrom: asio's own receive waits in poll and would not honour the timeout.
        socklen_t len = lastFrom.capacity();
        const ssize_t n = ::recvfrom(sock.native_handle(), buf, sizeof buf, 0, lastFrom.data(), &len);
        if (n < 0) return std::nullopt;
        lastFrom.resize(len);
        auto ms = OSCMessage::decodePacket(buf, static_cast<size_t>(n));
        if (ms.size() != 1) return std::nullopt;
        return ms[0];
    }
    void send(const udp::endpoint& to, std::string_view address, std::vector<OSCValue> args) {
        sock.send_to(asio::buffer(OSCMessage::encode(address, args)), to);
    }
};

}  // namespace

TEST(OrvRemoteLink, SendsHelloRosterAndCutInOrderAndHearsOnlyItsTarget) {
    Peer peer;
    auto link = OrvRemoteLink::connect(peer.endpoint());
    ASSERT_TRUE(link);
    std::mutex m;
    std::vector<OSCMessage> heard;
    link->onDatagram = [&](std::span<const uint8_t> bytes) {
        std::lock_guard g(m);
        for (auto& msg : OSCMessage::decodePacket(bytes)) heard.push_back(std::move(msg));
    };
    link->start();

    link->sendHello("Booth-1A2B");
    link->sendGroupState("\xff");  // not UTF-8: nothing goes out
    link->sendGroupState("[{\"name\":\"Booth-1A2B\"}]");
    link->sendGroupMute(true);
    EXPECT_EQ(peer.receive(), (OSCMessage{"/orv/hello", {I(0), S("Booth-1A2B"), I(0), S("host"), I(-1), S("1215"),
                                                         S("0958")}}));
    const auto linkEnd = peer.lastFrom;
    EXPECT_EQ(peer.receive(), (OSCMessage{"/orv/group/state", {S("[{\"name\":\"Booth-1A2B\"}]")}}));
    EXPECT_EQ(peer.receive(), (OSCMessage{"/orv/group/mute", {I(1)}}));

    Peer stranger;  // the socket is connected: datagrams from anyone else never reach the link
    stranger.send(linkEnd, "/orv/group/mute", {I(0)});
    peer.send(linkEnd, "/orv/bind", {I(0), S("10.0.0.5"), I(17601)});
    const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    for (;;) {
        {
            std::lock_guard g(m);
            if (!heard.empty() || std::chrono::steady_clock::now() > until) break;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    std::lock_guard g(m);
    EXPECT_EQ(heard, (std::vector<OSCMessage>{{"/orv/bind", {I(0), S("10.0.0.5"), I(17601)}}}));
}

TEST(OrvPush, GroupLoadCarriesTheEndpointOnlyWhenKnown) {
    ServerRig rig;
    rig.hello(phone(7), 0, "HostB");
    rig.sink.take();
    rig.server.sendGroupLoad("left", "/m/a.mp3", "", 1700000001, "");
    rig.server.sendGroupLoad("right", "/m/b.mp3", "HostA", 1700000002, "10.0.0.7");
    const auto sent = rig.sink.take();
    ASSERT_EQ(sent.size(), 2u);
    EXPECT_EQ(sent[0].to, phone(7).remote);
    EXPECT_EQ(sent[0].msg, (OSCMessage{"/orv/group/load", {S("left"), S("/m/a.mp3"), S(""), I(1700000001)}}));
    EXPECT_EQ(sent[1].msg, (OSCMessage{"/orv/group/load",
                                       {S("right"), S("/m/b.mp3"), S("HostA"), I(1700000002), S("10.0.0.7")}}));
}
