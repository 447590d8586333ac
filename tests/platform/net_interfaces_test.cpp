#include "platform/net_interfaces.h"

#include <gtest/gtest.h>

#include <unistd.h>

#include <filesystem>
#include <fstream>

namespace fs = std::filesystem;
using plindo::platform::NetInterface;

TEST(NetInterfaces, ListsEveryAddressWithItsInterfaceIndex) {
    bool loopback = false;
    for (const auto& n : plindo::platform::systemInterfaces()) {
        EXPECT_FALSE(n.name.empty());
        EXPECT_NE(n.ipv4.empty(), n.ipv6.empty()) << n.name;  // exactly one address per entry
        EXPECT_GT(n.index, 0u) << n.name;
        if (n.loopback && n.ipv4 == "127.0.0.1") {
            loopback = n.up;
            EXPECT_EQ(n.medium, NetInterface::Medium::Other);
        }
    }
    EXPECT_TRUE(loopback);
}

TEST(NetInterfaces, TellsWiFiFromWiredFromTheKernelsDescription) {
    const fs::path root = fs::temp_directory_path() / ("plindo-sysnet-" + std::to_string(::getpid()));
    fs::remove_all(root);
    const auto type = [&](const std::string& name, const std::string& text) {
        fs::create_directories(root / name);
        std::ofstream(root / name / "type") << text;
    };
    type("wlan0", "1\n");
    fs::create_directories(root / "wlan0" / "wireless");
    type("eth0", "1\n");
    type("lo", "772\n");
    type("tun0", "65534\n");
    type("odd0", "ether\n");

    const struct {
        const char* name;
        NetInterface::Medium want;
    } cases[] = {
        {"wlan0", NetInterface::Medium::Wireless}, {"eth0", NetInterface::Medium::Wired},
        {"lo", NetInterface::Medium::Other},       {"tun0", NetInterface::Medium::Other},
        {"odd0", NetInterface::Medium::Other},     {"gone0", NetInterface::Medium::Other},
        {"../eth0", NetInterface::Medium::Other},  {"", NetInterface::Medium::Other},
    };
    for (const auto& c : cases) EXPECT_EQ(plindo::platform::interfaceMedium(root.string(), c.name), c.want) << c.name;
    fs::remove_all(root);
}
