#include "platform/fake_spy_driver.h"

#include <algorithm>

namespace plindo::platform {
namespace {

int32_t readLE32(std::span<const uint8_t> d, size_t at) {
    return static_cast<int32_t>(uint32_t(d[at]) | uint32_t(d[at + 1]) << 8 | uint32_t(d[at + 2]) << 16 |
                                uint32_t(d[at + 3]) << 24);
}

void putLE32(std::vector<uint8_t>& out, uint32_t v) {
    for (int i = 0; i < 4; ++i) out.push_back(static_cast<uint8_t>(v >> (8 * i)));
}

}  // namespace

FakeSpyDriver::FakeSpyDriver(std::string nameSpace) : nameSpace_(std::move(nameSpace)) {
    port_ = LocalMessagePort::create(
        kPortName, [this](int32_t msgid, std::span<const uint8_t> data) { return handle(msgid, data); }, nameSpace_);
    if (port_)
        thread_ = std::thread([this] {
            while (port_->runFor(0.25)) {
            }
        });
}

FakeSpyDriver::~FakeSpyDriver() {
    if (port_) port_->invalidate();
    if (thread_.joinable()) thread_.join();
}

std::vector<uint8_t> FakeSpyDriver::handle(int32_t msgid, std::span<const uint8_t> data) {
    std::lock_guard l(m_);
    switch (msgid) {
        case 0: {
            ++idRequests_;
            if (idReply_) return *idReply_;
            std::vector<uint8_t> out;
            putLE32(out, static_cast<uint32_t>(nextId_++));
            return out;
        }
        case 1:
            if (data.size() >= 4) listeners_.push_back(readLE32(data, 0));
            return {};
        case 2:
            if (data.size() >= 8) subscriptions_.emplace_back(readLE32(data, 0), readLE32(data, 4));
            return {};
        default:
            return {};
    }
}

void FakeSpyDriver::setListenerIdReply(std::optional<std::vector<uint8_t>> reply) {
    std::lock_guard l(m_);
    idReply_ = std::move(reply);
}

int FakeSpyDriver::idRequests() const {
    std::lock_guard l(m_);
    return idRequests_;
}

std::vector<int32_t> FakeSpyDriver::listeners() const {
    std::lock_guard l(m_);
    return listeners_;
}

std::vector<std::pair<int32_t, int32_t>> FakeSpyDriver::subscriptions() const {
    std::lock_guard l(m_);
    return subscriptions_;
}

std::vector<uint8_t> FakeSpyDriver::deliveryBytes(const std::vector<std::vector<uint8_t>>& packets,
                                                  std::optional<uint32_t> count) {
    std::vector<uint8_t> out(4, 0);
    putLE32(out, count.value_or(static_cast<uint32_t>(packets.size())));
    for (const auto& p : packets) {
        out.insert(out.end(), 8, 0);
        const auto len = static_cast<uint16_t>(std::min<size_t>(p.size(), 0xFFFF));
        out.push_back(static_cast<uint8_t>(len));
        out.push_back(static_cast<uint8_t>(len >> 8));
        out.insert(out.end(), p.begin(), p.begin() + len);
    }
    return out;
}

bool FakeSpyDriver::deliverRaw(int32_t id, std::span<const uint8_t> bytes) {
    auto port = RemoteMessagePort::create(std::string(kPortName) + "-" + std::to_string(id), nameSpace_);
    return port && port->send(0, bytes, 2.0, 0) == MessagePortStatus::Success;
}

int FakeSpyDriver::deliver(int32_t destination, const std::vector<std::vector<uint8_t>>& packets) {
    std::vector<int32_t> targets;
    {
        std::lock_guard l(m_);
        for (const auto& [id, dest] : subscriptions_)
            if (dest == destination && std::find(targets.begin(), targets.end(), id) == targets.end())
                targets.push_back(id);
    }
    const auto bytes = deliveryBytes(packets);
    int reached = 0;
    for (int32_t id : targets) reached += deliverRaw(id, bytes) ? 1 : 0;
    return reached;
}

}  // namespace plindo::platform
