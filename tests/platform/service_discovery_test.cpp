#include "platform/service_discovery.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <thread>

#include <unistd.h>

using namespace plindo::platform;

TEST(FakeServiceRegistry, BrowsersSeeWhatIsAdvertisedUntilItsRegistrationEnds) {
    FakeServiceRegistry reg;
    std::string status;
    auto udp = reg.advertise("deck-host", "_plindo._udp", 7100, [&](const std::string& s) { status = s; });
    auto files = reg.advertise("deck-host-ab12", "_plindo-file._tcp", 17600, nullptr);
    ASSERT_TRUE(udp && files);
    EXPECT_TRUE(status.empty());

    auto found = reg.browse("_plindo-file._tcp", 1.0);
    ASSERT_EQ(found.size(), 1u);
    EXPECT_EQ(found[0].name, "deck-host-ab12");
    EXPECT_EQ(found[0].port, 17600);
    EXPECT_EQ(found[0].host, "127.0.0.1");
    EXPECT_EQ(reg.all().size(), 2u);

    files.reset();
    EXPECT_TRUE(reg.browse("_plindo-file._tcp", 0).empty());
    EXPECT_EQ(reg.browse("_plindo._udp", 0).size(), 1u);

    EXPECT_FALSE(reg.advertise("x", "_plindo._udp", 0, [&](const std::string& s) { status = s; }));
    EXPECT_FALSE(status.empty());
}

TEST(FakeServiceRegistry, RegistrationMayOutliveTheRegistry) {
    std::unique_ptr<ServiceRegistration> r;
    {
        FakeServiceRegistry reg;
        r = reg.advertise("a", "_plindo._udp", 7100, nullptr);
    }
    r.reset();  // must not touch the freed registry
    SUCCEED();
}

TEST(AvahiBackends, WithoutADaemonReportAStatusLineAndStayIdle) {
    // Point the D-Bus client at nowhere, so the test is the same with or without a running daemon.
    ::setenv("DBUS_SYSTEM_BUS_ADDRESS", "unix:path=/nonexistent/plindo-test-bus", 1);
    auto adv = makeAvahiAdvertiser();
    std::string status;
    auto reg = adv->advertise("Plindo Host", "_plindo._udp", 7100, [&](const std::string& s) { status = s; });
    EXPECT_FALSE(reg);
    EXPECT_NE(status.find("Service discovery unavailable"), std::string::npos) << status;

    auto browser = makeAvahiBrowser();
    std::string browseStatus;
    browser->onStatus = [&](const std::string& s) { browseStatus = s; };
    const auto t0 = std::chrono::steady_clock::now();
    EXPECT_TRUE(browser->browse("_plindo-file._tcp", 5.0).empty());
    EXPECT_LT(std::chrono::steady_clock::now() - t0, std::chrono::seconds(2));  // no waiting for nothing
    EXPECT_FALSE(browseStatus.empty());
    ::unsetenv("DBUS_SYSTEM_BUS_ADDRESS");
}

TEST(AvahiBackends, AdvertisedServiceIsFoundWhenADaemonRuns) {
    auto adv = makeAvahiAdvertiser();
    std::string status;
    const std::string name = "plindo-test-" + std::to_string(::getpid());
    std::atomic<bool> published{false};
    auto reg = adv->advertise(name, "_plindo-test._udp", 7199, [&](const std::string& s) { status = s; },
                              [&] { published = true; });
    if (!reg) GTEST_SKIP() << "no mDNS daemon here: " << status;
    auto browser = makeAvahiBrowser();
    bool found = false;
    const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    while (!found && std::chrono::steady_clock::now() < until) {
        for (const auto& s : browser->browse("_plindo-test._udp", 1.0)) found = found || (s.name == name && s.port == 7199);
    }
    EXPECT_TRUE(found);
    for (int i = 0; i < 200 && !published; ++i) std::this_thread::sleep_for(std::chrono::milliseconds(10));
    EXPECT_TRUE(published);
}
