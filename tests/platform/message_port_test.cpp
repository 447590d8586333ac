#include "platform/fake_spy_driver.h"
#include "platform/message_port.h"

#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <thread>

namespace plindo::platform {
namespace {

using Bytes = std::vector<uint8_t>;

std::string freshNamespace() {
    static std::atomic<int> n{0};
    return "plindo-test-" + std::to_string(::getpid()) + "-" + std::to_string(n++) + "/";
}

// A local port served on a thread of its own for the length of a test.
struct Served {
    std::unique_ptr<LocalMessagePort> port;
    std::thread thread;
    explicit Served(std::unique_ptr<LocalMessagePort> p) : port(std::move(p)) {
        if (port)
            thread = std::thread([this] {
                while (port->runFor(0.25)) {
                }
            });
    }
    ~Served() {
        if (port) port->invalidate();
        if (thread.joinable()) thread.join();
    }
};

TEST(MessagePort, AnswersRequestsAndTakesOneWayMessages) {
    const auto ns = freshNamespace();
    std::atomic<int> oneWay{0};
    Served server(LocalMessagePort::create(
        "echo",
        [&](int32_t msgid, std::span<const uint8_t> data) {
            if (msgid == 7) ++oneWay;
            Bytes r{static_cast<uint8_t>(msgid)};
            r.insert(r.end(), data.begin(), data.end());
            return r;
        },
        ns));
    ASSERT_TRUE(server.port);

    auto remote = RemoteMessagePort::create("echo", ns);
    ASSERT_TRUE(remote);
    Bytes reply;
    EXPECT_EQ(remote->send(-3, Bytes{1, 2, 3}, 2.0, 2.0, &reply), MessagePortStatus::Success);
    EXPECT_EQ(reply, (Bytes{0xFD, 1, 2, 3}));
    EXPECT_EQ(remote->send(9, {}, 2.0, 2.0, &reply), MessagePortStatus::Success);
    EXPECT_EQ(reply, Bytes{9});

    for (int i = 0; i < 20; ++i) EXPECT_EQ(remote->send(7, Bytes{1}, 2.0, 0), MessagePortStatus::Success);
    for (int i = 0; i < 200 && oneWay < 20; ++i) std::this_thread::sleep_for(std::chrono::milliseconds(5));
    EXPECT_EQ(oneWay.load(), 20);

    EXPECT_EQ(remote->send(1, Bytes(LocalMessagePort::kMaxMessage + 1, 0), 1.0, 1.0, &reply),
              MessagePortStatus::TransportError);
}

TEST(MessagePort, NamesAreUniqueAndScopedByNamespace) {
    const auto ns = freshNamespace();
    const auto callout = [](int32_t, std::span<const uint8_t>) { return Bytes{}; };
    auto first = LocalMessagePort::create("port", callout, ns);
    ASSERT_TRUE(first);
    EXPECT_FALSE(LocalMessagePort::create("port", callout, ns));
    EXPECT_TRUE(LocalMessagePort::create("port", callout, freshNamespace()));
    EXPECT_FALSE(RemoteMessagePort::create("missing", ns));
    EXPECT_FALSE(LocalMessagePort::create(std::string(200, 'x'), callout, ns));
    EXPECT_FALSE(LocalMessagePort::create(std::string("a\0b", 3), callout, ns));

    first.reset();  // the name is free again once the port is gone
    EXPECT_FALSE(RemoteMessagePort::create("port", ns));
    EXPECT_TRUE(LocalMessagePort::create("port", callout, ns));
}

TEST(MessagePort, TimesOutWithoutAReplyAndWakesOnInvalidate) {
    const auto ns = freshNamespace();
    auto idle = LocalMessagePort::create(
        "idle", [](int32_t, std::span<const uint8_t>) { return Bytes{1}; }, ns);
    ASSERT_TRUE(idle);
    auto remote = RemoteMessagePort::create("idle", ns);
    ASSERT_TRUE(remote);
    Bytes reply;
    const auto t0 = std::chrono::steady_clock::now();
    EXPECT_EQ(remote->send(0, {}, 0.5, 0.2, &reply), MessagePortStatus::ReceiveTimeout);  // nobody runs the port
    EXPECT_LT(std::chrono::steady_clock::now() - t0, std::chrono::seconds(2));

    std::thread runner([&] { EXPECT_FALSE(idle->runFor(30.0)); });
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    const auto t1 = std::chrono::steady_clock::now();
    idle->invalidate();
    idle->invalidate();
    runner.join();
    EXPECT_LT(std::chrono::steady_clock::now() - t1, std::chrono::seconds(1));
    EXPECT_FALSE(idle->runFor(1.0));
}

TEST(MessagePort, ServesOnlyProcessesOfTheSameUser) {
    if (::geteuid() != 0) GTEST_SKIP() << "needs root to speak as another user";
    const auto ns = freshNamespace();
    std::atomic<int> served{0};
    Served server(LocalMessagePort::create(
        "mine",
        [&](int32_t, std::span<const uint8_t>) {
            ++served;
            return Bytes{1};
        },
        ns));
    ASSERT_TRUE(server.port);

    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        if (::setuid(65534) != 0) ::_exit(2);
        auto remote = RemoteMessagePort::create("mine", ns);
        Bytes reply;
        const bool answered =
            remote && remote->send(1, Bytes{1}, 1.0, 1.0, &reply) == MessagePortStatus::Success && !reply.empty();
        ::_exit(answered ? 1 : 0);
    }
    int status = 0;
    ::waitpid(child, &status, 0);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    EXPECT_EQ(served.load(), 0);

    auto remote = RemoteMessagePort::create("mine", ns);
    Bytes reply;
    ASSERT_TRUE(remote);
    EXPECT_EQ(remote->send(1, {}, 1.0, 1.0, &reply), MessagePortStatus::Success);
    EXPECT_EQ(reply, Bytes{1});
}

TEST(MessagePort, FakeSpyDriverHandsOutIdsAndDeliversToSubscribers) {
    const auto ns = freshNamespace();
    FakeSpyDriver driver(ns);
    ASSERT_TRUE(driver.running());
    auto remote = RemoteMessagePort::create(FakeSpyDriver::kPortName, ns);
    ASSERT_TRUE(remote);
    Bytes reply;
    ASSERT_EQ(remote->send(0, {}, 2, 2, &reply), MessagePortStatus::Success);
    EXPECT_EQ(reply, (Bytes{1, 0, 0, 0}));
    ASSERT_EQ(remote->send(2, Bytes{1, 0, 0, 0, 0x10, 0, 0, 0}, 2, 0), MessagePortStatus::Success);

    std::atomic<int> got{0};
    Bytes last;
    Served listener(LocalMessagePort::create(
        "Spying MIDI Driver-1",
        [&](int32_t, std::span<const uint8_t> d) {
            last.assign(d.begin(), d.end());
            ++got;
            return Bytes{};
        },
        ns));
    for (int i = 0; i < 100 && driver.subscriptions().empty(); ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    EXPECT_EQ(driver.deliver(0x10, {{0x90, 1, 2}}), 1);
    EXPECT_EQ(driver.deliver(0x11, {{0x90, 1, 2}}), 0);
    for (int i = 0; i < 200 && got == 0; ++i) std::this_thread::sleep_for(std::chrono::milliseconds(5));
    EXPECT_EQ(last, FakeSpyDriver::deliveryBytes({{0x90, 1, 2}}));
    EXPECT_EQ(last, (Bytes{0, 0, 0, 0, 1, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 3, 0, 0x90, 1, 2}));
}

}  // namespace
}  // namespace plindo::platform
