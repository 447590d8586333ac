#pragma once
// The client of the MIDI spy driver: obtains a listener id, registers this host's delivery port, runs it on a
// thread of its own and subscribes to one destination endpoint; the MIDI bytes of every delivery go to
// `onBytes` on that thread. One transport per connection attempt; it is not reused after a failure or stop.
#include "platform/message_port.h"

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <span>
#include <string>
#include <thread>
#include <vector>

namespace plindo::serato {

class SeratoSpyTransport {
public:
    using BytesHandler = std::function<void(std::span<const uint8_t>)>;

    static constexpr const char* kDriverPort = "Spying MIDI Driver";
    // The listener ids whose port names the driver can reach.
    static constexpr int32_t kMinListenerId = 1;
    static constexpr int32_t kMaxListenerId = 512;

    // `portNamespace` is the message-port namespace (empty: the machine's, where the driver lives).
    explicit SeratoSpyTransport(BytesHandler onBytes, std::string portNamespace = "");
    ~SeratoSpyTransport();  // stop()
    SeratoSpyTransport(const SeratoSpyTransport&) = delete;
    SeratoSpyTransport& operator=(const SeratoSpyTransport&) = delete;

    // Subscribes to the destination with this unique ID; true when listening. After a false, call stop().
    bool connect(int32_t destination);
    // Closes what connect opened; nothing is sent to the driver. Safe at any time, repeatable; not from
    // inside onBytes.
    void stop();

    int32_t identifier() const { return identifier_; }
    int64_t deliveries() const { return deliveries_.load(); }

    // The MIDI bytes of one delivery: its complete packets back to back; empty for a delivery shorter than
    // 9 bytes. Packets that would run past the end, and all after them, are left out.
    static std::vector<uint8_t> deliveryBytes(std::span<const uint8_t> delivery);

private:
    void handleDelivery(std::span<const uint8_t> data);

    BytesHandler onBytes_;
    std::string portNamespace_;
    std::unique_ptr<platform::RemoteMessagePort> remote_;
    std::unique_ptr<platform::LocalMessagePort> local_;
    std::thread portThread_;
    std::atomic<bool> cancelled_{false};
    int32_t identifier_ = 0;
    std::atomic<int64_t> deliveries_{0};
};

}  // namespace plindo::serato
