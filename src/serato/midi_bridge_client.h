#pragma once
// The program's side of the local MIDI bridge process: a UDP client on 127.0.0.1 (port 7101 unless told
// otherwise). When the bridge answers a probe it holds the MIDI endpoints: the output sends every message to
// it as a [0x01]+MIDI datagram and the input takes the [0x02]+MIDI readback datagrams that it sends back.
//
// Datagrams: [0x00] probe; [0x00 'P' 'L' 'X' version ...] probe reply; [0x01 MIDI...] MIDI out;
// [0x02 MIDI...] readback; [0x03] quit request.
#include "platform/clock.h"
#include "platform/pi_mutex.h"

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <span>
#include <string>
#include <thread>

namespace plindo::serato {

class MIDIBridgeClient {
public:
    static constexpr uint16_t kDefaultPort = 7101;
    using ReadbackHandler = std::function<void(std::span<const uint8_t> midi)>;

    // While false (the default) the client never probes and reports the bridge as down.
    static std::atomic<bool> enabled;

    // The process-wide client on port 7101, made on first use.
    static MIDIBridgeClient& shared();

    explicit MIDIBridgeClient(uint16_t port = kDefaultPort, const platform::Clock& clock = platform::systemClock());
    ~MIDIBridgeClient();  // closes the socket and joins the receive thread
    MIDIBridgeClient(const MIDIBridgeClient&) = delete;
    MIDIBridgeClient& operator=(const MIDIBridgeClient&) = delete;

    // True when the bridge holds the endpoints. Probes at most once every 5 s and then blocks for up to
    // 0.3 s; once up it stays up (without traffic) until restart().
    bool probe();
    // Asks the bridge to quit and probes again after 1.5 s; returns a status line.
    std::string restart();

    // Receives the MIDI bytes of each readback datagram, on the receive thread. May be set at any time.
    void setOnReadback(ReadbackHandler handler);

    bool isUp() const { return up_.load(std::memory_order_acquire); }
    uint16_t port() const { return port_; }

    // Sends [0x01]+bytes to the bridge without blocking or allocating. False when the bridge is not up, the
    // bytes are empty or the datagram did not leave.
    bool sendMidi(std::span<const uint8_t> bytes);

private:
    void startReceiver(int fd);
    void receiveLoop(int fd);

    const uint16_t port_;
    const platform::Clock& clock_;

    std::mutex lock_;  // serialises probes, restarts and the start of the receive thread
    int fd_ = -1;      // written under lock_ and sendLock_; read under either
    platform::PiMutex sendLock_;
    std::atomic<bool> up_{false};
    double lastProbe_ = -100;
    std::thread rx_;
    std::atomic<bool> rxStop_{false};

    std::mutex handlerLock_;  // held only to copy the handler pointer
    std::shared_ptr<const ReadbackHandler> onReadback_;
};

}  // namespace plindo::serato
