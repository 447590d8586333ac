#pragma once
// The machine's network interfaces, as the address advertising needs them. Injectable for tests.
#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace plindo::platform {

struct NetInterface {
    std::string name;   // "eth0", "en0", "wlan0", "bridge0", "lo"
    bool up = false;
    bool loopback = false;
    std::string ipv4;   // dotted address, empty when the interface carries none
};

// One entry per interface and IPv4 address, in the order the system lists them (getifaddrs).
std::vector<NetInterface> systemInterfaces();

using InterfaceSource = std::function<std::vector<NetInterface>()>;

}  // namespace plindo::platform
