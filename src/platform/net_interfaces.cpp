#include "platform/net_interfaces.h"

#include <arpa/inet.h>
#include <ifaddrs.h>
#include <net/if.h>
#include <netinet/in.h>

namespace plindo::platform {

std::vector<NetInterface> systemInterfaces() {
    std::vector<NetInterface> out;
    ifaddrs* list = nullptr;
    if (::getifaddrs(&list) != 0) return out;
    for (const ifaddrs* a = list; a; a = a->ifa_next) {
        if (!a->ifa_addr || a->ifa_addr->sa_family != AF_INET || !a->ifa_name) continue;
        NetInterface n;
        n.name = a->ifa_name;
        n.up = (a->ifa_flags & IFF_UP) != 0;
        n.loopback = (a->ifa_flags & IFF_LOOPBACK) != 0;
        char text[INET_ADDRSTRLEN] = {};
        const auto* sin = reinterpret_cast<const sockaddr_in*>(a->ifa_addr);
        if (::inet_ntop(AF_INET, &sin->sin_addr, text, sizeof text)) n.ipv4 = text;
        out.push_back(std::move(n));
    }
    ::freeifaddrs(list);
    return out;
}

}  // namespace plindo::platform
