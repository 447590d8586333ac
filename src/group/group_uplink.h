#pragma once
// This host's uplink into another host's group. The target comes from the setting "plindo.groupHost":
// "host:port" or the name another host advertises on "_plindo._udp"; empty means none. The uplink says
// hello at most once a second; the link is live from the target's first "/orv/bind" until 5 s pass without
// a datagram from it. Targets that bound are remembered in "plindo.previousGroups" (newest first, at most
// 8). Names are looked up on a queue of the uplink's own; everything else runs on the main actor, except
// onPeerDatagram.
#include "group/orv_host_browser.h"
#include "link/orv_remote_link.h"
#include "link/osc.h"
#include "platform/clock.h"
#include "platform/net_interfaces.h"
#include "platform/serial_queue.h"
#include "platform/settings.h"

#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace plindo::group {

class GroupUplink {
public:
    using Endpoint = asio::ip::udp::endpoint;

    static constexpr const char* kTargetKey = "plindo.groupHost";
    static constexpr const char* kPreviousKey = "plindo.previousGroups";
    static constexpr size_t kMaxPrevious = 8;
    static constexpr double kHelloEverySec = 1.0;
    static constexpr double kSilentAfterSec = 5.0;   // no datagram for this long ends the live link
    static constexpr double kRetryLookupSec = 5.0;   // a target not found is looked up again this often
    static constexpr double kBrowseWaitSec = 2.0;

    // The addresses of a host name, in the order the system gives them; empty when it has none.
    using Resolve = std::function<std::vector<asio::ip::address>(const std::string& host)>;

    struct Deps {
        platform::Settings& settings;
        std::string ownName;                  // this host's wire name, also its advertised service name
        std::function<int()> ownPort;         // this host's OSC port; 0 while it does not listen
        OrvHostBrowser* browser = nullptr;    // null: advertised names are not looked up
        const platform::Clock& clock = platform::systemClock();
        platform::InterfaceSource interfaces = platform::systemInterfaces;
        Resolve resolve;                      // null: the system's resolver
    };

    explicit GroupUplink(Deps deps);
    ~GroupUplink();  // closes the link and waits for a lookup in progress
    GroupUplink(const GroupUplink&) = delete;
    GroupUplink& operator=(const GroupUplink&) = delete;

    // The periodic work: follows a changed target, looks it up, connects, says hello, remembers a bind.
    void tick(double now);

    // The link while it is live, else null.
    link::OrvRemoteLink* link();
    bool live();
    // The target text in use, its endpoint once found, and the track-server port of its last bind (0 before).
    const std::string& target() const { return target_; }
    std::optional<Endpoint> targetEndpoint() const;
    int trackServerPort() const;

    // Status lines (a target that is this host, not found, unreachable or refusing us), from tick.
    std::function<void(const std::string&)> onStatus;
    // Every datagram from the target that carries more than its bind and keep-alive, on the link's queue,
    // for the OSC server to handle as from a group peer. The bytes are valid only during the call.
    std::function<void(std::span<const uint8_t>, const Endpoint& from)> onPeerDatagram;

    struct HostPort {
        std::string host;
        uint16_t port = 0;
        bool operator==(const HostPort&) const = default;
    };
    // "host:port" or "[v6 address]:port" with a port 1…65535; none otherwise (then the text is a host's
    // advertised name).
    static std::optional<HostPort> parseHostPort(std::string_view text);

private:
    struct Lookup {
        std::optional<Endpoint> endpoint;
        std::string failure;
    };

    void switchTarget(std::string text);
    void startLookup(double now);
    Lookup lookUp(const std::string& text);
    bool isThisHost(const Endpoint& e) const;
    void connect(const Endpoint& e);
    void onLinkDatagram(std::span<const uint8_t> bytes);
    void rememberTarget();
    void status(const std::string& line);

    platform::Settings& settings_;
    std::string ownName_;
    std::function<int()> ownPort_;
    OrvHostBrowser* browser_;
    const platform::Clock& clock_;
    platform::InterfaceSource interfaces_;
    Resolve resolve_;

    // Main actor.
    std::string target_;
    bool refused_ = false;
    bool lookingUp_ = false;
    bool reportedMissing_ = false;
    double lastLookupWall_ = -1e300;
    double lastHelloWall_ = -1e300;
    std::unique_ptr<link::OrvRemoteLink> link_;

    mutable std::mutex mutex_;  // guards what the link's and the lookup's queues write
    uint64_t epoch_ = 0;        // bumped with every target change: a late lookup of an old target is dropped
    std::optional<Lookup> looked_;
    std::optional<Endpoint> endpoint_;
    bool bound_ = false;
    bool newBind_ = false;
    std::optional<std::string> denied_;
    double lastHeardWall_ = -1e300;
    int trackPort_ = 0;

    link::OSCDecoder decoder_;  // the link's queue only
    platform::SerialQueue lookups_{"plindo.uplink"};
};

}  // namespace plindo::group
