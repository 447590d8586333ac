#include "link/orv_remote_link.h"

#include "link/orv_server.h"

namespace plindo::link {

namespace {

constexpr const char* kNeedsHostBuild = "0958";  // the oldest host build this one groups with

}  // namespace

std::unique_ptr<OrvRemoteLink> OrvRemoteLink::connect(const Endpoint& target) {
    std::unique_ptr<OrvRemoteLink> link(new OrvRemoteLink(target));
    bool ok = false;
    link->queue_.sync([&] {
        asio::error_code ec;
        link->socket_.open(target.protocol(), ec);
        if (!ec) link->socket_.connect(target, ec);
        ok = !ec;
    });
    if (!ok) return nullptr;
    return link;
}

OrvRemoteLink::OrvRemoteLink(const Endpoint& target) : target_(target), socket_(queue_.context()) {}

OrvRemoteLink::~OrvRemoteLink() {
    // The pending read completes as aborted on the queue; stopping the queue lets it finish and joins.
    queue_.sync([this] {
        asio::error_code ec;
        socket_.close(ec);
    });
    queue_.stop();
}

void OrvRemoteLink::start() {
    queue_.post([this] {
        if (reading_ || !socket_.is_open()) return;
        reading_ = true;
        readDatagram();
    });
}

void OrvRemoteLink::readDatagram() {
    socket_.async_receive(asio::buffer(buffer_), [this](const asio::error_code& ec, size_t n) {
        if (ec == asio::error::operation_aborted || ec == asio::error::bad_descriptor) return;
        // Other errors (a refused port reported by ICMP) concern one datagram: keep reading.
        if (!ec && n > 0 && onDatagram) onDatagram(std::span<const uint8_t>(buffer_.data(), n));
        readDatagram();
    });
}

void OrvRemoteLink::send(std::vector<uint8_t> bytes) {
    queue_.post([this, b = std::move(bytes)] {
        asio::error_code ec;
        socket_.send(asio::buffer(b), 0, ec);
    });
}

void OrvRemoteLink::sendHello(std::string_view name) {
    const OSCValue args[] = {OSCValue::int32(0),          OSCValue::string(std::string(name)),
                             OSCValue::int32(0),          OSCValue::string("host"),
                             OSCValue::int32(-1),         OSCValue::string(std::to_string(OrvServer::kHostBuild)),
                             OSCValue::string(kNeedsHostBuild)};
    send(OSCMessage::encode("/orv/hello", args));
}

void OrvRemoteLink::sendGroupState(std::string_view json) {
    if (!isValidUtf8(json)) return;
    const OSCValue args[] = {OSCValue::string(std::string(json))};
    send(OSCMessage::encode("/orv/group/state", args));
}

void OrvRemoteLink::sendGroupMute(bool muted) {
    const OSCValue args[] = {OSCValue::int32(muted ? 1 : 0)};
    send(OSCMessage::encode("/orv/group/mute", args));
}

}  // namespace plindo::link
