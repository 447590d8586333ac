#include "platform/service_discovery.h"

#include "platform/log.h"
#include "platform/serial_queue.h"

#include <avahi-client/client.h>
#include <avahi-client/lookup.h>
#include <avahi-client/publish.h>
#include <avahi-common/address.h>
#include <avahi-common/alternative.h>
#include <avahi-common/error.h>
#include <avahi-common/malloc.h>
#include <avahi-common/thread-watch.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <condition_variable>
#include <mutex>
#include <set>
#include <utility>

namespace plindo::platform {

// ---- in-process registry

struct FakeServiceRegistry::Impl {
    mutable std::mutex mutex;
    std::vector<std::pair<int, ServiceInstance>> entries;
    int nextId = 1;
};

std::shared_ptr<FakeServiceRegistry::Impl> FakeServiceRegistry::makeImpl() { return std::make_shared<Impl>(); }

namespace {
class FakeRegistration final : public ServiceRegistration {
public:
    FakeRegistration(std::weak_ptr<FakeServiceRegistry::Impl> impl, int id) : impl_(std::move(impl)), id_(id) {}
    ~FakeRegistration() override {
        if (auto impl = impl_.lock()) {
            std::lock_guard lock(impl->mutex);
            std::erase_if(impl->entries, [this](const auto& e) { return e.first == id_; });
        }
    }

private:
    std::weak_ptr<FakeServiceRegistry::Impl> impl_;
    int id_;
};
}  // namespace

std::unique_ptr<ServiceRegistration> FakeServiceRegistry::advertise(
    const std::string& name, const std::string& type, int port,
    const std::function<void(const std::string&)>& onStatus, const std::function<void()>& onRegistered) {
    if (port <= 0 || port > 65535) {
        if (onStatus) onStatus("Cannot advertise " + type + " on port " + std::to_string(port));
        return nullptr;
    }
    int id = 0;
    {
        std::lock_guard lock(impl_->mutex);
        id = impl_->nextId++;
        impl_->entries.push_back({id, ServiceInstance{name, type, "127.0.0.1", port}});
    }
    if (onRegistered) onRegistered();
    return std::make_unique<FakeRegistration>(impl_, id);
}

std::vector<ServiceInstance> FakeServiceRegistry::browse(const std::string& type, double) {
    std::vector<ServiceInstance> out;
    std::lock_guard lock(impl_->mutex);
    for (const auto& e : impl_->entries) {
        if (e.second.type == type) out.push_back(e.second);
    }
    return out;
}

std::vector<ServiceInstance> FakeServiceRegistry::all() const {
    std::vector<ServiceInstance> out;
    std::lock_guard lock(impl_->mutex);
    for (const auto& e : impl_->entries) out.push_back(e.second);
    return out;
}

// ---- Avahi

namespace {

// Longest wait a browse may ask for; longer requests are cut to it.
constexpr double kMaxBrowseSec = 60.0;

spdlog::logger& discoveryLog() { return logger("discovery"); }

// Status lines raised inside Avahi's callbacks run here, so they never run under the event loop's lock
// and may freely destroy a registration. Never freed: a late line may still be queued at exit.
SerialQueue& statusQueue() {
    static auto* q = new SerialQueue("avahi.status");
    return *q;
}

void postStatus(const std::function<void(const std::string&)>& f, std::string line) {
    if (!f) return;
    statusQueue().post([f, line = std::move(line)] { f(line); });
}

struct AvahiRegistration;

// One client connection to the daemon and its event loop thread.
struct AvahiConnection {
    AvahiThreadedPoll* poll = nullptr;
    AvahiClient* client = nullptr;
    std::set<AvahiRegistration*> registrations;  // guarded by the event loop's lock
    bool failed = false;                          // guarded by the event loop's lock

    ~AvahiConnection() {
        if (poll) avahi_threaded_poll_stop(poll);
        if (client) avahi_client_free(client);
        if (poll) avahi_threaded_poll_free(poll);
    }

