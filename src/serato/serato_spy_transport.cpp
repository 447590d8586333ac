#include "serato/serato_spy_transport.h"

#include "platform/log.h"

#include <pthread.h>

namespace plindo::serato {
namespace {

spdlog::logger& log() { return platform::logger("serato.tap"); }

constexpr double kSendTimeout = 2.0;
constexpr double kReplyTimeout = 2.0;
constexpr double kLoopSlice = 0.25;  // a cancelled port thread ends within this

void putLE32(std::vector<uint8_t>& out, int32_t v) {
    const auto u = static_cast<uint32_t>(v);
    for (int i = 0; i < 4; ++i) out.push_back(static_cast<uint8_t>(u >> (8 * i)));
}

}  // namespace

SeratoSpyTransport::SeratoSpyTransport(BytesHandler onBytes, std::string portNamespace)
    : onBytes_(std::move(onBytes)), portNamespace_(std::move(portNamespace)) {}

SeratoSpyTransport::~SeratoSpyTransport() { stop(); }

bool SeratoSpyTransport::connect(int32_t destination) {
    remote_ = platform::RemoteMessagePort::create(kDriverPort, portNamespace_);
    if (!remote_) return false;

    std::vector<uint8_t> reply;
    const auto status = remote_->send(0, {}, kSendTimeout, kReplyTimeout, &reply);
    if (status != platform::MessagePortStatus::Success || reply.size() < 4) {
        log().error("spy: no listener id ({})", static_cast<int>(status));
        return false;
    }
    identifier_ = static_cast<int32_t>(uint32_t(reply[0]) | uint32_t(reply[1]) << 8 | uint32_t(reply[2]) << 16 |
                                       uint32_t(reply[3]) << 24);
    log().info("spy: listener id {}", identifier_);

    // Only ids the driver can reach make a port name; anything else is refused like a name that cannot be
    // registered.
    if (identifier_ >= kMinListenerId && identifier_ <= kMaxListenerId)
        local_ = platform::LocalMessagePort::create(
            std::string(kDriverPort) + "-" + std::to_string(identifier_),
            [this](int32_t, std::span<const uint8_t> data) {
                handleDelivery(data);
                return std::vector<uint8_t>{};
            },
            portNamespace_);
    if (!local_) {
        log().error("spy: local port 'Spying MIDI Driver-{}' failed (sandbox?)", identifier_);
        return false;
    }

    cancelled_ = false;
    portThread_ = std::thread([this] {
        pthread_setname_np(pthread_self(), "plindo.spy");
        while (!cancelled_.load() && local_->runFor(kLoopSlice)) {
        }
    });

    std::vector<uint8_t> add;
    putLE32(add, identifier_);
    if (remote_->send(1, add, kSendTimeout, 0) != platform::MessagePortStatus::Success) {
        log().error("spy: add listener failed");
        return false;
    }
    std::vector<uint8_t> sub = add;
    putLE32(sub, destination);
    if (remote_->send(2, sub, kSendTimeout, 0) != platform::MessagePortStatus::Success) {
        log().error("spy: connect destination failed");
        return false;
    }
    log().info("spy: listening on destination uniqueID {}", destination);
    return true;
}

void SeratoSpyTransport::stop() {
    if (local_) local_->invalidate();
    cancelled_ = true;
    // From inside a delivery the loop ends by itself after it; the owner's next stop() joins and frees.
    if (portThread_.joinable() && portThread_.get_id() == std::this_thread::get_id()) return;
    if (portThread_.joinable()) portThread_.join();
    local_.reset();
    remote_.reset();
}

std::vector<uint8_t> SeratoSpyTransport::deliveryBytes(std::span<const uint8_t> d) {
    std::vector<uint8_t> out;
    if (d.size() < 9) return out;
    const uint32_t count = uint32_t(d[4]) | uint32_t(d[5]) << 8 | uint32_t(d[6]) << 16 | uint32_t(d[7]) << 24;
    size_t at = 8;
    for (uint32_t i = 0; i < count; ++i) {
        if (d.size() - at < 10) break;
        const size_t len = size_t(d[at + 8]) | size_t(d[at + 9]) << 8;
        if (d.size() - at - 10 < len) break;
        out.insert(out.end(), d.begin() + at + 10, d.begin() + at + 10 + len);
        at += 10 + len;
    }
    return out;
}

void SeratoSpyTransport::handleDelivery(std::span<const uint8_t> data) {
    if (data.empty()) return;
    const int64_t n = ++deliveries_;
    if (n < 4) log().info("spy: delivery {}, {} bytes", n, data.size());
    const std::vector<uint8_t> bytes = deliveryBytes(data);
    if (!bytes.empty() && onBytes_) onBytes_(bytes);
}

}  // namespace plindo::serato
