#pragma once
// An in-process stand-in for the MIDI spy driver, for tests and machines without it. It registers the
// driver's port "Spying MIDI Driver", hands out listener ids (msgid 0), adds listeners (msgid 1), subscribes a
// listener to a destination (msgid 2), and posts deliveries to "Spying MIDI Driver-<id>": four unread bytes,
// a packet count (uint32 LE), then packets of an 8-byte time stamp, a uint16 LE length and the MIDI bytes.
#include "platform/message_port.h"

#include <atomic>
#include <cstdint>
#include <mutex>
#include <optional>
#include <span>
#include <string>
#include <thread>
#include <utility>
#include <vector>

namespace plindo::platform {

class FakeSpyDriver {
public:
    static constexpr const char* kPortName = "Spying MIDI Driver";

    // Serves on a thread of its own; `running()` is false when the name is taken.
    explicit FakeSpyDriver(std::string nameSpace);
    ~FakeSpyDriver();  // the driver goes away: its port closes and nothing more is delivered
    FakeSpyDriver(const FakeSpyDriver&) = delete;
    FakeSpyDriver& operator=(const FakeSpyDriver&) = delete;

    bool running() const { return port_ != nullptr; }

    // Replaces the answer to msgid 0 (by default the next id from 1 up, as 4 bytes).
    void setListenerIdReply(std::optional<std::vector<uint8_t>> reply);

    int idRequests() const;
    std::vector<int32_t> listeners() const;
    std::vector<std::pair<int32_t, int32_t>> subscriptions() const;  // (listener id, destination id)

    // Sends one delivery of `packets` to every listener subscribed to `destination`; the number reached.
    int deliver(int32_t destination, const std::vector<std::vector<uint8_t>>& packets);
    // Sends `bytes` as they are to the port of listener `id`.
    bool deliverRaw(int32_t id, std::span<const uint8_t> bytes);

    // The delivery layout of `packets` (count = their number unless given).
    static std::vector<uint8_t> deliveryBytes(const std::vector<std::vector<uint8_t>>& packets,
                                              std::optional<uint32_t> count = std::nullopt);

private:
    std::vector<uint8_t> handle(int32_t msgid, std::span<const uint8_t> data);

    std::string nameSpace_;
    mutable std::mutex m_;
    int32_t nextId_ = 1;
    int idRequests_ = 0;
    std::optional<std::vector<uint8_t>> idReply_;
    std::vector<int32_t> listeners_;
    std::vector<std::pair<int32_t, int32_t>> subscriptions_;
    std::unique_ptr<LocalMessagePort> port_;
    std::thread thread_;
};

}  // namespace plindo::platform
