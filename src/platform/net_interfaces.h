#pragma once
// The machine's network interfaces, as the address advertising and the link kind of a phone need them.
// Injectable for tests.
#include <functional>
#include <string>
#include <vector>

namespace plindo::platform {

struct NetInterface {
    // What carries the interface's traffic: Wi-Fi, a wired Ethernet port (or a bridge of them), or anything
    // else (loopback, tunnels).
    enum class Medium { Other, Wired, Wireless };

    std::string name;   // "eth0", "en0", "wlan0", "bridge0", "lo"
    bool up = false;
    bool loopback = false;
    std::string ipv4;   // dotted address, empty when the entry carries none
    unsigned index = 0;  // the system's interface index, 0 when unknown
    Medium medium = Medium::Other;
    std::string ipv6;   // address text of an IPv6 entry (no scope), empty otherwise
};

// One entry per interface and address (IPv4 or IPv6), in the order the system lists them (getifaddrs).
std::vector<NetInterface> systemInterfaces();

// The medium of interface `name` as the kernel describes it under `sysClassNet` (normally
// "/sys/class/net"): a "wireless" entry means Wi-Fi, type 1 (ARPHRD_ETHER) a wired port.
NetInterface::Medium interfaceMedium(const std::string& sysClassNet, const std::string& name);

using InterfaceSource = std::function<std::vector<NetInterface>()>;

}  // namespace plindo::platform
