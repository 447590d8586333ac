#pragma once
// The link to another host's OSC server: a UDP socket connected to it on a serial queue of its own, which
// says hello, sends this host's roster and the group cut, and hands back whatever the other host sends. Also
// home of the two sensor records that phones stream: one IMU sample ("/orv/imu", also the earbuds'
// "/orv/bud") and the raw sensor and estimator mirror ("/orv/raw"), with their readers from a decoded message.
#include "link/osc.h"
#include "platform/serial_queue.h"

#include <asio/ip/udp.hpp>

#include <cmath>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace plindo::link {

class OrvRemoteLink {
public:
    struct IMUSample {
        double ts = 0, wx = 0, wy = 0, wz = 0, dmTs = 0, dmWz = 0, yaw = 0;
        double ax = 0, ay = 0, az = 0, gx = 0, gy = 0, gz = 0;
        double grip = 0, hostSynth = 0;
        bool operator==(const IMUSample&) const = default;
    };

    struct RawMirror {
        double wz = 0, ax = 0, ay = 0, yaw = 0, ts = 0;
        double rotorW = 0, rotorAmp = 0;
        bool rotorValid = false;
        double offX = 0, offY = 0;
        int placeFlags = 0;
        double gx = 0, gy = 0, gz = 0, planeDevDeg = 0, rotorPhase = 0, fieldAC = 0;
        double latchX = 0, latchY = 0, latchWhy = 0, slideWhy = 0, boundX = 0, boundY = 0, boundLeak = 0;
        double qState = 0, axisX = 0, axisY = 0, axisZ = 0, northAlpha = 0, northTauMs = 0;
        double yawNoiseDeg = 0;
        std::string calibStamp;
        double sensorOffX = 0, sensorOffY = 0;
        bool sensorCalDone = false;
        std::string bridgeMode;
        bool bridgeMuted = false;
        double twistDeg = -1.0;
        bool zoomAuto = false;
        double scaleK = 1.0;
        bool synthOn = false;
        double synthOmega = 0;
        int planeSign = 0;
        double fieldThresh = 0, fieldAcOn = 0, fieldAcOff = 0, fieldAcSpin = 0, fieldDirThresh = 0;
        double fieldDirOn = 0, fieldDirOff = 0;
        bool northSuspect = false;
        double dispPos = 0, hpAge = 0;
        double sensorPos = std::nan("");
        double hpCount = 0, settleMs = 0, zoom = 0;
    };

    // The sample of "/orv/imu" or "/orv/bud" (argument 0 is the deck, read by the caller). None when fewer
    // than 14 arguments.
    static std::optional<IMUSample> readIMU(std::span<const OSCArg> args);

    // The record of "/orv/raw" (argument 0 is the deck). None when fewer than 6 arguments, when one of
    // arguments 1 to 5 is not a number, or when an integer field does not fit.
    static std::optional<RawMirror> readRaw(std::span<const OSCArg> args);
    // Same, filling `out` so that its texts keep their storage between calls.
    static bool readRaw(std::span<const OSCArg> args, RawMirror& out);

    using Endpoint = asio::ip::udp::endpoint;

    // A socket connected to `target` (IPv4 or IPv6); none when it cannot be opened or connected.
    static std::unique_ptr<OrvRemoteLink> connect(const Endpoint& target);
    ~OrvRemoteLink();  // closes the socket and joins the queue: no onDatagram runs after it returns
    OrvRemoteLink(const OrvRemoteLink&) = delete;
    OrvRemoteLink& operator=(const OrvRemoteLink&) = delete;

    const Endpoint& target() const { return target_; }

    // Starts reading. Set onDatagram first: it runs on the link's queue for every datagram from the target,
    // with bytes valid only during the call.
    void start();
    std::function<void(std::span<const uint8_t>)> onDatagram;

    // Sends go out on the link's queue, in call order; a failed send is not reported (UDP).
    // "/orv/hello" [0, name, 0, "host", -1, host build, oldest phone build]: a host joining as group peer.
    void sendHello(std::string_view name);
    // "/orv/group/state" [json]; nothing when the bytes are not UTF-8.
    void sendGroupState(std::string_view json);
    // "/orv/group/mute" [1 or 0].
    void sendGroupMute(bool muted);

private:
    explicit OrvRemoteLink(const Endpoint& target);
    void send(std::vector<uint8_t> bytes);
    void readDatagram();

    Endpoint target_;
    platform::SerialQueue queue_{"orv.link"};
    asio::ip::udp::socket socket_;
    // Touched only on the queue.
    bool reading_ = false;
    std::vector<uint8_t> buffer_ = std::vector<uint8_t>(65536);
};

}  // namespace plindo::link
