// Calls scheduled on the main executor: a cancelled far call lets go of its work at once, and the process
// ends without waiting for a call still scheduled.
#include "platform/queue_executor.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <memory>
#include <thread>

namespace {

using namespace plindo::platform;
using Clock = std::chrono::steady_clock;

bool within(double seconds, const std::function<bool()>& done) {
    const auto until = Clock::now() + std::chrono::duration<double>(seconds);
    while (!done()) {
        if (Clock::now() > until) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return true;
}

TEST(MainExecutorSchedule, ACancelledFarCallLetsGoOfItsWaitAtOnceAndANearOneStillRuns) {
    QueueExecutor main("test.main");
    auto work = std::make_shared<int>(0);
    std::weak_ptr<int> held = work;
    std::atomic<bool> farRan{false}, nearRan{false};
    auto far = main.schedule(60.0, [work, &farRan] { farRan = true; });
    auto soonCancelled = main.schedule(0.0, [&farRan] { farRan = true; });
    soonCancelled->cancel();
    work.reset();
    EXPECT_FALSE(held.expired());
    main.invokeSync([&] { far->cancel(); });
    far->cancel();  // twice is harmless
    EXPECT_TRUE(within(10.0, [&] { return held.expired(); })) << "the cancelled call still waits for its timer";

    auto near = main.schedule(0.01, [&nearRan] { nearRan = true; });
    EXPECT_TRUE(within(10.0, [&] { return nearRan.load(); }));
    near->cancel();  // after it ran: nothing to end
    main.drain();
    EXPECT_FALSE(farRan);
}

TEST(MainExecutorSchedule, TheProcessEndsWithoutWaitingForACallStillScheduled) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    const auto begin = Clock::now();
    EXPECT_EXIT(
        {
            static InlineExecutor main;
            main.schedule(30.0, [] { std::abort(); });
            std::exit(0);
        },
        ::testing::ExitedWithCode(0), "");
    EXPECT_LT(std::chrono::duration<double>(Clock::now() - begin).count(), 10.0)
        << "the exit waited for the scheduled call's timer";
}

}  // namespace
