#pragma once
// Advertising and finding services on the local network (DNS-SD). The Avahi backend talks to the system's
// daemon; the in-process registry serves tests and machines without a daemon. Without a daemon a part stays
// idle and says so through its status callback; it never fails the server that asked.
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace plindo::platform {

struct ServiceInstance {
    std::string name;  // instance name, e.g. the host wire name
    std::string type;  // "_plindo._udp", "_plindo-file._tcp"
    std::string host;  // address text to connect to (IPv4 dotted, or a name)
    int port = 0;
};

// Keeps one service advertised while alive. Later status lines (a name taken on the network, the daemon
// gone) reach the `onStatus` given to `advertise`, on a thread of the backend's, never under its lock.
class ServiceRegistration {
public:
    virtual ~ServiceRegistration() = default;
};

class ServiceAdvertiser {
public:
    virtual ~ServiceAdvertiser() = default;
    // Advertises name/type/port. Returns the registration (destroy it to withdraw) or null after reporting
    // why through `onStatus`. `onRegistered` runs once, when the service is first published on the network:
    // on a thread of the backend's, or before this returns where publishing is immediate.
    virtual std::unique_ptr<ServiceRegistration> advertise(const std::string& name, const std::string& type, int port,
                                                           const std::function<void(const std::string&)>& onStatus,
                                                           const std::function<void()>& onRegistered) = 0;
    std::unique_ptr<ServiceRegistration> advertise(const std::string& name, const std::string& type, int port,
                                                   const std::function<void(const std::string&)>& onStatus) {
        return advertise(name, type, port, onStatus, {});
    }
};

class ServiceBrowser {
public:
    virtual ~ServiceBrowser() = default;
    // The instances of `type` currently known, waiting up to `timeoutSec` for the first results.
    virtual std::vector<ServiceInstance> browse(const std::string& type, double timeoutSec) = 0;

    // Why browsing cannot run (no daemon); called on the browsing thread. Browsing then finds nothing.
    std::function<void(const std::string&)> onStatus;
};

// The in-process registry: what one advertiser registers, every browser of the same registry finds.
class FakeServiceRegistry final : public ServiceAdvertiser, public ServiceBrowser {
public:
    using ServiceAdvertiser::advertise;
    std::unique_ptr<ServiceRegistration> advertise(const std::string& name, const std::string& type, int port,
                                                   const std::function<void(const std::string&)>& onStatus,
                                                   const std::function<void()>& onRegistered) override;
    std::vector<ServiceInstance> browse(const std::string& type, double timeoutSec) override;
    std::vector<ServiceInstance> all() const;

    struct Impl;  // shared with the live registrations, which withdraw themselves on destruction

private:
    std::shared_ptr<Impl> impl_ = makeImpl();
    static std::shared_ptr<Impl> makeImpl();
};

// The Avahi client backends. When no daemon answers they report it and do nothing. A name already taken on
// the network is replaced by Avahi's alternative ("name #2") and reported.
std::unique_ptr<ServiceAdvertiser> makeAvahiAdvertiser();
std::unique_ptr<ServiceBrowser> makeAvahiBrowser();

}  // namespace plindo::platform
