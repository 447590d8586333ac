#pragma once
// Named message ports between processes: a local port serves requests (a message id and bytes, optionally
// answered with bytes) on whichever thread runs it; a remote port sends to a local port by name. Built on
// Unix-domain sequenced-packet sockets in the abstract namespace, one connection per message.
//
// Only processes of the same user are served. Names live below a namespace prefix: the empty prefix is the machine's
// shared namespace, where an outside program (the MIDI spy driver) registers its port; tests pass a prefix of their own
// so that they never meet such a program or each other.
#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <vector>

namespace plindo::platform {

// Results of a send, numbered like the message-port codes of the platform the peers were written for, so that
// logged codes mean the same thing everywhere.
enum class MessagePortStatus : int {
    Success = 0,
    SendTimeout = -1,
    ReceiveTimeout = -2,
    IsInvalid = -3,
    TransportError = -4,
};

// One request on the wire: the message id (32-bit little-endian), a flags byte (bit 0: a reply is awaited),
// then the data.
struct PortRequest {
    int32_t msgid = 0;
    bool wantsReply = false;
    std::span<const uint8_t> data;  // within the packet read
};
std::vector<uint8_t> portRequestFrame(int32_t msgid, bool wantsReply, std::span<const uint8_t> data);
// None for a packet shorter than the head.
std::optional<PortRequest> readPortRequest(std::span<const uint8_t> packet);

class LocalMessagePort {
public:
    // Answers one request; the reply is sent only when the sender waits for one.
    using Callout = std::function<std::vector<uint8_t>(int32_t msgid, std::span<const uint8_t> data)>;

    // Largest request or reply; bigger ones are dropped.
    static constexpr size_t kMaxMessage = 64 * 1024;

    // Registers `name`; null when the name is taken, too long or the socket cannot be made.
    static std::unique_ptr<LocalMessagePort> create(const std::string& name, Callout callout,
                                                    const std::string& nameSpace = "");
    ~LocalMessagePort();
    LocalMessagePort(const LocalMessagePort&) = delete;
    LocalMessagePort& operator=(const LocalMessagePort&) = delete;

    // Serves requests on the calling thread for at most `seconds`, one at a time; returns at once (false)
    // once the port is invalidated. Only one thread may run the port.
    bool runFor(double seconds);

    // Stops serving and frees the name; wakes a thread inside runFor. Safe from any thread, repeatable.
    void invalidate();
    bool valid() const { return valid_.load(); }
    const std::string& name() const { return name_; }

private:
    LocalMessagePort(std::string name, Callout callout, int listenFd, int wakeFd);
    void serve(int connection);

    std::string name_;
    Callout callout_;
    int listenFd_;
    int wakeFd_;
    std::atomic<bool> valid_{true};
    std::vector<uint8_t> buf_;
};

class RemoteMessagePort {
public:
    // Null when no local port of that name is registered.
    static std::unique_ptr<RemoteMessagePort> create(const std::string& name, const std::string& nameSpace = "");

    // Sends one message. With `reply` set, waits up to replyTimeout for the answer and stores it there.
    MessagePortStatus send(int32_t msgid, std::span<const uint8_t> data, double sendTimeout, double replyTimeout,
                           std::vector<uint8_t>* reply = nullptr) const;

    const std::string& name() const { return name_; }

private:
    RemoteMessagePort(std::string name, std::string address) : name_(std::move(name)), address_(std::move(address)) {}
    std::string name_;
    std::string address_;
};

}  // namespace plindo::platform
