#include "group/orv_host_browser.h"

namespace plindo::group {

std::optional<platform::ServiceInstance> OrvHostBrowser::find(std::string_view name, double timeoutSec) {
    for (auto& s : hosts(timeoutSec)) {
        if (s.name == name) return std::move(s);
    }
    return std::nullopt;
}

}  // namespace plindo::group
