#include "platform/net_interfaces.h"

#include <arpa/inet.h>
#include <ifaddrs.h>
#include <net/if.h>
#include <netinet/in.h>
#include <sys/stat.h>

#include <fstream>
#include <map>

namespace plindo::platform {

namespace {
constexpr const char* kSysClassNet = "/sys/class/net";
constexpr int kEtherType = 1;  // ARPHRD_ETHER
}  // namespace

NetInterface::Medium interfaceMedium(const std::string& sysClassNet, const std::string& name) {
    // A name with a slash (or "..") would leave the interface folder.
    if (name.empty() || name.find('/') != std::string::npos || name == "." || name == "..")
        return NetInterface::Medium::Other;
    const std::string dir = sysClassNet + "/" + name;
    struct stat st {};
    if (::stat((dir + "/wireless").c_str(), &st) == 0) return NetInterface::Medium::Wireless;
    std::ifstream typeFile(dir + "/type");
    int type = -1;
    if (typeFile >> type && type == kEtherType) return NetInterface::Medium::Wired;
    return NetInterface::Medium::Other;
}

std::vector<NetInterface> systemInterfaces() {
    std::vector<NetInterface> out;
    ifaddrs* list = nullptr;
    if (::getifaddrs(&list) != 0) return out;
    std::map<std::string, NetInterface::Medium> media;  // one look in /sys per interface
    for (const ifaddrs* a = list; a; a = a->ifa_next) {
        if (!a->ifa_addr || !a->ifa_name) continue;
        const int family = a->ifa_addr->sa_family;
        if (family != AF_INET && family != AF_INET6) continue;
        NetInterface n;
        n.name = a->ifa_name;
        n.up = (a->ifa_flags & IFF_UP) != 0;
        n.loopback = (a->ifa_flags & IFF_LOOPBACK) != 0;
        n.index = ::if_nametoindex(a->ifa_name);
        auto medium = media.find(n.name);
        if (medium == media.end()) medium = media.emplace(n.name, interfaceMedium(kSysClassNet, n.name)).first;
        n.medium = medium->second;
        char text[INET6_ADDRSTRLEN] = {};
        if (family == AF_INET) {
            const auto* sin = reinterpret_cast<const sockaddr_in*>(a->ifa_addr);
            if (::inet_ntop(AF_INET, &sin->sin_addr, text, sizeof text)) n.ipv4 = text;
        } else {
            const auto* sin6 = reinterpret_cast<const sockaddr_in6*>(a->ifa_addr);
            if (::inet_ntop(AF_INET6, &sin6->sin6_addr, text, sizeof text)) n.ipv6 = text;
        }
        out.push_back(std::move(n));
    }
    ::freeifaddrs(list);
    return out;
}

}  // namespace plindo::platform
