#pragma once
// The MIDI layer: virtual source and destination ports under fixed port numbers, timestamped sends on
// host time (CLOCK_MONOTONIC nanoseconds) and endpoint enumeration by name. `makeSystemMidiBackend()` is the
// ALSA sequencer; `LoopbackMidiBackend` keeps everything in process for tests and benchmarks.
//
// No sequencer on the machine is not an error: the backend reports `available() == false` with a status
// line, creation calls return null, and nothing throws.
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <span>
#include <string>
#include <vector>

namespace plindo::platform {

// CLOCK_MONOTONIC in nanoseconds: the clock of every MIDI timestamp. mediaNow() is the same clock in seconds.
int64_t hostTimeNs();

// Length of the message at the front of `bytes`: a status byte with the data bytes after it up to the next
// status byte (so messages under running status stay together), or a SysEx through its end byte (real-time
// bytes inside it do not end it; another status byte or the end of the bytes does). Data bytes without a
// status byte in front count as one message up to the next status byte. 0 for no bytes.
std::size_t midiMessageLength(std::span<const uint8_t> bytes);

// Called with the bytes of one received packet (one or more complete messages) and the host time at which
// it arrived. Runs on the backend's read thread (the injecting thread for the loopback backend).
using MidiBytesHandler = std::function<void(std::span<const uint8_t> bytes, int64_t hostTimeNs)>;

// One endpoint that the system lists. A source is readable (others receive from it), a destination writable.
struct MidiEndpoint {
    std::string clientName;
    std::string name;
    int client = -1;
    int port = -1;
    bool isSource = false;
    bool isDestination = false;
};

// A virtual source of ours. Safe to send from several threads at once.
class MidiSource {
public:
    virtual ~MidiSource() = default;
    // Sends one packet: one or more complete MIDI messages. hostTimeNs 0, or a time not ahead of now, means
    // deliver at once; a later time is scheduled for that moment. Returns 0 on success, else a negative
    // error code (the message is lost; nothing is retried).
    virtual int send(std::span<const uint8_t> bytes, int64_t hostTimeNs) = 0;
    // The most bytes one send() takes. A longer packet must be split between messages by the caller; a
    // single message longer than this cannot be sent on this port.
    virtual std::size_t maxPacketBytes() const = 0;
    virtual const std::string& name() const = 0;
    virtual int port() const = 0;
};

// A virtual destination of ours; destroying it stops delivery and joins its read thread.
class MidiDestination {
public:
    virtual ~MidiDestination() = default;
    virtual const std::string& name() const = 0;
    virtual int port() const = 0;
};

class MidiBackend {
public:
    virtual ~MidiBackend() = default;
    // False when there is no MIDI system to talk to; `status()` says why.
    virtual bool available() const = 0;
    // A human-readable line about the backend's state or its last failure.
    virtual std::string status() const = 0;
    // A virtual source whose client and port carry `name`, under the fixed port number `port` (the stable
    // identity that a mapping binds to). Null on failure; `status()` then holds the reason.
    virtual std::unique_ptr<MidiSource> createSource(const std::string& name, int port) = 0;
    // A virtual destination `name` of client `clientName` under the fixed port number `port`.
    virtual std::unique_ptr<MidiDestination> createDestination(const std::string& name,
                                                               const std::string& clientName, int port,
                                                               MidiBytesHandler onBytes) = 0;
    // The endpoints the system lists now, ours included.
    virtual std::vector<MidiEndpoint> endpoints() const = 0;
};

// The ALSA sequencer. Without /dev/snd/seq the result is an idle backend with a status line.
std::unique_ptr<MidiBackend> makeSystemMidiBackend();

// In-process backend: sources record what they send, destinations receive what a test injects.
class LoopbackMidiBackend final : public MidiBackend {
public:
    struct Sent {
        std::string source;
        int port = -1;
        std::vector<uint8_t> bytes;
        int64_t hostTimeNs = 0;
    };

    LoopbackMidiBackend();
    ~LoopbackMidiBackend() override;

    bool available() const override;
    std::string status() const override;
    std::unique_ptr<MidiSource> createSource(const std::string& name, int port) override;
    std::unique_ptr<MidiDestination> createDestination(const std::string& name, const std::string& clientName,
                                                       int port, MidiBytesHandler onBytes) override;
    std::vector<MidiEndpoint> endpoints() const override;

    // Makes the backend behave as a machine without a MIDI system (creation fails with a status line).
    void setAvailable(bool on);
    // Makes every send fail with `code` (0 restores success).
    void setSendError(int code);
    // At most this many packets are kept (the oldest go first); `sentCount()` counts all of them.
    void setRecordLimit(size_t limit);
    // Makes the sources take at most `bytes` per send, as a backend with a packet limit does (a larger send
    // fails with -EMSGSIZE). Without it they take any size.
    void setPacketLimit(size_t bytes);

    std::vector<Sent> sent() const;
    uint64_t sentCount() const;
    void clearSent();

    // Hands `bytes` to the destination with that port number, on the calling thread. False when there is
    // no such destination.
    bool inject(int port, std::span<const uint8_t> bytes, int64_t hostTimeNs = 0);

    // Shared with the ports, so a port that outlives the backend stays harmless; defined in the .cpp.
    struct Core;

private:
    std::shared_ptr<Core> core_;
};

}  // namespace plindo::platform
