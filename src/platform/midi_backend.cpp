#include "platform/midi_backend.h"

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <ctime>
#include <mutex>

namespace plindo::platform {

int64_t hostTimeNs() {
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<int64_t>(ts.tv_sec) * 1'000'000'000 + ts.tv_nsec;
}

std::size_t midiMessageLength(std::span<const uint8_t> bytes) {
    if (bytes.empty()) return 0;
    constexpr uint8_t kSysexStart = 0xF0, kSysexEnd = 0xF7, kFirstRealtime = 0xF8;
    if (bytes[0] == kSysexStart) {
        for (std::size_t i = 1; i < bytes.size(); ++i) {
            if (bytes[i] == kSysexEnd) return i + 1;
            if (bytes[i] >= 0x80 && bytes[i] < kFirstRealtime) return i;
        }
        return bytes.size();
    }
    if (bytes[0] >= kFirstRealtime) return 1;
    std::size_t i = 1;
    while (i < bytes.size() && bytes[i] < 0x80) ++i;
    return i;
}

struct LoopbackMidiBackend::Core {
    struct Port {
        std::string name;
        std::string clientName;
        int port = -1;
        bool isSource = false;
        MidiBytesHandler onBytes;
        // Held while a delivery runs, so that a destination being destroyed waits for it to finish.
        std::mutex delivering;
        bool closed = false;
    };

    mutable std::mutex mutex;
    bool available = true;
    int sendError = 0;
    size_t recordLimit = 1u << 16;
    size_t packetLimit = SIZE_MAX;
    uint64_t sentCount = 0;
    std::vector<Sent> sent;
    size_t head = 0;  // oldest record once the ring is full
    std::vector<std::shared_ptr<Port>> ports;

    bool portTaken(int port) const {
        return std::any_of(ports.begin(), ports.end(), [&](const auto& p) { return p->port == port; });
    }

    void remove(const Port* p) {
        std::lock_guard g(mutex);
        std::erase_if(ports, [&](const auto& q) { return q.get() == p; });
    }
};

namespace {

class LoopbackSource final : public MidiSource {
public:
    LoopbackSource(std::shared_ptr<LoopbackMidiBackend::Core> core, std::shared_ptr<LoopbackMidiBackend::Core::Port> p)
        : core_(std::move(core)), port_(std::move(p)) {}
    ~LoopbackSource() override { core_->remove(port_.get()); }

