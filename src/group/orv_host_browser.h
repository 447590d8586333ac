#pragma once
// Finds the other hosts on the local network: a service browser on "_plindo._udp". Browsing waits for the
// network, so call it off the main actor.
#include "platform/service_discovery.h"

#include <optional>
#include <string_view>
#include <vector>

namespace plindo::group {

class OrvHostBrowser {
public:
    static constexpr const char* kServiceType = "_plindo._udp";

    explicit OrvHostBrowser(platform::ServiceBrowser& browser) : browser_(browser) {}

    // The hosts found within timeoutSec.
    std::vector<platform::ServiceInstance> hosts(double timeoutSec) { return browser_.browse(kServiceType, timeoutSec); }
    // The host advertised under this name; none when it is not found within timeoutSec.
    std::optional<platform::ServiceInstance> find(std::string_view name, double timeoutSec);

private:
    platform::ServiceBrowser& browser_;
};

}  // namespace plindo::group
