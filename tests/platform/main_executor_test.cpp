// A cancelled far call lets go of its wait at once, and the process ends without waiting for a call still
// scheduled.
#include "platform/queue_executor.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <thread>

namespace {

using namespace plindo::platform;
using Clock = std::chrono::steady_clock;

TEST(MainExecutorSchedule, ACancelledFarCallLetsGoAtOnceAndTheExitWaitsForNoCall) {
    QueueExecutor main("test.main");
    auto work = std::make_shared<int>(0);
    std::weak_ptr<int> held = work;
    auto far = main.schedule(60.0, [work] { ADD_FAILURE() << "a cancelled call ran"; });
    work.reset();
    main.invokeSync([&] { far->cancel(); });
    const auto until = Clock::now() + std::chrono::seconds(10);
    while (!held.expired() && Clock::now() < until) std::this_thread::sleep_for(std::chrono::milliseconds(5));
    EXPECT_TRUE(held.expired()) << "the cancelled call still waits for its timer";

    GTEST_FLAG_SET(death_test_style, "threadsafe");
    const auto begin = Clock::now();
    EXPECT_EXIT(
        {
            static InlineExecutor inline_;
            inline_.schedule(30.0, [] { std::abort(); });
            std::exit(0);
        },
        ::testing::ExitedWithCode(0), "");
    EXPECT_LT(std::chrono::duration<double>(Clock::now() - begin).count(), 10.0) << "the exit waited for a timer";
}

}  // namespace