    struct Lock {
        explicit Lock(AvahiThreadedPoll* p) : poll(p) { avahi_threaded_poll_lock(poll); }
        ~Lock() { avahi_threaded_poll_unlock(poll); }
        AvahiThreadedPoll* poll;
    };
};

struct AvahiRegistration final : ServiceRegistration {
    std::shared_ptr<AvahiConnection> conn;
    std::string name;
    std::string type;
    uint16_t port = 0;
    std::function<void(const std::string&)> onStatus;
    std::function<void()> onRegistered;  // cleared once run
    AvahiEntryGroup* group = nullptr;

    ~AvahiRegistration() override {
        AvahiConnection::Lock lock(conn->poll);
        conn->registrations.erase(this);
        if (group) avahi_entry_group_free(group);
    }
};

void addServices(AvahiRegistration* r, AvahiClient* c);

void renameAfterCollision(AvahiRegistration* r, AvahiClient* c) {
    char* alt = avahi_alternative_service_name(r->name.c_str());
    const std::string old = r->name;
    r->name = alt ? alt : r->name + " 2";
    avahi_free(alt);
    discoveryLog().warn("service name \"{}\" is taken on the network; advertising as \"{}\"", old, r->name);
    postStatus(r->onStatus, "Service name \"" + old + "\" is taken; advertising as \"" + r->name + "\"");
    if (r->group) avahi_entry_group_reset(r->group);
    addServices(r, c);
}

void onGroupState(AvahiEntryGroup* g, AvahiEntryGroupState state, void* userdata) {
    auto* r = static_cast<AvahiRegistration*>(userdata);
    AvahiClient* c = avahi_entry_group_get_client(g);
    switch (state) {
    case AVAHI_ENTRY_GROUP_ESTABLISHED:
        discoveryLog().info("advertising \"{}\" {} on port {}", r->name, r->type, r->port);
        // Run off the event loop's lock, like the status lines.
        if (auto f = std::exchange(r->onRegistered, nullptr)) statusQueue().post(std::move(f));
        break;
    case AVAHI_ENTRY_GROUP_COLLISION:
        renameAfterCollision(r, c);
        break;
    case AVAHI_ENTRY_GROUP_FAILURE: {
        const std::string why = avahi_strerror(avahi_client_errno(c));
        discoveryLog().error("advertising \"{}\" {} failed: {}", r->name, r->type, why);
        postStatus(r->onStatus, "Service advertising failed for " + r->type + ": " + why);
        break;
    }
    default:
        break;
    }
}

void addServices(AvahiRegistration* r, AvahiClient* c) {
    if (!r->group) {
        r->group = avahi_entry_group_new(c, onGroupState, r);
        if (!r->group) {
            postStatus(r->onStatus, "Service advertising failed for " + r->type + ": " +
                                        avahi_strerror(avahi_client_errno(c)));
            return;
        }
    }
    if (!avahi_entry_group_is_empty(r->group)) return;
    int rc = avahi_entry_group_add_service(r->group, AVAHI_IF_UNSPEC, AVAHI_PROTO_UNSPEC, AvahiPublishFlags(0),
                                           r->name.c_str(), r->type.c_str(), nullptr, nullptr, r->port, nullptr);
    if (rc == AVAHI_ERR_COLLISION) {
        renameAfterCollision(r, c);
        return;
    }
    if (rc >= 0) rc = avahi_entry_group_commit(r->group);
    if (rc < 0) {
        discoveryLog().error("advertising \"{}\" {} failed: {}", r->name, r->type, avahi_strerror(rc));
        postStatus(r->onStatus, "Service advertising failed for " + r->type + ": " + avahi_strerror(rc));
    }
}

void onClientState(AvahiClient* c, AvahiClientState state, void* userdata) {
    auto* conn = static_cast<AvahiConnection*>(userdata);
    if (!conn->client) conn->client = c;  // the first call comes from inside avahi_client_new
    switch (state) {
    case AVAHI_CLIENT_S_RUNNING:
        for (auto* r : conn->registrations) addServices(r, c);
        break;
    case AVAHI_CLIENT_S_COLLISION:
    case AVAHI_CLIENT_S_REGISTERING:
        // The host name is changing; the services go up again once the client runs.
        for (auto* r : conn->registrations) {
            if (r->group) avahi_entry_group_reset(r->group);
        }
        break;
    case AVAHI_CLIENT_FAILURE: {
        conn->failed = true;
        const std::string why = avahi_strerror(avahi_client_errno(c));
        discoveryLog().error("service discovery stopped: {}", why);
        for (auto* r : conn->registrations) postStatus(r->onStatus, "Service discovery stopped (" + why + ")");
        break;
    }
    default:
        break;
    }
}

// Connects to the daemon; none after logging and setting `why`.
std::shared_ptr<AvahiConnection> connectAvahi(std::string& why) {
    auto conn = std::make_shared<AvahiConnection>();
    conn->poll = avahi_threaded_poll_new();
    if (!conn->poll) {
        why = "cannot start its event loop";
        return nullptr;
    }
    int error = 0;
    AvahiClient* c = avahi_client_new(avahi_threaded_poll_get(conn->poll), AvahiClientFlags(0), onClientState,
                                      conn.get(), &error);
    if (!c) {
        conn->client = nullptr;
        why = avahi_strerror(error);
        discoveryLog().warn("no mDNS daemon: {}", why);
        return nullptr;
    }
    conn->client = c;
    if (avahi_threaded_poll_start(conn->poll) < 0) {
        why = "cannot start its event loop";
        return nullptr;
    }
    return conn;
}

class AvahiAdvertiser final : public ServiceAdvertiser {
public:
    using ServiceAdvertiser::advertise;
    std::unique_ptr<ServiceRegistration> advertise(const std::string& name, const std::string& type, int port,
                                                   const std::function<void(const std::string&)>& onStatus,
                                                   const std::function<void()>& onRegistered) override {
        if (port <= 0 || port > 65535) {
            if (onStatus) onStatus("Cannot advertise " + type + " on port " + std::to_string(port));
            return nullptr;
        }
        std::lock_guard lock(mutex_);
        if (conn_) {
            AvahiConnection::Lock l(conn_->poll);
            if (conn_->failed) conn_.reset();  // the daemon went away; try a new connection
        }
        if (!conn_) {
            std::string why;
            conn_ = connectAvahi(why);
            if (!conn_) {
                if (onStatus) onStatus("Service discovery unavailable (" + why + "); " + type + " not advertised");
                return nullptr;
            }
        }
        auto r = std::make_unique<AvahiRegistration>();
        r->conn = conn_;
        r->name = name;
        r->type = type;
        r->port = static_cast<uint16_t>(port);
        r->onStatus = onStatus;
        r->onRegistered = onRegistered;
        AvahiConnection::Lock l(conn_->poll);
        conn_->registrations.insert(r.get());
        if (avahi_client_get_state(conn_->client) == AVAHI_CLIENT_S_RUNNING) addServices(r.get(), conn_->client);
        return r;
    }

private:
    std::mutex mutex_;
    std::shared_ptr<AvahiConnection> conn_;
};

struct BrowseRun {
    std::mutex mutex;
    std::condition_variable cv;
    std::vector<ServiceInstance> found;
    std::set<AvahiServiceResolver*> resolving;  // touched only under the event loop's lock
    int pending = 0;  // resolves started and not yet answered
    bool allForNow = false;
    bool failed = false;
    std::string type;
};

void onResolved(AvahiServiceResolver* r, AvahiIfIndex, AvahiProtocol, AvahiResolverEvent event, const char* name,
                const char* type, const char*, const char*, const AvahiAddress* a, uint16_t port, AvahiStringList*,
                AvahiLookupResultFlags, void* userdata) {
    auto* run = static_cast<BrowseRun*>(userdata);
    run->resolving.erase(r);
    if (event == AVAHI_RESOLVER_FOUND && a) {
        char addr[AVAHI_ADDRESS_STR_MAX] = {};
        avahi_address_snprint(addr, sizeof addr, a);
        std::lock_guard lock(run->mutex);
        const bool known = std::any_of(run->found.begin(), run->found.end(),
                                       [&](const ServiceInstance& s) { return s.name == name; });
        if (!known) run->found.push_back(ServiceInstance{name, type, addr, port});
    }
    avahi_service_resolver_free(r);
    std::lock_guard lock(run->mutex);
    --run->pending;
    run->cv.notify_all();
}

void onBrowse(AvahiServiceBrowser* b, AvahiIfIndex iface, AvahiProtocol proto, AvahiBrowserEvent event,
              const char* name, const char* type, const char* domain, AvahiLookupResultFlags, void* userdata) {
    auto* run = static_cast<BrowseRun*>(userdata);
    AvahiClient* c = avahi_service_browser_get_client(b);
    switch (event) {
    case AVAHI_BROWSER_NEW:
        if (auto* r = avahi_service_resolver_new(c, iface, proto, name, type, domain, AVAHI_PROTO_INET,
                                                 AvahiLookupFlags(0), onResolved, run)) {
            run->resolving.insert(r);
            std::lock_guard lock(run->mutex);
            ++run->pending;
        }
        break;
    case AVAHI_BROWSER_REMOVE: {
        std::lock_guard lock(run->mutex);
        std::erase_if(run->found, [&](const ServiceInstance& s) { return s.name == name; });
        break;
    }
    case AVAHI_BROWSER_ALL_FOR_NOW: {
        std::lock_guard lock(run->mutex);
        run->allForNow = true;
        run->cv.notify_all();
        break;
    }
    case AVAHI_BROWSER_FAILURE: {
        discoveryLog().error("browsing {} failed: {}", run->type, avahi_strerror(avahi_client_errno(c)));
        std::lock_guard lock(run->mutex);
        run->failed = true;
        run->cv.notify_all();
        break;
    }
    default:
        break;
    }
}

class AvahiBrowser final : public ServiceBrowser {
public:
    std::vector<ServiceInstance> browse(const std::string& type, double timeoutSec) override {
        std::lock_guard browsing(mutex_);
        if (conn_) {
            AvahiConnection::Lock l(conn_->poll);
            if (conn_->failed) conn_.reset();
        }
        if (!conn_) {
            std::string why;
            conn_ = connectAvahi(why);
            if (!conn_) {
                if (onStatus) onStatus("Service discovery unavailable (" + why + "); cannot browse " + type);
                return {};
            }
        }
        const double wait = std::isfinite(timeoutSec) ? std::clamp(timeoutSec, 0.0, kMaxBrowseSec) : 0.0;
        const auto deadline =
            std::chrono::steady_clock::now() + std::chrono::duration_cast<std::chrono::steady_clock::duration>(
                                                   std::chrono::duration<double>(wait));
        BrowseRun run;
        run.type = type;
        AvahiServiceBrowser* b = nullptr;
        {
            AvahiConnection::Lock l(conn_->poll);
            b = avahi_service_browser_new(conn_->client, AVAHI_IF_UNSPEC, AVAHI_PROTO_UNSPEC, type.c_str(), nullptr,
                                          AvahiLookupFlags(0), onBrowse, &run);
            if (!b) {
                const std::string why = avahi_strerror(avahi_client_errno(conn_->client));
                discoveryLog().error("browsing {} failed: {}", type, why);
                if (onStatus) onStatus("Cannot browse " + type + ": " + why);
                return {};
            }
        }
        {
            std::unique_lock lock(run.mutex);
            run.cv.wait_until(lock, deadline, [&] { return run.failed || (run.allForNow && run.pending == 0); });
        }
        // Freed under the loop's lock, so no callback can touch `run` after this.
        AvahiConnection::Lock l(conn_->poll);
        for (auto* r : run.resolving) avahi_service_resolver_free(r);
        run.resolving.clear();
        avahi_service_browser_free(b);
        std::lock_guard lock(run.mutex);
        return run.found;
    }

private:
    std::mutex mutex_;
    std::shared_ptr<AvahiConnection> conn_;
};

}  // namespace

std::unique_ptr<ServiceAdvertiser> makeAvahiAdvertiser() { return std::make_unique<AvahiAdvertiser>(); }
std::unique_ptr<ServiceBrowser> makeAvahiBrowser() { return std::make_unique<AvahiBrowser>(); }

}  // namespace plindo::platform