    int send(std::span<const uint8_t> bytes, int64_t hostTimeNs) override {
        auto& c = *core_;
        std::lock_guard g(c.mutex);
        if (c.sendError != 0) return c.sendError;
        if (bytes.empty()) return -EINVAL;
        if (bytes.size() > c.packetLimit) return -EMSGSIZE;
        ++c.sentCount;
        if (c.recordLimit == 0) return 0;
        LoopbackMidiBackend::Sent s{port_->name, port_->port, std::vector<uint8_t>(bytes.begin(), bytes.end()), hostTimeNs};
        if (c.sent.size() < c.recordLimit) {
            c.sent.push_back(std::move(s));
        } else {
            c.sent[c.head] = std::move(s);
            c.head = (c.head + 1) % c.sent.size();
        }
        return 0;
    }
    std::size_t maxPacketBytes() const override {
        std::lock_guard g(core_->mutex);
        return core_->packetLimit;
    }
    const std::string& name() const override { return port_->name; }
    int port() const override { return port_->port; }

private:
    std::shared_ptr<LoopbackMidiBackend::Core> core_;
    std::shared_ptr<LoopbackMidiBackend::Core::Port> port_;
};

class LoopbackDestination final : public MidiDestination {
public:
    LoopbackDestination(std::shared_ptr<LoopbackMidiBackend::Core> core,
                        std::shared_ptr<LoopbackMidiBackend::Core::Port> p)
        : core_(std::move(core)), port_(std::move(p)) {}
    ~LoopbackDestination() override {
        core_->remove(port_.get());
        std::lock_guard g(port_->delivering);
        port_->closed = true;
    }
    const std::string& name() const override { return port_->name; }
    int port() const override { return port_->port; }

private:
    std::shared_ptr<LoopbackMidiBackend::Core> core_;
    std::shared_ptr<LoopbackMidiBackend::Core::Port> port_;
};

}  // namespace

LoopbackMidiBackend::LoopbackMidiBackend() : core_(std::make_shared<Core>()) {}
LoopbackMidiBackend::~LoopbackMidiBackend() = default;

bool LoopbackMidiBackend::available() const {
    std::lock_guard g(core_->mutex);
    return core_->available;
}

std::string LoopbackMidiBackend::status() const {
    std::lock_guard g(core_->mutex);
    return core_->available ? "loopback MIDI ready" : "loopback MIDI switched off";
}

std::unique_ptr<MidiSource> LoopbackMidiBackend::createSource(const std::string& name, int port) {
    std::lock_guard g(core_->mutex);
    if (!core_->available || port < 0 || core_->portTaken(port)) return nullptr;
    auto p = std::make_shared<Core::Port>();
    p->name = name;
    p->clientName = name;
    p->port = port;
    p->isSource = true;
    core_->ports.push_back(p);
    return std::make_unique<LoopbackSource>(core_, std::move(p));
}

std::unique_ptr<MidiDestination> LoopbackMidiBackend::createDestination(const std::string& name,
                                                                        const std::string& clientName, int port,
                                                                        MidiBytesHandler onBytes) {
    std::lock_guard g(core_->mutex);
    if (!core_->available || port < 0 || core_->portTaken(port)) return nullptr;
    auto p = std::make_shared<Core::Port>();
    p->name = name;
    p->clientName = clientName;
    p->port = port;
    p->onBytes = std::move(onBytes);
    core_->ports.push_back(p);
    return std::make_unique<LoopbackDestination>(core_, std::move(p));
}

std::vector<MidiEndpoint> LoopbackMidiBackend::endpoints() const {
    std::lock_guard g(core_->mutex);
    std::vector<MidiEndpoint> out;
    for (const auto& p : core_->ports)
        out.push_back({p->clientName, p->name, 0, p->port, p->isSource, !p->isSource});
    return out;
}

void LoopbackMidiBackend::setAvailable(bool on) {
    std::lock_guard g(core_->mutex);
    core_->available = on;
}

void LoopbackMidiBackend::setSendError(int code) {
    std::lock_guard g(core_->mutex);
    core_->sendError = code;
}

void LoopbackMidiBackend::setRecordLimit(size_t limit) {
    std::lock_guard g(core_->mutex);
    core_->recordLimit = limit;
    core_->sent.clear();
    core_->head = 0;
}

void LoopbackMidiBackend::setPacketLimit(size_t bytes) {
    std::lock_guard g(core_->mutex);
    core_->packetLimit = std::max<size_t>(bytes, 1);
}

std::vector<LoopbackMidiBackend::Sent> LoopbackMidiBackend::sent() const {
    std::lock_guard g(core_->mutex);
    std::vector<Sent> out;
    out.reserve(core_->sent.size());
    for (size_t i = 0; i < core_->sent.size(); ++i) out.push_back(core_->sent[(core_->head + i) % core_->sent.size()]);
    return out;
}

uint64_t LoopbackMidiBackend::sentCount() const {
    std::lock_guard g(core_->mutex);
    return core_->sentCount;
}

void LoopbackMidiBackend::clearSent() {
    std::lock_guard g(core_->mutex);
    core_->sent.clear();
    core_->head = 0;
    core_->sentCount = 0;
}

bool LoopbackMidiBackend::inject(int port, std::span<const uint8_t> bytes, int64_t hostTimeNs) {
    std::shared_ptr<Core::Port> target;
    {
        std::lock_guard g(core_->mutex);
        for (const auto& p : core_->ports)
            if (p->port == port && !p->isSource) target = p;
    }
    if (!target) return false;
    // Delivered outside the backend's lock: the handler may send or inject in turn.
    std::lock_guard g(target->delivering);
    if (target->closed) return false;
    if (target->onBytes) target->onBytes(bytes, hostTimeNs ? hostTimeNs : platform::hostTimeNs());
    return true;
}

}  // namespace plindo::platform
